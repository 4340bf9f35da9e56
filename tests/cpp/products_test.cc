#include "linalg/products.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::linalg {
namespace {

TEST(WeightedTranspose, IsXTransposeTimesDiagW) {
  const Matrix x = testing::random_matrix(5, 3, 6);
  const Vector w{1.0, 2.0, 0.5, 0.0, 3.0};
  const Matrix xtw = weighted_transpose(x, w);
  ASSERT_EQ(xtw.rows, 3u);
  ASSERT_EQ(xtw.cols, 5u);
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(xtw(j, i), x(i, j) * w[i]);
  EXPECT_EQ(weighted_transpose(x, Vector(5, 1.0)), testing::transpose(x));
  // X'WX through dgemm agrees with the naive sum.
  testing::expect_matrix_near(multiply(xtw, x), testing::naive_product(xtw, x), 1e-15);
}

TEST(WeightedTranspose, ReadsStridedViews) {
  const Matrix x = testing::random_matrix(4, 2, 8);
  const Matrix xt = testing::transpose(x);
  const Vector w{1.0, 2.0, 3.0, 4.0};
  EXPECT_EQ(weighted_transpose(xt.view().transposed(), w), weighted_transpose(x, w));
}

TEST(QuadraticForm, SumsOverTheLeadingBlock) {
  // b'Sb for S = [[2, 1], [1, 3]], b = (1, −2): 2 − 2 − 2 + 12 = 10. The
  // third row and column lie outside the block that b spans.
  Matrix s(3, 3, std::numeric_limits<double>::quiet_NaN());
  s(0, 0) = 2.0;
  s(0, 1) = 1.0;
  s(1, 0) = 1.0;
  s(1, 1) = 3.0;
  EXPECT_EQ(quadratic_form(s, Vector{1.0, -2.0}), 10.0);
  // A zero vector against a finite penalty is an exact zero.
  EXPECT_EQ(quadratic_form(Matrix::identity(2), Vector{0.0, 0.0}), 0.0);
}

TEST(MultiplyByRows, SumsEachEntryInOrderFromItsOwnRowAlone) {
  // Shapes of the model matrices' products (a basis times its centring),
  // ones that put rows at every place of a tile, and empty ones.
  struct Shape {
    std::size_t rows, inner, cols;
  };
  for (const Shape s : {Shape{7, 10, 9}, Shape{5, 25, 24}, Shape{9, 9, 8}, Shape{3, 1, 1}, Shape{6, 4, 0},
                        Shape{0, 3, 2}}) {
    SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.inner) + " x " + std::to_string(s.cols));
    const Matrix a = testing::random_matrix(s.rows, s.inner, 11);
    const Matrix b = testing::random_matrix(s.inner, s.cols, 12);
    // The plain triple loop sums each entry from 0.0 in k order too: the
    // same bits.
    const Matrix c = multiply_by_rows(a, b);
    EXPECT_EQ(c, testing::naive_product(a, b));
    // A row alone gives its bits among the others: what the model-matrix
    // rebuild relies on, and dgemm does not promise.
    for (std::size_t i = 0; i < s.rows; ++i) {
      Matrix one(1, s.inner);
      for (std::size_t k = 0; k < s.inner; ++k) one(0, k) = a(i, k);
      const Matrix alone = multiply_by_rows(one, b);
      for (std::size_t j = 0; j < s.cols; ++j) EXPECT_EQ(alone(0, j), c(i, j)) << i << ", " << j;
    }
  }
  // A transposed (strided) right operand reads as its values.
  const Matrix a = testing::random_matrix(4, 6, 13);
  const Matrix bt = testing::random_matrix(5, 6, 14);
  EXPECT_EQ(multiply_by_rows(a, bt.view().transposed()), testing::naive_product(a, testing::transpose(bt)));
}

}  // namespace
}  // namespace kavri::linalg
