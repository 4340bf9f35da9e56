#include "family/inverse_gaussian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri::family {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

TEST(InverseGaussianFamily, DevianceAtChosenPoints) {
  struct Case {
    const char* name;
    double y;
    double mu;
    double expected;
  } cases[] = {
      // (y − μ)²/(y·μ²), no factor 2.
      {"d(2, 1)", 2.0, 1.0, 0.5},
      {"d(1, 2)", 1.0, 2.0, 0.25},
      {"d(3, 3)", 3.0, 3.0, 0.0},
      // A NaN response counts as 1e-300: (1e-300 − 1)²/1e-300.
      {"NaN response", kNaN, 1.0, 1e300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(InverseGaussian::unit_deviance(c.y, c.mu), c.expected, 2 * kEps * c.expected);
  }
}

TEST(InverseGaussianFamily, FloorsAndStartingMeans) {
  // μ³ underflows to 0 and is floored; g' is not.
  EXPECT_EQ(InverseGaussian::variance(1e-120), 1e-300);
  EXPECT_NEAR(InverseGaussian::link_derivative(1e-120), 1e120, kEps * 1e120);
  EXPECT_EQ(InverseGaussian::initial_mu(Vector{1e-4, 2.0, kNaN}), (Vector{0.001, 2.0, 0.001}));
}

TEST(InverseGaussianFamily, SaturatedLoglikOfConstantResponses) {
  // −(n/2)·ln(2πφ) − 1.5·Σ ln y_i; n terms of a few roundings each.
  const double phi = 0.8;
  const double base = -2.0 * std::log(2.0 * kPi * phi);
  struct Case {
    const char* name;
    double y;
    double expected;
  } cases[] = {
      {"y = 1", 1.0, base},
      {"y = e", std::exp(1.0), base - 1.5 * 4.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Vector y(4, c.y);
    EXPECT_NEAR(InverseGaussian::saturated_loglik(y, phi), c.expected, 16 * kEps * std::fabs(c.expected));
  }
  EXPECT_TRUE(std::signbit(InverseGaussian::saturated_loglik(Vector{}, phi)));
}

}  // namespace
}  // namespace kavri::family
