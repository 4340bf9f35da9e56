#include "linalg/products.h"

#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
}  // namespace kavri::linalg
