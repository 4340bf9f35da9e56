#include "family/gamma.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "family/polygamma.h"
#include "test_util.h"

namespace kavri::family {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;

// f(φ) = M_p·φ + 2n·(ln φ + ψ(1/φ)) + S with the family's ψ.
double profile_equation(double s, double n, double m_p, double phi) {
  return m_p * phi + 2.0 * n * (std::log(phi) + digamma(1.0 / phi)) + s;
}

TEST(GammaProfileScale, ReproducesReferenceScales) {
  struct Case {
    double s;
    std::uint64_t n;
    std::uint64_t m_p;
    double expected;  // the scale the criterion must see
    double root;      // the exact root of f with the true ψ (40 digits)
    double slope;     // f' at that root
  } cases[] = {
      {2.0, 10, 2, 0.23824068658618602, 0.23824068639345279653, -8.785460424},
      {50.0, 100, 3, 0.4771551799390132, 0.47715517976144898277, -112.2728557},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s);
    const double phi = gamma_profile_scale(c.s, c.n, c.m_p);
    // The iterates follow a fixed operation order, so the result is
    // reproduced to a few ulps.
    EXPECT_DOUBLE_EQ(phi, c.expected);
    const double n = static_cast<double>(c.n);
    const double m_p = static_cast<double>(c.m_p);
    const double tol = 1e-10 * (c.s + m_p + 1.0);
    EXPECT_LT(std::fabs(profile_equation(c.s, n, m_p, phi)), tol);
    // Against the true root: the stop leaves |f| < tol and ψ's truncation
    // moves f by at most 2n·1.3e-10, so φ is within their sum over |f'|.
    EXPECT_NEAR(phi, c.root, (tol + 2.0 * n * 1.3e-10) / std::fabs(c.slope));
  }
}

TEST(GammaProfileScale, IsAStationaryPointOfTheCriterion) {
  // V(φ) = S/(2φ) − (M_p/2)·ln(2πφ) − c(y; φ), with the family's saturated
  // log-likelihood; its slope at the returned φ vanishes to the solve's
  // accuracy (|V'| = |f|/(2φ²) below 1e-7 here), while one percent away it
  // is about 0.2. h = 1e-6·φ: rounding ε·|V|/h ≈ 3e-8.
  const Vector y = {0.3, 1.7, 2.2, 0.9, 4.1, 1.1, 0.6, 2.8, 1.4, 0.2};
  const double s = 2.0, m_p = 2.0;
  auto criterion = [&](double phi) {
    return s / (2.0 * phi) - 0.5 * m_p * std::log(2.0 * kPi * phi) - Gamma::saturated_loglik(y, phi);
  };
  const double phi = gamma_profile_scale(s, y.size(), 2);
  const double h = 1e-6 * phi;
  const double slope = (criterion(phi + h) - criterion(phi - h)) / (2.0 * h);
  EXPECT_NEAR(slope, 0.0, 2e-7);
  const double off = 1.01 * phi;
  EXPECT_GT(std::fabs((criterion(off + h) - criterion(off - h)) / (2.0 * h)), 0.1);
}

TEST(GammaWeightedCriterion, SaturatedTermAndProfileFollowTheShapesOfTheRows) {
  // Six rows, one of weight zero. The family's c(y; φ) against the density
  // sum: terms of a few units, 1e-13 relative. Unit weights give the
  // unweighted sum bit for bit.
  const Vector y = {0.8, 1.9, 0.4, 2.6, 1.2, 3.3};
  const Vector w = {1.0, 2.5, 0.5, 0.0, 3.0, 1.5};
  for (const double phi : {0.05, 0.4, 2.0}) {
    SCOPED_TRACE(phi);
    const double expected = testing::weighted_gamma_saturated(y, w, phi);
    EXPECT_NEAR(Gamma::saturated_loglik(y, w, phi), expected, 1e-13 * std::fabs(expected) + 1e-13);
    EXPECT_EQ(Gamma::saturated_loglik(y, Vector(6, 1.0), phi), Gamma::saturated_loglik(y, phi));
  }
  // The profiled φ is where V(φ) = S/(2φ) − (M_p/2)·ln(2πφ) − c(y; φ) is
  // flat: its central difference (h = 1e-6·φ, rounding ε·|V|/h ~ 1e-9)
  // vanishes to 1e-7, while 1% away the slope is of order one.
  const double s = 1.3, m_p = 2.0;
  auto criterion = [&](double phi) {
    return s / (2.0 * phi) - 0.5 * m_p * std::log(2.0 * kPi * phi) - testing::weighted_gamma_saturated(y, w, phi);
  };
  const double phi = gamma_profile_scale(s, w, 2);
  const double h = 1e-6 * phi;
  EXPECT_NEAR((criterion(phi + h) - criterion(phi - h)) / (2.0 * h), 0.0, 1e-7);
  const double off = 1.01 * phi;
  EXPECT_GT(std::fabs((criterion(off + h) - criterion(off - h)) / (2.0 * h)), 1e-2);
  // Doubling every weight doubles every shape: the profiled φ doubles too.
  Vector w2 = w;
  for (double& v : w2) v *= 2.0;
  const double phi2 = gamma_profile_scale(2.0 * s, w2, 2);
  EXPECT_NEAR(phi2, 2.0 * phi, 1e-9 * phi);
}

TEST(GammaProfileScale, EdgeInputs) {
  struct Case {
    const char* name;
    double s;
    std::uint64_t n;
    std::uint64_t m_p;
    double expected;
  } cases[] = {
      // S/(n − M_p) = 1.25e-13 starts at the floor, where f' ≈ M_p − n and
      // the step would go below zero: it is cut back to the floor.
      {"tiny deviance stays at the floor", 1e-12, 10, 2, 1e-8},
      {"NaN deviance ends at the floor", kNaN, 10, 2, 1e-8},
      {"infinite deviance keeps its infinite start", kInf, 10, 2, kInf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(gamma_profile_scale(c.s, c.n, c.m_p), c.expected);
  }
}

}  // namespace
}  // namespace kavri::family
