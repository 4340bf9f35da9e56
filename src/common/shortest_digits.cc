#include "common/shortest_digits.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace kavri::common {

ShortestDigits shortest_digits(double value) {
  assert(std::isfinite(value));
  // The scientific form of to_chars gives the shortest round-trip digits,
  // nearest the exact value among strings of that length.
  std::array<char, 64> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
  if (ec != std::errc{}) std::abort();  // 64 chars always hold a double
  std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));

  ShortestDigits out;
  out.negative = std::signbit(value);
  if (text.front() == '-') text.remove_prefix(1);
  const std::size_t e_pos = text.find('e');
  for (char c : text.substr(0, e_pos))
    if (c != '.') out.digits.push_back(c);
  std::string_view exponent = text.substr(e_pos + 1);
  if (exponent.front() == '+') exponent.remove_prefix(1);
  std::from_chars(exponent.data(), exponent.data() + exponent.size(), out.exponent);
  return out;
}

}  // namespace kavri::common
