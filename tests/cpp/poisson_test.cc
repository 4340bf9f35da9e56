#include "family/poisson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri::family {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PoissonFamily, DevianceAtTheFloor) {
  struct Case {
    const char* name;
    double y;
    double mu;
    double expected;
  } cases[] = {
      // y = 0 contributes 2·m, so a vanishing mean still costs the floor.
      {"zero count at a subnormal mean", 0.0, 1e-320, 2e-300},
      {"zero count", 0.0, 2.0, 4.0},
      {"NaN count takes the zero branch", kNaN, 2.0, 4.0},
      // y·ln(y/m) − (y − m) doubled, with m = 1e-300 for a NaN mean.
      {"NaN mean is floored", 1.0, kNaN, 2.0 * (std::log(1e300) - 1.0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(Poisson::unit_deviance(c.y, c.mu), c.expected, 4 * kEps * c.expected);
  }
  EXPECT_EQ(Poisson::weighted_deviance(Vector{0.0}, Vector{1e-320}, unit_weights(1)), 2e-300);
}

TEST(PoissonFamily, SaturatedLoglik) {
  // Σ over y > 0 of y·ln y − y: (−1) + (2 ln 2 − 2), zeros adding nothing.
  EXPECT_NEAR(Poisson::saturated_loglik(Vector{1.0, 2.0, 0.0}, 1.0), 2.0 * std::log(2.0) - 3.0, 4 * kEps);
  const double zeros = Poisson::saturated_loglik(Vector{0.0, 0.0}, 1.0);
  EXPECT_EQ(zeros, 0.0);
  EXPECT_TRUE(std::signbit(zeros));
}

TEST(PoissonFamily, StartingMeans) {
  const Vector y = {kNaN, 0.05, 0.0, 3.0};
  const Vector expected = {0.1, 0.1, 0.1, 3.0};
  EXPECT_EQ(Poisson::initial_mu(y), expected);
  EXPECT_EQ(QuasiPoisson::initial_mu(y), expected);
}

}  // namespace
}  // namespace kavri::family
