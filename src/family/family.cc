#include "family/family.h"

#include <cmath>
#include <string>

#include "common/format.h"

namespace kavri::family {
namespace {

// Written as the positive condition so that NaN fails it. An infinite
// response has no finite deviance, so no domain holds it.
bool in_domain(double y, ResponseDomain domain) {
  if (!std::isfinite(y)) return false;
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

Vector floored_copy(VectorView y, double floor) {
  Vector out(y.size);
  for (std::size_t i = 0; i < y.size; ++i) out[i] = common::floor_at(y[i], floor);
  return out;
}

double normal_saturated_loglik(std::size_t n, double phi) {
  const double half_log = 0.5 * std::log(kTwoPi * phi);
  double c = -0.0;
  for (std::size_t i = 0; i < n; ++i) c -= half_log;
  return c;
}

Result<void> check_finite_response(VectorView y) {
  for (std::size_t i = 0; i < y.size; ++i)
    if (!std::isfinite(y[i]))
      return invalid_parameter("y must be finite; got y=" + common::format_double(y[i]) + " at row " +
                               common::format_count(i));
  return {};
}

Result<void> check_domain(VectorView y, std::string_view family_name, ResponseDomain domain) {
  for (std::size_t i = 0; i < y.size; ++i) {
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
