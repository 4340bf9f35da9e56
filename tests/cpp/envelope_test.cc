#include "score/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design_fixtures.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "design/cr.h"
#include "fit/plain_driver.h"
#include "inner/fit_at.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::Response;

constexpr std::size_t kRows = 60;
constexpr std::uint64_t kKnots = 6;
constexpr double kTwoPi = 2.0 * 3.14159265358979323846;

double reference_quad(const Matrix& s, const Vector& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < b.size(); ++i)
    for (std::size_t j = 0; j < b.size(); ++j) sum += b[i] * s(i, j) * b[j];
  return sum;
}

double reference_trace(const Matrix& inv, const Matrix& s) {
  double sum = 0.0;
  for (std::size_t i = 0; i < inv.rows; ++i)
    for (std::size_t j = 0; j < inv.cols; ++j) sum += inv(i, j) * s(j, i);
  return sum;
}

// c(y; φ) of each family, from the densities with std::lgamma.
double reference_saturated(Response kind, bool quasi, const Vector& y, double phi) {
  const double n = static_cast<double>(y.size());
  if (quasi) return -0.5 * n * std::log(kTwoPi * phi);
  double c = 0.0;
  for (double v : y) switch (kind) {
      case Response::Binary:
        if (v > 0.0 && v < 1.0) c += v * std::log(v) + (1.0 - v) * std::log(1.0 - v);
        break;
      case Response::Counts:
        if (v > 0.0) c += v * std::log(v) - v;
        break;
      case Response::GammaLike:
        c += -std::lgamma(1.0 / phi) - std::log(phi) / phi - 1.0 / phi - std::log(v);
        break;
      case Response::InverseGaussianLike:
        c += -0.5 * std::log(kTwoPi * phi) - 1.5 * std::log(v);
        break;
      case Response::Normal:
        break;
    }
  return c;
}

// The weight ω = ½·∂²d/∂η² of each family's H and its slope dω/dη, at a
// mean inside every floor: μ(1 − μ) for the logit link and μ for the
// log-linked counts (canonical: the working weights); y/μ for the Gamma
// and (2y − μ)/μ² for the inverse Gaussian with their log links.
double reference_observed_weight(Response kind, double y, double mu) {
  switch (kind) {
    case Response::Binary:
      return mu * (1.0 - mu);
    case Response::Counts:
      return mu;
    case Response::GammaLike:
      return y / mu;
    case Response::InverseGaussianLike:
      return (2.0 * y - mu) / (mu * mu);
    case Response::Normal:
      break;
  }
  return 1.0;
}
double reference_observed_weight_slope(Response kind, double y, double mu) {
  switch (kind) {
    case Response::Binary:
      return mu * (1.0 - mu) * (1.0 - 2.0 * mu);
    case Response::Counts:
      return mu;
    case Response::GammaLike:
      return -y / mu;
    case Response::InverseGaussianLike:
      return (mu - 4.0 * y) / (mu * mu);
    case Response::Normal:
      break;
  }
  return 0.0;
}

// X'·diag(ω)·X + λS by plain loops.
Matrix observed_penalized_hessian(Response kind, const Matrix& x, const Vector& y, const Vector& mu, double lambda,
                                  const Matrix& s) {
  Matrix h(x.cols, x.cols);
  for (std::size_t a = 0; a < x.cols; ++a)
    for (std::size_t b = 0; b < x.cols; ++b) {
      double sum = lambda * s(a, b);
      for (std::size_t i = 0; i < x.rows; ++i) sum += x(i, a) * reference_observed_weight(kind, y[i], mu[i]) * x(i, b);
      h(a, b) = sum;
    }
  return h;
}

struct Fixture {
  design::ModelDesign design;
  Vector y;
};

Fixture fixture(Response kind, std::uint32_t seed) {
  Fixture f{testing::cr_design(kRows, kKnots), testing::draw_response(kind, testing::covariate(kRows), seed)};
  // Bernoulli responses between 0 and 1 exercise the saturated term.
  if (kind == Response::Binary)
    for (double& v : f.y) v = 0.25 + 0.5 * v;
  return f;
}

// The value and gradient of the criterion from the inner fit's own
// quantities, every other piece recomputed here.
template <family::Family F>
void expect_matches_formula(Response kind, bool quasi, double rho) {
  Fixture f = fixture(kind, 5);
  design::ModelDesign copy = f.design;
  const auto problem = fit::make_fit_problem(F{}, copy, f.y, std::nullopt);
  const auto criterion = fit::make_criterion_view(F{}, copy, f.y, std::nullopt);
  auto vg = envelope_score(problem, criterion, Vector{rho});
  auto inner_fit = inner::fit_at(problem, Vector{rho});
  ASSERT_TRUE(vg.has_value() && inner_fit.has_value());
  EXPECT_FALSE(vg->degenerate);

  const double lambda = std::exp(rho);
  const Matrix& s = f.design.penalties[0];
  const double q = reference_quad(s, inner_fit->beta);
  const double d = inner_fit->deviance, pen = lambda * q;
  const double n = static_cast<double>(kRows), m_p = static_cast<double>(f.design.null_space_dim);
  const double r = static_cast<double>(f.design.penalty_ranks[0]);
  double phi = 1.0;
  if (F::scale_rule() == family::ScaleRule::Profile) phi = (d + pen) / (n - m_p);
  if (F::scale_rule() == family::ScaleRule::ProfileNewton) {
    phi = family::gamma_profile_scale(d + pen, kRows, f.design.null_space_dim);
    // The profile φ is where the value is flat in φ: the φ-derivative by a
    // central difference of the Gamma density with std::lgamma (step 1e-6·φ,
    // error ~1e-12·n/φ) against terms of size n/φ.
    auto v_phi = [&](double ph) {
      return (d + pen) / (2.0 * ph) - m_p / 2.0 * std::log(kTwoPi * ph) -
             reference_saturated(kind, false, f.y, ph);
    };
    const double h = 1e-6 * phi;
    EXPECT_NEAR((v_phi(phi + h) - v_phi(phi - h)) / (2.0 * h), 0.0, 1e-6 * n / phi);
  }
  // ½ln|H| of H = X'·diag(ω)·X + λS: the working weights for a canonical
  // link, the observed ones (ω = ½·∂²d/∂η²) otherwise.
  const Matrix& x = f.design.model_matrix;
  const std::size_t p = x.cols;
  const Matrix h = observed_penalized_hessian(kind, x, f.y, inner_fit->mu, lambda, s);
  const double log_det = testing::log_abs_det(h);
  const double big_r = 0.5 * (r * rho + f.design.penalty_log_pdets[0]);
  const double value = (d + pen) / (2.0 * phi) + 0.5 * log_det - m_p / 2.0 * std::log(kTwoPi * phi) - big_r -
                       reference_saturated(kind, quasi, f.y, phi);
  // Terms of a few hundred, summed in other orders: 1e-12 relative.
  testing::expect_close(vg->value, value, 1e-12);

  double grad = lambda * q / (2.0 * phi) - 0.5 * r;
  {
    // The trace of H⁻¹S_λ and the shift of the weights along
    // dη/dρ = −X·H⁻¹·λSβ, with leverages h_i = x_i'H⁻¹x_i.
    const Matrix h_inv = testing::gauss_inverse(h);
    grad += 0.5 * lambda * reference_trace(h_inv, s);
    Vector u(p, 0.0);  // −H⁻¹·λSβ
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b)
        for (std::size_t c = 0; c < p; ++c) u[a] -= h_inv(a, b) * lambda * s(b, c) * inner_fit->beta[c];
    double shift = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      double leverage = 0.0, deta = 0.0;
      for (std::size_t a = 0; a < p; ++a) {
        deta += x(i, a) * u[a];
        for (std::size_t b = 0; b < p; ++b) leverage += x(i, a) * h_inv(a, b) * x(i, b);
      }
      shift += reference_observed_weight_slope(kind, f.y[i], inner_fit->mu[i]) * leverage * deta;
    }
    grad += 0.5 * shift;
  }
  ASSERT_EQ(vg->gradient.size(), 1u);
  testing::expect_close(vg->gradient[0], grad, 1e-10);
}

TEST(EnvelopeScore, ValueAndGradientFollowTheFormulaForEachFamily) {
  SCOPED_TRACE("bernoulli");
  expect_matches_formula<family::Bernoulli>(Response::Binary, false, 0.7);
  SCOPED_TRACE("quasibinomial");
  expect_matches_formula<family::QuasiBinomial>(Response::Binary, true, 0.7);
  SCOPED_TRACE("poisson");
  expect_matches_formula<family::Poisson>(Response::Counts, false, 0.7);
  SCOPED_TRACE("quasipoisson");
  expect_matches_formula<family::QuasiPoisson>(Response::Counts, true, -1.0);
  SCOPED_TRACE("gamma");
  expect_matches_formula<family::Gamma>(Response::GammaLike, false, 0.7);
  SCOPED_TRACE("inverse gaussian");
  expect_matches_formula<family::InverseGaussian>(Response::InverseGaussianLike, false, 0.7);
}

// Central difference of the value along coordinate j with step h.
template <class Score>
double value_slope(Score&& score, const Vector& rho, std::size_t j, double h) {
  Vector up = rho, down = rho;
  up[j] += h;
  down[j] -= h;
  return (score(up)->value - score(down)->value) / (2.0 * h);
}

// Three smooth covariates, none a function of another.
Matrix smooth_covariates(std::size_t n) {
  Matrix x(n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n - 1);
    x(i, 0) = t;
    x(i, 1) = std::fmod(0.37 * static_cast<double>(i), 1.0);
    x(i, 2) = 0.5 + 0.5 * std::sin(5.3 * static_cast<double>(i));
  }
  return x;
}

design::ModelDesign additive_design(std::size_t n) {
  const Matrix x = smooth_covariates(n);
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 6), testing::te_term(1, 2, 4, 4)};
  auto d = design::build_additive_design(x, terms);
  EXPECT_TRUE(d.has_value()) << d.error().display();
  return std::move(*d);
}

TEST(EnvelopeScore, GaussianGradientIsTheSlopeOfTheValue) {
  // The Gaussian fit is the exact minimiser of D + P, so the envelope
  // gradient is the derivative of V. With h = 1e-4 the truncation error is
  // h²·V'''/6 ~ 1e-8 and the rounding error ε·|V|/h ~ 1e-10: 1e-6 relative.
  struct Case {
    const char* name;
    design::ModelDesign design;
    Vector y;
    Vector rho;
    std::optional<Vector> weights;
  };
  const Vector x_single = testing::covariate(kRows);
  const Matrix x_add = smooth_covariates(90);
  Vector y_add(90);
  for (std::size_t i = 0; i < 90; ++i)
    y_add[i] = std::sin(3.0 * x_add(i, 0)) + x_add(i, 1) * x_add(i, 2) + 0.1 * std::cos(37.0 * static_cast<double>(i));
  std::vector<Case> cases;
  cases.push_back({"single smooth", testing::cr_design(kRows, kKnots),
                   testing::draw_response(Response::Normal, x_single, 2), Vector{1.3}, std::nullopt});
  cases.push_back({"single smooth, weighted", testing::cr_design(kRows, kKnots),
                   testing::draw_response(Response::Normal, x_single, 2), Vector{-0.4},
                   testing::varied_weights(kRows)});
  // The tensor term's two penalties overlap: their joint log-determinant
  // must be differentiated as one.
  cases.push_back({"spline plus tensor", additive_design(90), y_add, Vector{0.5, 2.0, -1.0}, std::nullopt});
  cases.push_back({"tensor margins far apart", additive_design(90), y_add, Vector{0.0, 6.0, -6.0}, std::nullopt});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<linalg::VectorView> w;
    if (c.weights) w = linalg::VectorView(*c.weights);
    const auto problem = fit::make_fit_problem(family::gaussian_identity(), c.design, c.y, w);
    const auto criterion = fit::make_criterion_view(family::gaussian_identity(), c.design, c.y, w);
    auto score = [&](const Vector& rho) { return envelope_score(problem, criterion, rho); };
    auto at = score(c.rho);
    ASSERT_TRUE(at.has_value()) << at.error().display();
    ASSERT_EQ(at->gradient.size(), c.rho.size());
    for (std::size_t j = 0; j < c.rho.size(); ++j) {
      SCOPED_TRACE(j);
      testing::expect_close(at->gradient[j], value_slope(score, c.rho, j, 1e-4), 1e-6);
    }
  }
}

TEST(EnvelopeScore, InverseGaussianGradientDifferentiatesEachPenalty) {
  // With the observed-information correction every entry is the slope of
  // the value, whose log-determinant is that of H_obs. The inner fits stop
  // with coefficients about 1e-9 off their limit (the last Newton step of a
  // converging loop squares the error), which moves each value by that
  // order, smoothly in ρ; with h = 1e-3 the truncation h²·V''' is ~1e-7:
  // 1e-6 relative. Correcting entry 0 only would leave entry 1 about 4e-3
  // off.
  const std::size_t n = 90;
  const Matrix x = smooth_covariates(n);
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 6), testing::cr_term(2, 5)};
  auto d = design::build_additive_design(x, terms);
  ASSERT_TRUE(d.has_value());
  Vector y(n);
  std::mt19937 gen(4);
  std::normal_distribution<double> z(0.0, 1.0);
  for (std::size_t i = 0; i < n; ++i) y[i] = std::exp(0.5 * std::sin(x(i, 0)) + 0.4 * x(i, 2) + 0.2 * z(gen));
  const auto problem = fit::make_fit_problem(family::inverse_gaussian_log(), *d, y, std::nullopt);
  const auto criterion = fit::make_criterion_view(family::inverse_gaussian_log(), *d, y, std::nullopt);
  auto score = [&](const Vector& rho) { return envelope_score(problem, criterion, rho); };
  const Vector rho{0.3, -0.8};
  auto at = score(rho);
  ASSERT_TRUE(at.has_value()) << at.error().display();
  for (std::size_t j = 0; j < rho.size(); ++j) {
    SCOPED_TRACE(j);
    testing::expect_close(at->gradient[j], value_slope(score, rho, j, 1e-3), 1e-6);
  }
}

// The criterion at ρ of a family on a fixture whose n − M_p is 0: no
// residual degrees of freedom to estimate a scale from.
template <class F>
std::function<Result<ValueGrad>(const Fixture&, const Vector&)> without_residual_dof(F family) {
  return [family](const Fixture& f, const Vector& rho) {
    auto problem = fit::make_fit_problem(family, f.design, f.y, std::nullopt);
    auto criterion = fit::make_criterion_view(family, f.design, f.y, std::nullopt);
    criterion.null_space_dim = kRows;
    return envelope_score(problem, criterion, rho);
  };
}

TEST(EnvelopeScore, GuardAppliesToEstimatedScalesOnly) {
  struct Case {
    const char* name;
    std::function<Result<ValueGrad>(const Fixture&, const Vector&)> score;
    Response kind;
    bool guarded;
  } cases[] = {
      {"quasipoisson", without_residual_dof(family::quasipoisson_log()), Response::Counts, true},
      {"gamma", without_residual_dof(family::gamma_log()), Response::GammaLike, true},
      {"inverse gaussian", without_residual_dof(family::inverse_gaussian_log()), Response::InverseGaussianLike,
       true},
      {"poisson has no guard", without_residual_dof(family::poisson_log()), Response::Counts, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Fixture f = fixture(c.kind, 9);
    auto vg = c.score(f, Vector{0.5});
    ASSERT_TRUE(vg.has_value());
    EXPECT_EQ(vg->degenerate, c.guarded);
    if (c.guarded) {
      EXPECT_EQ(vg->value, 1e12);
      EXPECT_EQ(vg->gradient, Vector{0.0});
    } else {
      EXPECT_TRUE(std::isfinite(vg->value));
      EXPECT_NE(vg->value, 1e12);
    }
  }
}

TEST(EnvelopeScore, ExactGaussianFitIsTheGuardValue) {
  // y ≡ 0 is reproduced exactly (β = 0): D = 0.
  design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y(kRows, 0.0);
  const auto problem = fit::make_fit_problem(family::gaussian_identity(), d, y, std::nullopt);
  const auto criterion = fit::make_criterion_view(family::gaussian_identity(), d, y, std::nullopt);
  auto vg = envelope_score(problem, criterion, Vector{0.0});
  ASSERT_TRUE(vg.has_value());
  EXPECT_TRUE(vg->degenerate);
  EXPECT_EQ(vg->value, 1e12);
  EXPECT_EQ(vg->gradient, Vector{0.0});
}

TEST(EnvelopeScore, WeightedGammaIsTheLaplaceCriterionOfTheWeightedModel) {
  // Six rows with unequal weights (one zero): row i is Gamma with mean μ_i
  // and shape w_i/φ. V is assembled here from the fit's D, β and factor,
  // the weighted density's c(y; φ) with std::lgamma and the φ where that V
  // is flat (bisection on a central difference), and compared with the
  // criterion to 1e-12 relative: V is stationary in φ, so the bisection's
  // 1e-12 in φ moves it by far less.
  const Vector xs = {0.05, 0.21, 0.37, 0.55, 0.78, 0.96};
  const Vector y = {0.8, 1.9, 0.4, 2.6, 1.2, 3.3};
  const Vector w = {1.0, 2.5, 0.5, 0.0, 3.0, 1.5};
  auto d = design::build_single_cr_design(testing::column_of(xs), 4);
  ASSERT_TRUE(d.has_value());
  const auto problem = fit::make_fit_problem(family::gamma_log(), *d, y, linalg::VectorView(w));
  const auto criterion = fit::make_criterion_view(family::gamma_log(), *d, y, linalg::VectorView(w));
  const double rho = 0.5, lambda = std::exp(rho);
  auto vg = envelope_score(problem, criterion, Vector{rho});
  auto fit = inner::fit_at(problem, Vector{rho});
  ASSERT_TRUE(vg.has_value() && fit.has_value());
  ASSERT_FALSE(vg->degenerate);

  const double s = fit->deviance + lambda * reference_quad(d->penalties[0], fit->beta);
  const double m_p = static_cast<double>(d->null_space_dim);
  auto in_phi = [&](double phi) {
    return s / (2.0 * phi) - m_p / 2.0 * std::log(kTwoPi * phi) - testing::weighted_gamma_saturated(y, w, phi);
  };
  auto slope = [&](double phi) { return (in_phi(phi * (1.0 + 1e-6)) - in_phi(phi * (1.0 - 1e-6))) / (2e-6 * phi); };
  double lo = 1e-4, hi = 1e2;  // V falls, then rises in φ
  ASSERT_LT(slope(lo), 0.0);
  ASSERT_GT(slope(hi), 0.0);
  while (hi - lo > 1e-12 * hi) {
    const double mid = 0.5 * (lo + hi);
    (slope(mid) < 0.0 ? lo : hi) = mid;
  }
  const double phi = 0.5 * (lo + hi);
  // H = X'·diag(w·y/μ)·X + λS, the observed information of the log link.
  const Matrix& x = d->model_matrix;
  Matrix h(x.cols, x.cols);
  for (std::size_t a = 0; a < x.cols; ++a)
    for (std::size_t b = 0; b < x.cols; ++b) {
      double sum = lambda * d->penalties[0](a, b);
      for (std::size_t i = 0; i < x.rows; ++i) sum += x(i, a) * (w[i] * y[i] / fit->mu[i]) * x(i, b);
      h(a, b) = sum;
    }
  const double log_det = testing::log_abs_det(h);
  const double big_r = 0.5 * (static_cast<double>(d->penalty_ranks[0]) * rho + d->penalty_log_pdets[0]);
  const double value = in_phi(phi) + 0.5 * log_det - big_r;
  testing::expect_close(vg->value, value, 1e-12);
}

}  // namespace
}  // namespace kavri::score
