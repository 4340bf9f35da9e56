#include "family/link.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri::family {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Logistic, AgreesWithIndependentForms) {
  for (double eta : {-5.0, -1.3, -0.25, 0.0, 0.25, 1.3, 5.0}) {
    SCOPED_TRACE(eta);
    // 1/(1 + e^(−η)) = (1 + tanh(η/2))/2; a few roundings on either side.
    EXPECT_NEAR(logistic(eta), 0.5 * (1.0 + std::tanh(0.5 * eta)), 4 * kEps);
  }
  for (double eta : {0.5, 3.0, 12.0, 30.0}) {
    SCOPED_TRACE(eta);
    // Symmetry F(η) + F(−η) = 1: the two forms meet at 0.
    EXPECT_NEAR(logistic(eta) + logistic(-eta), 1.0, 2 * kEps);
  }
  for (double eta : {-40.0, -300.0, -700.0}) {
    SCOPED_TRACE(eta);
    // e/(1 + e) = e·(1 − e + …) with e below 1e-17: e itself to rounding.
    EXPECT_NEAR(logistic(eta), std::exp(eta), 2 * kEps * std::exp(eta));
  }
}

TEST(Logistic, SaturatesWithoutOverflow) {
  struct Case {
    double eta;
    double expected;
  } cases[] = {{800.0, 1.0}, {-800.0, 0.0}, {40.0, 1.0}, {kInf, 1.0}, {-kInf, 0.0}, {0.0, 0.5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.eta);
    EXPECT_EQ(logistic(c.eta), c.expected);
  }
  EXPECT_TRUE(std::isnan(logistic(kNaN)));
}

TEST(LinkKindName, PersistedNamesReadBackAndOthersAreRefused) {
  struct Case {
    LinkKind kind;
    const char* name;
  } cases[] = {{LinkKind::Identity, "Identity"}, {LinkKind::Log, "Log"}, {LinkKind::Logit, "Logit"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(link_kind_name(c.kind), c.name);
    EXPECT_EQ(link_kind_by_name(c.name), c.kind);
  }
  for (const char* other : {"log", "Probit", "", "Logit "}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(link_kind_by_name(other).has_value());
  }
}

TEST(Link, FloorsAndClamps) {
  struct Case {
    const char* name;
    double value;
    double expected;
  } cases[] = {
      {"log floor keeps a normal mean", 2.0, 2.0},
      {"log floor lifts a subnormal", 1e-320, 1e-300},
      {"log floor lifts zero", 0.0, 1e-300},
      {"log floor lifts a negative", -5.0, 1e-300},
      {"log floor takes NaN to the floor", kNaN, 1e-300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(log_floor(c.value), c.expected);
  }
  const Case clamps[] = {
      {"clamp below", -1.0, kLogitLow},     {"clamp zero", 0.0, kLogitLow},
      {"clamp just below", 1e-16, kLogitLow}, {"inside", 0.5, 0.5},
      {"clamp one", 1.0, kLogitHigh},        {"clamp above", 2.0, kLogitHigh},
  };
  for (const Case& c : clamps) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(logit_clamp(c.value), c.expected);
  }
  EXPECT_TRUE(std::isnan(logit_clamp(kNaN)));
}

TEST(Link, EdgeValues) {
  // Log link: the floor keeps ln and 1/m finite; the inverse is not clamped.
  EXPECT_EQ(LogLink::link(0.0), std::log(1e-300));
  EXPECT_EQ(LogLink::link(kNaN), std::log(1e-300));
  EXPECT_EQ(LogLink::link_derivative(1e-320), 1.0 / 1e-300);
  EXPECT_EQ(LogLink::link_inverse(1000.0), kInf);

  // Logit link at the clamp c: g' = 1/(c(1 − c)), about 1e15, and
  // η = ln c − ln(1 − c), about ±34.5; a product or quotient of three
  // roundings, and logarithms good to an ulp each.
  struct Clamp {
    double mu;
    double c;
  } ends[] = {{1.0, kLogitHigh}, {2.0, kLogitHigh}, {0.0, kLogitLow}, {-1.0, kLogitLow}};
  for (const Clamp& e : ends) {
    SCOPED_TRACE(e.mu);
    EXPECT_NEAR(LogitLink::link_derivative(e.mu) * (e.c * -std::expm1(std::log(e.c))), 1.0, 8 * kEps);
    const double eta = std::log(e.c) - std::log1p(-e.c);
    EXPECT_NEAR(LogitLink::link(e.mu), eta, 4 * kEps * std::fabs(eta));
  }
  EXPECT_TRUE(std::isnan(LogitLink::link(kNaN)));

  // The starting means (y + 1/2)/2 of responses in [0, 1] never meet it.
  EXPECT_EQ(LogitLink::link(0.25), std::log(0.25 / 0.75));
  EXPECT_EQ(LogitLink::link(0.75), std::log(0.75 / 0.25));
}

}  // namespace
}  // namespace kavri::family
