#include "fit/persistence/number_text.h"

#include <cassert>
#include <cmath>

#include "common/shortest_digits.h"

namespace kavri::fit::persistence {

void append_number_text(std::string& out, double value) {
  assert(std::isfinite(value));
  const common::ShortestDigits d = common::shortest_digits(value);
  if (d.negative) out.push_back('-');
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  const int k = static_cast<int>(d.digits.size());
  const int e = d.exponent;
  if (e >= kMinPlainExponent && e <= kMaxPlainExponent) {
    if (e >= k - 1) {
      out += d.digits;
      out.append(static_cast<std::size_t>(e - k + 1), '0');
      out += ".0";
    } else if (e >= 0) {
      out.append(d.digits, 0, static_cast<std::size_t>(e + 1));
      out.push_back('.');
      out.append(d.digits, static_cast<std::size_t>(e + 1));
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-e - 1), '0');
      out += d.digits;
    }
    return;
  }
  out.push_back(d.digits[0]);
  if (k > 1) {
    out.push_back('.');
    out.append(d.digits, 1);
  }
  out.push_back('e');
  out.push_back(e > 0 ? '+' : '-');
  out += std::to_string(e > 0 ? e : -e);
}

std::string number_text(double value) {
  std::string out;
  append_number_text(out, value);
  return out;
}

}  // namespace kavri::fit::persistence
