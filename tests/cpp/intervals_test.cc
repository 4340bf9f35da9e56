#include "fit/intervals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Φ⁻¹(0.975) to double precision, independent of the library's
// approximation.
constexpr double kZ95 = 1.959963984540054;
// Relative error bound of the library's normal quantile.
constexpr double kQuantileRelativeError = 1.15e-9;
// Rounding allowance relative to Σ|terms| of a dot product or quadratic form
// over at most a few hundred terms: the summation bound is about
// (terms)·2⁻⁵³ ≈ 1e-14, so 1e-13 leaves a margin without hiding a wrong term.
constexpr double kRounding = 1e-13;

// A Poisson fit of a smooth log-mean curve with 8 "cr" knots, made once.
const FittedGam& poisson_model() {
  static const FittedGam model = [] {
    constexpr std::size_t n = 200;
    const Vector x = testing::covariate(n);
    const Vector y = testing::draw_response(testing::Response::Counts, x, 7);
    auto fitted = fit_family(family::poisson_log(), testing::cr_design(n, 8), n, y, std::nullopt);
    EXPECT_TRUE(fitted.has_value()) << fitted.error().display();
    return std::move(*fitted);
  }();
  return model;
}

// n covariate values spread over the fitted range, as an n × 1 x_new.
Matrix grid(std::size_t n, double from, double to) {
  Matrix x(n, 1);
  for (std::size_t i = 0; i < n; ++i)
    x(i, 0) = n == 1 ? from : from + (to - from) * static_cast<double>(i) / static_cast<double>(n - 1);
  return x;
}

Matrix model_matrix(const FittedGam& model, const Matrix& x_new) {
  auto x = model_matrix_at(model, x_new);
  EXPECT_TRUE(x.has_value()) << x.error().display();
  return x ? std::move(*x) : Matrix();
}

// η = r'β and se = sqrt(r'Vr) of one row written out with plain loops, with
// the sums of absolute terms that bound their rounding.
struct Reference {
  double eta, abs_eta, se, abs_q;
};

Reference reference(const std::vector<double>& r, const FittedGam& model) {
  Reference out{0.0, 0.0, 0.0, 0.0};
  double q = 0.0;
  for (std::size_t a = 0; a < r.size(); ++a) {
    out.eta += r[a] * model.beta[a];
    out.abs_eta += std::fabs(r[a] * model.beta[a]);
    for (std::size_t b = 0; b < r.size(); ++b) {
      q += r[a] * model.vcov(a, b) * r[b];
      out.abs_q += std::fabs(r[a] * model.vcov(a, b) * r[b]);
    }
  }
  out.se = std::sqrt(q);
  return out;
}

// The bound on |half width − z·se| that rounding alone allows: the error of
// q carried through the square root to first order.
double se_rounding(const Reference& ref, double z) { return z * kRounding * ref.abs_q / (2.0 * ref.se); }

std::vector<double> row_of(const Matrix& m, std::size_t i) { return {m.row(i), m.row(i) + m.cols}; }

TEST(WaldInterval, IsTheLinearPredictorPlusMinusZTimesTheStoredCovarianceForm) {
  const FittedGam& model = poisson_model();
  ASSERT_GT(model.beta.size(), 1u);

  auto z = interval_quantile(0.95);
  ASSERT_TRUE(z.has_value()) << z.error().display();
  EXPECT_NEAR(*z, kZ95, kQuantileRelativeError * kZ95);

  // More rows than one block of the covariance product, so that rows of the
  // second block are checked too.
  const Matrix x = model_matrix(model, grid(kIntervalBlockRows + 45, 0.02, 0.98));
  ASSERT_EQ(x.cols, model.beta.size());
  const Interval got = wald_interval(x, model, *z);
  ASSERT_EQ(got.mean.size(), x.rows);
  ASSERT_EQ(got.lo.size(), x.rows);
  ASSERT_EQ(got.hi.size(), x.rows);
  for (std::size_t i = 0; i < x.rows; ++i) {
    SCOPED_TRACE(i);
    const Reference ref = reference(row_of(x, i), model);
    ASSERT_GT(ref.se, 0.0);
    // The quantile's own error scales the half width; rounding adds to it.
    const double half_width_tol = kQuantileRelativeError * kZ95 * ref.se + se_rounding(ref, kZ95);
    const double eta_tol = kRounding * ref.abs_eta;
    EXPECT_NEAR(got.mean[i], ref.eta, eta_tol);
    EXPECT_NEAR(got.lo[i], ref.eta - kZ95 * ref.se, eta_tol + half_width_tol);
    EXPECT_NEAR(got.hi[i], ref.eta + kZ95 * ref.se, eta_tol + half_width_tol);
  }
}

TEST(WaldInterval, DegenerateFormsGiveNaNOrZeroWidth) {
  // η = 1 + 2·0.5 = 2 for the row (1, 0.5).
  const Matrix x(1, 2, {1.0, 0.5});
  struct Case {
    const char* name;
    Matrix vcov;
    bool nan_bounds;
  } cases[] = {
      // An unknown scale makes the whole covariance NaN.
      {"NaN covariance", Matrix(2, 2, kNaN), true},
      // x'Vx = −1e-20: a form that rounding pushed just below zero.
      {"negative form", Matrix(2, 2, {-1e-20, 0.0, 0.0, 0.0}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FittedGam model;
    model.beta = {1.0, 2.0};
    model.vcov = c.vcov;
    const Interval got = wald_interval(x, model, kZ95);
    ASSERT_EQ(got.mean.size(), 1u);
    EXPECT_EQ(got.mean[0], 2.0);
    if (c.nan_bounds) {
      EXPECT_TRUE(std::isnan(got.lo[0]));
      EXPECT_TRUE(std::isnan(got.hi[0]));
    } else {
      EXPECT_EQ(got.lo[0], 2.0);
      EXPECT_EQ(got.hi[0], 2.0);
    }
  }
}

TEST(DifferenceInterval, RowsAreLpmatrixDifferencesPairedOrBroadcast) {
  const FittedGam& model = poisson_model();
  const Matrix x_a = model_matrix(model, grid(6, 0.05, 0.9));
  const Matrix x_b = model_matrix(model, grid(6, 0.1, 0.95));
  const Matrix x_one = model_matrix(model, grid(1, 0.4, 0.4));
  constexpr double z = 1.6;
  struct Case {
    const char* name;
    const Matrix& a;
    const Matrix& b;
  } cases[] = {
      {"paired", x_a, x_b},
      {"single row of b against every row of a", x_a, x_one},
      {"single row of a against every row of b", x_one, x_b},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = difference_interval(c.a, c.b, model, z);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const std::size_t n = std::max(c.a.rows, c.b.rows);
    ASSERT_EQ(got->mean.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
      SCOPED_TRACE(k);
      const std::vector<double> ra = row_of(c.a, c.a.rows == 1 ? 0 : k);
      const std::vector<double> rb = row_of(c.b, c.b.rows == 1 ? 0 : k);
      std::vector<double> d(ra.size());
      for (std::size_t j = 0; j < d.size(); ++j) d[j] = ra[j] - rb[j];
      // The intercept column cancels exactly.
      EXPECT_EQ(d[0], 0.0);
      const Reference ref = reference(d, model);
      ASSERT_GT(ref.se, 0.0);
      const double eta_tol = kRounding * ref.abs_eta;
      const double half_width_tol = se_rounding(ref, z);
      EXPECT_NEAR(got->mean[k], ref.eta, eta_tol);
      EXPECT_NEAR(got->lo[k], ref.eta - z * ref.se, eta_tol + half_width_tol);
      EXPECT_NEAR(got->hi[k], ref.eta + z * ref.se, eta_tol + half_width_tol);
    }
  }
}

TEST(DifferenceInterval, IdenticalRowsGiveExactlyZeroEvenWithANaNCovariance) {
  FittedGam model = poisson_model();
  model.vcov = Matrix(model.vcov.rows, model.vcov.cols, kNaN);
  const Matrix x_new = grid(4, 0.1, 0.9);
  const Matrix x_a = model_matrix(model, x_new);
  // The covariate of row 2 again, as the single row broadcast below.
  const Matrix x_one = model_matrix(model, grid(1, x_new(2, 0), x_new(2, 0)));

  auto same = difference_interval(x_a, x_a, model, kZ95);
  ASSERT_TRUE(same.has_value()) << same.error().display();
  for (std::size_t k = 0; k < x_a.rows; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(same->mean[k], 0.0);
    EXPECT_EQ(same->lo[k], 0.0);
    EXPECT_EQ(same->hi[k], 0.0);
  }

  // Against a broadcast row only the identical row is exempt from the NaN.
  ASSERT_EQ(row_of(x_a, 2), row_of(x_one, 0));
  auto broadcast = difference_interval(x_a, x_one, model, kZ95);
  ASSERT_TRUE(broadcast.has_value()) << broadcast.error().display();
  for (std::size_t k = 0; k < x_a.rows; ++k) {
    SCOPED_TRACE(k);
    if (k == 2) {
      EXPECT_EQ(broadcast->mean[k], 0.0);
      EXPECT_EQ(broadcast->lo[k], 0.0);
      EXPECT_EQ(broadcast->hi[k], 0.0);
    } else {
      EXPECT_TRUE(std::isfinite(broadcast->mean[k]));
      EXPECT_TRUE(std::isnan(broadcast->lo[k]));
      EXPECT_TRUE(std::isnan(broadcast->hi[k]));
    }
  }
}

TEST(DifferenceInterval, RejectsMismatchedShapesWidthFirst) {
  FittedGam model;
  model.beta = Vector(3, 1.0);
  model.vcov = Matrix::identity(3);
  struct Case {
    const char* name;
    Matrix a, b;
    const char* message;
  } cases[] = {
      {"rows neither equal nor 1", Matrix(5, 3), Matrix(3, 3),
       "predict_diff: row counts must match or one must be 1 (broadcast); got a=5, b=3"},
      {"widths differ", Matrix(2, 3), Matrix(2, 4), "predict_diff: design width mismatch (a=3, b=4)"},
      {"both differ: width first", Matrix(5, 3), Matrix(3, 4), "predict_diff: design width mismatch (a=3, b=4)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = difference_interval(c.a, c.b, model, kZ95);
    ASSERT_FALSE(got.has_value());
    testing::expect_invalid_parameter(got.error(), c.message);
  }
}

TEST(IntervalQuantile, FailsOnlyWhenTheUpperProbabilityRoundsToOne) {
  // 1 − 2⁻⁵² puts (level + 1)·0.5 at 1 − 2⁻⁵³, still below 1; 1 − 2⁻⁵³ makes
  // level + 1 round to 2.
  const double last_with_quantile = 1.0 - std::ldexp(1.0, -52);
  auto edge = interval_quantile(last_with_quantile);
  ASSERT_TRUE(edge.has_value()) << edge.error().display();
  EXPECT_TRUE(std::isfinite(*edge));
  EXPECT_GT(*edge, 8.0);  // Φ⁻¹(1 − 2⁻⁵³) ≈ 8.3

  auto too_close = interval_quantile(1.0 - std::ldexp(1.0, -53));
  ASSERT_FALSE(too_close.has_value());
  testing::expect_invalid_parameter(too_close.error(),
                                    "level is too close to 1 for a normal quantile; got level=0.9999999999999999");
}

}  // namespace
}  // namespace kavri::fit
