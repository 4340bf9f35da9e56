#include "transform/centring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_util.h"

namespace kavri::transform {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::expect_matrix_near;

constexpr double kEps = std::numeric_limits<double>::epsilon();

TEST(ConstraintNullSpace, WorkedHouseholderExamples) {
  struct Case {
    const char* name;
    Vector c;
    Matrix z;
  };
  // For c = (3, 4): s = 5, v = (8, 4), v'v = 80, and the one column is
  // (−2·8·4/80, 1 − 2·4·4/80) = (−0.8, 0.6). For c = (−3, 4) the sign flips:
  // v = (−8, 4) and the column is (0.8, 0.6).
  const Case cases[] = {
      {"zero vector", Vector(4, 0.0), Matrix(4, 3, Vector{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0})},
      {"(3, 4)", {3.0, 4.0}, Matrix(2, 1, Vector{-0.8, 0.6})},
      {"(-3, 4)", {-3.0, 4.0}, Matrix(2, 1, Vector{0.8, 0.6})},
      // Below 2⁻⁵² the vector carries no direction.
      {"norm just under the threshold", {1e-16, 1e-16}, Matrix(2, 1, Vector{1, 0})},
      {"single entry", {2.0}, Matrix(1, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_matrix_near(constraint_null_space(c.c), c.z, 2 * kEps);
  }
}

TEST(ConstraintNullSpace, NegativeZeroLeadTakesThePositiveBranch) {
  // c_0 = −0.0 counts as ≥ 0: v = (1, 1), and the column is (−1, 0).
  const Matrix z = constraint_null_space(Vector{-0.0, 1.0});
  expect_matrix_near(z, Matrix(2, 1, Vector{-1.0, 0.0}), kEps);
}

TEST(ConstraintNullSpace, OrthonormalAndOrthogonalToC) {
  for (std::size_t p : {2u, 3u, 10u, 37u}) {
    for (double lead : {1.0, -1.0}) {
      SCOPED_TRACE(::testing::Message() << "p = " << p << " lead " << lead);
      Matrix cm = testing::random_matrix(p, 1, static_cast<std::uint32_t>(p));
      cm.data[0] = lead * (std::fabs(cm.data[0]) + 0.1);
      for (double& v : cm.data) v *= 1e3;  // scale does not matter
      const Matrix z = constraint_null_space(cm.data);
      ASSERT_EQ(z.rows, p);
      ASSERT_EQ(z.cols, p - 1);
      // A reflection's columns: p-term dot products of unit-size entries.
      expect_matrix_near(testing::naive_product(testing::transpose(z), z), Matrix::identity(p - 1),
                         8 * p * kEps);
      const Matrix ctz = testing::naive_product(testing::transpose(cm), z);
      double norm = 0.0;
      for (double v : cm.data) norm += v * v;
      for (double v : ctz.data) EXPECT_NEAR(v, 0.0, 8 * p * kEps * std::sqrt(norm));
    }
  }
}

}  // namespace
}  // namespace kavri::transform
