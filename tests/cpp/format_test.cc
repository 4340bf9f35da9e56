#include "common/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/numeric.h"
#include "common/quote.h"
#include "linalg/error.h"

namespace kavri::common {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FormatDouble, ShortestRoundTripInPositionalNotation) {
  struct Case {
    double value;
    std::string text;
  } cases[] = {
      // integral values have no fractional part
      {0.0, "0"}, {-0.0, "-0"}, {2.0, "2"}, {-1.0, "-1"}, {100.0, "100"},
      {1e23, "100000000000000000000000"},
      // 309 digits: the shortest digits 17976931348623157, then zeros
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      // fractions
      {0.5, "0.5"}, {1e-7, "0.0000001"}, {-2.5, "-2.5"}, {0.1, "0.1"}, {123.456, "123.456"},
      {0.30000000000000004, "0.30000000000000004"}, {1.0 / 3.0, "0.3333333333333333"},
      // the smallest subnormal: 323 zeros after the point, then 5
      {5e-324, "0." + std::string(323, '0') + "5"},
      // non-finite
      {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string s = format_double(c.value);
    EXPECT_EQ(s, c.text);
    if (std::isfinite(c.value)) {
      EXPECT_EQ(std::strtod(s.c_str(), nullptr), c.value);
    }
  }
}

TEST(FormatExponent3, FourSignificantDigitsWithBareExponent) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.000123456, "1.235e-4"}, {0.00123456, "1.235e-3"}, {12.0, "1.200e1"}, {99999.0, "1.000e5"},
      {1.0, "1.000e0"}, {1.2345e-5, "1.234e-5"},  // 1.2345e-5 is just below the tie in binary
      {0.125, "1.250e-1"}, {1.0625, "1.062e0"},  // exact tie, to even
      {-3.14159, "-3.142e0"}, {1e300, "1.000e300"}, {0.0, "0.000e0"},
      {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_exponent3(c.value), c.text);
  }
}

TEST(KavriErrorDisplay, TextsOfTheFourVariants) {
  EXPECT_EQ((KavriError{InvalidParameter{"k must be > 2"}}).display(), "k must be > 2");
  EXPECT_EQ((KavriError{SingularSystem{"PIRLS factor: x"}}).display(), "singular system: PIRLS factor: x");
  EXPECT_EQ((KavriError{Linalg{"eigh failed"}}).display(), "linalg failure: eigh failed");
  EXPECT_EQ((KavriError{NotConverged{50, 0.00123456}}).display(),
            "solver did not converge after 50 iterations (last grad norm = 1.235e-3)");
}

TEST(QuotedLiteral, EscapesAsDocumented) {
  struct Case {
    const char* name;
    std::string input;
    const char* quoted;
  } cases[] = {
      {"plain", "gaussian", "\"gaussian\""},
      {"empty", "", "\"\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"single quote stays", "it's", "\"it's\""},
      {"control escapes", std::string("a\0b\tc\rd\ne", 9), "\"a\\0b\\tc\\rd\\ne\""},
      {"other control as hex", "\x01\x1b\x7f", "\"\\u{1}\\u{1b}\\u{7f}\""},
      {"printable non-ASCII kept", "caf\xc3\xa9 \xe6\xbc\xa2", "\"caf\xc3\xa9 \xe6\xbc\xa2\""},
      {"combining mark escaped", "e\xcc\x81", "\"e\\u{301}\""},
      {"zero width joiner escaped", "a\xe2\x80\x8d" "b", "\"a\\u{200d}b\""},
      {"line separator escaped", "\xe2\x80\xa8", "\"\\u{2028}\""},
      {"emoji kept", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(quoted_literal(c.input), c.quoted);
  }
}

TEST(NumericRules, FloorsTakeTheConstantForNaN) {
  EXPECT_EQ(floor_at(kNaN, 1e-300), 1e-300);
  EXPECT_EQ(floor_at(0.5, 1e-300), 0.5);
  EXPECT_EQ(floor_at(-1.0, 0.1), 0.1);
  EXPECT_EQ(ceil_at(kNaN, 1.95), 1.95);
  EXPECT_EQ(ceil_at(3.0, 1.95), 1.95);
  const double values[] = {kNaN, 3.0, kNaN, -7.0};
  EXPECT_EQ(nan_ignoring_max(values, 1.0), 3.0);
  EXPECT_EQ(nan_ignoring_min(values, 0.0), -7.0);
  const double all_nan[] = {kNaN, kNaN};
  EXPECT_EQ(nan_ignoring_max(all_nan, 1.0), 1.0);
}

TEST(NumericRules, SaturatingCastsAndRounding) {
  EXPECT_EQ(saturating_to_u64(kNaN), 0u);
  EXPECT_EQ(saturating_to_u64(-3.7), 0u);
  EXPECT_EQ(saturating_to_u64(3.7), 3u);
  EXPECT_EQ(saturating_to_u64(1e30), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(saturating_to_i64(kNaN), 0);
  EXPECT_EQ(saturating_to_i64(-3.7), -3);
  EXPECT_EQ(saturating_to_i64(9.3e18), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(saturating_to_i64(-kInf), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(round_half_away(2.5), 3.0);
  EXPECT_EQ(round_half_away(-2.5), -3.0);
  EXPECT_EQ(round_half_away(0.49999999999999994), 0.0);
}

}  // namespace
}  // namespace kavri::common
