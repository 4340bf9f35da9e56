#include "design/sizes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/numeric.h"
#include "test_util.h"

namespace kavri::design {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(CheckedArithmetic, ReportsWrapAround) {
  struct Case {
    const char* name;
    std::uint64_t a, b;
    std::optional<std::uint64_t> product, sum;
  };
  const Case cases[] = {
      {"zero times the maximum", 0, kMax, 0, kMax},
      {"largest exact product", 4294967295u, 4294967297u, kMax, 8589934592u},
      {"2^32 squared", std::uint64_t{1} << 32, std::uint64_t{1} << 32, std::nullopt, std::uint64_t{1} << 33},
      {"maximum plus one", kMax, 1, kMax, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(common::checked_mul(c.a, c.b), c.product);
    EXPECT_EQ(common::checked_add(c.a, c.b), c.sum);
  }
}

TEST(RequireMatrixFits, BoundsEachDimensionAndTheEntryCount) {
  // 2^60 doubles are 2^63 bytes, one more than a byte offset can address.
  struct Case {
    const char* name;
    std::uint64_t rows, cols;
    bool fits;
  };
  const Case cases[] = {
      {"empty", 0, 0, true},
      {"largest dimension", kMaxMatrixDimension, 1, true},
      {"rows above the BLAS dimension", kMaxMatrixDimension + 1, 1, false},
      {"columns above the BLAS dimension, no rows", 0, kMaxMatrixDimension + 1, false},
      {"just under 2^60 entries", std::uint64_t{1} << 30, (std::uint64_t{1} << 30) - 1, true},
      {"2^60 entries", std::uint64_t{1} << 30, std::uint64_t{1} << 30, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = require_matrix_fits("Probe", c.rows, c.cols);
    if (c.fits) {
      EXPECT_TRUE(r.has_value()) << r.error().display();
    } else {
      ASSERT_FALSE(r.has_value());
      testing::expect_invalid_parameter(r.error(), "Probe: a " + std::to_string(c.rows) + " × " +
                                                       std::to_string(c.cols) + " matrix is too large");
    }
  }
}

}  // namespace
}  // namespace kavri::design
