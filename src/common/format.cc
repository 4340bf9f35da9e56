#include "common/format.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace kavri::common {
namespace {

std::string non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_double(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  // The scientific form of to_chars gives the shortest round-trip digits;
  // we only move the decimal point.
  std::array<char, 64> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
  if (ec != std::errc{}) std::abort();  // 64 chars always hold a double
  std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));

  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

  // digits = d0 d1 d2 ..., value = 0.d0d1d2... * 10^(exponent + 1)
  const long point = static_cast<long>(exponent) + 1;  // digits before the point
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string format_exponent3(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  if (value == 0.0) return std::signbit(value) ? "-0.000e0" : "0.000e0";
  // printf's %.3e rounds from the exact binary value with ties to even and
  // carries into the exponent; only the exponent's layout needs redoing.
  std::array<char, 48> buf{};
  const int len = std::snprintf(buf.data(), buf.size(), "%.3e", value);
  std::string_view text(buf.data(), static_cast<std::size_t>(len));
  const std::size_t e_pos = text.find('e');
  const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
  std::string out(text.substr(0, e_pos));
  out.push_back('e');
  out += std::to_string(exponent);
  return out;
}

}  // namespace kavri::common
