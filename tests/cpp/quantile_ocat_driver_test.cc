// The scales the quantile driver chooses its σ from and the refusals of the
// quantile and ordered-categorical drivers: worked values of the robust
// scales, a pilot that one wild row does not move, and refusals that name
// their cause before any fit is run.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "fit/ocat_driver.h"
#include "fit/quantile.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

constexpr double kMadScale = 1.482602218505602;

TEST(QuantileScales, MedianAbsoluteDeviationAndSpread) {
  // {1, 2, 3, 4, 100}: median 3, deviations {2, 1, 0, 1, 97}, median 1.
  EXPECT_DOUBLE_EQ(scaled_mad(Vector{1.0, 2.0, 3.0, 4.0, 100.0}), kMadScale);
  // An even count takes the mean of the middle two: median 2.5, deviations
  // {1.5, 0.5, 0.5, 1.5}, median 1.
  EXPECT_DOUBLE_EQ(scaled_mad(Vector{4.0, 1.0, 3.0, 2.0}), kMadScale);
  EXPECT_EQ(scaled_mad(Vector{}), 0.0);

  struct Case {
    Vector y;
    double spread;
  };
  const Case cases[] = {
      {{1.0, 2.0, 3.0, 4.0, 100.0}, kMadScale},
      {{5.0, 5.0, 5.0, 7.0, 5.0}, 2.0},   // most values equal: the largest deviation
      {{-3.0, -3.0}, 3.0},                 // constant: its size
      {{0.0, 0.0, 0.0}, 1.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(response_spread(c.y), c.spread);
}

// One y of 10⁶ among 200: the pilot's residual scale stays that of the
// clean data (to the few rows the wild one still moves), where a least-
// squares pilot alone would give a scale of thousands.
TEST(QuantileScales, OneWildRowDoesNotSetThePilotScale) {
  const std::size_t n = 200;
  const design::ModelDesign d = testing::cr_design(n, 10);
  const Vector x = testing::covariate(n);
  Vector y = testing::draw_response(testing::Response::Normal, x, 5);
  auto clean = elf_warm_start(d.model_matrix, y, d.penalties, 0.5);
  ASSERT_TRUE(clean.has_value());
  y[60] = 1e6;
  auto wild = elf_warm_start(d.model_matrix, y, d.penalties, 0.5);
  ASSERT_TRUE(wild.has_value());
  EXPECT_NEAR(wild->residual_scale, clean->residual_scale, 0.05 * clean->residual_scale);
}

// y with a response of categories 1 … 4 at n rows.
Vector four_categories(std::size_t n) {
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<double>(1 + i % 4);
  return y;
}

TEST(OcatDriverChecks, EmptyCategoriesNamedInRuns) {
  struct Case {
    Vector y;
    std::optional<Vector> w;
    std::uint64_t r;
    std::string message;  // empty: accepted
  };
  const std::string head = "Ocat requires observations in every category 1..=";
  const Case cases[] = {
      {{1.0, 2.0, 3.0}, std::nullopt, 3, ""},
      {{2.0, 2.0, 2.0}, std::nullopt, 3, head + "3; none in 1, 3"},
      {{1.0, 2.0, 4.0, 4.0}, std::nullopt, 8, head + "8; none in 3, 5..=8"},
      {{3.0, 4.0}, std::nullopt, 4, head + "4; none in 1..=2"},
      // A row of weight 0 is no observation.
      {{1.0, 2.0, 3.0}, Vector{1.0, 0.0, 2.0}, 3, head + "3; none in 2"},
  };
  for (const Case& c : cases) {
    std::optional<linalg::VectorView> w;
    if (c.w) w = linalg::VectorView(*c.w);
    auto result = check_categories_observed(c.y, w, c.r);
    if (c.message.empty()) {
      EXPECT_TRUE(result.has_value()) << c.r;
    } else {
      ASSERT_FALSE(result.has_value()) << c.message;
      testing::expect_invalid_parameter(result.error(), c.message);
    }
  }
}

TEST(OcatDriverChecks, MeanPriorWeight) {
  EXPECT_EQ(mean_prior_weight(std::nullopt), 1.0);
  const Vector w{1.0, 2.0, 0.0, 1e8, 0.5};
  EXPECT_DOUBLE_EQ(mean_prior_weight(linalg::VectorView(w)), (1.0 + 2.0 + 1e8 + 0.5) / 5.0);
}

// Refusals that need only y and the options come before any fit: the
// counters of the driver stay at zero.
TEST(DriverRefusals, ComeBeforeAnyFit) {
  const std::size_t n = 120;
  const Matrix x = testing::column_of(testing::covariate(n));
  const Vector cats = four_categories(n);
  {
    inner::FitCounters counters;
    auto fit = fit_ocat(family::ocat_identity(20), x, cats, std::nullopt, "cr", 8, &counters);
    ASSERT_FALSE(fit.has_value());
    testing::expect_invalid_parameter(fit.error(), "Ocat requires observations in every category 1..=20; none in 5..=20");
    EXPECT_EQ(counters.inner_fits, 0u);
    EXPECT_EQ(counters.evaluations, 0u);
  }
  {
    Vector y = cats;
    y[7] = 2.3;
    inner::FitCounters counters;
    auto fit = fit_ocat(family::ocat_identity(4), x, y, std::nullopt, "cr", 8, &counters);
    ASSERT_FALSE(fit.has_value());
    testing::expect_invalid_parameter(fit.error(), "Ocat requires y to be an integer in 1..=4; got y=2.3 at row 7");
    EXPECT_EQ(counters.inner_fits, 0u);
  }
  const Vector y = testing::draw_response(testing::Response::Normal, testing::covariate(n), 3);
  const double spread = response_spread(y);
  for (double lambda : {1e-9 * spread, 1e9 * spread}) {
    inner::FitCounters counters;
    auto fit = fit_elf(0.5, 0.0, lambda, testing::cr_design(n, 8), n, y, std::nullopt, &counters);
    ASSERT_FALSE(fit.has_value());
    EXPECT_EQ(fit.error().message().rfind("elf_lambda must be in [", 0), 0u) << fit.error().message();
    EXPECT_EQ(counters.inner_fits, 0u);
  }
  // The bounds themselves are accepted.
  auto at_bound = fit_elf(0.5, 1e8 * spread, 0.0, testing::cr_design(n, 8), n, y, std::nullopt);
  ASSERT_TRUE(at_bound.has_value()) << at_bound.error().display();
}

}  // namespace
}  // namespace kavri::fit
