// The negative binomial, scaled t, Tweedie, ordered categorical and extended
// log-F families: a typed table of the properties they share (links, the
// slope of the working weight, shape maps), their likelihoods against
// log-densities written out here in long double, and worked values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "family/elf.h"
#include "family/family.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "linalg/matrix.h"

namespace kavri::family {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long double kPiL = 3.141592653589793238462643383279502884L;

struct Row {
  double y;
  double eta;
  double w;
};

// Central difference with step h of a smooth function of one variable.
template <class Fn>
double central(Fn&& fn, double x, double h) {
  return (fn(x + h) - fn(x - h)) / (2.0 * h);
}

// What each family contributes to the shared table: sample values, rows
// (y, η, w) inside its domain, and its working weight as a function of η
// — the quantity whose η-slope the criterion's gradient reads.
template <class F>
struct Case;

template <>
struct Case<NegBin> {
  static std::vector<NegBin> values() { return {negbin_log(0.8), negbin_log(5.0), negbin_log(300.0)}; }
  static std::vector<Row> rows() { return {{0.0, 0.3, 1.0}, {3.0, 1.1, 2.0}, {12.0, 2.0, 0.5}, {1.0, -1.5, 1.0}}; }
  static double weight(const NegBin& f, const Row& r, double eta) {
    return working_weight(f, r.w, f.link_inverse(eta));
  }
};

template <>
struct Case<TDist> {
  static std::vector<TDist> values() { return {tdist_identity(3.0, 1.0), tdist_identity(2.5, 0.2), tdist_identity(40.0, 4.0)}; }
  static std::vector<Row> rows() { return {{0.4, 0.1, 1.0}, {-2.0, 1.0, 3.0}, {8.0, -0.5, 1.0}, {1.0, 1.7, 0.25}}; }
  static double weight(const TDist& f, const Row& r, double eta) {
    return f.response_working_weight(r.w, r.y, f.link_inverse(eta));
  }
};

template <>
struct Case<Tweedie> {
  static std::vector<Tweedie> values() { return {tweedie_log(1.5, 1.0), tweedie_log(1.07, 0.3), tweedie_log(1.9, 2.5)}; }
  static std::vector<Row> rows() { return {{0.0, 0.2, 1.0}, {2.5, 0.7, 2.0}, {40.0, 3.0, 1.0}, {0.1, -2.0, 0.5}}; }
  static double weight(const Tweedie& f, const Row& r, double eta) {
    return working_weight(f, r.w, f.link_inverse(eta));
  }
};

template <>
struct Case<Ocat> {
  static std::vector<Ocat> values() { return {ocat_identity(3), ocat_new({0.4, -0.7, 1.2}, 5)}; }
  static std::vector<Row> rows() { return {{1.0, 0.3, 1.0}, {2.0, -0.4, 2.0}, {3.0, 1.5, 1.0}, {2.0, 2.5, 0.5}}; }
  // The Newton fit's weight w·d2/2.
  static double weight(const Ocat& f, const Row& r, double eta) {
    const Vector y{r.y}, e{eta};
    return 0.5 * r.w * ocat_eta_derivatives(y, f, e).d2[0];
  }
};

template <>
struct Case<Elf> {
  static std::vector<Elf> values() { return {elf_identity(0.5, 1.0, 1.0), elf_identity(0.3, 1.3, 0.7), elf_identity(0.9, 0.4, 0.2)}; }
  static std::vector<Row> rows() { return {{0.0, 0.3, 1.0}, {2.0, 1.1, 2.0}, {-1.0, -0.6, 0.5}, {0.5, 0.45, 1.0}}; }
  static double weight(const Elf& f, const Row& r, double eta) { return f.working_weight(r.w, r.y, eta); }
};

template <class F>
class ShapeFamilyTest : public ::testing::Test {};
using ShapeFamilies = ::testing::Types<NegBin, TDist, Tweedie, Ocat, Elf>;
TYPED_TEST_SUITE(ShapeFamilyTest, ShapeFamilies);

TYPED_TEST(ShapeFamilyTest, LinkRoundTrips) {
  for (const TypeParam& f : Case<TypeParam>::values())
    for (const Row& r : Case<TypeParam>::rows()) {
      // One exp and one log: a few roundings relative to η.
      EXPECT_NEAR(f.link(f.link_inverse(r.eta)), r.eta, 8.0 * 2.2e-16 * (std::fabs(r.eta) + 1.0));
    }
}

// dW/dη at every row against a central difference of W in η. With h = 1e-5
// the truncation error is h²/6·|W'''| ≈ 1e-11 relative for these smooth
// weights and rounding adds eps·W/h ≈ 1e-11; 1e-7 leaves a wide margin.
TYPED_TEST(ShapeFamilyTest, WorkingWeightSlopeIsTheDerivativeOfTheWeight) {
  for (const TypeParam& f : Case<TypeParam>::values())
    for (const Row& r : Case<TypeParam>::rows()) {
      const double numeric = central([&](double e) { return Case<TypeParam>::weight(f, r, e); }, r.eta, 1e-5);
      const double analytic = f.working_weight_slope(r.w, r.y, f.link_inverse(r.eta));
      EXPECT_NEAR(analytic, numeric, 1e-7 * std::fabs(numeric) + 1e-12)
          << "y=" << r.y << " eta=" << r.eta;
    }
}

// The shape coordinates read back as the value they came from.
TYPED_TEST(ShapeFamilyTest, ShapeCoordinatesRoundTrip) {
  for (const TypeParam& f : Case<TypeParam>::values()) {
    const Vector t = f.theta_from_family();
    const TypeParam back = f.family_from_theta(t);
    const Vector t2 = back.theta_from_family();
    ASSERT_EQ(t2.size(), t.size());
    for (std::size_t j = 0; j < t.size(); ++j) EXPECT_NEAR(t2[j], t[j], 1e-14 * (std::fabs(t[j]) + 1.0));
    // The value keeps its deviance: the same family after the round trip.
    for (const Row& r : Case<TypeParam>::rows())
      EXPECT_NEAR(back.unit_deviance(r.y, back.link_inverse(r.eta)), f.unit_deviance(r.y, f.link_inverse(r.eta)),
                  1e-13 * (std::fabs(f.unit_deviance(r.y, f.link_inverse(r.eta))) + 1.0));
  }
}

TEST(ShapeMaps, EdgesOfTheSearchCoordinates) {
  const Tweedie tw = tweedie_log(1.5, 1.0);
  const double hi[] = {0.0, 10.0}, lo[] = {0.0, -10.0}, tiny[] = {-20.0, 0.0};
  EXPECT_EQ(tw.family_from_theta(hi).p, 1.95);
  EXPECT_EQ(tw.family_from_theta(lo).p, 1.05);
  EXPECT_EQ(tw.family_from_theta(tiny).phi, 1e-6);
  EXPECT_EQ(tw.family_from_theta(tiny).p, 1.5);
  const Vector start = tw.theta_from_family();
  EXPECT_EQ(start[0], 0.0);
  EXPECT_EQ(start[1], 0.0);

  const TDist t = tdist_identity(5.0, 1.0);
  for (double t2 : {-3.0, 0.0, 2.5}) {
    const double c[] = {0.4, t2};
    const TDist v = t.family_from_theta(c);
    EXPECT_EQ(v.nu, 2.0 + std::exp(t2));
    EXPECT_EQ(v.sigma2, std::exp(0.4));
  }
  const double far[] = {0.0, -40.0};
  EXPECT_EQ(t.family_from_theta(far).nu, 2.0);  // 2 + e^-40 rounds to 2

  const NegBin nb = negbin_log(2.0);
  const double zero[] = {0.0};
  EXPECT_EQ(nb.family_from_theta(zero).theta, 1.0);
  EXPECT_EQ(nb.theta_from_family()[0], std::log(2.0));

  const Ocat oc = ocat_new({0.3, -0.2}, 4);
  const double th[] = {1.5, -0.5};
  const Ocat moved = oc.family_from_theta(th);
  EXPECT_EQ(moved.n_cats, 4u);
  EXPECT_EQ(moved.thresholds, (Vector{1.5, -0.5}));
}

// ---------------------------------------------------------------------------
// Likelihoods.

// ln of the negative binomial probability of y at mean μ with shape θ.
long double negbin_log_pmf(long double y, long double mu, long double theta) {
  return std::lgamma(y + theta) - std::lgamma(theta) - std::lgamma(y + 1.0L) + theta * std::log(theta / (theta + mu)) +
         (y > 0 ? y * std::log(mu / (theta + mu)) : 0.0L);
}

// −½D + c(y) = Σ ln pmf + Σ ln y_i!: c(y) leaves out the factorials.
TEST(ShapeLikelihoods, NegativeBinomialIsItsProbabilityUpToTheFactorials) {
  const Vector y{0.0, 1.0, 4.0, 17.0, 2.0, 60.0};
  const Vector mu{0.4, 2.2, 3.1, 11.0, 0.05, 55.0};
  for (double theta : {0.6, 3.0, 12.0, 250.0, 1e4}) {
    const NegBin f = negbin_log(theta);
    const double model = -0.5 * f.weighted_deviance(y, mu, unit_weights(y.size())) + f.saturated_loglik(y, 1.0);
    long double ref = 0.0L;
    for (std::size_t i = 0; i < y.size(); ++i)
      ref += negbin_log_pmf(y[i], mu[i], theta) + std::lgamma(static_cast<long double>(y[i]) + 1.0L);
    EXPECT_NEAR(model, static_cast<double>(ref), 1e-12 * std::fabs(static_cast<double>(ref))) << "theta=" << theta;
  }
}

// The scaled t log-density, normaliser included.
long double t_log_density(long double r, long double nu, long double s2) {
  return std::lgamma((nu + 1.0L) / 2.0L) - std::lgamma(nu / 2.0L) - 0.5L * std::log(kPiL * nu * s2) -
         (nu + 1.0L) / 2.0L * std::log1p(r * r / (nu * s2));
}

TEST(ShapeLikelihoods, ScaledTIsTheSumOfItsLogDensities) {
  const Vector y{0.3, -1.2, 4.0, 0.0, 25.0};
  const Vector mu{0.1, 0.5, 3.5, -0.3, 1.0};
  for (const TDist f : {tdist_identity(2.2, 0.5), tdist_identity(5.0, 1.0), tdist_identity(30.0, 3.0),
                        tdist_identity(1e5, 0.8)}) {
    const double model = -0.5 * f.weighted_deviance(y, mu, unit_weights(y.size())) + f.saturated_loglik(y, 1.0);
    long double ref = 0.0L;
    for (std::size_t i = 0; i < y.size(); ++i) ref += t_log_density(y[i] - mu[i], f.nu, f.sigma2);
    EXPECT_NEAR(model, static_cast<double>(ref), 1e-12 * std::fabs(static_cast<double>(ref))) << "nu=" << f.nu;
  }
}

// At large ν the normalising constant tends to the normal one, −½·ln(2πσ²);
// formed from two log-gammas near ln Γ(5e12) it would carry an error of
// order 1e-3.
TEST(ShapeLikelihoods, ScaledTConstantApproachesTheNormalOneAtLargeNu) {
  const Vector y{1.0, 2.0};
  for (double nu : {1e8, 1e13}) {
    const TDist f = tdist_identity(nu, 2.0);
    // lnΓ(x + ½) − lnΓ(x) − ½·ln(ν/2) = −1/(8x) + O(x⁻³), x = ν/2.
    const double ref = 2.0 * (-0.5 * std::log(2.0 * M_PI * 2.0) - 1.0 / (4.0 * nu));
    EXPECT_NEAR(f.saturated_loglik(y, 1.0), ref, 1e-14) << nu;
  }
}

// The extended log-F density integrates to one: trapezoid rule over a range
// where the tails have fallen below e^-40. The integrand is analytic in a
// strip of half-width πλ around the real line, so with step h ≤ λ/10 the
// rule's error is below exp(−2π·πλ/h) ≈ e^-197; the 1e-9 is for rounding
// over the ~10^5 nodes.
TEST(ShapeLikelihoods, ExtendedLogFDensityIntegratesToOne) {
  for (const Elf f : {elf_identity(0.5, 1.0, 1.0), elf_identity(0.3, 1.3, 0.7), elf_identity(0.9, 0.4, 0.2),
                      elf_identity(0.1, 2.0, 3.0)}) {
    const Vector one{0.0};
    const double c0 = f.saturated_loglik(one, 1.0);
    const double reach = 45.0 * f.sigma / std::min(f.tau, 1.0 - f.tau) + 45.0 * f.lambda;
    const double h = std::min(f.lambda, f.sigma) / 10.0;
    const long steps = static_cast<long>(std::ceil(2.0 * reach / h));
    long double sum = 0.0L;
    for (long k = 0; k <= steps; ++k) {
      const double y = -reach + static_cast<double>(k) * h;
      sum += std::exp(static_cast<long double>(c0 - 0.5 * f.unit_deviance(y, 0.0)));
    }
    EXPECT_NEAR(static_cast<double>(sum * h), 1.0, 1e-9) << "tau=" << f.tau << " lambda=" << f.lambda;
  }
}

// A prior weight of 2 on a row is the row taken twice: deviance, saturated
// term, working weight and score.
TEST(ShapeLikelihoods, ExtendedLogFWeightTwoIsADuplicatedRow) {
  const Elf f = elf_identity(0.3, 1.3, 0.7);
  const Vector y{0.4, -1.0, 2.5}, eta{0.0, 0.2, 1.0}, w{1.0, 2.0, 1.0};
  const Vector yd{0.4, -1.0, -1.0, 2.5}, etad{0.0, 0.2, 0.2, 1.0};
  EXPECT_NEAR(f.weighted_deviance(y, eta, w), f.weighted_deviance(yd, etad, unit_weights(4)), 1e-14);
  EXPECT_NEAR(f.saturated_loglik(y, w, 1.0), f.saturated_loglik(yd, 1.0), 1e-14);
  EXPECT_EQ(f.working_weight(2.0, -1.0, 0.2), 2.0 * f.working_weight(1.0, -1.0, 0.2));
  EXPECT_EQ(f.score(2.0, -1.0, 0.2), 2.0 * f.score(1.0, -1.0, 0.2));
  EXPECT_EQ(f.working_response(-1.0, 0.2), 0.2 + f.score(1.0, -1.0, 0.2) / f.working_weight(1.0, -1.0, 0.2));
}

// ---------------------------------------------------------------------------
// Derivatives of the unit deviances that the Newton fits read.

// d1 and d2 of the ordered categorical family, and −2g and 2W of the
// extended log-F family, are the first and second η-derivatives of the unit
// deviance: the first against a central difference of the deviance, the
// second against a central difference of the first (checked just before).
// With h = 1e-5 the truncation (h²/6 times the third derivative) is near
// 1e-11 and the rounding eps·|f|/h near 1e-11 at these O(1) values, well
// inside 1e-7.
TEST(ShapeDerivatives, NewtonQuantitiesAreDerivativesOfTheUnitDeviance) {
  constexpr double h = 1e-5;
  for (const Ocat& f : Case<Ocat>::values())
    for (const Row& r : Case<Ocat>::rows()) {
      auto derivatives = [&](double eta) {
        const Vector y{r.y}, e{eta};
        return ocat_eta_derivatives(y, f, e);
      };
      const OcatDerivatives d = derivatives(r.eta);
      const double first = central([&](double eta) { return f.unit_deviance(r.y, eta); }, r.eta, h);
      const double second = central([&](double eta) { return derivatives(eta).d1[0]; }, r.eta, h);
      EXPECT_NEAR(d.d1[0], first, 1e-7 * (std::fabs(first) + 1e-3)) << "y=" << r.y << " eta=" << r.eta;
      EXPECT_NEAR(d.d2[0], second, 1e-7 * (std::fabs(second) + 1e-3)) << "y=" << r.y << " eta=" << r.eta;
    }
  for (const Elf& f : Case<Elf>::values())
    for (const Row& r : Case<Elf>::rows()) {
      const double first = central([&](double eta) { return f.unit_deviance(r.y, eta); }, r.eta, h);
      const double second = central([&](double eta) { return -2.0 * f.score(1.0, r.y, eta); }, r.eta, h);
      EXPECT_NEAR(-2.0 * f.score(1.0, r.y, r.eta), first, 1e-7 * (std::fabs(first) + 1e-3));
      EXPECT_NEAR(2.0 * f.working_weight(1.0, r.y, r.eta), second, 1e-7 * (std::fabs(second) + 1e-3));
    }
}

// ---------------------------------------------------------------------------
// Large shape parameters.

// The negative binomial deviance near the Poisson limit against the same
// expression in quadruple precision: ln((y + θ)/(m + θ)) = ln(1 + δ) by its
// power series in __float128, y·ln(y/m) in long double (its value is O(1)
// and nothing cancels against it at 1e-19).
double negbin_deviance_reference(double y, double m, double theta) {
  using Q = __float128;
  const Q delta = (Q(y) - Q(m)) / (Q(m) + Q(theta));
  Q term = delta, log1p_delta = 0;
  for (int k = 1; k < 40; ++k) {
    log1p_delta += term / k;
    term *= -delta;
  }
  const long double a = static_cast<long double>(y) * std::log(static_cast<long double>(y) / static_cast<long double>(m));
  return static_cast<double>(Q(2) * (Q(a) - (Q(y) + Q(theta)) * log1p_delta));
}

TEST(ShapeLikelihoods, NegativeBinomialDevianceAtLargeTheta) {
  for (double theta : {1e7, 1e10, 1e13})
    for (const auto& [y, mu] : std::vector<std::pair<double, double>>{{3.0, 5.0}, {10.0, 2.5}, {1.0, 0.999}}) {
      const double ref = negbin_deviance_reference(y, mu, theta);
      EXPECT_NEAR(negbin_log(theta).unit_deviance(y, mu), ref, 1e-12 * std::fabs(ref))
          << "theta=" << theta << " y=" << y << " mu=" << mu;
    }
}

// Near the Poisson limit the saturated term is Σ (y ln y − y − y/(2θ)) up
// to O(y³/θ²), ~1e-24 here; formed from log-gammas near ln Γ(1e13) = 2.9e14
// it would be off by 0.1.
TEST(ShapeLikelihoods, NegativeBinomialSaturatedTermAtLargeTheta) {
  const Vector y{0.0, 1.0, 3.0, 40.0};
  for (double theta : {1e7, 1e10, 1e13}) {
    double ref = 0.0;
    for (double v : y)
      if (v > 0.0) ref += v * std::log(v) - v - v / (2.0 * theta);
    EXPECT_NEAR(negbin_log(theta).saturated_loglik(y, 1.0), ref, 1e-13 * std::fabs(ref)) << theta;
  }
}

// The quantile objective: weighted terms plus c times the penalty, and +∞
// as soon as one term is not finite.
TEST(ElfObjective, WeightedTermsPlusPenalty) {
  const Elf f = elf_identity(0.3, 1.3, 0.7);
  linalg::Matrix x(3, 2);
  const double xs[] = {1.0, 0.2, 1.0, -0.5, 1.0, 1.4};
  for (std::size_t k = 0; k < 6; ++k) x.data[k] = xs[k];
  linalg::Matrix s(2, 2);
  s(1, 1) = 2.0;
  const Vector y{0.3, -1.0, 2.0}, w{1.0, 2.0, 0.5}, beta{0.1, 0.7};
  double expected = 0.0;
  for (std::size_t i = 0; i < 3; ++i) expected += w[i] * f.unit_deviance(y[i], x(i, 0) * beta[0] + x(i, 1) * beta[1]);
  expected += 1.5 * 2.0 * 0.7 * 0.7;
  EXPECT_NEAR(elf_objective(f, x.view(), y, w, beta, s.view(), 1.5), expected, 1e-14 * expected);
  const Vector y_nan{0.3, kNaN, 2.0};
  EXPECT_EQ(elf_objective(f, x.view(), y_nan, w, beta, s.view(), 1.5), kInf);
}

// ---------------------------------------------------------------------------
// Worked values and the category rule.

TEST(OcatWorkedValues, ProbabilityCategoriesAndCutPoints) {
  // R = 3, η = 0, y = 2: F(0) − F(−1).
  const Ocat three = ocat_identity(3);
  const Vector c3 = ocat_cut_points(three);
  const double p = ocat_category_probability(c3[1] - 0.0, c3[2] - 0.0);
  EXPECT_NEAR(p, 0.23105857863000487, std::nextafter(0.23105857863000487, 1.0) - 0.23105857863000487);
  EXPECT_EQ(three.unit_deviance(2.0, 0.0), -2.0 * std::log(p));

  const Ocat five = ocat_identity(5);
  EXPECT_EQ(five.thresholds, (Vector{0.0, 0.0, 0.0}));
  EXPECT_EQ(ocat_cut_points(five), (Vector{-kInf, -1.0, 0.0, 1.0, 2.0, kInf}));
  const struct {
    double y;
    std::uint64_t k;
  } table[] = {{0.0, 1}, {-3.0, 1}, {-0.5, 1}, {kNaN, 1}, {7.2, 5}, {kInf, 5}, {1.5, 2}, {2.5, 3}, {4.4, 4}};
  for (const auto& row : table) EXPECT_EQ(ocat_category(row.y, 5), row.k) << row.y;

  // Categories 1 and R: one-sided probabilities.
  EXPECT_EQ(ocat_category_probability(-kInf, -1.0 - 0.7), 1.0 / (std::exp(1.7) + 1.0));
  EXPECT_EQ(ocat_category_probability(2.0 - 0.7, kInf), 1.0 / (std::exp(1.3) + 1.0));
  // An underflowing probability takes the floor.
  EXPECT_EQ(five.unit_deviance(5.0, -1e4), -2.0 * std::log(kOcatProbabilityFloor));

  const Ocat two = ocat_new({}, 2);
  EXPECT_EQ(ocat_cut_points(two), (Vector{-kInf, -1.0, kInf}));
}

// An integer outside 1..R and a value that is no integer at all (2.3 is
// not rounded into a category) are refused at their row.
TEST(OcatWorkedValues, ResponseCheckNamesTheFirstBadRow) {
  const Ocat f = ocat_identity(4);
  EXPECT_TRUE(f.check_response(Vector{1.0, 4.0, 2.0, 3.0}).has_value());
  struct Case {
    Vector y;
    std::string message;
  };
  const Case cases[] = {
      {{1.0, 4.6, 0.0}, "Ocat requires y to be an integer in 1..=4; got y=4.6 at row 1"},
      {{1.0, 2.0, 2.3}, "Ocat requires y to be an integer in 1..=4; got y=2.3 at row 2"},
      {{2.5}, "Ocat requires y to be an integer in 1..=4; got y=2.5 at row 0"},
      {{3.0, 0.0}, "Ocat requires y to be an integer in 1..=4; got y=0 at row 1"},
      {{5.0}, "Ocat requires y to be an integer in 1..=4; got y=5 at row 0"},
      {{kNaN}, "y must be finite; got y=NaN at row 0"},
      {{2.0, -kInf}, "y must be finite; got y=-inf at row 1"},
      {{1e300}, "Ocat requires y to be an integer in 1..=4; got y=1" + std::string(300, '0') + " at row 0"},
  };
  for (const Case& c : cases) {
    const auto bad = f.check_response(c.y);
    ASSERT_FALSE(bad.has_value()) << c.message;
    EXPECT_EQ(bad.error().message(), c.message);
  }
}

TEST(ElfWorkedValues, TermVanishesAtItsOffsetAndIsPositiveAround) {
  const Elf f = elf_identity(0.3, 1.3, 0.7);
  const double r0 = 0.7 * std::log(7.0 / 3.0);
  EXPECT_NEAR(f.unit_deviance(r0, 0.0), 0.0, 1e-15);
  EXPECT_GT(f.unit_deviance(r0 + 0.1, 0.0), 0.0);
  EXPECT_GT(f.unit_deviance(r0 - 0.1, 0.0), 0.0);
  // Far from the corner the term is the check loss plus λκ, over σ/2.
  const Elf g = elf_identity(0.9, 1.0, 0.01);
  EXPECT_NEAR(g.unit_deviance(100.0, 0.0), 2.0 * (0.9 * 100.0 + 0.01 * g.kappa()), 1e-12);
  // τ = ½, λ = σ: c(y) = −n·ln(2πλ).
  const Elf h = elf_identity(0.5, 0.8, 0.8);
  EXPECT_NEAR(h.saturated_loglik(Vector{1.0, 2.0, 3.0}, 1.0), -3.0 * std::log(2.0 * M_PI * 0.8), 1e-13);
  EXPECT_EQ(h.working_response(0.3, 0.3), 0.3);  // u = 0, τ = ½: no score
}

// Negative binomial and Tweedie responses share the count domain check: a
// negative response fails with the family's name, NaN and infinite ones as
// not finite.
TEST(ShapeResponses, CountFamiliesRejectResponsesOutsideTheirDomain) {
  const struct {
    double y;
    std::string nb, tw;
  } bad[] = {{-1.0, "NegBin requires y ≥ 0; got y=-1", "Tweedie requires y ≥ 0; got y=-1"},
             {kNaN, "y must be finite; got y=NaN", "y must be finite; got y=NaN"},
             {kInf, "y must be finite; got y=inf", "y must be finite; got y=inf"}};
  for (const auto& b : bad) {
    const Vector y{0.0, 2.0, b.y};
    const auto nb = negbin_log(2.0).check_response(y);
    ASSERT_FALSE(nb.has_value());
    EXPECT_EQ(nb.error().message(), b.nb + " at row 2");
    const auto tw = tweedie_log(1.5, 1.0).check_response(y);
    ASSERT_FALSE(tw.has_value());
    EXPECT_EQ(tw.error().message(), b.tw + " at row 2");
  }
  EXPECT_TRUE(negbin_log(2.0).check_response(Vector{0.0, 3.0}).has_value());
}

// Starting means and small closed-form values of the unit deviances.
TEST(ShapeWorkedValues, StartsAndDeviances) {
  EXPECT_EQ(TDist::initial_mu(Vector{1.0, 3.0}), (Vector{1.5, 2.5}));
  EXPECT_EQ(NegBin::initial_mu(Vector{0.0, 4.0, kNaN}), (Vector{0.1, 4.0, 0.1}));
  EXPECT_NEAR(negbin_log(3.0).unit_deviance(0.0, 3.0), 6.0 * std::log(2.0), 1e-14);
  EXPECT_EQ(negbin_log(3.0).unit_deviance(4.0, 4.0), 0.0);
  EXPECT_EQ(tdist_identity(4.0, 2.0).unit_deviance(1.5, 1.5), 0.0);
  EXPECT_EQ(tweedie_log(1.5, 1.0).unit_deviance(0.0, 4.0), 2.0 * 2.0 / 0.5);
  EXPECT_NEAR(tweedie_log(1.3, 1.0).unit_deviance(2.0, 2.0), 0.0, 1e-14);
}

// The scale that starts the searches, worked out by hand: 1.4826 times the
// median absolute deviation from the median, over the rows of positive
// weight; the mean absolute deviation times √(π/2) where more than half
// the values coincide.
TEST(RobustScale, MedianAbsoluteDeviationOverTheWeightedRows) {
  struct Case {
    const char* name;
    Vector v, w;
    double expected;
  } cases[] = {
      // median 3, deviations {2, 1, 0, 1, 97}: MAD 1, the outlier ignored.
      {"one outlier", {1.0, 2.0, 3.0, 4.0, 100.0}, {1.0, 1.0, 1.0, 1.0, 1.0}, 1.482602218505602},
      // Even count: median 2.5, deviations {1.5, 0.5, 0.5, 1.5}: MAD 1.
      {"even count", {1.0, 2.0, 3.0, 4.0}, {1.0, 1.0, 1.0, 1.0}, 1.482602218505602},
      // The zero-weight row is dropped: {2, 4, 6}, MAD 2.
      {"zero weight", {2.0, 4.0, 6.0, 1e9}, {1.0, 1.0, 1.0, 0.0}, 2.0 * 1.482602218505602},
      // Four of five equal: MAD 0, mean |v − 5| = 2.
      {"mostly equal", {5.0, 5.0, 5.0, 5.0, 15.0}, {1.0, 1.0, 1.0, 1.0, 1.0}, 2.0 * 1.2533141373155001},
      {"constant", {7.0, 7.0, 7.0}, {1.0, 1.0, 1.0}, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(robust_scale(c.v, c.w), c.expected, 1e-15 * c.expected);
    // It scales with v and ignores a shift.
    Vector moved = c.v;
    for (double& x : moved) x = 1e-6 * x + 3.0;
    EXPECT_NEAR(robust_scale(moved, c.w), 1e-6 * c.expected, 1e-9 * c.expected + 1e-22);
  }
}

// The scaled t starts halfway between each response and the median, so
// that one far outlier moves no other row's start.
TEST(TDistStart, HalfwayToTheMedian) {
  const Vector y{1.0, 3.0, 2.0, 1e12, 0.0};
  const Vector mu = TDist::initial_mu(y);
  const Vector expected{1.5, 2.5, 2.0, (1e12 + 2.0) * 0.5, 1.0};
  EXPECT_EQ(mu, expected);
}

}  // namespace
}  // namespace kavri::family
