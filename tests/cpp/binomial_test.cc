#include "family/binomial.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri::family {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BinomialFamily, DevianceAtTheClamp) {
  struct Case {
    const char* name;
    double y;
    double mu;
    double expected;
  } cases[] = {
      {"success at a half", 1.0, 0.5, 2.0 * std::log(2.0)},
      // Means at 0 or 1 clamp, so the deviance stays finite: 2·ln(1/c) and
      // 2·ln(1/(1 − c)).
      {"success at a zero mean", 1.0, 0.0, -2.0 * std::log(kLogitLow)},
      {"failure at a unit mean", 0.0, 1.0, -2.0 * std::log1p(-kLogitHigh)},
      {"NaN response contributes nothing", kNaN, 0.5, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(Bernoulli::unit_deviance(c.y, c.mu), c.expected, 4 * kEps * c.expected);
  }
  EXPECT_TRUE(std::isnan(Bernoulli::unit_deviance(0.5, kNaN)));
}

TEST(BinomialFamily, VarianceAtASaturatedMeanIsThatOfTheClamp) {
  // Not the 1e-300 floor of an unclamped 1·(1 − 1): that would pair a tiny
  // variance with a link derivative near 1e15.
  EXPECT_NEAR(Bernoulli::variance(1.0), kLogitHigh * -std::expm1(std::log(kLogitHigh)), 8 * kEps * 1e-15);
  EXPECT_NEAR(QuasiBinomial::variance(0.0), kLogitLow * (1.0 - kLogitLow), 2 * kEps * 1e-15);
  EXPECT_EQ(Bernoulli::variance(0.5), 0.25);
}

TEST(BinomialFamily, SaturatedLoglik) {
  // Binary responses contribute nothing, and the sum stays −0.0.
  const double binary = Bernoulli::saturated_loglik(Vector{0.0, 1.0, 1.0, 0.0}, 1.0);
  EXPECT_EQ(binary, 0.0);
  EXPECT_TRUE(std::signbit(binary));
  // y = 1/2 everywhere: n·ln(1/2), four terms of two roundings each.
  EXPECT_NEAR(Bernoulli::saturated_loglik(Vector(4, 0.5), 1.0), 4.0 * std::log(0.5), 16 * kEps);
}

TEST(BinomialFamily, StartingMeans) {
  const Vector y = {0.0, 1.0, 0.3};
  const Vector expected = {0.25, 0.75, 0.4};
  EXPECT_EQ(Bernoulli::initial_mu(y), expected);
  EXPECT_EQ(QuasiBinomial::initial_mu(y), expected);
}

}  // namespace
}  // namespace kavri::family
