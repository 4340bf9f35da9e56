// Small numeric rules shared by every subsystem: floors that treat NaN as
// "take the constant", saturating float-to-integer conversions and rounding
// half away from zero. They exist once so that every floor written
// "max(a, c)" in the library means the same thing, NaN included.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace kavri::common {

// max(a, floor) where a NaN `a` yields `floor`.
constexpr double floor_at(double a, double floor) { return a > floor ? a : floor; }
// min(a, ceiling) where a NaN `a` yields `ceiling`.
constexpr double ceil_at(double a, double ceiling) { return a < ceiling ? a : ceiling; }

// `condition ? a : b` through a bit mask: hot per-row loops whose
// condition changes unpredictably from row to row (the sign of η, a binary
// response) would otherwise pay a mispredicted branch each time.
inline double select(bool condition, double a, double b) {
  const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(condition);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// Largest of the non-NaN values; `init` when every value is NaN.
template <class Range>
double nan_ignoring_max(const Range& values, double init) {
  double m = init;
  for (double v : values)
    if (v > m) m = v;
  return m;
}
template <class Range>
double nan_ignoring_min(const Range& values, double init) {
  double m = init;
  for (double v : values)
    if (v < m) m = v;
  return m;
}

// Truncation toward zero that saturates: NaN and negatives give 0, values
// at or above 2^64 give the maximum.
constexpr std::uint64_t saturating_to_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}
// NaN gives 0; values beyond the range give the nearest bound.
constexpr std::int64_t saturating_to_i64(double v) {
  if (v != v) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

// a·b and a + b, or no value when the result does not fit in 64 bits. Sizes
// that come from callers or stored models are combined only through these.
constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}
constexpr std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}

// Round to the nearest integer, halves away from zero (2.5 -> 3, -2.5 -> -3).
inline double round_half_away(double v) { return std::round(v); }

}  // namespace kavri::common
