#include "design/assembly.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;

TEST(PrependInterceptColumn, CopiesAnyLayoutBehindAColumnOfOnes) {
  struct Case {
    const char* name;
    MatrixView b;
    Matrix expected;
  };
  const Vector buffer{1, 2, 3, 4, 5, 6};
  const Case cases[] = {
      {"row-major 2 × 3", MatrixView(buffer.data(), 2, 3, 3, 1), Matrix(2, 4, Vector{1, 1, 2, 3, 1, 4, 5, 6})},
      {"transposed 3 × 2", MatrixView(buffer.data(), 3, 2, 1, 3), Matrix(3, 3, Vector{1, 1, 4, 1, 2, 5, 1, 3, 6})},
      {"every other column", MatrixView(buffer.data(), 2, 2, 3, 2), Matrix(2, 3, Vector{1, 1, 3, 1, 4, 6})},
      {"n × 0", MatrixView(buffer.data(), 3, 0, 0, 1), Matrix(3, 1, Vector{1, 1, 1})},
      {"0 × m", MatrixView(nullptr, 0, 4, 4, 1), Matrix(0, 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(prepend_intercept_column(c.b), c.expected);
  }
}

}  // namespace
}  // namespace kavri::design
