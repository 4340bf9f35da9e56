#include "family/polygamma.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri::family {
namespace {

constexpr double kEulerGamma = 0.57721566490153286061;
constexpr double kPi = 3.14159265358979323846;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The series stop after x⁻⁸ (ψ) and x⁻⁹ (ψ₁), summed at a shifted x ≥ 6;
// the first omitted terms 1/(132·6¹⁰) ≈ 1.25e-10 and 5/(66·6¹¹) ≈ 2.1e-10
// bound the truncation, and the at most six recurrence terms add rounding
// far below that for x ≥ 0.1.
constexpr double kDigammaSeriesError = 1.3e-10;
constexpr double kTrigammaSeriesError = 2.2e-10;
// From x = 40 the omitted terms are below 1e-18, so only rounding remains.
constexpr double kLargeArgumentRelative = 1e-14;

double harmonic(int n) {
  double h = 0.0;
  for (int k = 1; k <= n; ++k) h += 1.0 / k;
  return h;
}
double partial_zeta2(int n) {
  double s = 0.0;
  for (int k = 1; k <= n; ++k) s += 1.0 / (static_cast<double>(k) * k);
  return s;
}

TEST(Digamma, KnownValues) {
  struct Case {
    const char* name;
    double x;
    double expected;
  } cases[] = {
      {"psi(1) = -gamma", 1.0, -kEulerGamma},
      {"psi(1/2) = -gamma - 2 ln 2", 0.5, -kEulerGamma - 2.0 * std::log(2.0)},
      {"psi(6) = -gamma + H_5, series only", 6.0, -kEulerGamma + harmonic(5)},
      {"psi(4) = -gamma + H_3", 4.0, -kEulerGamma + harmonic(3)},
      // 30-digit evaluations of ψ.
      {"psi(0.3)", 0.3, -3.5025242222001331249},
      {"psi(2.5)", 2.5, 0.70315664064524318723},
      {"psi(7.25)", 7.25, 1.9104535268837360284},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(digamma(c.x), c.expected, kDigammaSeriesError);
  }
  // ψ(40) to 20 digits; ψ(101) = −γ + H_100.
  EXPECT_NEAR(digamma(40.0), 3.6763273740348431259, kLargeArgumentRelative * 3.68);
  EXPECT_NEAR(digamma(101.0), -kEulerGamma + harmonic(100), kLargeArgumentRelative * 4.62);
}

TEST(Trigamma, KnownValues) {
  struct Case {
    const char* name;
    double x;
    double expected;
  } cases[] = {
      {"psi1(1) = pi^2/6", 1.0, kPi * kPi / 6.0},
      {"psi1(1/2) = pi^2/2", 0.5, kPi * kPi / 2.0},
      {"psi1(6) = pi^2/6 - sum_{k<=5} 1/k^2, series only", 6.0, kPi * kPi / 6.0 - partial_zeta2(5)},
      {"psi1(0.3)", 0.3, 12.245364546107731301},
      {"psi1(2.5)", 2.5, 0.49035775610023486497},
      {"psi1(7.25)", 7.25, 0.14787923315893216965},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(trigamma(c.x), c.expected, kTrigammaSeriesError);
  }
  EXPECT_NEAR(trigamma(40.0), 0.025315103841291028158, kLargeArgumentRelative * 0.0253);
}

TEST(Polygamma, RecurrencesHoldAboveTheShift) {
  // Above 6 both sides come from the series at different points, so the
  // recurrence is a real check of it: two truncation errors at most.
  for (double x : {6.0, 6.5, 9.75, 23.0}) {
    SCOPED_TRACE(x);
    EXPECT_NEAR(digamma(x + 1.0) - digamma(x), 1.0 / x, 2 * kDigammaSeriesError);
    EXPECT_NEAR(trigamma(x) - trigamma(x + 1.0), 1.0 / (x * x), 2 * kTrigammaSeriesError);
  }
}

TEST(Polygamma, DerivativesMatchCentralDifferences) {
  // ψ against std::lgamma and ψ₁ against ψ, h = 1e-4: for x ≥ 1,
  // |ψ''| ≤ 2.4 and |ψ'''| ≤ 6.5, so truncation h²·f'''/6 stays below
  // 1.1e-8, and rounding ε·|f|/h below 1e-10. The points avoid the integers
  // below 6, where x − h and x + h take different numbers of recurrence
  // steps: the series error (≤ 1.3e-10) jumps there, and over 2h that jump
  // would look like a slope error of 5e-7.
  constexpr double h = 1e-4;
  for (double x : {1.3, 1.7, 3.3, 6.5, 12.5}) {
    SCOPED_TRACE(x);
    const double dlgamma = (std::lgamma(x + h) - std::lgamma(x - h)) / (2.0 * h);
    EXPECT_NEAR(digamma(x), dlgamma, 2e-8);
    const double ddigamma = (digamma(x + h) - digamma(x - h)) / (2.0 * h);
    EXPECT_NEAR(trigamma(x), ddigamma, 2e-8 * std::max(1.0, trigamma(x)));
  }
}

TEST(Polygamma, NonFiniteArguments) {
  EXPECT_TRUE(std::isnan(digamma(kNaN)));
  EXPECT_TRUE(std::isnan(trigamma(kNaN)));
  EXPECT_EQ(digamma(kInf), kInf);
  EXPECT_EQ(trigamma(kInf), 0.0);
}

}  // namespace
}  // namespace kavri::family
