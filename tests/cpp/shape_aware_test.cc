// The joint criterion of the shape-managed families: its value against the
// densities written out here, its gradient against central differences of
// complete refits, the bounds of the Tweedie coordinates, and the order in
// which refit errors surface.
#include "score/shape_aware.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/plain_driver.h"
#include "fit/shape_driver.h"
#include "inner_fixture.h"
#include "shape_draws.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using testing::negbin_draws;
using testing::ocat_draws;
using testing::tdist_draws;
using testing::tweedie_draws;

using linalg::Matrix;
using linalg::Vector;

// The data and design of one problem, owned; `problem` views them. Inner
// fits to a tolerance far below the default need more than the default 50
// iterations.
template <class F>
struct Fixture {
  design::ModelDesign design;
  Vector y;
  std::optional<Vector> weights;
  score::ShapeProblem<F> problem;

  Fixture(const F& family, design::ModelDesign d, Vector response, double tol = 1e-9,
          std::optional<Vector> prior_weights = std::nullopt)
      : design(std::move(d)),
        y(std::move(response)),
        weights(std::move(prior_weights)),
        problem{fit::make_shape_problem(family, design, y,
                                        weights ? std::optional<linalg::VectorView>(*weights) : std::nullopt)} {
    problem.fit.settings.tol = tol;
    problem.fit.settings.max_iter = 200;
  }
  Fixture(const Fixture&) = delete;
};

// ln Σ_j exp(ℓ_j) of the Tweedie series at μ = y, every term up to j = 3000
// by std::lgamma, plus the exponent and −ln y: ln f(y; μ = y, p, φ).
double tweedie_log_density_at_mean(double y, double p, double phi) {
  if (y <= 0.0) return 0.0;
  const double alpha = (2.0 - p) / (1.0 - p);
  std::vector<double> terms;
  double top = -INFINITY;
  for (int j = 1; j <= 3000; ++j) {
    const double jd = j;
    const double l = -jd * alpha * std::log(y) + jd * alpha * std::log(p - 1.0) - jd * (1.0 - alpha) * std::log(phi) -
                     jd * std::log(2.0 - p) - std::lgamma(jd + 1.0) - std::lgamma(-jd * alpha);
    terms.push_back(l);
    top = std::max(top, l);
  }
  double s = 0.0;
  for (double l : terms) s += std::exp(l - top);
  return std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p) * phi) - std::log(y) + top + std::log(s);
}

// ½ln|H| of the penalized negative log-likelihood of one penalty at ρ.
template <class LogLik>
double half_log_det_of_density(const design::ModelDesign& d, const Vector& y, const Vector& w,
                               const inner::InnerFit& fit, double rho, double phi, LogLik&& loglik) {
  Matrix s = d.penalties[0];
  for (double& v : s.data) v *= std::exp(rho);
  return testing::half_log_det_of_density(d.model_matrix, s, y, w, fit.beta, phi, loglik);
}

// V from β, ½ln|H| and D of a fit, with c(y) from the densities.
double reference_value(const design::ModelDesign& d, const inner::InnerFit& fit, double rho, double phi,
                       double saturated, double half_log_det) {
  const Matrix& s = d.penalties[0];
  double q = 0.0;
  for (std::size_t a = 0; a < s.rows; ++a)
    for (std::size_t b = 0; b < s.cols; ++b) q += fit.beta[a] * s(a, b) * fit.beta[b];
  const double h = half_log_det;
  const double m_p = static_cast<double>(d.null_space_dim);
  const double r = 0.5 * (static_cast<double>(d.penalty_ranks[0]) * rho + d.penalty_log_pdets[0]);
  return (std::exp(rho) * q + fit.deviance) / (2.0 * phi) + h - 0.5 * m_p * std::log(2.0 * M_PI * phi) - r -
         saturated;
}

// The inner fit the evaluations run by default, counted in `counters` when
// given.
auto fit_at_rho(inner::FitCounters* counters = nullptr) {
  return [counters](const auto& fp, linalg::VectorView rho, const std::optional<inner::WarmStart>& warm) {
    return inner::fit_at(fp, rho, {.warm = warm, .counters = counters});
  };
}

// V at θ from a fresh refit.
template <class F>
double refit_value(const score::ShapeProblem<F>& problem, const Vector& theta) {
  auto outcome = shape_refit(problem, theta);
  EXPECT_TRUE(outcome.has_value());
  return shape_laml_value(problem, outcome->fit, outcome->family, theta[0]);
}

// The central difference of refitted V along coordinate c.
template <class F>
double refit_slope(const score::ShapeProblem<F>& problem, Vector theta, std::size_t c, double h) {
  const double at = theta[c];
  theta[c] = at + h;
  const double up = refit_value(problem, theta);
  theta[c] = at - h;
  const double down = refit_value(problem, theta);
  return (up - down) / (2.0 * h);
}

// ---------------------------------------------------------------------------
// Value.

// Six rows per family: the value is the Laplace approximation of the
// family's own density. c(y) by std::lgamma and the Tweedie series by all
// its terms differ from the library by a few ulps; ½ln|H| is that of the
// Hessian of the penalized negative log-likelihood by central differences
// (see `half_log_det_of_density`), within 1e-6 relative, and so is V.
TEST(ShapeValue, SixRowsAgainstTheDensities) {
  const Vector x = testing::covariate(6);
  const double rho = 0.4;
  {
    const double theta_nb = 2.5;
    Fixture<family::NegBin> f(family::negbin_log(1.0), testing::cr_design(6, 4), {0.0, 3.0, 1.0, 7.0, 0.0, 2.0});
    auto out = shape_refit(f.problem, Vector{rho, std::log(theta_nb)});
    ASSERT_TRUE(out.has_value());
    double c = 0.0;
    for (double y : f.y) {
      c += std::lgamma(y + theta_nb) - std::lgamma(theta_nb) + theta_nb * std::log(theta_nb / (y + theta_nb));
      if (y > 0.0) c += y * std::log(y / (y + theta_nb));
    }
    const double half = half_log_det_of_density(f.design, f.y, Vector(6, 1.0), out->fit, rho, 1.0,
                                                [&](double y, double eta) {
                                                  const double mu = std::exp(eta);
                                                  return theta_nb * std::log(theta_nb / (theta_nb + mu)) +
                                                         y * std::log(mu / (theta_nb + mu));
                                                });
    testing::expect_close(0.5 * refit_hessian(f.problem, out->fit, out->family, rho, false).log_det, half, 1e-6);
    testing::expect_close(shape_laml_value(f.problem, out->fit, out->family, rho),
                          reference_value(f.design, out->fit, rho, 1.0, c, half), 1e-6);
  }
  {
    const double sigma2 = 0.7, nu = 5.5;
    Fixture<family::TDist> f(family::tdist_identity(5.0, 1.0), testing::cr_design(6, 4),
                             {0.3, 1.9, 1.2, 0.8, -0.4, 2.6});
    auto out = shape_refit(f.problem, Vector{rho, std::log(sigma2), std::log(nu - 2.0)});
    ASSERT_TRUE(out.has_value());
    const double c =
        6.0 * (std::lgamma((nu + 1.0) / 2.0) - std::lgamma(nu / 2.0) - 0.5 * std::log(M_PI * nu * sigma2));
    const double half = half_log_det_of_density(f.design, f.y, Vector(6, 1.0), out->fit, rho, 1.0,
                                                [&](double y, double eta) {
                                                  const double r = y - eta;
                                                  return -0.5 * (nu + 1.0) * std::log1p(r * r / (nu * sigma2));
                                                });
    testing::expect_close(0.5 * refit_hessian(f.problem, out->fit, out->family, rho, false).log_det, half, 1e-6);
    testing::expect_close(shape_laml_value(f.problem, out->fit, out->family, rho),
                          reference_value(f.design, out->fit, rho, 1.0, c, half), 1e-6);
  }
  {
    const double phi = 1.3, p = 1.4;
    Fixture<family::Tweedie> f(family::tweedie_log(1.5, 1.0), testing::cr_design(6, 4),
                               {0.0, 2.2, 0.7, 4.1, 0.0, 1.5});
    auto out = shape_refit(f.problem, Vector{rho, std::log(phi), std::log((p - 1.0) / (2.0 - p))});
    ASSERT_TRUE(out.has_value());
    ASSERT_NEAR(out->family.p, p, 1e-15);
    double c = 0.0;
    for (double y : f.y) c += tweedie_log_density_at_mean(y, out->family.p, out->family.phi);
    const double half = half_log_det_of_density(
        f.design, f.y, Vector(6, 1.0), out->fit, rho, out->family.phi, [&](double y, double eta) {
          const double mu = std::exp(eta);
          return (y * std::pow(mu, 1.0 - p) / (1.0 - p) - std::pow(mu, 2.0 - p) / (2.0 - p)) / phi;
        });
    testing::expect_close(0.5 * refit_hessian(f.problem, out->fit, out->family, rho, false).log_det, half, 1e-6);
    testing::expect_close(shape_laml_value(f.problem, out->fit, out->family, rho),
                          reference_value(f.design, out->fit, rho, out->family.phi, c, half), 1e-6);
  }
  {
    Fixture<family::Ocat> f(family::ocat_identity(3), testing::cr_design(6, 4), {1.0, 2.0, 3.0, 3.0, 1.0, 2.0});
    auto out = shape_refit(f.problem, Vector{rho, std::log(1.5)});
    ASSERT_TRUE(out.has_value());
    double half = 0.0;
    for (std::size_t i = 0; i < out->fit.factor.rows; ++i) half += std::log(out->fit.factor(i, i));
    testing::expect_close(shape_laml_value(f.problem, out->fit, out->family, rho),
                          reference_value(f.design, out->fit, rho, 1.0, 0.0, half), 1e-12);
  }
}

// Responses at or below zero add exactly nothing to the negative binomial
// and Tweedie c(y): the value read with them left out of c(y) is the same
// double. Ocat's value does not read the responses' values at all.
TEST(ShapeValue, ResponsesAtZeroAddNothing) {
  const Vector y{0.0, 3.0, 1.0, 7.0, 0.0, 2.0};
  const Vector positive{3.0, 1.0, 7.0, 2.0};
  const Vector negative{-1.0, 3.0, 1.0, 7.0, -0.5, 2.0};
  {
    Fixture<family::NegBin> f(family::negbin_log(1.0), testing::cr_design(6, 4), y);
    auto out = shape_refit(f.problem, Vector{0.0, std::log(2.0)});
    ASSERT_TRUE(out.has_value());
    const double v = shape_laml_value(f.problem, out->fit, out->family, 0.0);
    score::ShapeProblem<family::NegBin> dropped = f.problem;
    dropped.criterion.y = positive;
    EXPECT_EQ(shape_laml_value(dropped, out->fit, out->family, 0.0), v);
  }
  {
    Fixture<family::Tweedie> f(family::tweedie_log(1.5, 1.0), testing::cr_design(6, 4), y);
    auto out = shape_refit(f.problem, Vector{0.0, 0.2, -0.3});
    ASSERT_TRUE(out.has_value());
    const double v = shape_laml_value(f.problem, out->fit, out->family, 0.0);
    for (const Vector* other : {&positive, &negative}) {
      score::ShapeProblem<family::Tweedie> changed = f.problem;
      changed.criterion.y = *other;
      EXPECT_EQ(shape_laml_value(changed, out->fit, out->family, 0.0), v);
    }
  }
  {
    Fixture<family::Ocat> f(family::ocat_identity(3), testing::cr_design(6, 4), {1.0, 2.0, 3.0, 3.0, 1.0, 2.0});
    auto out = shape_refit(f.problem, Vector{0.0, 0.0});
    ASSERT_TRUE(out.has_value());
    score::ShapeProblem<family::Ocat> changed = f.problem;
    const Vector other{3.0, 3.0, 1.0, 2.0, 2.0, 1.0};
    changed.criterion.y = other;
    EXPECT_EQ(shape_laml_value(changed, out->fit, out->family, 0.0),
              shape_laml_value(f.problem, out->fit, out->family, 0.0));
  }
}

// ---------------------------------------------------------------------------
// Gradient.

// The ρ entry follows β̂(ρ) through the weights of ½ln|H| on the exact
// curvature of the penalized deviance: the ordered categorical fit is a
// Newton fit on it, and the Tweedie, negative binomial and scaled t entries
// take it at the refit (the t weight reads the residual, so its curvature
// is not the working weight even in expectation). So the
// entry is the slope of the refitted V (step 1e-4, inner fits to 1e-14 as
// below): 1e-5 relative.
TEST(ShapeGradient, RhoEntryIsTheSlopeOfTheRefittedValue) {
  const Vector x = testing::covariate(80);
  Fixture<family::Ocat> oc(family::ocat_identity(4), testing::cr_design(80, 8), ocat_draws(x, 4, 6), 1e-14);
  Fixture<family::Tweedie> tw(family::tweedie_log(1.5, 1.0), testing::cr_design(80, 8), tweedie_draws(x, 1.5, 1.0, 5),
                              1e-14);
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(80, 8), negbin_draws(x, 11), 1e-14);
  Fixture<family::TDist> td(family::tdist_identity(5.0, 1.0), testing::cr_design(80, 8), tdist_draws(x, 9), 1e-14);
  for (double rho : {-4.0, 0.0, 4.0}) {
    SCOPED_TRACE(rho);
    auto check = [&](const auto& problem, const Vector& theta) {
      auto vg = shape_value_grad(problem, theta);
      ASSERT_TRUE(vg.has_value());
      const double fd = refit_slope(problem, theta, 0, 1e-4);
      EXPECT_LE(std::fabs(vg->gradient[0] - fd), 1e-5 * std::fabs(fd));
    };
    check(oc.problem, Vector{rho, 0.2, -0.1});
    check(tw.problem, Vector{rho, 0.1, -0.2});
    check(nb.problem, Vector{rho, std::log(2.0)});
    check(td.problem, Vector{rho, std::log(0.1), std::log(2.0)});
  }
}

// The Tweedie shape entries are analytic; with the change of ½ln|H| along
// the power they are the slopes of the refitted V. The refit difference
// (step 1e-4: truncation h²·V'''/6 ~ 1e-8, rounding ε·|V|/h ~ 1e-10) needs
// inner fits converged far below the default 1e-9, whose coefficients move
// V by up to 1e-9 and its difference by 1e-5: the fits here stop at 1e-14.
TEST(ShapeGradient, TweedieShapeEntriesAreSlopesOfTheRefittedValue) {
  const Vector x = testing::covariate(80);
  // Prior weights enter D, the weights of H and the power slope of D alike.
  for (bool weighted : {false, true}) {
    SCOPED_TRACE(weighted);
    Fixture<family::Tweedie> f(family::tweedie_log(1.5, 1.0), testing::cr_design(80, 8),
                               tweedie_draws(x, 1.4, 1.2, 7), 1e-14,
                               weighted ? std::optional<Vector>(testing::varied_weights(80)) : std::nullopt);
    const Vector points[] = {{0.5, std::log(1.3), 0.3}, {-1.0, -0.4, -1.2}, {2.0, 0.6, 1.5}};
    for (const Vector& theta : points) {
      SCOPED_TRACE(theta[0]);
      auto vg = shape_value_grad(f.problem, theta);
      ASSERT_TRUE(vg.has_value());
      ASSERT_EQ(vg->gradient.size(), 3u);
      for (std::size_t c : {0u, 1u, 2u}) {
        const double fd = refit_slope(f.problem, theta, c, 1e-4);
        EXPECT_LE(std::fabs(vg->gradient[c] - fd), 1e-5 * std::fabs(fd)) << "entry " << c;
      }
    }
  }
}

// Where the Tweedie power or dispersion is held at a bound, the entry is
// the derivative at the bound when it points back inside, else 0.
TEST(ShapeClamps, EntryAtABoundKeepsOnlyAnInwardSlope) {
  const double lower = -2.0, upper = 3.0;  // coordinates of the held values
  const struct {
    double coordinate, held, slope, expected;
  } table[] = {
      {-30.0, lower, -4.0, -4.0},  // below the lower bound, pointing up: kept
      {-30.0, lower, 4.0, 0.0},    // pointing further down: 0
      {40.0, upper, 4.0, 4.0},     // above the upper bound, pointing down: kept
      {40.0, upper, -4.0, 0.0},
      {1.0, 1.0 + 1e-15, 4.0, 4.0},  // inside: a round trip's rounding is no clamp
      {NAN, lower, 4.0, 4.0},
  };
  for (const auto& row : table) {
    const Vector theta{0.0, row.coordinate};
    Vector g{1.0, row.slope};
    detail::apply_shape_clamps(theta, Vector{row.held}, g);
    EXPECT_EQ(g[1], row.expected) << "coordinate " << row.coordinate << " slope " << row.slope;
    EXPECT_EQ(g[0], 1.0);
  }
}

// At θ_2 = ±40 the power is held at 1.95 or 1.05 and at θ_1 = −30 the
// dispersion at 1e-6: the gradient there is that at the bound itself, on
// data whose power lies inside (1.5), and the power entry is 0 on data whose
// power lies below the range (1.02), where the slope at 1.05 points out.
TEST(ShapeClamps, TweedieEntriesAtTheBounds) {
  const Vector x = testing::covariate(80);
  auto at_bound = [](const auto& problem, const Vector& theta) {
    auto held = shape_refit(problem, theta);
    EXPECT_TRUE(held.has_value());
    const Vector coords = held->family.theta_from_family();
    return shape_value_grad(problem, Vector{theta[0], coords[0], coords[1]});
  };
  Fixture<family::Tweedie> inside(family::tweedie_log(1.5, 1.0), testing::cr_design(80, 8),
                                  tweedie_draws(x, 1.5, 1.0, 8));
  const Vector points[] = {{0.0, 0.0, 40.0}, {0.0, 0.0, -40.0}, {0.0, -30.0, 0.0}};
  for (const Vector& theta : points) {
    SCOPED_TRACE(theta[1] + theta[2]);
    auto held = shape_value_grad(inside.problem, theta);
    auto bound = at_bound(inside.problem, theta);
    ASSERT_TRUE(held.has_value() && bound.has_value());
    // Same fit up to the last bit of p or φ: 1e-9 relative.
    for (std::size_t c = 0; c < 3; ++c) testing::expect_close(held->gradient[c], bound->gradient[c], 1e-9);
  }
  // The slope at each bound points back inside.
  EXPECT_GT(shape_value_grad(inside.problem, points[0])->gradient[2], 0.0);
  EXPECT_LT(shape_value_grad(inside.problem, points[1])->gradient[2], 0.0);
  EXPECT_LT(shape_value_grad(inside.problem, points[2])->gradient[1], 0.0);

  Fixture<family::Tweedie> below(family::tweedie_log(1.5, 1.0), testing::cr_design(80, 8),
                                 tweedie_draws(x, 1.02, 0.5, 9));
  const Vector low{0.0, std::log(0.5), -40.0};
  auto bound = at_bound(below.problem, low);
  ASSERT_TRUE(bound.has_value());
  ASSERT_GT(bound->gradient[2], 0.0);
  auto held = shape_value_grad(below.problem, low);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->gradient[2], 0.0);
  EXPECT_EQ(held->gradient[1], bound->gradient[1]);
}

// Near the Poisson and Gaussian limits the criterion still resolves the
// shape: on underdispersed counts (binomial, variance/mean 0.5) V falls
// towards θ → ∞ with a slope of order 1/θ, and on normal data towards
// ν → ∞ likewise. A slope formed from log-gamma differences that cancel
// would lose its sign here (1e-5 against V of order 100 is a relative
// 1e-7, near the rounding of such differences at θ = e^14).
TEST(ShapeGradient, ShapeEntriesKeepTheirSignNearTheLimits) {
  const Vector x = testing::covariate(200);
  std::mt19937 gen(21);
  Vector counts(x.size()), normal(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double mu = std::exp(1.5 + 0.5 * std::sin(3.0 * x[i]));
    counts[i] = static_cast<double>(std::binomial_distribution<int>(static_cast<int>(std::round(2.0 * mu)), 0.5)(gen));
    normal[i] = testing::true_eta(x[i]) + 0.3 * std::normal_distribution<double>(0.0, 1.0)(gen);
  }
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(200, 8), counts);
  Fixture<family::TDist> td(family::tdist_identity(5.0, 1.0), testing::cr_design(200, 8), normal);
  auto check = [](const std::vector<double>& slopes) {
    for (std::size_t i = 0; i < slopes.size(); ++i) {
      EXPECT_LT(slopes[i], 0.0) << "at " << i;
      if (i > 0) {
        EXPECT_LE(std::fabs(slopes[i]), std::fabs(slopes[i - 1]) / 5.0) << "at " << i;
      }
    }
  };
  std::vector<double> nb_slopes, td_slopes;
  for (double t : {12.0, 14.0, 16.0, 18.0}) {
    auto vg = shape_value_grad(nb.problem, Vector{0.0, t});
    ASSERT_TRUE(vg.has_value());
    nb_slopes.push_back(vg->gradient[1]);
  }
  for (double t : {10.0, 12.0, 14.0}) {
    auto vg = shape_value_grad(td.problem, Vector{0.0, std::log(0.09), t});
    ASSERT_TRUE(vg.has_value());
    td_slopes.push_back(vg->gradient[2]);
  }
  check(nb_slopes);
  check(td_slopes);
}

// ---------------------------------------------------------------------------
// Refits: how many, in which order, and what an error does.

// An inner fit that counts its calls and fails at the `fail_at`-th (from 1).
struct CountingFit {
  std::size_t calls = 0;
  std::size_t fail_at = 0;
  std::vector<Vector> shapes;

  template <class F>
  Result<inner::InnerFit> operator()(const inner::FitProblem<F>& problem, linalg::VectorView rho,
                                     const std::optional<inner::WarmStart>& warm) {
    ++calls;
    shapes.push_back(problem.family.theta_from_family());
    if (calls == fail_at) return singular_system("PIRLS factor: refit " + std::to_string(calls));
    return inner::fit_at(problem, rho, {.warm = warm});
  }
};

// The exact gradient from the refit at θ alone; the reference rule adds a
// refit either side of each shape coordinate without an analytic entry.
TEST(ShapeRefits, CountsPerFamily) {
  const Vector x = testing::covariate(40);
  auto count = [](const auto& problem, const Vector& theta, ShapeGradientRule rule) {
    inner::FitCounters counters;
    EXPECT_TRUE(shape_value_grad_with(problem, theta, fit_at_rho(&counters), rule).has_value());
    return counters.inner_fits;
  };
  constexpr ShapeGradientRule exact = ShapeGradientRule::Exact, reference = ShapeGradientRule::RefitDifferences;
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(40, 6), negbin_draws(x, 11));
  EXPECT_EQ(count(nb.problem, Vector{0.0, std::log(2.0)}, exact), 1u);
  EXPECT_EQ(count(nb.problem, Vector{0.0, std::log(2.0)}, reference), 3u);
  Fixture<family::TDist> td(family::tdist_identity(5.0, 1.0), testing::cr_design(40, 6), tdist_draws(x, 12));
  EXPECT_EQ(count(td.problem, Vector{0.0, std::log(0.1), std::log(3.0)}, exact), 1u);
  EXPECT_EQ(count(td.problem, Vector{0.0, std::log(0.1), std::log(3.0)}, reference), 5u);
  Fixture<family::Tweedie> tw(family::tweedie_log(1.5, 1.0), testing::cr_design(40, 6), tweedie_draws(x, 1.5, 1.0, 13));
  EXPECT_EQ(count(tw.problem, Vector{0.0, 0.0, 0.0}, exact), 1u);
  EXPECT_EQ(count(tw.problem, Vector{0.0, 0.0, 0.0}, reference), 1u);
  for (std::uint64_t cats : {2u, 3u, 4u}) {
    Fixture<family::Ocat> oc(family::ocat_new(Vector(cats > 2 ? cats - 2 : 0, 0.0), cats), testing::cr_design(40, 6),
                             ocat_draws(x, cats, 14));
    const Vector theta(cats - 1, 0.0);
    auto vg = shape_value_grad(oc.problem, theta);
    ASSERT_TRUE(vg.has_value());
    EXPECT_EQ(vg->gradient.size(), cats - 1);
    EXPECT_EQ(count(oc.problem, theta, exact), 1u) << cats << " categories";
    EXPECT_EQ(count(oc.problem, theta, reference), 2 * (cats - 1) - 1) << cats << " categories";
  }
}

// The refit at θ, then each shape coordinate's + side and − side in order:
// an error of the i-th refit is the result and no later refit runs. The
// fourth is the + side of ln(ν − 2), after ln σ² is complete.
TEST(ShapeRefits, FirstErrorEndsTheEvaluation) {
  const Vector x = testing::covariate(40);
  Fixture<family::TDist> td(family::tdist_identity(5.0, 1.0), testing::cr_design(40, 6), tdist_draws(x, 12));
  const Vector theta{0.0, std::log(0.1), std::log(3.0)};
  CountingFit all;
  ASSERT_TRUE(shape_value_grad_with(td.problem, theta, all, ShapeGradientRule::RefitDifferences).has_value());
  ASSERT_EQ(all.shapes.size(), 5u);
  const double h = 1e-5;
  const Vector order[] = {{theta[1], theta[2]},     {theta[1] + h, theta[2]}, {theta[1] - h, theta[2]},
                          {theta[1], theta[2] + h}, {theta[1], theta[2] - h}};
  for (std::size_t i = 0; i < 5; ++i) testing::expect_vector_near(all.shapes[i], order[i], 1e-14);
  for (std::size_t fail_at = 1; fail_at <= 5; ++fail_at) {
    SCOPED_TRACE(fail_at);
    CountingFit failing{.calls = 0, .fail_at = fail_at, .shapes = {}};
    auto vg = shape_value_grad_with(td.problem, theta, failing, ShapeGradientRule::RefitDifferences);
    ASSERT_FALSE(vg.has_value());
    ASSERT_TRUE(vg.error().is<SingularSystem>());
    EXPECT_EQ(vg.error().message(), "PIRLS factor: refit " + std::to_string(fail_at));
    EXPECT_EQ(failing.calls, fail_at);
  }
}

// The negative binomial shape entry is the difference of two fresh refits
// divided by the constant 2e-5, to the bit.
TEST(ShapeRefits, NegBinShapeEntryIsTheDifferenceOfRefits) {
  const Vector x = testing::covariate(40);
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(40, 6), negbin_draws(x, 11));
  const Vector theta{0.0, std::log(2.0)};
  auto vg = shape_value_grad_with(nb.problem, theta, fit_at_rho(), ShapeGradientRule::RefitDifferences);
  ASSERT_TRUE(vg.has_value());
  ASSERT_EQ(vg->gradient.size(), 2u);
  const double up = refit_value(nb.problem, Vector{0.0, std::log(2.0) + 1e-5});
  const double down = refit_value(nb.problem, Vector{0.0, std::log(2.0) - 1e-5});
  EXPECT_EQ(vg->gradient[1], (up - down) / 2e-5);
  EXPECT_EQ(vg->value, refit_value(nb.problem, theta));
}

// ---------------------------------------------------------------------------
// Frozen coefficients.

template <class F>
concept HasFrozenGradient = requires(const score::ShapeProblem<F>& p, linalg::VectorView v, const FrozenFitStats& s) {
  eval_grad_frozen_beta(p, v, v, s);
};
static_assert(HasFrozenGradient<family::Tweedie>);
static_assert(HasFrozenGradient<family::Ocat>);
static_assert(!HasFrozenGradient<family::NegBin>);
static_assert(!HasFrozenGradient<family::TDist>);

// At its base point the frozen gradient is the full one, to the bit; away
// from it only φ, p and λ follow θ, so the φ entry (which neither β̂ nor H
// depends on) still matches the refitted slope.
TEST(FrozenGradient, TweedieAtItsBasePointIsTheFullGradient) {
  const Vector x = testing::covariate(60);
  Fixture<family::Tweedie> f(family::tweedie_log(1.5, 1.0), testing::cr_design(60, 8), tweedie_draws(x, 1.4, 1.2, 15));
  const Vector points[] = {{0.3, 0.1, -0.2}, {0.0, 0.0, 40.0}, {0.0, -30.0, 0.0}};
  for (const Vector& theta : points) {
    auto full = shape_value_grad(f.problem, theta);
    auto base = shape_refit(f.problem, theta);
    ASSERT_TRUE(full.has_value() && base.has_value());
    auto frozen = eval_grad_frozen_beta(f.problem, theta, base->fit.mu, frozen_fit_stats(f.problem, theta, *base));
    ASSERT_TRUE(frozen.has_value());
    EXPECT_EQ(*frozen, full->gradient);
  }
}

TEST(FrozenGradient, OcatOnlyWithoutThresholds) {
  const Vector x = testing::covariate(40);
  Fixture<family::Ocat> two(family::ocat_new({}, 2), testing::cr_design(40, 6), ocat_draws(x, 2, 16));
  auto base = shape_refit(two.problem, Vector{0.5});
  ASSERT_TRUE(base.has_value());
  const FrozenFitStats stats = frozen_fit_stats(two.problem, Vector{0.5}, *base);
  auto g = eval_grad_frozen_beta(two.problem, Vector{0.5}, base->fit.mu, stats);
  ASSERT_TRUE(g.has_value());
  auto full = shape_value_grad(two.problem, Vector{0.5});
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(*g, full->gradient);
  // The ρ entry with the weight term is the refitted slope (fits to 1e-14).
  Fixture<family::Ocat> tight(family::ocat_new({}, 2), testing::cr_design(40, 6), ocat_draws(x, 2, 16), 1e-14);
  auto tight_g = shape_value_grad(tight.problem, Vector{0.5});
  ASSERT_TRUE(tight_g.has_value());
  const double fd = refit_slope(tight.problem, Vector{0.5}, 0, 1e-4);
  EXPECT_LE(std::fabs(tight_g->gradient[0] - fd), 1e-5 * std::fabs(fd));

  Fixture<family::Ocat> three(family::ocat_identity(3), testing::cr_design(40, 6), ocat_draws(x, 3, 17));
  auto wrong = eval_grad_frozen_beta(three.problem, Vector{0.5, 0.0}, base->fit.mu, stats);
  ASSERT_FALSE(wrong.has_value());
  testing::expect_invalid_parameter(
      wrong.error(),
      "eval_grad_frozen_beta called for a family without analytic_shape_score_gradient — gate this with "
      "has_analytic_shape_grad in the caller.");
}

// ---------------------------------------------------------------------------
// Outer evaluation.

// Inner fits per evaluation: by the exact rule the refit at θ alone where
// the family has the second-order shape traits; by differences of gradients
// for each column two refitted gradients after the base gradient, each one
// refit (1 + 2·(k − 1) by the reference rule); the Tweedie shape columns
// use the frozen gradient and refit nothing. The Hessian is exactly
// symmetric; the Tweedie value and gradient are those of `shape_value_grad`.
TEST(ShapeOuterEval, RefitsPerEvaluationAndSymmetry) {
  const Vector x = testing::covariate(40);
  auto run = [](const auto& problem, const Vector& theta, ShapeGradientRule rule = ShapeGradientRule::Exact) {
    inner::FitCounters counters;
    auto eval = rule == ShapeGradientRule::Exact ? shape_outer_eval(problem, theta, &counters)
                                                 : shape_outer_eval_with(problem, theta, fit_at_rho(&counters), rule);
    EXPECT_TRUE(eval.has_value());
    const std::size_t k = theta.size();
    EXPECT_EQ(eval->gradient.size(), k);
    EXPECT_EQ(eval->hessian.rows, k);
    for (std::size_t i = 0; i < k; ++i)
      for (std::size_t j = 0; j < k; ++j) EXPECT_EQ(eval->hessian(i, j), eval->hessian(j, i));
    EXPECT_EQ(counters.evaluations, rule == ShapeGradientRule::Exact ? 1u : 0u);
    return std::pair{counters.inner_fits, std::move(*eval)};
  };
  constexpr ShapeGradientRule reference = ShapeGradientRule::RefitDifferences;
  constexpr ShapeGradientRule differences = ShapeGradientRule::GradientDifferences;
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(40, 6), negbin_draws(x, 11));
  EXPECT_EQ(run(nb.problem, Vector{0.0, std::log(2.0)}).first, 1u);
  EXPECT_EQ(run(nb.problem, Vector{0.0, std::log(2.0)}, differences).first, 5u);
  EXPECT_EQ(run(nb.problem, Vector{0.0, std::log(2.0)}, reference).first, 15u);
  Fixture<family::TDist> td(family::tdist_identity(5.0, 1.0), testing::cr_design(40, 6), tdist_draws(x, 12));
  EXPECT_EQ(run(td.problem, Vector{0.0, std::log(0.1), std::log(3.0)}).first, 1u);
  EXPECT_EQ(run(td.problem, Vector{0.0, std::log(0.1), std::log(3.0)}, differences).first, 7u);
  EXPECT_EQ(run(td.problem, Vector{0.0, std::log(0.1), std::log(3.0)}, reference).first, 35u);
  Fixture<family::Tweedie> tw(family::tweedie_log(1.5, 1.0), testing::cr_design(40, 6), tweedie_draws(x, 1.5, 1.0, 13));
  const Vector tw_theta{0.2, 0.1, -0.3};
  EXPECT_EQ(run(tw.problem, tw_theta).first, 1u);
  auto [tw_fits, tw_eval] = run(tw.problem, tw_theta, differences);
  EXPECT_EQ(tw_fits, 3u);
  auto tw_vg = shape_value_grad(tw.problem, tw_theta);
  ASSERT_TRUE(tw_vg.has_value());
  EXPECT_EQ(tw_eval.value, tw_vg->value);
  EXPECT_EQ(tw_eval.gradient, tw_vg->gradient);
  auto tw_exact = shape_outer_eval(tw.problem, tw_theta);
  ASSERT_TRUE(tw_exact.has_value());
  EXPECT_EQ(tw_exact->value, tw_vg->value);
  EXPECT_EQ(tw_exact->gradient, tw_vg->gradient);
  // Column 0 from refitted gradients at ρ ± 1e-4; column 1 from frozen ones
  // at ln φ ± 1e-5, which here equal refitted ones: the re-weighted fit
  // does not read φ, so a refit at another φ is the same fit. Column 0's
  // refits start from the base refit, so they stop elsewhere within the
  // fits' tolerance 1e-9 than fits from the family's start: over 2e-4 that
  // is about 1e-5 of the entry.
  auto g_at = [&](std::size_t c, double h) {
    Vector up = tw_theta, down = tw_theta;
    up[c] += h;
    down[c] -= h;
    return std::pair{shape_value_grad(tw.problem, up)->gradient[c], shape_value_grad(tw.problem, down)->gradient[c]};
  };
  const auto [g0_up, g0_down] = g_at(0, 1e-4);
  EXPECT_NEAR(tw_eval.hessian(0, 0), (g0_up - g0_down) / 2e-4, 5e-5 * std::fabs(tw_eval.hessian(0, 0)));
  const auto [g1_up, g1_down] = g_at(1, 1e-5);
  EXPECT_EQ(tw_eval.hessian(1, 1), (g1_up - g1_down) / 2e-5);
  for (std::uint64_t cats : {2u, 3u, 4u, 5u}) {
    Fixture<family::Ocat> oc(family::ocat_new(Vector(cats - 2, 0.0), cats), testing::cr_design(40, 6),
                             ocat_draws(x, cats, 14));
    const std::uint64_t k = cats - 1;
    // Two categories leave ρ alone, a column of refitted gradients.
    EXPECT_EQ(run(oc.problem, Vector(k, 0.0)).first, cats == 2 ? 3u : 1u) << cats;
    EXPECT_EQ(run(oc.problem, Vector(k, 0.0), differences).first, 1 + 2 * k) << cats;
    EXPECT_EQ(run(oc.problem, Vector(k, 0.0), reference).first, cats == 2 ? 3u : (2 * k - 1) * (2 * k + 1)) << cats;
  }
}

// By the reference rule: the base, its two shape refits, then per column
// the + side's three refits and the − side's three; by differences of exact
// gradients the base and one refit per side of each column; by the exact
// rule the base alone. An error of the i-th refit,
// down to the last, is the result and no later refit runs.
TEST(ShapeOuterEval, FirstErrorEndsTheEvaluation) {
  const Vector x = testing::covariate(40);
  Fixture<family::NegBin> nb(family::negbin_log(1.0), testing::cr_design(40, 6), negbin_draws(x, 11));
  const Vector theta{0.0, std::log(2.0)};
  for (auto [rule, refits] : {std::pair{ShapeGradientRule::RefitDifferences, 15u},
                              std::pair{ShapeGradientRule::GradientDifferences, 5u}, std::pair{ShapeGradientRule::Exact, 1u}})
    for (std::size_t fail_at = 1; fail_at <= refits; ++fail_at) {
      SCOPED_TRACE(fail_at);
      CountingFit failing{.calls = 0, .fail_at = fail_at, .shapes = {}};
      auto eval = shape_outer_eval_with(nb.problem, theta, failing, rule);
      ASSERT_FALSE(eval.has_value());
      EXPECT_EQ(eval.error().message(), "PIRLS factor: refit " + std::to_string(fail_at));
      EXPECT_EQ(failing.calls, fail_at);
    }
}

}  // namespace
}  // namespace kavri::score
