// Properties every family shares, checked against textbook log-densities
// written out here independently of the family code, plus the shared pieces
// of the interface: response checks, working quantities, unit weights and
// the profiled scale.
#include "family/family.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"

namespace kavri::family {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;

struct Point {
  double y;
  double mu;
};

// A family's reference model: its log-density ℓ(y | μ, φ) from the textbook,
// the saturated term the criterion subtracts, the scale at which to compare,
// and points inside its domain. The quasi families share the deviance of
// their twins and take the normal saturated term.
template <class F>
struct Model;

double normal_saturated(const Vector& y, double phi) {
  return -0.5 * static_cast<double>(y.size()) * std::log(2.0 * kPi * phi);
}

template <>
struct Model<Gaussian> {
  static constexpr double phi = 0.7;
  static double loglik(double y, double mu, double s) {
    return -0.5 * std::log(2.0 * kPi * s) - (y - mu) * (y - mu) / (2.0 * s);
  }
  static double saturated(const Vector& y, double s) { return normal_saturated(y, s); }
  static std::vector<Point> points() { return {{1.3, 0.2}, {-2.0, 1.5}, {0.0, 3.0}, {4.0, -4.0}}; }
  static std::vector<double> means() { return {-2.0, 0.5, 3.0}; }
};

struct PoissonModel {
  static constexpr double phi = 1.0;
  static double loglik(double y, double mu, double /*s*/) {
    return (y > 0.0 ? y * std::log(mu) : 0.0) - mu - std::lgamma(y + 1.0);
  }
  static std::vector<Point> points() { return {{0.0, 0.5}, {3.0, 1.2}, {7.0, 9.5}, {1.0, 1e-3}, {2.5, 40.0}}; }
  static std::vector<double> means() { return {1e-3, 0.7, 20.0}; }
};
template <>
struct Model<Poisson> : PoissonModel {
  // ℓ(y | y) without its −ln y! term.
  static double saturated(const Vector& y, double s) {
    double c = 0.0;
    for (double v : y) c += loglik(v, v, s) + std::lgamma(v + 1.0);
    return c;
  }
};
template <>
struct Model<QuasiPoisson> : PoissonModel {
  static double saturated(const Vector& y, double s) { return normal_saturated(y, s); }
};

struct BinaryModel {
  static constexpr double phi = 1.0;
  static double loglik(double y, double mu, double /*s*/) {
    return (y > 0.0 ? y * std::log(mu) : 0.0) + (y < 1.0 ? (1.0 - y) * std::log(1.0 - mu) : 0.0);
  }
  static std::vector<Point> points() { return {{0.0, 0.3}, {1.0, 0.8}, {0.3, 0.6}, {1.0, 1e-3}, {0.9, 0.05}}; }
  static std::vector<double> means() { return {0.01, 0.3, 0.5, 0.97}; }
};
template <>
struct Model<Bernoulli> : BinaryModel {
  static double saturated(const Vector& y, double s) {
    double c = 0.0;
    for (double v : y) c += loglik(v, v, s);
    return c;
  }
};
template <>
struct Model<QuasiBinomial> : BinaryModel {
  static double saturated(const Vector& y, double s) { return normal_saturated(y, s); }
};

template <>
struct Model<Gamma> {
  static constexpr double phi = 0.7;
  // Shape k = 1/φ and scale μφ.
  static double loglik(double y, double mu, double s) {
    const double k = 1.0 / s;
    return -std::lgamma(k) - k * std::log(mu * s) + (k - 1.0) * std::log(y) - y / (mu * s);
  }
  static double saturated(const Vector& y, double s) {
    double c = 0.0;
    for (double v : y) c += loglik(v, v, s);
    return c;
  }
  static std::vector<Point> points() { return {{2.5, 1.0}, {0.1, 3.0}, {4.0, 0.5}, {1e-3, 1e-3 * 1.5}}; }
  static std::vector<double> means() { return {1e-3, 0.7, 20.0}; }
};

template <>
struct Model<InverseGaussian> {
  static constexpr double phi = 0.7;
  static double loglik(double y, double mu, double s) {
    return -0.5 * std::log(2.0 * kPi * s * y * y * y) - (y - mu) * (y - mu) / (2.0 * s * mu * mu * y);
  }
  static double saturated(const Vector& y, double s) {
    double c = 0.0;
    for (double v : y) c += loglik(v, v, s);
    return c;
  }
  static std::vector<Point> points() { return {{2.0, 1.0}, {0.5, 3.0}, {1.5, 0.2}, {10.0, 12.0}}; }
  static std::vector<double> means() { return {1e-3, 0.7, 20.0}; }
};

template <class F>
class EveryFamily : public ::testing::Test {};

using Families = ::testing::Types<Gaussian, Poisson, QuasiPoisson, Bernoulli, QuasiBinomial, Gamma, InverseGaussian>;
class FamilyNames {
 public:
  template <class F>
  static std::string GetName(int) {
    return std::string(F::display_name());
  }
};
TYPED_TEST_SUITE(EveryFamily, Families, FamilyNames);

TYPED_TEST(EveryFamily, LinkInverseUndoesLink) {
  const TypeParam f{};
  for (double mu : Model<TypeParam>::means()) {
    SCOPED_TRACE(mu);
    // A logarithm and an exponential with |η| < 7 each lose a few ulps,
    // amplified by at most |η| in the mean.
    EXPECT_NEAR(f.link_inverse(f.link(mu)), mu, 64 * kEps * std::fabs(mu));
  }
}

TYPED_TEST(EveryFamily, LinkDerivativeMatchesCentralDifferenceOfLink) {
  const TypeParam f{};
  for (double mu : Model<TypeParam>::means()) {
    SCOPED_TRACE(mu);
    // h = 1e-5 of the distance to the domain's edge: truncation h²·g'''/6 is
    // about 1e-10 of g', rounding ε·|g|/h about 1e-10 of g'.
    const double edge = mu > 0.0 && mu < 1.0 ? std::min(mu, 1.0 - mu) : std::max(1.0, std::fabs(mu));
    const double h = 1e-5 * (std::is_same_v<TypeParam, Gaussian> ? 1.0 : edge);
    const double fd = (f.link(mu + h) - f.link(mu - h)) / (2.0 * h);
    EXPECT_NEAR(f.link_derivative(mu), fd, 1e-8 * std::fabs(fd));
  }
}

TYPED_TEST(EveryFamily, DevianceIsZeroAtTheMeanAndPositiveElsewhere) {
  const TypeParam f{};
  for (const Point& p : Model<TypeParam>::points()) {
    SCOPED_TRACE(testing::Message() << "y=" << p.y << " mu=" << p.mu);
    // At y = μ on the boundary of the mean's domain (y = 0 or 1) the floor or
    // the clamp of μ leaves a tiny positive deviance, so zero is checked at
    // the interior means.
    EXPECT_EQ(f.unit_deviance(p.mu, p.mu), 0.0);
    EXPECT_GT(f.unit_deviance(p.y, p.mu), 0.0);
  }
}

TYPED_TEST(EveryFamily, DevianceIsTwiceTheLogLikelihoodDrop) {
  const TypeParam f{};
  using M = Model<TypeParam>;
  for (const Point& p : M::points()) {
    SCOPED_TRACE(testing::Message() << "y=" << p.y << " mu=" << p.mu);
    const double at_y = M::loglik(p.y, p.y, M::phi);
    const double at_mu = M::loglik(p.y, p.mu, M::phi);
    // Each log-density is a handful of operations and one lgamma, good to
    // a few ε of its magnitude; the difference keeps that absolute error.
    const double tol = 1e-13 * (1.0 + 2.0 * M::phi * (std::fabs(at_y) + std::fabs(at_mu)));
    EXPECT_NEAR(f.unit_deviance(p.y, p.mu), 2.0 * M::phi * (at_y - at_mu), tol);
  }
}

TYPED_TEST(EveryFamily, VarianceMatchesSlopeOfDeviance) {
  // ∂d(y, μ)/∂μ = −2(y − μ)/V(μ) for the exponential-family deviances.
  const TypeParam f{};
  for (const Point& p : Model<TypeParam>::points()) {
    SCOPED_TRACE(testing::Message() << "y=" << p.y << " mu=" << p.mu);
    const double edge = p.mu < 1.0 ? std::min(p.mu, 1.0 - p.mu) : p.mu;
    const double h = 1e-6 * (std::is_same_v<TypeParam, Gaussian> ? 1.0 : edge);
    const double slope = (f.unit_deviance(p.y, p.mu + h) - f.unit_deviance(p.y, p.mu - h)) / (2.0 * h);
    // Truncation h²·d'''/6 and rounding ε·d/h are both below 1e-9 of the
    // slope at these points.
    EXPECT_NEAR(f.variance(p.mu), -2.0 * (p.y - p.mu) / slope, 1e-7 * f.variance(p.mu));
  }
}

TYPED_TEST(EveryFamily, WeightedDevianceAddsWeightedUnitDeviances) {
  const TypeParam f{};
  Vector y, mu;
  for (const Point& p : Model<TypeParam>::points()) {
    y.push_back(p.y);
    mu.push_back(p.mu);
  }
  Vector w(y.size());
  double weighted = 0.0, plain = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    w[i] = 0.5 + static_cast<double>(i);
    weighted += w[i] * f.unit_deviance(y[i], mu[i]);
    plain += f.unit_deviance(y[i], mu[i]);
  }
  // Same terms, same order; the Gaussian forms (w·r)·r instead of w·r², a
  // rounding apart.
  EXPECT_NEAR(f.weighted_deviance(y, mu, w), weighted, 4 * kEps * weighted);
  EXPECT_NEAR(f.weighted_deviance(y, mu, unit_weights(y.size())), plain, 4 * kEps * plain);
  EXPECT_EQ(f.weighted_deviance(Vector{}, Vector{}, Vector{}), 0.0);
}

TYPED_TEST(EveryFamily, SaturatedLoglikMatchesReference) {
  const TypeParam f{};
  using M = Model<TypeParam>;
  Vector y;
  for (const Point& p : M::points()) y.push_back(p.y);
  const double expected = M::saturated(y, M::phi);
  // A sum of n ≤ 5 terms, each good to a few ε of its magnitude.
  EXPECT_NEAR(f.saturated_loglik(y, M::phi), expected, 1e-13 * (1.0 + std::fabs(expected)));
}

TYPED_TEST(EveryFamily, StartingMeansGiveFiniteLinearPredictors) {
  if constexpr (PirlsFamily<TypeParam>) {
    const TypeParam f{};
    Vector y;
    for (const Point& p : Model<TypeParam>::points()) y.push_back(p.y);
    const Vector mu0 = f.initial_mu(y);
    ASSERT_EQ(mu0.size(), y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
      SCOPED_TRACE(y[i]);
      EXPECT_TRUE(std::isfinite(f.link(mu0[i])));
      EXPECT_TRUE(std::isfinite(f.link_derivative(mu0[i])));
      EXPECT_GT(f.variance(mu0[i]), 0.0);
    }
  } else {
    GTEST_SKIP() << "the closed-form fit has no starting means";
  }
}

TYPED_TEST(EveryFamily, HasNoShapeCoordinates) {
  const TypeParam f{};
  EXPECT_TRUE(f.theta_from_family().empty());
  const TypeParam g = f.family_from_theta(f.theta_from_family());
  EXPECT_EQ(g.display_name(), f.display_name());
  EXPECT_FALSE(f.has_analytic_shape_grad());
  EXPECT_FALSE(f.analytic_shape_score_gradient(Vector{1.0}, Vector{1.0}, 1.0, 1.0, 1.0).has_value());
}

TEST(Family, ScaleRulesAndConstructors) {
  static_assert(gaussian_identity().scale_rule() == ScaleRule::Profile);
  static_assert(poisson_log().scale_rule() == ScaleRule::Fixed);
  static_assert(quasipoisson_log().scale_rule() == ScaleRule::Profile);
  static_assert(bernoulli_logit().scale_rule() == ScaleRule::Fixed);
  static_assert(quasibinomial_logit().scale_rule() == ScaleRule::Profile);
  static_assert(gamma_log().scale_rule() == ScaleRule::ProfileNewton);
  static_assert(inverse_gaussian_log().scale_rule() == ScaleRule::Profile);
  // The closed-form Gaussian fit is not a re-weighted one.
  static_assert(!PirlsFamily<Gaussian>);
}

TEST(Family, ResponseChecksReportTheFirstOffendingRow) {
  using Check = Result<void> (*)(VectorView);
  struct Case {
    const char* name;
    Check check;
    Vector y;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {"poisson accepts zeros", &Poisson::check_response, {0.0, 3.0}, nullptr},
      {"poisson rejects infinity", &Poisson::check_response, {0.0, 3.0, kInf},
       "y must be finite; got y=inf at row 2"},
      {"poisson rejects a negative", &Poisson::check_response, {-0.5}, "Poisson requires y ≥ 0; got y=-0.5 at row 0"},
      {"poisson rejects NaN", &Poisson::check_response, {0.0, 1.0, kNaN},
       "y must be finite; got y=NaN at row 2"},
      {"quasipoisson names itself", &QuasiPoisson::check_response, {-0.5},
       "QuasiPoisson requires y ≥ 0; got y=-0.5 at row 0"},
      {"bernoulli accepts fractions and -0", &Bernoulli::check_response, {0.0, 1.0, 0.3, -0.0}, nullptr},
      {"bernoulli rejects above one", &Bernoulli::check_response, {0.0, 0.3, 1.5},
       "Bernoulli requires y in [0, 1]; got y=1.5 at row 2"},
      {"bernoulli rejects NaN", &Bernoulli::check_response, {kNaN}, "y must be finite; got y=NaN at row 0"},
      {"quasibinomial rejects below zero", &QuasiBinomial::check_response, {1.0, -1.0},
       "QuasiBinomial requires y in [0, 1]; got y=-1 at row 1"},
      {"gamma stops at the first zero", &Gamma::check_response, {1.0, 2.0, 3.0, 0.0, 5.0, -1.0},
       "Gamma requires y > 0; got y=0 at row 3"},
      {"gamma rejects NaN", &Gamma::check_response, {2.0, kNaN}, "y must be finite; got y=NaN at row 1"},
      {"inverse gaussian rejects a negative", &InverseGaussian::check_response, {1.5, -2.0},
       "InverseGaussian requires y > 0; got y=-2 at row 1"},
      {"inverse gaussian rejects zero", &InverseGaussian::check_response, {1.0, 0.0},
       "InverseGaussian requires y > 0; got y=0 at row 1"},
      {"inverse gaussian reports row 0", &InverseGaussian::check_response, {0.0, -1.0},
       "InverseGaussian requires y > 0; got y=0 at row 0"},
      {"inverse gaussian rejects -inf", &InverseGaussian::check_response, {-kInf},
       "y must be finite; got y=-inf at row 0"},
      {"inverse gaussian accepts a tiny response", &InverseGaussian::check_response, {1e-300}, nullptr},
      {"inverse gaussian rejects inf", &InverseGaussian::check_response, {1e-300, kInf},
       "y must be finite; got y=inf at row 1"},
      {"gaussian accepts any finite response", &Gaussian::check_response, {-1e300, 0.0, -0.0, 3.5}, nullptr},
      {"gaussian rejects NaN", &Gaussian::check_response, {0.0, kNaN, kInf}, "y must be finite; got y=NaN at row 1"},
      {"gaussian rejects -inf", &Gaussian::check_response, {-kInf}, "y must be finite; got y=-inf at row 0"},
      {"empty response", &Gamma::check_response, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<void> r = c.check(c.y);
    if (c.message == nullptr) {
      EXPECT_TRUE(r.has_value()) << r.error().message();
      continue;
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is<InvalidParameter>());
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(Family, UnitDeviancesAtFloorsAndClamps) {
  // Closed forms where a floor or a clamp decides the value; a few
  // roundings each.
  struct Case {
    const char* name;
    double (*deviance)(double y, double mu);
    double y;
    double mu;
    double expected;
  } cases[] = {
      // y = 0 contributes 2·m, so a vanishing mean still costs the floor.
      {"poisson zero count at a subnormal mean", &Poisson::unit_deviance, 0.0, 1e-320, 2e-300},
      {"poisson zero count", &Poisson::unit_deviance, 0.0, 2.0, 4.0},
      {"poisson NaN count takes the zero branch", &QuasiPoisson::unit_deviance, kNaN, 2.0, 4.0},
      // 2·(y·ln(y/m) − (y − m)) with m = 1e-300.
      {"poisson NaN mean is floored", &Poisson::unit_deviance, 1.0, kNaN, 2.0 * (std::log(1e300) - 1.0)},
      {"bernoulli success at a half", &Bernoulli::unit_deviance, 1.0, 0.5, 2.0 * std::log(2.0)},
      // Means at 0 or 1 clamp: 2·ln(1/c) and 2·ln(1/(1 − c)) stay finite.
      {"bernoulli success at a zero mean", &Bernoulli::unit_deviance, 1.0, 0.0, -2.0 * std::log(kLogitLow)},
      {"bernoulli failure at a unit mean", &QuasiBinomial::unit_deviance, 0.0, 1.0,
       -2.0 * std::log1p(-kLogitHigh)},
      {"bernoulli NaN response contributes nothing", &Bernoulli::unit_deviance, kNaN, 0.5, 0.0},
      // A NaN response counts as 1e-300: 2·(ln(2/1e-300) + (1e-300 − 2)/2).
      {"gamma NaN response is floored", &Gamma::unit_deviance, kNaN, 2.0, 2.0 * (std::log(2e300) - 1.0)},
      {"gamma NaN mean is floored", &Gamma::unit_deviance, 1.5, kNaN, 2.0 * (std::log(1e-300 / 1.5) + 1.5e300)},
      // (y − μ)²/(y·μ²), no factor 2.
      {"inverse gaussian d(2, 1)", &InverseGaussian::unit_deviance, 2.0, 1.0, 0.5},
      {"inverse gaussian d(1, 2)", &InverseGaussian::unit_deviance, 1.0, 2.0, 0.25},
      // (1e-300 − 1)²/1e-300.
      {"inverse gaussian NaN response is floored", &InverseGaussian::unit_deviance, kNaN, 1.0, 1e300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(c.deviance(c.y, c.mu), c.expected, 4 * kEps * c.expected);
  }
  EXPECT_TRUE(std::isnan(Bernoulli::unit_deviance(0.5, kNaN)));
  EXPECT_EQ(Poisson::weighted_deviance(Vector{0.0}, Vector{1e-320}, unit_weights(1)), 2e-300);
}

TEST(Family, BinaryDevianceOfZeroOrOneIsTheTwoTermFormBitForBit) {
  // A response of 0 or 1 takes one logarithm; the fits' bit-level records
  // rely on it giving what the general two-term form gives.
  auto two_terms = [](double y, double mu) {
    const double c = logit_clamp(mu);
    const double a = y > 0.0 ? y * std::log(y / c) : 0.0;
    const double b = y < 1.0 ? (1.0 - y) * std::log((1.0 - y) / (1.0 - c)) : 0.0;
    return 2.0 * (a + b);
  };
  for (double y : {0.0, -0.0, 1.0})
    for (double mu : {0.0, 1e-300, kLogitLow, 1e-9, 0.25, 0.5, 0.7, 1.0 - 1e-9, kLogitHigh, 1.0}) {
      SCOPED_TRACE(testing::Message() << "y=" << y << " mu=" << mu);
      const double got = Bernoulli::unit_deviance(y, mu);
      const double want = two_terms(y, mu);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want));
    }
}

TEST(Family, VariancesAndLinkDerivativesAtTinyMeans) {
  struct Case {
    const char* name;
    double (*variance)(double mu);
    double (*link_derivative)(double mu);
    double mu;
    double expected_variance;
    double expected_derivative;
  } cases[] = {
      // The power of the raw μ underflows and is floored; g' = 1/μ is not.
      {"gamma", &Gamma::variance, &Gamma::link_derivative, 1e-200, 1e-300, 1e200},
      {"inverse gaussian", &InverseGaussian::variance, &InverseGaussian::link_derivative, 1e-120, 1e-300, 1e120},
      {"poisson", &Poisson::variance, &Poisson::link_derivative, 1e-320, 1e-300, 1e300},
      // A saturated binary mean takes the variance of the clamp c(1 − c),
      // not the floor, so V·g'² stays near 1/V.
      {"bernoulli at one", &Bernoulli::variance, &Bernoulli::link_derivative, 1.0,
       kLogitHigh * -std::expm1(std::log(kLogitHigh)), 1.0 / (kLogitHigh * -std::expm1(std::log(kLogitHigh)))},
      {"quasibinomial at zero", &QuasiBinomial::variance, &QuasiBinomial::link_derivative, 0.0,
       kLogitLow * (1.0 - kLogitLow), 1.0 / (kLogitLow * (1.0 - kLogitLow))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(c.variance(c.mu), c.expected_variance, 8 * kEps * c.expected_variance);
    EXPECT_NEAR(c.link_derivative(c.mu), c.expected_derivative, 8 * kEps * c.expected_derivative);
  }
}

TEST(Family, SaturatedLoglikClosedForms) {
  constexpr double phi = 0.8;
  const double normal4 = -2.0 * std::log(2.0 * kPi * phi);  // −(n/2)·ln(2πφ), n = 4
  struct Case {
    const char* name;
    double (*saturated)(VectorView y, double phi);
    Vector y;
    double expected;
  } cases[] = {
      // Σ over y > 0 of y·ln y − y: (−1) + (2 ln 2 − 2).
      {"poisson", &Poisson::saturated_loglik, {1.0, 2.0, 0.0}, 2.0 * std::log(2.0) - 3.0},
      {"bernoulli halves", &Bernoulli::saturated_loglik, {0.5, 0.5, 0.5, 0.5}, 4.0 * std::log(0.5)},
      {"quasibinomial ignores y", &QuasiBinomial::saturated_loglik, {0.0, 1.0, 0.3, 0.9}, normal4},
      {"inverse gaussian at y = 1", &InverseGaussian::saturated_loglik, {1.0, 1.0, 1.0, 1.0}, normal4},
      {"inverse gaussian at y = e", &InverseGaussian::saturated_loglik, Vector(4, std::exp(1.0)),
       normal4 - 1.5 * 4.0},
      // Sums that start from −0.0 and add nothing stay −0.0.
      {"poisson zeros", &Poisson::saturated_loglik, {0.0, 0.0}, -0.0},
      {"bernoulli binary", &Bernoulli::saturated_loglik, {0.0, 1.0, 1.0, 0.0}, -0.0},
      {"gaussian empty", &Gaussian::saturated_loglik, {}, -0.0},
      {"gamma empty", &Gamma::saturated_loglik, {}, -0.0},
      {"inverse gaussian empty", &InverseGaussian::saturated_loglik, {}, -0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double value = c.saturated(c.y, phi);
    // n ≤ 4 terms of a few roundings each.
    EXPECT_NEAR(value, c.expected, 16 * kEps * std::fabs(c.expected));
    if (c.expected == 0.0) {
      EXPECT_TRUE(std::signbit(value));
    }
  }
}

// The sum as defined: −0.0 less ½·ln(2πφ), n times over, in order.
double saturated_by_steps(std::size_t n, double phi) {
  const double c = 0.5 * std::log(kTwoPi * phi);
  double s = -0.0;
  for (std::size_t i = 0; i < n; ++i) s -= c;
  return s;
}

// A φ whose ½·ln(2πφ) is exactly `target`, from the neighbours of the
// closed-form answer; NaN when none of them gives it.
double phi_with_half_log(double target) {
  const double guess = std::exp(2.0 * target) / kTwoPi;
  for (double toward : {kInf, 0.0}) {
    double phi = guess;
    for (int step = 0; step < 64; ++step, phi = std::nextafter(phi, toward))
      if (0.5 * std::log(kTwoPi * phi) == target) return phi;
  }
  return kNaN;
}

TEST(Family, NormalSaturatedLoglikIsTheStepwiseSumBitForBit) {
  // c = 1.25 + 2^-33 = (5·2^31 + 1)·2^-33. Where the sum lies in [2^20, 2^21),
  // whose spacing is 2^-32, c is an odd number of half spacings: every step
  // there is a tie, rounded to the even neighbour, so the first step into
  // the binade may differ from the rest. The sum spends about 840000 steps
  // in that binade.
  const double tie_target = 1.25 + std::ldexp(1.0, -33);
  const double tie_phi = phi_with_half_log(tie_target);
  ASSERT_FALSE(std::isnan(tie_phi));
  struct Case {
    const char* name;
    std::size_t n;
    double phi;
  } cases[] = {
      {"empty", 0, 0.7},
      {"one term", 1, 0.7},
      {"two terms", 2, 0.7},
      {"three terms", 3, 0.7},
      {"a few binades", 37, 0.09},
      {"ties inside their binade", 1500000, tie_phi},
      {"past the binade of ties", 2000000, tie_phi},
      {"a million", 1000000, 0.09},
      {"a few million, odd", 3000007, 0.3},
      {"tiny phi: positive terms", 2500000, 1e-300},
      {"huge phi", 2500000, 1e300},
      {"phi = 1/(2π)", 1000, 1.0 / kTwoPi},
      {"phi = 0: infinite", 1000, 0.0},
      {"phi = ∞", 1000, kInf},
      {"negative phi: NaN", 1000, -1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double expected = saturated_by_steps(c.n, c.phi);
    const double value = normal_saturated_loglik(c.n, c.phi);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(expected))
        << value << " vs " << expected;
  }
}

TEST(Family, StartingMeans) {
  struct Case {
    const char* name;
    Vector (*start)(VectorView y);
    Vector y;
    Vector expected;
  } cases[] = {
      {"poisson floors at 0.1", &Poisson::initial_mu, {kNaN, 0.05, 0.0, 3.0}, {0.1, 0.1, 0.1, 3.0}},
      {"quasipoisson as poisson", &QuasiPoisson::initial_mu, {kNaN, 0.05, 3.0}, {0.1, 0.1, 3.0}},
      {"bernoulli halves towards 1/2", &Bernoulli::initial_mu, {0.0, 1.0, 0.3}, {0.25, 0.75, 0.4}},
      {"quasibinomial as bernoulli", &QuasiBinomial::initial_mu, {0.0, 1.0}, {0.25, 0.75}},
      {"gamma floors at 0.001", &Gamma::initial_mu, {kNaN, 1e-4, 0.0, 2.0}, {0.001, 0.001, 0.001, 2.0}},
      {"inverse gaussian as gamma", &InverseGaussian::initial_mu, {1e-4, 2.0, kNaN}, {0.001, 2.0, 0.001}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.start(c.y), c.expected);
  }
}

TEST(Family, BinaryWorkingWeightStaysSmallWhereTheMeanSaturates) {
  // At η = 40 the logistic rounds to exactly 1 and at η = −800 to exactly 0;
  // both clamp to c, and W = w·c(1 − c): V·g' is 1 within two roundings and
  // the last division adds one more.
  struct Case {
    const char* name;
    double eta;
    double mu;
    double c;
  } cases[] = {
      {"upper", 40.0, 1.0, kLogitHigh},
      {"lower", -800.0, 0.0, kLogitLow},
  };
  const double w = 2.5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double mu = Bernoulli::link_inverse(c.eta);
    ASSERT_EQ(mu, c.mu);
    const double expected = w * c.c * (1.0 - c.c);
    EXPECT_NEAR(working_weight(bernoulli_logit(), w, mu), expected, 4 * kEps * expected);
    EXPECT_NEAR(working_weight(quasibinomial_logit(), w, mu), expected, 4 * kEps * expected);
  }
}

TEST(Family, WorkingWeightsAndResponsesAtChosenMeans) {
  // W = w / (V·g'²) and z = g'·(y − μ) + η in closed form; three roundings
  // in W, two in z.
  struct Case {
    const char* name;
    double (*weight_of)(double w, double mu);
    double (*response_of)(double y, double mu, double eta);
    double w, y, mu, eta;
    double expected_weight;
    double expected_response;
  } cases[] = {
      {"poisson W = w·μ", [](double w, double mu) { return working_weight(poisson_log(), w, mu); },
       [](double y, double mu, double eta) { return working_response(poisson_log(), y, mu, eta); },  //
       2.0, 3.0, 2.0, std::log(2.0), 4.0, 0.5 + std::log(2.0)},
      {"bernoulli W = w·μ(1 − μ)", [](double w, double mu) { return working_weight(bernoulli_logit(), w, mu); },
       [](double y, double mu, double eta) { return working_response(bernoulli_logit(), y, mu, eta); },  //
       1.0, 1.0, 0.25, -std::log(3.0), 0.1875, 4.0 - std::log(3.0)},
      {"gamma W = w at a small mean", [](double w, double mu) { return working_weight(gamma_log(), w, mu); },
       [](double y, double mu, double eta) { return working_response(gamma_log(), y, mu, eta); },  //
       3.0, 1.0, 1e-150, std::log(1e-150), 3.0, 1e150 * (1.0 - 1e-150) + std::log(1e-150)},
      {"gamma W = w at a large mean", [](double w, double mu) { return working_weight(gamma_log(), w, mu); },
       [](double y, double mu, double eta) { return working_response(gamma_log(), y, mu, eta); },  //
       3.0, 1.0, 1e150, std::log(1e150), 3.0, (1.0 - 1e150) / 1e150 + std::log(1e150)},
      // μ³ underflows: V = 1e-300, g' = 1e120, W = w/((1e-300·1e120)·1e120).
      {"inverse gaussian W = w·1e60",
       [](double w, double mu) { return working_weight(inverse_gaussian_log(), w, mu); },
       [](double y, double mu, double eta) { return working_response(inverse_gaussian_log(), y, mu, eta); },  //
       1.5, 1.0, 1e-120, std::log(1e-120), 1.5e60, 1e120 + std::log(1e-120)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(c.weight_of(c.w, c.mu), c.expected_weight, 8 * kEps * c.expected_weight);
    EXPECT_NEAR(c.response_of(c.y, c.mu, c.eta), c.expected_response, 8 * kEps * std::fabs(c.expected_response));
  }
}

TEST(Family, UnitWeightsReadAsOnesWithoutStorage) {
  const VectorView ones = unit_weights(4);
  ASSERT_EQ(ones.size, 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ones[i], 1.0);
  EXPECT_EQ(ones.to_vector(), Vector(4, 1.0));

  const Vector y = {0.0, 2.0, 5.0};
  const Vector mu = {0.5, 1.5, 7.0};
  const Vector w = {1.0, 1.0, 1.0};
  EXPECT_EQ(Poisson::weighted_deviance(y, mu, weights_or_ones(std::nullopt, 3)),
            Poisson::weighted_deviance(y, mu, w));
  const Vector given = {0.5, 2.0, 3.0};
  const VectorView chosen = weights_or_ones(VectorView(given), 3);
  EXPECT_EQ(chosen.to_vector(), given);
}

TEST(Family, ProfileScale) {
  struct Case {
    const char* name;
    double penalized_deviance;
    std::uint64_t n;
    std::uint64_t m_p;
    double expected;
  } cases[] = {
      {"quotient", 2.0, 10, 2, 0.25},
      {"below the floor", 1e-10, 10, 2, 1e-8},
      {"NaN takes the floor", kNaN, 10, 2, 1e-8},
      {"no residual freedom divides by one", 3.0, 2, 2, 3.0},
      {"more unpenalized directions than rows divides by one", 3.0, 2, 5, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(profile_scale(c.penalized_deviance, c.n, c.m_p), c.expected);
  }
}

}  // namespace
}  // namespace kavri::family
