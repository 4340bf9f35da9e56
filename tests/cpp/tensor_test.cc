#include "design/tensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "basis/cr.h"
#include "design_fixtures.h"
#include "test_util.h"
#include "transform/centring.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using testing::expect_matrix_near;

constexpr double kEps = std::numeric_limits<double>::epsilon();

TEST(RowKronecker, MarginBRunsFastest) {
  struct Case {
    const char* name;
    MatrixView a;
    MatrixView b;
    Matrix expected;
  };
  const Vector a_one{1, 2}, b_one{3, 4, 5};
  const Vector a_col{2, 3}, b_long{1, 10, 100, 1000, 7, 7};
  // Column-major storage of [[1, 3], [2, 4]].
  const Vector a_cm{1, 2, 3, 4}, b_rm{1, -1, 0.5, 2};
  const Case cases[] = {
      {"one row", MatrixView(a_one.data(), 1, 2, 2, 1), MatrixView(b_one.data(), 1, 3, 3, 1),
       Matrix(1, 6, Vector{3, 4, 5, 6, 8, 10})},
      // Rows of B beyond the rows of A are not read.
      {"B has more rows", MatrixView(a_col.data(), 2, 1, 1, 1), MatrixView(b_long.data(), 3, 2, 2, 1),
       Matrix(2, 2, Vector{2, 20, 300, 3000})},
      {"strided A", MatrixView(a_cm.data(), 2, 2, 1, 2), MatrixView(b_rm.data(), 2, 2, 2, 1),
       Matrix(2, 4, Vector{1, -1, 3, -3, 1, 4, 2, 8})},
      {"A without columns", MatrixView(a_cm.data(), 2, 0, 0, 1), MatrixView(b_rm.data(), 2, 2, 2, 1), Matrix(2, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(row_kronecker(c.a, c.b), c.expected);
  }
}

TEST(RescaleTensorPenalty, DividesByTheLargestPositiveEigenvalue) {
  struct Case {
    const char* name;
    Matrix s;
    Matrix expected;
  };
  const Vector d{1, -2, 1};
  Matrix dd(3, 3);
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) dd(i, j) = d[i] * d[j] / 6.0;
  const Case cases[] = {
      {"diagonal", Matrix(2, 2, Vector{2, 0, 0, 4}), Matrix(2, 2, Vector{0.5, 0, 0, 1})},
      // Eigenvalues 3 and 1.
      {"coupled", Matrix(2, 2, Vector{2, 1, 1, 2}), Matrix(2, 2, Vector{2.0 / 3, 1.0 / 3, 1.0 / 3, 2.0 / 3})},
      // Knots 0, 1, 2: S = 1.5·dd' with d = (1, −2, 1), whose only non-zero
      // eigenvalue is 1.5·|d|² = 9.
      {"three-knot spline penalty", basis::cr_penalty(Vector{0, 1, 2}).back(), dd},
      {"zero matrix", Matrix(3, 3), Matrix(3, 3)},
      {"no positive eigenvalue", Matrix(2, 2, Vector{-1, 0, 0, -2}), Matrix(2, 2, Vector{-1, 0, 0, -2})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = rescale_tensor_penalty(c.s);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    // The eigenvalue carries a few ulps of rounding into every entry.
    expect_matrix_near(*r, c.expected, 16 * kEps);
  }
}

// Rows of x holding every cell of a grid: column 0 in {0, 1, 2}, column 1 in
// {0, 1, ..., levels_b − 1}, the cells visited unevenly so that their
// counts differ.
Matrix grid_covariates(std::size_t levels_b) {
  std::vector<Vector> rows;
  for (std::size_t a = 0; a < 3; ++a)
    for (std::size_t b = 0; b < levels_b; ++b)
      for (std::size_t r = 0; r < 1 + (a + 2 * b) % 3; ++r)
        rows.push_back({static_cast<double>(a), static_cast<double>(b)});
  Matrix x(rows.size(), 2);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    x(i, 0) = rows[i][0];
    x(i, 1) = rows[i][1];
  }
  return x;
}

TEST(TensorTerm, KnotsAtTheDataMakeEachRowItsCellsRowOfTheCentring) {
  // With as many knots as distinct values the knots are the values and each
  // margin's basis row is a unit vector, so raw row i is the indicator of
  // column a·k_b + b and the column sums are the cell counts.
  const std::size_t k_b = 4;
  const Matrix x = grid_covariates(k_b);
  auto t = build_tensor_term(x, 0, 1, 3, k_b);
  ASSERT_TRUE(t.has_value()) << t.error().display();
  Vector counts(3 * k_b, 0.0);
  for (std::size_t i = 0; i < x.rows; ++i)
    counts[static_cast<std::size_t>(x(i, 0)) * k_b + static_cast<std::size_t>(x(i, 1))] += 1.0;
  const Matrix z = transform::constraint_null_space(counts);
  // The last knot is reached at the far end of the last segment, where the
  // unit vector comes out of the cubic with rounding of a few ulps.
  expect_matrix_near(t->predictor.centring, z, 16 * kEps);
  ASSERT_EQ(t->basis.rows, x.rows);
  ASSERT_EQ(t->basis.cols, 3 * k_b - 1);
  for (std::size_t i = 0; i < x.rows; ++i) {
    SCOPED_TRACE(i);
    const std::size_t cell = static_cast<std::size_t>(x(i, 0)) * k_b + static_cast<std::size_t>(x(i, 1));
    for (std::size_t j = 0; j < z.cols; ++j) EXPECT_NEAR(t->basis(i, j), z(cell, j), 16 * kEps);
  }

  const TensorPredictor& p = t->predictor;
  EXPECT_EQ(p.col_a, 0u);
  EXPECT_EQ(p.col_b, 1u);
  EXPECT_EQ(p.knots_a, (Vector{0, 1, 2}));
  EXPECT_EQ(p.knots_b, (Vector{0, 1, 2, 3}));
  EXPECT_EQ(p.xp_a, Matrix::identity(3));
  EXPECT_EQ(p.xp_b, Matrix::identity(k_b));
}

TEST(TensorTerm, EachPenaltyActsAlongItsOwnMargin) {
  // Knots 0, 1, 2 on both margins: each rescaled margin penalty is dd'/6
  // with d = (1, −2, 1) (see the rescale test). For centred coefficients γ
  // and raw coefficients θ = Zγ (Z'Z = I), γ'·Z'(S_a ⊗ I)Z·γ = θ'(S_a ⊗ I)θ
  // sums (d'θ[·, b])²/6 over the b slices, and the margin-b penalty sums
  // (d'θ[a, ·])²/6 over the a slices.
  auto t = build_tensor_term(grid_covariates(3), 0, 1, 3, 3);
  ASSERT_TRUE(t.has_value()) << t.error().display();
  const Matrix& z = t->predictor.centring;
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    const Matrix gamma = testing::random_matrix(8, 1, seed);
    const Matrix theta = testing::naive_product(z, gamma);
    auto at = [&](std::size_t a, std::size_t b) { return theta(3 * a + b, 0); };
    double along_a = 0.0, along_b = 0.0;
    for (std::size_t s = 0; s < 3; ++s) {
      const double da = at(0, s) - 2.0 * at(1, s) + at(2, s);
      const double db = at(s, 0) - 2.0 * at(s, 1) + at(s, 2);
      along_a += da * da / 6.0;
      along_b += db * db / 6.0;
    }
    const auto quadratic = [&](const Matrix& s) {
      return testing::naive_product(testing::transpose(gamma), testing::naive_product(s, gamma))(0, 0);
    };
    // O(1) values from sums of 8² products of O(1) terms.
    EXPECT_NEAR(quadratic(t->penalties[0]), along_a, 256 * kEps);
    EXPECT_NEAR(quadratic(t->penalties[1]), along_b, 256 * kEps);
  }
}

TEST(TensorTerm, ColumnsSumToZeroOverTheData) {
  const Matrix x = testing::mixed_covariates(80);
  auto t = build_tensor_term(x, 2, 0, 5, 4);
  ASSERT_TRUE(t.has_value()) << t.error().display();
  ASSERT_EQ(t->basis.cols, 19u);
  const double scale = testing::max_abs(t->basis);
  for (std::size_t j = 0; j < t->basis.cols; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i < x.rows; ++i) sum += t->basis(i, j);
    // n summands of size at most `scale`, each carrying rounding of the
    // K-term product.
    EXPECT_NEAR(sum, 0.0, 64.0 * static_cast<double>(x.rows) * kEps * scale) << "column " << j;
  }
}

}  // namespace
}  // namespace kavri::design
