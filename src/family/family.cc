#include "family/family.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"

namespace kavri::family {
namespace {

// `y` is finite: check_domain names NaN and infinities before it asks.
bool in_domain(double y, ResponseDomain domain) {
  switch (domain) {
    case ResponseDomain::NonNegative:
      return y >= 0.0;
    case ResponseDomain::Positive:
      return y > 0.0;
    case ResponseDomain::UnitInterval:
      return y >= 0.0 && y <= 1.0;
  }
  return false;
}

std::string_view requirement(ResponseDomain domain) {
  switch (domain) {
    case ResponseDomain::NonNegative:
      return " requires y ≥ 0; got y=";
    case ResponseDomain::Positive:
      return " requires y > 0; got y=";
    case ResponseDomain::UnitInterval:
      return " requires y in [0, 1]; got y=";
  }
  return "";
}

}  // namespace

double median_in_place(Vector& u) {
  const std::size_t mid = u.size() / 2;
  std::nth_element(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(mid), u.end());
  const double upper = u[mid];
  if (u.size() % 2 == 1) return upper;
  const double lower = *std::max_element(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(mid));
  return lower + (upper - lower) * 0.5;
}

namespace {

// The absolute deviations from their median of the rows of positive weight
// and finite value, with their mean; empty for no such rows.
struct Deviations {
  Vector values;
  double mean = 0.0;
};
Deviations deviations_from_median(VectorView v, VectorView w) {
  Deviations d;
  d.values.reserve(v.size);
  for (std::size_t i = 0; i < v.size; ++i)
    if (w[i] > 0.0 && std::isfinite(v[i])) d.values.push_back(v[i]);
  if (d.values.empty()) return d;
  const double centre = median_in_place(d.values);
  for (double& x : d.values) {
    x = std::fabs(x - centre);
    d.mean += x;
  }
  d.mean /= static_cast<double>(d.values.size());
  return d;
}

}  // namespace

double scaled_mad(VectorView v, VectorView w) {
  Deviations d = deviations_from_median(v, w);
  return d.values.empty() ? 0.0 : kMadToStandardDeviation * median_in_place(d.values);
}

double robust_scale(VectorView v, VectorView w) {
  Deviations d = deviations_from_median(v, w);
  if (d.values.empty()) return 0.0;
  const double mad = kMadToStandardDeviation * median_in_place(d.values);
  if (mad > 0.0) return mad;
  return 1.2533141373155001 * d.mean;
}

Vector floored_copy(VectorView y, double floor) {
  Vector out(y.size);
  for (std::size_t i = 0; i < y.size; ++i) out[i] = common::floor_at(y[i], floor);
  return out;
}

// The sum is defined by its n roundings, so it is followed exactly, but
// not one step at a time. While the running sum s and the exact s − c stay
// in one binade, whose spacing is u, s − c rounds to s minus c rounded to a
// multiple of u: the same step every time, but when c/u ends in exactly
// one half. Then the tie goes to the even multiple, and once s is even
// (after its first step inside the binade) the step is again the same
// every time. So after two steps inside a binade the remaining steps there
// are jumped at once, as many as keep s − c below the binade's top; the
// steps across a binade boundary are taken one by one. That is about five
// steps per binade, and s passes through at most 64 binades.
double normal_saturated_loglik(std::size_t n, double phi) {
  const double half_log = 0.5 * std::log(kTwoPi * phi);
  constexpr std::uint64_t kBinadeUnits = std::uint64_t{1} << std::numeric_limits<double>::digits;  // 2^53
  double s = -0.0, previous = -0.0;
  int run = 0;  // consecutive sums in the binade of s, s included
  for (std::size_t i = 0; i < n;) {
    const double next = s - half_log;
    ++i;
    // s − c = s makes s the sum of every longer run (a step too small to
    // register, an infinity, a NaN).
    if (std::bit_cast<std::uint64_t>(next) == std::bit_cast<std::uint64_t>(s)) return s;
    const bool same_binade = std::isnormal(next) && std::isnormal(s) && std::ilogb(next) == std::ilogb(s);
    run = same_binade ? run + 1 : 1;
    previous = std::exchange(s, next);
    if (run < 3 || i == n) continue;
    // s, its step from `previous` and the binade's top in units of u: all
    // integers below 2^53, and the subtraction of neighbours is exact.
    const int unit_exponent = std::ilogb(s) - (std::numeric_limits<double>::digits - 1);
    const auto units = [&](double v) { return static_cast<std::uint64_t>(std::ldexp(std::fabs(v), -unit_exponent)); };
    const double step = s - previous;
    const std::uint64_t at = units(s), by = units(step);
    // |c| < by + 1/2 units, so the step from at + j·by stays below the top
    // while at + (j + 1)·by ≤ 2^53 − 1.
    const std::uint64_t jumps = std::min<std::uint64_t>((kBinadeUnits - 1 - at) / by, n - i);
    if (jumps == 0) continue;
    // Exact: the product and the sum are integers below 2^53 times u.
    s += static_cast<double>(jumps) * step;
    previous = s - step;
    i += jumps;
  }
  return s;
}

// An infinite response has no finite deviance, so no domain holds it; it is
// named as not finite, since "requires y ≥ 0; got y=inf" would contradict
// itself.
std::unexpected<KavriError> non_finite_response(double y, std::size_t row) {
  return invalid_parameter("y must be finite; got y=" + common::format_double(y) + " at row " +
                           common::format_count(row));
}


Result<void> check_finite_response(VectorView y) {
  for (std::size_t i = 0; i < y.size; ++i)
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
  return {};
}

Result<void> check_domain(VectorView y, std::string_view family_name, ResponseDomain domain) {
  for (std::size_t i = 0; i < y.size; ++i) {
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
    if (in_domain(y[i], domain)) continue;
    std::string message(family_name);
    message += requirement(domain);
    message += common::format_double(y[i]);
    message += " at row ";
    message += common::format_count(i);
    return invalid_parameter(std::move(message));
  }
  return {};
}

}  // namespace kavri::family
