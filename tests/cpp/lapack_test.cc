#include "linalg/lapack.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cmath>
#include <limits>

#include "test_util.h"

namespace kavri::linalg {
namespace {

using testing::expect_matrix_near;
using testing::naive_product;
using testing::random_matrix;
using testing::random_spd;
using testing::transpose;

TEST(LinalgFailure, Texts) {
  EXPECT_EQ((LinalgFailure{LinalgFailure::Kind::LapackInvalidValue, -4}).text(),
            "Invalid value for LAPACK subroutine 4-th argument");
  EXPECT_EQ((LinalgFailure{LinalgFailure::Kind::LapackComputationalFailure, 2}).text(),
            "Computational failure in LAPACK subroutine: return_code = 2");
}

TEST(CholeskyLower, IgnoresTheUpperTriangleAndLeavesZerosAboveTheDiagonal) {
  const Matrix a = random_spd(5, 7);
  Matrix lower_only = a;
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = i + 1; j < 5; ++j) lower_only(i, j) = 1e300;
  auto l = cholesky_lower(lower_only);
  ASSERT_TRUE(l.has_value());
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = i + 1; j < 5; ++j) EXPECT_EQ((*l)(i, j), 0.0);
  expect_matrix_near(naive_product(*l, transpose(*l)), a, 1e-13);
}

TEST(CholeskyLower, ReadsTransposedViewsWithoutCopying) {
  const Matrix a = random_spd(4, 9);
  auto direct = cholesky_lower(a);
  auto via_transpose = cholesky_lower(a.view().transposed());
  ASSERT_TRUE(direct.has_value() && via_transpose.has_value());
  expect_matrix_near(*via_transpose, *direct, 1e-15);
}

TEST(CholeskyLower, ReportsTheFirstNonPositiveMinor) {
  Matrix a = Matrix::identity(4);
  a(1, 0) = 2.0;  // leading 2 × 2 minor 1 - 4 < 0
  auto l = cholesky_lower(a);
  ASSERT_FALSE(l.has_value());
  EXPECT_EQ(l.error().kind, LinalgFailure::Kind::LapackComputationalFailure);
  EXPECT_EQ(l.error().return_code, 2);
}

TEST(Eigh, DiagonalMatrixGivesSortedDiagonalAndUnitVectors) {
  Matrix a(3, 3);
  a(0, 0) = 3.0;
  a(1, 1) = -1.0;
  a(2, 2) = 2.0;
  auto e = eigh(a);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->values, (Vector{-1.0, 2.0, 3.0}));
  const std::size_t expected_row[3] = {1, 2, 0};  // component that carries eigenvector k
  for (std::size_t k = 0; k < 3; ++k)
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(std::fabs(e->vectors(i, k)), i == expected_row[k] ? 1.0 : 0.0);
}

TEST(Eigh, ReconstructsTheMatrixFromTheUpperTriangle) {
  const std::size_t n = 6;
  const Matrix a = random_spd(n, 5, -2.0);  // indefinite is fine
  Matrix upper_only = a;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j) upper_only(i, j) = -1e300;
  auto e = eigh(upper_only);
  ASSERT_TRUE(e.has_value());
  for (std::size_t k = 1; k < n; ++k) EXPECT_LE(e->values[k - 1], e->values[k]);
  // V·diag(λ)·V' = A and A·v_k = λ_k v_k.
  Matrix vd = e->vectors;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < n; ++k) vd(i, k) *= e->values[k];
  expect_matrix_near(naive_product(vd, transpose(e->vectors)), a, 1e-12);
  expect_matrix_near(naive_product(a, e->vectors), vd, 1e-12);
}

TEST(LuSolve, SolvesNonSymmetricSystems) {
  const Matrix a = random_matrix(5, 5, 17);
  const Vector x_true{1.0, -2.0, 0.5, 3.0, -1.5};
  Vector b(5, 0.0);
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = 0; j < 5; ++j) b[i] += a(i, j) * x_true[j];
  auto x = lu_solve(a, b);
  ASSERT_TRUE(x.has_value());
  testing::expect_vector_near(*x, x_true, 1e-12);
}

TEST(LuSolve, ExactlySingularMatrixIsAComputationalFailure) {
  Matrix a = random_matrix(3, 3, 2);
  for (std::size_t j = 0; j < 3; ++j) a(1, j) = 0.0;
  auto x = lu_solve(a, Vector{1.0, 2.0, 3.0});
  ASSERT_FALSE(x.has_value());
  EXPECT_EQ(x.error().kind, LinalgFailure::Kind::LapackComputationalFailure);
  EXPECT_GT(x.error().return_code, 0);
}

TEST(Multiply, AgreesWithTheNaiveProductForEveryLayout) {
  const Matrix a = random_matrix(4, 3, 1), b = random_matrix(3, 5, 2);
  const Matrix expected = naive_product(a, b);
  const Matrix at = transpose(a), bt = transpose(b);
  struct Case {
    const char* name;
    MatrixView a, b;
  } cases[] = {
      {"row-major both", a, b},
      {"transposed views", at.view().transposed(), bt.view().transposed()},
      {"mixed", a, bt.view().transposed()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_matrix_near(multiply(c.a, c.b), expected, 1e-15);
  }
  // A strided column slice: every other column of a 4 × 6 buffer.
  const Matrix wide = random_matrix(4, 6, 3);
  const MatrixView slice(wide.data.data(), 4, 3, 6, 2);
  expect_matrix_near(multiply(slice, b), naive_product(slice.to_matrix(), b), 1e-15);
  // An empty inner dimension is the zero matrix.
  EXPECT_EQ(multiply(Matrix(2, 0), Matrix(0, 3)), Matrix(2, 3));
}

TEST(MultiplyInto, ReusesTheBufferAndMatchesMultiplyBitForBit) {
  const Matrix a = random_matrix(7, 4, 11), b = random_matrix(4, 3, 12);
  Matrix out(2, 9, std::numeric_limits<double>::quiet_NaN());  // wrong shape, stale NaN
  multiply_into(a, b, out);
  EXPECT_EQ(out, multiply(a, b));
  multiply_into(Matrix(2, 0), Matrix(0, 3), out);  // stale entries must not survive
  EXPECT_EQ(out, Matrix(2, 3));

  const Vector x{0.5, -1.0, 2.0, 0.25};
  Vector y(1, std::numeric_limits<double>::quiet_NaN());
  multiply_into(a, x, y);
  EXPECT_EQ(y, multiply(a, x));
  // A strided vector (every other entry) and a stride-0 one.
  const Vector spread{0.5, 9.0, -1.0, 9.0, 2.0, 9.0, 0.25};
  multiply_into(a, VectorView(spread.data(), 4, 2), y);
  EXPECT_EQ(y, multiply(a, x));
  const double one = 1.0;
  multiply_into(a, VectorView(&one, 4, 0), y);
  EXPECT_EQ(y, multiply(a, Vector(4, 1.0)));
}

// The serial OpenBLAS never starts a thread: after BLAS and LAPACK work the
// process still has exactly the one thread the test runner started with.
std::size_t thread_count() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

TEST(RowForms, QuadraticFormsAndTheirWeightedSumAgreeWithPlainLoops) {
  // 600 rows span three blocks of rows; a strided view is read in place.
  // Sums of 7 (per form) and 600 (per column) products of values of order
  // one: 1e-12 relative to the sum of magnitudes.
  const Matrix a = testing::random_matrix(600, 7, 5);
  const Matrix v = testing::random_spd(7, 6);
  Vector s(600);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = std::sin(0.37 * static_cast<double>(i));
  Vector q(600, 0.0), sum(7, 0.0), magnitude(7, 0.0);
  for (std::size_t i = 0; i < 600; ++i) {
    for (std::size_t j = 0; j < 7; ++j)
      for (std::size_t k = 0; k < 7; ++k) q[i] += a(i, j) * v(j, k) * a(i, k);
    for (std::size_t j = 0; j < 7; ++j) {
      sum[j] += s[i] * q[i] * a(i, j);
      magnitude[j] += std::fabs(s[i] * q[i] * a(i, j));
    }
  }
  const Vector forms = row_quadratic_forms(a, v);
  for (std::size_t i = 0; i < 600; ++i) EXPECT_NEAR(forms[i], q[i], 1e-12 * (1.0 + std::fabs(q[i]))) << i;
  const Vector weighted = weighted_row_form_sum(a, v, s);
  for (std::size_t j = 0; j < 7; ++j) EXPECT_NEAR(weighted[j], sum[j], 1e-12 * magnitude[j]) << j;
  // Every other row of a 1200-row matrix, as a strided view.
  Matrix tall(1200, 7);
  for (std::size_t i = 0; i < 600; ++i)
    for (std::size_t j = 0; j < 7; ++j) tall(2 * i, j) = a(i, j);
  const MatrixView even(tall.data.data(), 600, 7, 14, 1);
  EXPECT_EQ(row_quadratic_forms(even, v), forms);
  EXPECT_EQ(weighted_row_form_sum(even, v, s), weighted);
}

TEST(Blas, IsSerialAndStartsNoThreads) {
  EXPECT_TRUE(blas_is_serial());
  const std::size_t before = thread_count();
  const Matrix big = random_matrix(300, 300, 4);
  const Matrix c = multiply(big, big);
  auto e = eigh(random_spd(200, 8));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(thread_count(), before);
  EXPECT_EQ(before, 1u);
}

}  // namespace
}  // namespace kavri::linalg
