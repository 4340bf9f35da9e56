#include "score/laplace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design/penalty.h"
#include "family/binomial.h"
#include "family/elf.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/ocat.h"
#include "family/poisson.h"
#include "inner/fit_at.h"
#include "inner/pirls.h"
#include "inner_fixture.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using inner::InnerFit;

using linalg::Matrix;
using linalg::Vector;
using testing::Response;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr std::size_t kRows = 60;
constexpr std::uint64_t kKnots = 6;
const Vector kRho{0.5};

// The inverse Gaussian unit deviance (y − μ)²/(y·μ²) and the observed
// weight ω = ∂²(d/2)/∂η² = (1 + 2(y − μ)/μ)/μ of the log link, written out
// for means well inside every floor.
double unit_deviance(double y, double mu) { return (y - mu) * (y - mu) / (y * mu * mu); }
double observed_weight(double y, double mu) { return (1.0 + 2.0 * (y - mu) / mu) / mu; }

testing::TestProblem inverse_gaussian_problem(const std::optional<Vector>& w, std::uint64_t max_iter = 50) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  Vector y = testing::draw_response(Response::InverseGaussianLike, testing::covariate(kRows), 5);
  return testing::make_problem(d, std::move(y), w, max_iter);
}

Result<InnerFit> fit_at(const testing::TestProblem& problem, const Vector& rho) {
  return inner::pirls_fit(problem.view(family::inverse_gaussian_log()), rho);
}

// The criterion's Hessian of an inverse Gaussian fit on S_λ.
LaplaceHessian hessian_of(const testing::TestProblem& problem, const InnerFit& fit, const Matrix& s) {
  const linalg::VectorView w = family::weights_or_ones(
      problem.prior_weights ? std::optional<linalg::VectorView>(*problem.prior_weights) : std::nullopt,
      problem.y.size());
  return laplace_hessian(family::inverse_gaussian_log(), LaplaceInputs{problem.model_matrix, nullptr, problem.y, w, s},
                         fit, /*full=*/true);
}

struct WeightCase {
  const char* name;
  std::optional<Vector> weights;
};
const WeightCase kWeightCases[] = {{"unweighted", std::nullopt}, {"weighted", testing::varied_weights(kRows)}};

TEST(LaplaceHessian, InverseGaussianLogDetIsThatOfTheObservedHessian) {
  // H_obs is the Hessian in β of ½·(Σ_i w_i·d(y_i, μ_i) + β'S_λβ), the
  // negative penalized log-likelihood at unit scale. Central second
  // differences with h = 1e-4 have truncation error ~h²·f'''' ≈ 1e-8 and
  // rounding error ~ε·f/h² ≈ 1e-8 relative to the entries (f is of order
  // 10); over a 6 × 6 determinant that stays below 1e-6 in ln|det|.
  for (const WeightCase& c : kWeightCases) {
    SCOPED_TRACE(c.name);
    const testing::TestProblem problem = inverse_gaussian_problem(c.weights);
    auto fit = fit_at(problem, kRho);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    ASSERT_TRUE(fit->converged);

    const Matrix& x = problem.model_matrix;
    const Matrix s = testing::naive_total_penalty(problem.penalties, kRho);
    const LaplaceHessian laplace = hessian_of(problem, *fit, s);
    ASSERT_TRUE(laplace.observed);
    const std::size_t p = x.cols;
    auto objective = [&](const Vector& beta) {
      double f = 0.0;
      for (std::size_t i = 0; i < kRows; ++i) {
        double eta = 0.0;
        for (std::size_t j = 0; j < p; ++j) eta += x(i, j) * beta[j];
        f += (c.weights ? (*c.weights)[i] : 1.0) * unit_deviance(problem.y[i], std::exp(eta));
      }
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b) f += beta[a] * s(a, b) * beta[b];
      return 0.5 * f;
    };
    const double h = 1e-4;
    Matrix hessian(p, p);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) {
        auto at = [&](double da, double db) {
          Vector beta = fit->beta;
          beta[a] += da;
          beta[b] += db;
          return objective(beta);
        };
        hessian(a, b) = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4.0 * h * h);
      }
    EXPECT_NEAR(laplace.log_det, testing::log_abs_det(hessian), 1e-6);
  }
}

// H_obs = X'·diag(w·ω)·X + S_λ by plain loops.
Matrix observed_hessian(const testing::TestProblem& problem, const InnerFit& fit, const Matrix& s) {
  Vector w(kRows);
  for (std::size_t i = 0; i < problem.y.size(); ++i)
    w[i] = (problem.prior_weights ? (*problem.prior_weights)[i] : 1.0) * observed_weight(problem.y[i], fit.mu[i]);
  return testing::naive_penalized_hessian(problem.model_matrix, w, s);
}

TEST(LaplaceHessian, InverseGaussianInverseAndSlopesDescribeTheWeightedObservedHessian) {
  // The reference H_obs is formed by plain loops and inverted by an
  // independent elimination; it is well conditioned here: agreement to
  // 1e-9 relative to the sizes.
  struct Case {
    const char* name;
    std::optional<Vector> weights;
    std::optional<Vector> start_eta;  // with max_iter 0: the Hessian at exp(start_eta)
    Vector rho;
  } cases[] = {
      {"unweighted", std::nullopt, std::nullopt, kRho},
      {"weighted", testing::varied_weights(kRows), std::nullopt, kRho},
      // μ = e^3 ≈ 20 lies above twice almost every response: ω < 0, so
      // H_obs bends down along the unpenalized intercept and, with a
      // strong penalty, up along the wiggliest directions.
      {"weighted, indefinite", testing::varied_weights(kRows), Vector(kRows, 3.0), Vector{3.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestProblem problem = inverse_gaussian_problem(c.weights, c.start_eta ? 0 : 50);
    problem.start_eta = c.start_eta;
    auto fit = fit_at(problem, c.rho);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    const std::size_t p = problem.model_matrix.cols;
    const Matrix s = testing::naive_total_penalty(problem.penalties, c.rho);
    const LaplaceHessian laplace = hessian_of(problem, *fit, s);
    ASSERT_TRUE(laplace.observed);

    const Matrix h = observed_hessian(problem, *fit, s);
    if (c.start_eta) {
      auto eig = linalg::eigh(h);
      ASSERT_TRUE(eig.has_value());
      EXPECT_LT(eig->values.front(), 0.0);
      EXPECT_GT(eig->values.back(), 0.0);
    }
    EXPECT_NEAR(laplace.log_det, testing::log_abs_det(h), 1e-9 * std::fabs(testing::log_abs_det(h)) + 1e-9);
    for (std::size_t k = 0; k < p; ++k) {
      Vector column(p);
      for (std::size_t j = 0; j < p; ++j) column[j] = j == k ? 1.0 : 0.0;
      const Vector reference = testing::gauss_solve(h, column);
      for (std::size_t j = 0; j < p; ++j)
        EXPECT_NEAR(laplace.inverse(j, k), reference[j], 1e-9 * std::fabs(reference[j]) + 1e-12) << j << "," << k;
    }
    const Vector w = c.weights ? *c.weights : Vector(kRows, 1.0);
    for (std::size_t i = 0; i < kRows; ++i)
      EXPECT_EQ(laplace.weight_slope[i],
                family::InverseGaussian::observed_weight_slope(w[i], problem.y[i], fit->mu[i]));
  }
}

TEST(InverseGaussianFamily, ObservedWeightSlopeIsExactOnBothSidesOfHalfTheMean) {
  // d(w·ω)/dη with ω = 2y/μ² − 1/μ and μ = e^η is w·(1/μ − 4y/μ²), for y
  // above and below μ/2 (α = 2y/μ − 1 of either sign) alike. Central
  // differences of w·ω with h = 1e-5 carry a truncation error of
  // h²/6·|ω'''| ≈ 1e-10·|ω| and a rounding error ~ε·|ω|/h ≈ 1e-11·|ω|. The
  // fit's own value cancels terms of size 9/μ² in dα/dμ, which costs a few
  // dozen ε of the scale w/μ + 4wy/μ².
  struct Case {
    double y, mu, w;
  } cases[] = {
      {2.0, 1.0, 1.0},    // α = 3
      {0.8, 1.0, 2.5},    // α = 0.6
      {1.0, 3.0, 1.0},    // y < μ/2: α = −1/3, ω < 0
      {0.2, 4.0, 0.5},    // α = −0.9
      {1.5, 3.0, 1.0},    // y = μ/2: α = 0, ω = 0 and still a slope
      {1.0, 1e13, 1.0},   // μ > 1e12: the slope is taken as 0
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const double mu = std::exp(std::log(c.mu));
    const double slope = family::InverseGaussian::observed_weight_slope(c.w, c.y, mu);
    if (mu > 1e12) {
      EXPECT_EQ(slope, 0.0);
      continue;
    }
    const double exact = c.w * (1.0 / mu - 4.0 * c.y / (mu * mu));
    EXPECT_NEAR(slope, exact, 1e-13 * (c.w / mu + 4.0 * c.w * c.y / (mu * mu)));
    const double h = 1e-5;
    const double eta = std::log(mu);
    const double central =
        (c.w * observed_weight(c.y, std::exp(eta + h)) - c.w * observed_weight(c.y, std::exp(eta - h))) / (2.0 * h);
    EXPECT_NEAR(slope, central, 1e-9 * (c.w / mu + 4.0 * c.w * c.y / (mu * mu)));
  }
}

TEST(LaplaceHessian, InBlocksEqualsTheDenseObservedHessianAlsoWhereItIsIndefinite) {
  // A "cr" smooth beside a random effect of 40 levels, three rows each. The
  // means are set, not fitted (the Hessian reads only μ): where μ = 3y the
  // observed weight (2y/μ − 1)/μ is negative, and over whole levels, with
  // λ small, it makes D and H indefinite. The block form must then give
  // the dense eigendecomposition's ln|det H| and H⁻¹; both are formed from
  // the same H with eigenvalues well away from zero (cond(H) of order 1e4),
  // so they agree to 1e-10 relative.
  const std::size_t n = 120, levels = 40;
  Matrix cov(n, 2);
  for (std::size_t i = 0; i < n; ++i) {
    cov(i, 0) = static_cast<double>((i * 37) % n) / static_cast<double>(n);
    cov(i, 1) = static_cast<double>(i % levels);
  }
  const std::vector<design::TermSpec> terms{{design::TermSpec::Cr{0, 6}}, {design::TermSpec::Re{1}}};
  auto design = design::build_additive_design(cov, terms);
  ASSERT_TRUE(design.has_value()) << design.error().display();
  ASSERT_TRUE(design->re_blocks.has_value());
  const design::ReBlocks& blocks = *design->re_blocks;
  const std::size_t p = design->model_matrix.cols;
  struct Case {
    const char* name;
    std::size_t spoilt_levels;  // levels whose means are three times their responses
    double log_lambda_re;
    bool indefinite;
  } cases[] = {{"positive definite", 0, 0.0, false},
               {"negative weights, definite", 6, 0.0, false},
               {"indefinite", 6, -6.0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InnerFit fit;
    fit.mu = Vector(n);
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
      y[i] = 1.0 + 0.5 * std::sin(static_cast<double>(i));
      fit.mu[i] = (i % levels) < c.spoilt_levels ? 3.0 * y[i] : y[i] * (1.0 + 0.1 * std::cos(static_cast<double>(i)));
    }
    const Vector rho{0.0, c.log_lambda_re};
    const Matrix s = design::total_penalty(design->penalties, rho);
    const Vector ones(n, 1.0);
    const LaplaceHessian dense = laplace_hessian(family::inverse_gaussian_log(),
                                                 LaplaceInputs{design->model_matrix, nullptr, y, ones, s}, fit, true);
    const LaplaceHessian block = laplace_hessian_in_blocks(family::inverse_gaussian_log(), blocks, y, ones,
                                                           design::block_total_penalty(blocks, rho), fit, true);
    ASSERT_TRUE(dense.observed && block.observed);
    ASSERT_TRUE(block.block_factor.has_value());
    Vector omega(n);
    for (std::size_t i = 0; i < n; ++i) omega[i] = observed_weight(y[i], fit.mu[i]);
    EXPECT_EQ(linalg::cholesky_lower(testing::naive_penalized_hessian(design->model_matrix, omega, s)).has_value(),
              !c.indefinite);
    EXPECT_NEAR(block.log_det, dense.log_det, 1e-10 * std::fabs(dense.log_det));
    const Matrix inv = linalg::block_inverse(*block.block_factor);
    double largest = 0.0, error = 0.0;
    for (std::size_t k = 0; k < p * p; ++k) {
      largest = std::max(largest, std::fabs(dense.inverse.data[k]));
      error = std::max(error, std::fabs(inv.data[k] - dense.inverse.data[k]));
    }
    EXPECT_LE(error, 1e-10 * largest);
    EXPECT_EQ(block.weight_slope, dense.weight_slope);
  }
}

TEST(LaplaceHessian, TinyOrUndefinedEigenvaluesFallBackOnTheFitsFactor) {
  // Responses y = 0.5 at the start μ = e^0 = 1 have α = 1 + 2·(0.5 − 1) = 0
  // exactly, so H_obs is S_λ = diag(d, 1, 1) itself (ρ = 0) while the
  // expected weights keep the loop's systems positive definite. A d of
  // either sign makes H_obs indefinite or singular, which Cholesky refuses;
  // the eigenvalues then decide.
  struct Case {
    const char* name;
    double d;
    double response;
    std::optional<double> log_det;
  } cases[] = {
      {"zero eigenvalue", 0.0, 0.5, std::nullopt},
      {"positive definite, tiny", 5e-301, 0.5, std::log(5e-301)},
      {"negative, below 1e-300 in magnitude", -5e-301, 0.5, std::nullopt},
      {"negative, 1e-300 in magnitude", -1e-300, 0.5, std::log(1e-300)},
      {"NaN response", 1.0, kNaN, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Matrix x(4, 3);
    for (std::size_t i = 0; i < 4; ++i) {
      const double t = static_cast<double>(i) - 1.5;
      x(i, 0) = 1.0;
      x(i, 1) = t;
      x(i, 2) = t * t - 1.25;
    }
    Matrix s = Matrix::identity(3);
    s(0, 0) = c.d;
    Vector y(4, 0.5);
    y[2] = c.response;
    const testing::TestProblem problem{.penalties = {s},
                                  .model_matrix = x,
                                  .y = y,
                                  .prior_weights = std::nullopt,
                                  .start_eta = Vector(4, 0.0),
                                  .settings = {.max_iter = 0, .tol = 1e-9, .max_halvings = 10}};
    auto fit = fit_at(problem, Vector{0.0});
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_EQ(fit->iterations, 0u);
    const LaplaceHessian laplace = hessian_of(problem, *fit, s);
    EXPECT_EQ(laplace.observed, c.log_det.has_value());
    double factor_log_det = 0.0;
    for (std::size_t i = 0; i < fit->factor.rows; ++i) factor_log_det += 2.0 * std::log(fit->factor(i, i));
    if (c.log_det) {
      EXPECT_NEAR(laplace.log_det, *c.log_det, 1e-13 * std::fabs(*c.log_det));
    } else {
      EXPECT_EQ(laplace.log_det, factor_log_det);
    }
  }
}

TEST(InverseGaussianFit, StepsAreNewtonStepsWhileTheObservedSystemIsPositiveDefinite) {
  // One iteration from a start μ = e^s. At s = 0 (μ = 1 below most
  // responses, α = 1 + 2(y − μ)/μ > 0) the system is the observed one: its
  // weights are w·α/μ and its factor that of X'·diag(w·α/μ)·X + S_λ. At
  // s = 3 (μ ≈ 20, α < 0 on almost every row) the observed system is not
  // positive definite, so the step keeps the expected weight w/μ on the
  // rows with α ≤ 0 instead of failing. Weights are a few roundings each.
  struct Case {
    const char* name;
    double start;
    bool observed;
  } cases[] = {{"observed system", 0.0, true}, {"indefinite: expected weights where alpha <= 0", 3.0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestProblem problem = inverse_gaussian_problem(testing::varied_weights(kRows), 1);
    problem.start_eta = Vector(kRows, c.start);
    auto fit = fit_at(problem, Vector{3.0});
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    const Vector& w = *problem.prior_weights;
    std::size_t negative = 0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double mu = std::exp(c.start);
      const double alpha = 1.0 + 2.0 * (problem.y[i] - mu) / mu;
      negative += alpha <= 0.0 ? 1 : 0;
      const double expected = w[i] / mu * (c.observed || alpha > 0.0 ? alpha : 1.0);
      EXPECT_NEAR(fit->working_weights[i], expected, 8.0 * std::numeric_limits<double>::epsilon() * std::fabs(expected))
          << i;
    }
    EXPECT_EQ(negative > 0, !c.observed);
  }
}

TEST(InverseGaussianFit, ReadsTheLeadingBlockOfALargerPenalty) {
  const testing::TestProblem problem = inverse_gaussian_problem(std::nullopt);
  const Matrix s = design::total_penalty(problem.penalties, kRho);
  Matrix larger(s.rows + 2, s.cols + 2, 7.0);
  for (std::size_t a = 0; a < s.rows; ++a)
    for (std::size_t b = 0; b < s.cols; ++b) larger(a, b) = s(a, b);
  const auto view = problem.view(family::inverse_gaussian_log());
  auto exact = inner::pirls_loop(view, s);
  auto padded = inner::pirls_loop(view, larger);
  ASSERT_TRUE(exact.has_value() && padded.has_value());
  EXPECT_EQ(exact->beta, padded->beta);
  EXPECT_EQ(exact->factor.data, padded->factor.data);
}

TEST(InverseGaussianFit, LoopErrorsPassUnchanged) {
  testing::TestProblem problem = inverse_gaussian_problem(std::nullopt);
  Matrix s = Matrix::identity(problem.model_matrix.cols);
  for (double& v : s.data) v *= -1e6;
  const auto view = problem.view(family::inverse_gaussian_log());
  auto fit = inner::pirls_loop(view, s);
  ASSERT_FALSE(fit.has_value());
  ASSERT_TRUE(fit.error().is<kavri::SingularSystem>());
  EXPECT_EQ(fit.error().message(),
            "PIRLS factor: Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1");
}

// ½ln|H| of the criterion for each family with a density, against the
// Hessian of the penalized negative log-likelihood at β̂ written from the
// density alone (`testing::half_log_det_of_density`, 1e-6 relative): the
// working weights of a canonical link, the observed ones of the Gamma's
// log link, and the Newton systems of the ordered and quantile fits. The
// fits converge to a deviance change of 1e-9 (the quantile fit to a step
// of 1e-7), which moves ln|H| far less; 8 weighted rows and p = 4 keep the
// central differences well conditioned.
template <class F, class LogLik>
void expect_laplace_log_det(const F& family, const Vector& y, LogLik&& loglik, double phi = 1.0) {
  constexpr std::size_t n = 8;
  const design::ModelDesign d = testing::cr_design(n, 5);
  const Vector w{1.0, 2.0, 0.5, 1.5, 1.0, 3.0, 1.0, 0.75};
  const Vector rho{0.3};
  testing::TestProblem problem = testing::make_problem(d, y, w);
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::BacktrackingNewton) problem.settings.tol = 1e-12;
  auto view = problem.view(family);
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::ClosedForm) inner::form_closed_form_products(view);
  auto fit = inner::fit_at(view, rho);
  ASSERT_TRUE(fit.has_value()) << fit.error().display();
  const Matrix s = testing::naive_total_penalty(problem.penalties, rho);
  const LaplaceHessian h = laplace_hessian(family, LaplaceInputs{problem.model_matrix, nullptr, problem.y, w, s},
                                           *fit, /*full=*/false);
  const double reference = testing::half_log_det_of_density(problem.model_matrix, s, y, w, fit->beta, phi, loglik);
  testing::expect_close(0.5 * h.log_det, reference, 1e-6);
}

TEST(LaplaceHessian, IsTheCurvatureOfEachFamilysPenalizedLogLikelihood) {
  const Vector x = testing::covariate(8);
  {
    SCOPED_TRACE("gaussian");
    const Vector y = testing::draw_response(Response::Normal, x, 3);
    expect_laplace_log_det(family::gaussian_identity(), y, [](double v, double eta) { return -0.5 * (v - eta) * (v - eta); });
  }
  {
    SCOPED_TRACE("bernoulli");
    const Vector y{0.0, 1.0, 1.0, 0.0, 1.0, 0.0, 1.0, 1.0};
    expect_laplace_log_det(family::bernoulli_logit(), y,
                           [](double v, double eta) { return v * eta - std::log1p(std::exp(eta)); });
  }
  {
    SCOPED_TRACE("poisson");
    const Vector y = testing::draw_response(Response::Counts, x, 4);
    expect_laplace_log_det(family::poisson_log(), y, [](double v, double eta) { return v * eta - std::exp(eta); });
  }
  {
    // φ·(−ℓ) of the Gamma with shape 1/φ is y/μ + ln μ up to terms free of μ.
    SCOPED_TRACE("gamma");
    const Vector y = testing::draw_response(Response::GammaLike, x, 5);
    expect_laplace_log_det(family::gamma_log(), y, [](double v, double eta) { return -(v * std::exp(-eta) + eta); });
  }
  {
    // φ·(−ℓ) of the inverse Gaussian is (y − μ)²/(2yμ²).
    SCOPED_TRACE("inverse gaussian");
    const Vector y = testing::draw_response(Response::InverseGaussianLike, x, 6);
    expect_laplace_log_det(family::inverse_gaussian_log(), y, [](double v, double eta) {
      const double mu = std::exp(eta);
      return -(v - mu) * (v - mu) / (2.0 * v * mu * mu);
    });
  }
  {
    // ln P of the category between the cut points −1, 0, 1 of four.
    SCOPED_TRACE("ocat");
    const Vector y{1.0, 2.0, 2.0, 4.0, 3.0, 1.0, 4.0, 3.0};
    expect_laplace_log_det(family::ocat_identity(4), y, [](double v, double eta) {
      const double cuts[] = {-INFINITY, -1.0, 0.0, 1.0, INFINITY};
      const int k = static_cast<int>(v);
      auto cdf = [](double u) { return std::isinf(u) ? (u > 0 ? 1.0 : 0.0) : 1.0 / (1.0 + std::exp(-u)); };
      return std::log(cdf(cuts[k] - eta) - cdf(cuts[k - 1] - eta));
    });
  }
  {
    // The extended log-F log-density at r = y − η, τ = 0.3, σ = 0.5,
    // λ = 0.4, up to its constant. Its fit's systems hold a ridge of 1e-7
    // of their largest diagonal entry, a shift of ln|H| well below 1e-6.
    SCOPED_TRACE("elf");
    const Vector y = testing::draw_response(Response::Normal, x, 7);
    const double tau = 0.3, sigma = 0.5, lambda = 0.4;
    expect_laplace_log_det(family::elf_identity(tau, sigma, lambda), y, [=](double v, double eta) {
      const double r = v - eta;
      return (1.0 - tau) * r / sigma - (lambda / sigma) * std::log1p(std::exp(r / lambda));
    });
  }
}

}  // namespace
}  // namespace kavri::score
