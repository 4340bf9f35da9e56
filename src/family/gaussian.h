// The Gaussian family with identity link. Its fit is the closed-form
// penalized least-squares solve, so it has no starting means; it accepts
// every finite response and its scale is profiled.
#pragma once

#include <string_view>

#include "family/family.h"
#include "family/link.h"

namespace kavri::family {

struct Gaussian : IdentityLink, WithoutShape<Gaussian> {
  static constexpr std::string_view display_name() { return "Gaussian"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Profile; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::ClosedForm; }
  [[nodiscard]] static Result<void> check_response(VectorView y) { return check_finite_response(y); }

  static double variance(double /*mu*/) { return 1.0; }
  static double unit_deviance(double y, double mu) {
    const double r = y - mu;
    return r * r;
  }
  // Σ (w_i·r_i)·r_i, r_i = y_i − μ_i; with unit weights the plain residual
  // sum of squares.
  static double weighted_deviance(VectorView y, VectorView mu, VectorView w);
  static double saturated_loglik(VectorView y, double phi) { return normal_saturated_loglik(y.size, phi); }
};
static_assert(Family<Gaussian>);

constexpr Gaussian gaussian_identity() { return {}; }

}  // namespace kavri::family
