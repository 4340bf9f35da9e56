#include "common/format.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/shortest_digits.h"

namespace kavri::common {
namespace {

std::string non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_double(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  const ShortestDigits d = shortest_digits(value);
  std::string out;
  if (d.negative) out.push_back('-');

  // value = 0.d1d2... * 10^(exponent + 1)
  const long point = static_cast<long>(d.exponent) + 1;  // digits before the point
  const long n = static_cast<long>(d.digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += d.digits;
  } else if (point >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += d.digits.substr(static_cast<std::size_t>(point));
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
