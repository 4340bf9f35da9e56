#include "fit/summaries.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::naive_product;
using testing::transpose;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(NormalQuantile, ReproducesTheApproximationInEachRegion) {
  struct Case {
    double prob, expected;
  } cases[] = {
      {0.5, 0.0},
      {0.975, 1.959963986120195},
      {0.025, -1.959963986120195},
      {0.02425, -1.9729610490848712},  // the central formula at its lower end
      {0.97575, 1.9729610490848712},   // and at its upper end
      {0.01, -2.326347874388028},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prob);
    EXPECT_EQ(normal_quantile(c.prob), c.expected);
  }
  // Against the exact quantiles: the approximation's relative error is below
  // 1.15e-9 everywhere.
  EXPECT_NEAR(normal_quantile(0.995), 2.5758293035489004, 2.6 * 1.15e-9);
  EXPECT_NEAR(normal_quantile(1e-10), -6.361340902404056, 6.4 * 1.15e-9);
}

// Shared fixture: X (n × p), a penalty on the last three coefficients (two
// zero rows), H = X'WX + λS and its factor.
struct Fit {
  Matrix x, s, h, l;
  Vector w;
  double lambda;
};

Fit make_fit() {
  Fit f;
  const std::size_t n = 30, p = 5;
  f.x = testing::random_matrix(n, p, 41);
  f.w.resize(n);
  for (std::size_t i = 0; i < n; ++i) f.w[i] = 0.5 + 0.05 * static_cast<double>(i);
  f.s = Matrix(p, p);
  const Matrix block = testing::random_spd(3, 42);
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) f.s(2 + i, 2 + j) = block(i, j);
  f.lambda = std::exp(0.7);
  Matrix xtw = transpose(f.x);
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t i = 0; i < n; ++i) xtw(j, i) *= f.w[i];
  f.h = naive_product(xtw, f.x);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) f.h(i, j) += f.lambda * f.s(i, j);
  f.l = *linalg::cholesky_lower(f.h);
  return f;
}

TEST(EffectiveDegreesOfFreedom, TotalAndPerTermObeyTheTraceIdentity) {
  const Fit f = make_fit();
  // tr(H⁻¹(X'WX + λS)) = p, so edf_total = p − λ·tr(H⁻¹S) and, with r = 3
  // penalized rows, edf_per_term = edf_total − (p − r).
  const double total = compute_edf_total(f.x, f.w, f.l);
  const Vector per_term = compute_edf_per_term({f.s}, Vector{0.7}, 5, f.l);
  ASSERT_EQ(per_term.size(), 1u);
  EXPECT_NEAR(per_term[0], total - 2.0, 1e-12);
  EXPECT_GT(total, 2.0);
  EXPECT_LT(total, 5.0);
  // Unpenalized: H = X'WX, edf = p.
  const Matrix l0 = *linalg::cholesky_lower(naive_product(transpose(f.x), f.x));
  EXPECT_NEAR(compute_edf_total(f.x, Vector(30, 1.0), l0), 5.0, 1e-12);
}

TEST(EffectiveDegreesOfFreedom, RowCountSkipsZeroRowsAndCountsNanRows) {
  const Fit f = make_fit();
  const double t = compute_edf_per_term({f.s}, Vector{0.0}, 5, f.l)[0] - 3.0;  // −tr(H⁻¹S)
  Matrix s_neg_zero = f.s;
  s_neg_zero(0, 0) = -0.0;  // −0.0 is zero: still 3 rows
  EXPECT_EQ(compute_edf_per_term({s_neg_zero}, Vector{0.0}, 5, f.l)[0], 3.0 + t);
  Matrix s_nan = f.s;
  s_nan(1, 4) = kNaN;  // a NaN makes row 1 count (and the trace NaN)
  const Vector with_nan = compute_edf_per_term({s_nan}, Vector{0.0}, 5, f.l);
  EXPECT_TRUE(std::isnan(with_nan[0]));
  // Two penalties give two entries, each with its own λ.
  const Vector two = compute_edf_per_term({f.s, f.s}, Vector{0.0, std::log(2.0)}, 5, f.l);
  EXPECT_NEAR(two[1] - 3.0, 2.0 * t, 1e-12);
}

TEST(ScaledCovariance, ScalesTheInverseAndPropagatesAnUnknownScale) {
  const Fit f = make_fit();
  const Matrix inv = linalg::inverse_from_cholesky(f.l);
  // Symmetric to the bit, each pair the mean of the solves' two entries.
  const Matrix unit = scaled_covariance(f.l, 1.0);
  for (std::size_t a = 0; a < 5; ++a)
    for (std::size_t b = 0; b < 5; ++b) {
      EXPECT_EQ(unit(a, b), unit(b, a));
      EXPECT_EQ(unit(a, b), a == b ? inv(a, a) : (inv(a, b) + inv(b, a)) * 0.5);
    }
  const Matrix scaled = scaled_covariance(f.l, 2.5);
  for (std::size_t i = 0; i < inv.data.size(); ++i) EXPECT_EQ(scaled.data[i], 2.5 * unit.data[i]);
  for (double v : scaled_covariance(f.l, kNaN).data) EXPECT_TRUE(std::isnan(v));
  testing::expect_matrix_near(naive_product(inv, f.h), Matrix::identity(5), 1e-12);
}

}  // namespace
}  // namespace kavri::fit
