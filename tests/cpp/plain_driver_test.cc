#include "fit/plain_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design/cr.h"
#include "design/predictor_matrix.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "design_fixtures.h"
#include "inner_fixture.h"
#include "score/envelope.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double f_true(double x) { return std::sin(2.0 * std::numbers::pi * x); }

struct SmoothData {
  Matrix x;  // n × 1
  Vector y;
};

SmoothData sine_data(std::size_t n, double sigma, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, sigma);
  SmoothData d{Matrix(n, 1), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    d.x(i, 0) = u(gen);
    d.y[i] = f_true(d.x(i, 0)) + noise(gen);
  }
  return d;
}

design::ModelDesign cr_design_of(const Matrix& x, std::uint64_t k) {
  auto d = design::build_single_cr_design(x, k);
  EXPECT_TRUE(d.has_value()) << d.error().display();
  return std::move(*d);
}

TEST(GaussianFit, RecoversASmoothCurveWithinItsIntervals) {
  const std::size_t n = 500;
  const SmoothData data = sine_data(n, 0.3, 11);
  auto fitted = fit_family(family::gaussian_identity(), cr_design_of(data.x, 10), n, data.y, std::nullopt);
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  EXPECT_TRUE(fitted->converged);
  EXPECT_GT(fitted->edf_total, 4.0);
  EXPECT_LT(fitted->edf_total, 9.0);
  EXPECT_EQ(fitted->link_kind, LinkKind::Identity);
  EXPECT_NEAR(fitted->scale, 0.09, 0.09 * 0.2);  // σ² = 0.09; n = 500 puts its estimate within ±13% at 2 s.e.

  // Pointwise 95% intervals on a grid: a correct fit covers f at about 95%
  // of the points; 85% leaves room for the bias of a penalized fit.
  Matrix grid(101, 1);
  for (std::size_t g = 0; g < grid.rows; ++g) grid(g, 0) = 0.005 + 0.99 * static_cast<double>(g) / 100.0;
  auto xg = design::predictor_design_matrix(fitted->predictor, grid);
  ASSERT_TRUE(xg.has_value());
  const double z = normal_quantile(0.975);
  std::size_t covered = 0;
  for (std::size_t g = 0; g < grid.rows; ++g) {
    double eta = 0.0, var = 0.0;
    for (std::size_t a = 0; a < xg->cols; ++a) {
      eta += (*xg)(g, a) * fitted->beta[a];
      for (std::size_t b = 0; b < xg->cols; ++b) var += (*xg)(g, a) * fitted->vcov(a, b) * (*xg)(g, b);
    }
    if (std::fabs(eta - f_true(grid(g, 0))) <= z * std::sqrt(var)) ++covered;
  }
  EXPECT_GE(covered, 86u);

  // The criterion's gradient where the search stopped is below the
  // search's own tolerance.
  design::ModelDesign again = cr_design_of(data.x, 10);
  const auto problem = make_fit_problem(family::gaussian_identity(), again, data.y, std::nullopt);
  const auto criterion = make_criterion_view(family::gaussian_identity(), again, data.y, std::nullopt);
  auto at = score::envelope_score(problem, criterion, fitted->rho);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(at->value, fitted->reml_value);
  EXPECT_LT(std::fabs(at->gradient[0]), outer::kGradientTolerance * (1.0 + static_cast<double>(n)));
}

using Driver = std::function<Result<FittedGam>(design::ModelDesign, std::uint64_t, VectorView, std::optional<VectorView>)>;

template <class F>
Driver driver_of(F family) {
  return [family](design::ModelDesign d, std::uint64_t n, VectorView y, std::optional<VectorView> w) {
    return fit_family(family, std::move(d), n, y, w);
  };
}

TEST(PlainDriver, InputChecksRunInOrderWithTheirMessages) {
  constexpr std::size_t n = 60;
  const Vector counts = testing::draw_response(testing::Response::Counts, testing::covariate(n), 1);
  auto with = [](Vector v, std::size_t row, double value) {
    v[row] = value;
    return v;
  };
  const Vector ones(n, 1.0);
  struct Case {
    const char* name;
    Driver driver;
    std::size_t y_len;
    Vector y;
    std::optional<Vector> weights;
    const char* message;
    std::optional<std::size_t> rows = std::nullopt;  // n when absent
  } cases[] = {
      {"no rows, before the row count", driver_of(family::gaussian_identity()), n, counts, std::nullopt,
       "x must have at least one row", 0},
      {"no rows, before the weight count", driver_of(family::poisson_log()), 0, counts, Vector(3, 1.0),
       "x must have at least one row", 0},
      {"both counts wrong: rows first", driver_of(family::gaussian_identity()), n - 1, counts, Vector(n - 2, 1.0),
       "x and y must have the same number of rows; got x.nrows()=60, y.len()=59"},
      {"weight count", driver_of(family::poisson_log()), n, counts, Vector(n + 1, 1.0),
       "prior_weights length must match x rows; got weights.len()=61, x.nrows()=60"},
      {"negative weight", driver_of(family::poisson_log()), n, counts, with(ones, 3, -0.5),
       "prior weights must be finite and non-negative; got w=-0.5 at row 3"},
      {"NaN weight", driver_of(family::gaussian_identity()), n, counts, with(ones, 0, kNaN),
       "prior weights must be finite and non-negative; got w=NaN at row 0"},
      {"infinite weight", driver_of(family::gamma_log()), n, with(counts, 1, 0.0), with(ones, 7, kInf),
       "prior weights must be finite and non-negative; got w=inf at row 7"},
      {"weights before the response", driver_of(family::poisson_log()), n, with(counts, 0, -1.0), with(ones, 9, -1.0),
       "prior weights must be finite and non-negative; got w=-1 at row 9"},
      {"all weights zero, -0.0 included", driver_of(family::gaussian_identity()), n, counts,
       with(Vector(n, 0.0), 4, -0.0), "prior weights must not all be zero"},
      {"weight values before all zero", driver_of(family::gaussian_identity()), n, counts,
       with(Vector(n, 0.0), 7, kNaN), "prior weights must be finite and non-negative; got w=NaN at row 7"},
      {"weight count before all zero", driver_of(family::poisson_log()), n, counts, Vector(n - 1, 0.0),
       "prior_weights length must match x rows; got weights.len()=59, x.nrows()=60"},
      {"all weights zero before the response", driver_of(family::gamma_log()), n, with(counts, 0, 0.0),
       Vector(n, 0.0), "prior weights must not all be zero"},
      {"gaussian NaN response", driver_of(family::gaussian_identity()), n, with(counts, 2, kNaN), std::nullopt,
       "y must be finite; got y=NaN at row 2"},
      {"gaussian infinite response", driver_of(family::gaussian_identity()), n, with(with(counts, 5, -kInf), 8, kNaN), ones,
       "y must be finite; got y=-inf at row 5"},
      {"poisson first negative", driver_of(family::poisson_log()), n, with(with(with(counts, 0, 0.0), 2, -1.0), 3, -3.0),
       std::nullopt, "Poisson requires y ≥ 0; got y=-1 at row 2"},
      {"quasipoisson infinite count", driver_of(family::quasipoisson_log()), n, with(counts, 1, kInf), std::nullopt,
       "y must be finite; got y=inf at row 1"},
      {"gamma zero", driver_of(family::gamma_log()), n, with(counts, 0, 0.0), std::nullopt, "Gamma requires y > 0; got y=0 at row 0"},
      {"gamma NaN", driver_of(family::gamma_log()), n, with(ones, 0, kNaN), std::nullopt, "y must be finite; got y=NaN at row 0"},
      {"inverse gaussian negative", driver_of(family::inverse_gaussian_log()), n, with(ones, 11, -2.0), std::nullopt,
       "InverseGaussian requires y > 0; got y=-2 at row 11"},
      {"bernoulli above one", driver_of(family::bernoulli_logit()), n, with(Vector(n, 0.5), 4, 1.5), std::nullopt,
       "Bernoulli requires y in [0, 1]; got y=1.5 at row 4"},
      {"quasibinomial NaN", driver_of(family::quasibinomial_logit()), n, with(Vector(n, 0.5), 6, kNaN), std::nullopt,
       "y must be finite; got y=NaN at row 6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<VectorView> w;
    if (c.weights) w = VectorView(*c.weights);
    auto fitted = c.driver(testing::cr_design(n, 6), c.rows.value_or(n), VectorView(c.y.data(), c.y_len), w);
    ASSERT_FALSE(fitted.has_value());
    testing::expect_invalid_parameter(fitted.error(), c.message);
  }
}

// The final fit at the chosen ρ, run again outside the driver.
template <family::Family F>
inner::InnerFit refit(const design::ModelDesign& d, const Vector& y, std::optional<VectorView> wv,
                      const Vector& rho) {
  auto fit = inner::fit_at(make_fit_problem(F{}, d, y, wv), rho);
  EXPECT_TRUE(fit.has_value());
  return std::move(*fit);
}

// The Pearson variance by family, written out: V(μ) at the floored mean.
double reference_pearson(testing::Response kind, bool binary, const Vector& y, const Vector& mu, const Vector& w,
                         double edf) {
  double sum = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double m = std::max(mu[i], binary ? 1e-15 : 1e-300);
    double v = 0.0;
    if (binary) {
      const double c = std::min(m, 1.0 - 1e-15);
      v = c * (1.0 - c);
    } else if (kind == testing::Response::Counts) {
      v = m;
    } else if (kind == testing::Response::GammaLike) {
      v = m * m;
    } else {
      v = m * m * m;
    }
    sum += w[i] * (y[i] - m) * (y[i] - m) / v;
  }
  return sum / (static_cast<double>(y.size()) - edf);
}

constexpr double kRefitTolerance = 1e-6;

template <family::Family F>
void expect_plain_fit(testing::Response kind, LinkKind link, bool weighted) {
  constexpr std::size_t n = 80;
  const design::ModelDesign d = testing::cr_design(n, 7);
  Vector y = testing::draw_response(kind, testing::covariate(n), 21);
  const bool binary = link == LinkKind::Logit;
  const Vector w = weighted ? testing::varied_weights(n) : Vector(n, 1.0);
  std::optional<VectorView> wv;
  if (weighted) wv = VectorView(w);
  auto fitted = fit_family(F{}, d, n, y, wv);
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  const FittedGam& g = *fitted;
  EXPECT_TRUE(g.converged);
  EXPECT_EQ(g.link_kind, link);
  EXPECT_EQ(g.n, n);
  EXPECT_TRUE(g.shape_params.empty());
  ASSERT_EQ(g.rho.size(), 1u);
  EXPECT_EQ(g.lambda, Vector{std::exp(g.rho[0])});
  ASSERT_EQ(g.edf_per_term.size(), 1u);
  // edf_total = p − λ·tr(H⁻¹S) and the term's edf = (p − 1) − λ·tr(H⁻¹S):
  // they differ by the intercept, up to the rounding of two traces.
  EXPECT_NEAR(g.edf_total - g.edf_per_term[0], 1.0, 1e-9);
  EXPECT_GT(g.edf_total, 2.0);
  EXPECT_LT(g.edf_total, 7.0);
  EXPECT_EQ(g.predictor, d.predictor);

  // The record holds the fit at the chosen ρ. The search's own fit there
  // started from a neighbouring fit, so it matches a fresh fit only as far
  // as the inner loop converged (the deviance to 1e-9 relative), and its
  // factor, one update behind the coefficients, moves with the size of the
  // last step: both within 1e-6 relative.
  const inner::InnerFit final_fit = refit<F>(d, y, wv, g.rho);
  for (std::size_t j = 0; j < g.beta.size(); ++j)
    EXPECT_NEAR(g.beta[j], final_fit.beta[j], kRefitTolerance * std::fabs(final_fit.beta[j])) << "at " << j;
  // The summaries read the expected information at the fitted means,
  // X'·diag(W_F)·X + λS, W_F = w/(V·g'²) written out per family; its
  // inverse by an independent elimination.
  Vector fisher(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mu = final_fit.mu[i];
    double wf = 1.0;  // the Gaussian and the log-linked Gamma
    if (binary) wf = mu * (1.0 - mu);
    if (kind == testing::Response::Counts) wf = mu;
    if (kind == testing::Response::InverseGaussianLike) wf = 1.0 / mu;
    fisher[i] = w[i] * wf;
  }
  Matrix s = d.penalties[0];
  for (double& v : s.data) v *= std::exp(g.rho[0]);
  const Matrix h = testing::naive_penalized_hessian(d.model_matrix, fisher, s);
  const Matrix h_inv = testing::gauss_inverse(h);
  // An entry of an inverse is as accurate as its row's and column's scale,
  // sqrt(|H⁻¹_aa·H⁻¹_bb|) (its bound), not relative to itself: entries
  // that cancel to 1e-19 beside a diagonal of order 1e-2 carry the
  // diagonal's rounding.
  auto entry_scale = [&](std::size_t i) {
    const std::size_t p = h_inv.rows, a = i / p, b = i % p;
    return std::sqrt(std::fabs(h_inv(a, a) * h_inv(b, b)));
  };
  if (F::scale_rule() == family::ScaleRule::Fixed) {
    EXPECT_EQ(g.scale, 1.0);
    ASSERT_EQ(g.vcov.data.size(), h_inv.data.size());
    for (std::size_t i = 0; i < h_inv.data.size(); ++i)
      EXPECT_NEAR(g.vcov.data[i], h_inv.data[i], kRefitTolerance * entry_scale(i));
  } else {
    if constexpr (F::inner_fit_kind() != family::InnerFitKind::ClosedForm) {
      // The Pearson sum written out, over the same final means: the sums
      // agree to rounding, 1e-12 relative.
      testing::expect_close(g.scale, reference_pearson(kind, binary, y, final_fit.mu, w,
                                                       g.edf_total),
                            kRefitTolerance);
    }
    ASSERT_EQ(g.vcov.data.size(), h_inv.data.size());
    for (std::size_t i = 0; i < h_inv.data.size(); ++i)
      EXPECT_NEAR(g.vcov.data[i], g.scale * h_inv.data[i], kRefitTolerance * g.scale * entry_scale(i));
  }
}

TEST(PlainDriver, EveryFamilyFitsASingleSmooth) {
  using testing::Response;
  SCOPED_TRACE("gaussian");
  expect_plain_fit<family::Gaussian>(Response::Normal, LinkKind::Identity, false);
  SCOPED_TRACE("gaussian, weighted");
  expect_plain_fit<family::Gaussian>(Response::Normal, LinkKind::Identity, true);
  SCOPED_TRACE("bernoulli");
  expect_plain_fit<family::Bernoulli>(Response::Binary, LinkKind::Logit, false);
  SCOPED_TRACE("quasibinomial");
  expect_plain_fit<family::QuasiBinomial>(Response::Binary, LinkKind::Logit, false);
  SCOPED_TRACE("poisson");
  expect_plain_fit<family::Poisson>(Response::Counts, LinkKind::Log, false);
  SCOPED_TRACE("quasipoisson, weighted");
  expect_plain_fit<family::QuasiPoisson>(Response::Counts, LinkKind::Log, true);
  SCOPED_TRACE("gamma, weighted");
  expect_plain_fit<family::Gamma>(Response::GammaLike, LinkKind::Log, true);
  SCOPED_TRACE("inverse gaussian");
  expect_plain_fit<family::InverseGaussian>(Response::InverseGaussianLike, LinkKind::Log, false);
}

TEST(PlainDriver, GaussianScaleIsResidualPlusPenaltyOverResidualDimensions) {
  constexpr std::size_t n = 80;
  const design::ModelDesign d = testing::cr_design(n, 7);
  const Vector y = testing::draw_response(testing::Response::Normal, testing::covariate(n), 4);
  auto fitted = fit_family(family::gaussian_identity(), d, n, y, std::nullopt);
  ASSERT_TRUE(fitted.has_value());
  const inner::InnerFit f = refit<family::Gaussian>(d, y, std::nullopt, fitted->rho);
  double rss = 0.0, pen = 0.0;
  for (std::size_t i = 0; i < n; ++i) rss += (y[i] - f.mu[i]) * (y[i] - f.mu[i]);
  for (std::size_t a = 0; a < f.beta.size(); ++a)
    for (std::size_t b = 0; b < f.beta.size(); ++b) pen += f.beta[a] * d.penalties[0](a, b) * f.beta[b];
  pen *= std::exp(fitted->rho[0]);
  // M_p = 2 (intercept and the spline's linear part); sums of 80 squares.
  testing::expect_close(fitted->scale, (rss + pen) / static_cast<double>(n - 2), 1e-12);
}

TEST(PlainDriver, AnExactFitHasANonNegativeScaleAndCovariance) {
  // y = 3x + 1 lies in the spline's unpenalised space: the fit is exact and
  // RSS + λβ'Sβ is zero up to rounding, which falls below zero for these
  // sizes.
  for (const std::size_t n : {10, 40, 80}) {
    SCOPED_TRACE(n);
    Matrix x(n, 1);
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = static_cast<double>(i) / static_cast<double>(n - 1);
      y[i] = 3.0 * x(i, 0) + 1.0;
    }
    auto fitted = fit_family(family::gaussian_identity(), cr_design_of(x, 8), n, y, std::nullopt);
    ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
    EXPECT_FALSE(std::signbit(fitted->scale));
    // Rounding only: far below the response's variance of 0.75.
    EXPECT_LT(fitted->scale, 1e-10);
    for (std::size_t j = 0; j < fitted->vcov.rows; ++j) EXPECT_FALSE(std::signbit(fitted->vcov(j, j))) << "at " << j;
  }
}

TEST(PlainDriver, AdditiveDesignGetsOneSmoothingParameterPerPenalty) {
  // A spline and a tensor term: three penalties, three zeros to start from.
  constexpr std::size_t n = 150;
  Matrix x(n, 3);
  Vector y(n);
  std::mt19937 gen(8);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.2);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < 3; ++j) x(i, j) = u(gen);
    y[i] = std::sin(3.0 * x(i, 0)) + x(i, 1) * std::cos(2.0 * x(i, 2)) + noise(gen);
  }
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 6), testing::te_term(1, 2, 4, 4)};
  auto d = design::build_additive_design(x, terms);
  ASSERT_TRUE(d.has_value());
  const std::size_t p = d->model_matrix.cols;
  std::size_t penalized_rows = 0;  // rows of each penalty that are not all zero
  for (const Matrix& s : d->penalties)
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t c = 0; c < p; ++c)
        if (s(i, c) != 0.0) {
          ++penalized_rows;
          break;
        }
  auto fitted = fit_family(family::gaussian_identity(), std::move(*d), n, y, std::nullopt);
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  EXPECT_TRUE(fitted->converged);
  ASSERT_EQ(fitted->rho.size(), 3u);
  ASSERT_EQ(fitted->lambda.size(), 3u);
  ASSERT_EQ(fitted->edf_per_term.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(fitted->lambda[j], std::exp(fitted->rho[j]));
  // edf_total − Σ_j edf_j = p − Σ_j r_j, up to the rounding of traces of
  // H⁻¹, whose condition grows with the largest λ_j: ε·max(1, λ_max).
  const double sum = fitted->edf_per_term[0] + fitted->edf_per_term[1] + fitted->edf_per_term[2];
  double lambda_max = 1.0;
  for (double l : fitted->lambda) lambda_max = std::max(lambda_max, l);
  EXPECT_NEAR(fitted->edf_total - sum, static_cast<double>(p) - static_cast<double>(penalized_rows),
              std::max(1e-9, 10.0 * std::numeric_limits<double>::epsilon() * lambda_max));
}

TEST(PlainDriver, CountersRecordEveryEvaluationAndInnerFit) {
  // Each evaluation reads one centre fit: the start's own, or that of the
  // line-search trial it accepted, which is valued by one fit like every
  // rejected trial. The closed form adds the final fit; a re-weighted
  // family keeps its last centre. The closed form counts one iteration per
  // fit; a re-weighted fit at least one, and two or more where it starts
  // cold.
  constexpr std::size_t n = 80;
  struct Case {
    const char* name;
    std::function<Result<FittedGam>(inner::FitCounters*)> fit;
    bool closed_form;
  };
  const Vector normal = testing::draw_response(testing::Response::Normal, testing::covariate(n), 4);
  const Vector counts = testing::draw_response(testing::Response::Counts, testing::covariate(n), 4);
  const Case cases[] = {
      {"gaussian",
       [&](inner::FitCounters* c) { return fit_family(family::gaussian_identity(), testing::cr_design(n, 7), n, normal,
                                               std::nullopt, c); },
       true},
      {"poisson",
       [&](inner::FitCounters* c) { return fit_family(family::poisson_log(), testing::cr_design(n, 7), n, counts,
                                               std::nullopt, c); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inner::FitCounters counters;
    auto fitted = c.fit(&counters);
    ASSERT_TRUE(fitted.has_value());
    EXPECT_GE(counters.evaluations, fitted->n_iters + 1);
    // One fit per trial and per evaluation (none where the evaluation is at
    // the point its trial just fitted), none beside them: the Hessian is
    // exact. The final fit is the last centre, refitted only by the closed
    // form.
    const std::uint64_t final_fit = c.closed_form ? 1 : 0;
    EXPECT_LE(counters.inner_fits, counters.evaluations + counters.values + final_fit);
    EXPECT_GE(counters.inner_fits, counters.values + final_fit);
    if (c.closed_form) EXPECT_EQ(counters.pirls_iterations, counters.inner_fits);
    else EXPECT_GT(counters.pirls_iterations, counters.inner_fits);
    // Counting changes nothing.
    auto uncounted = c.fit(nullptr);
    ASSERT_TRUE(uncounted.has_value());
    EXPECT_EQ(uncounted->beta, fitted->beta);
  }
}

TEST(PearsonScale, UndefinedWithoutResidualDegreesOfFreedom) {
  const Vector y{1.0, 2.0, 4.0}, mu{1.5, 2.0, 3.0}, w{1.0, 2.0, 1.0};
  struct Case {
    const char* name;
    double edf;
  } undefined[] = {{"edf = n", 3.0}, {"edf above n", 3.5}, {"NaN edf", kNaN}};
  for (const Case& c : undefined) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(std::isnan(pearson_scale(family::quasipoisson_log(), y, mu, w, c.edf)));
  }
  // (0.25/1.5 + 0 + 1/3) / (3 − 2.5), each term exact to an ulp.
  EXPECT_NEAR(pearson_scale(family::quasipoisson_log(), y, mu, w, 2.5), (0.25 / 1.5 + 1.0 / 3.0) / 0.5, 1e-15);
}

TEST(PearsonScale, MeansAreFlooredAndBinaryMeansCapped) {
  struct Case {
    const char* name;
    family::PearsonTerm term;
    double mean, variance;
  } cases[] = {
      {"quasipoisson", family::QuasiPoisson::pearson_term(2.0), 2.0, 2.0},
      {"quasipoisson at zero", family::QuasiPoisson::pearson_term(0.0), 1e-300, 1e-300},
      {"quasipoisson NaN", family::QuasiPoisson::pearson_term(kNaN), 1e-300, 1e-300},
      {"gamma", family::Gamma::pearson_term(3.0), 3.0, 9.0},
      {"inverse gaussian", family::InverseGaussian::pearson_term(2.0), 2.0, 8.0},
      {"quasibinomial", family::QuasiBinomial::pearson_term(0.25), 0.25, 0.1875},
      {"quasibinomial at zero", family::QuasiBinomial::pearson_term(0.0), 1e-15, 1e-15 * (1.0 - 1e-15)},
      {"quasibinomial at one", family::QuasiBinomial::pearson_term(1.0), 1.0,
       0.999999999999999 * (1.0 - 0.999999999999999)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.term.mean, c.mean);
    EXPECT_EQ(c.term.variance, c.variance);
  }
}

}  // namespace
}  // namespace kavri::fit
