// The inverse Gaussian family: positive continuous responses with variance
// proportional to μ³, log link and a profiled scale. Its fit adds an
// observed-information step to the re-weighted loop; the operations here
// are the loop's.
#pragma once

#include <cmath>
#include <string_view>

#include "family/family.h"
#include "family/link.h"

namespace kavri::family {

// Where g'(μ) = 1/μ is below this (μ > 1e12) the observed weight's slope is
// taken as 0.
inline constexpr double kFlatLinkDerivative = 1e-12;

struct InverseGaussian : LogLink, WithoutShape<InverseGaussian> {
  static constexpr std::string_view display_name() { return "InverseGaussian"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Profile; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::PirlsObservedInfo; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::Positive);
  }

  // The cube of the raw μ, floored afterwards: μ = 1e-120 underflows to
  // V = 1e-300 while g' = 1e120, so the working weight is w·1e60.
  static double variance(double mu) { return common::floor_at(mu * mu * mu, kLogFloor); }
  // (y' − m)²/(y'·m²) with y and μ floored at 1e-300; no factor 2.
  static double unit_deviance(double y, double mu) {
    const double yf = log_floor(y);
    const double m = log_floor(mu);
    return (yf - m) * (yf - m) / (yf * (m * m));
  }
  static double weighted_deviance(VectorView y, VectorView mu, VectorView w) {
    return sum_weighted_unit_deviances(InverseGaussian{}, y, mu, w);
  }
  static Vector initial_mu(VectorView y) { return floored_copy(y, kPositiveStartFloor); }
  // α = 1 + (y − μ)·(V'/V + g''/g') = 1 + 2(y − μ)/μ, by which the observed
  // information of a row exceeds the expected one; V' = 3μ² at the raw μ.
  static double observed_weight_factor(double y, double mu) {
    const double m = log_floor(mu);
    const double a = 3.0 * mu * mu / variance(mu);        // V'/V
    const double b = (-1.0 / (m * m)) / link_derivative(mu);  // g''/g'
    return 1.0 + (y - mu) * (a + b);
  }
  // dω/dη of ω = α·w/(V·g'²), = w(μ − 4y)/μ² for moderate μ; 0 where
  // g'(μ) < 1e-12 (μ > 1e12): the quotients inside it have lost every
  // digit there.
  static double observed_weight_slope(double prior_weight, double y, double mu);
  // d²ω/dη² = w(8y − μ)/μ² for moderate μ, 0 where the slope is.
  static double observed_weight_curvature(double prior_weight, double y, double mu) {
    if (link_derivative(mu) < kFlatLinkDerivative) return 0.0;
    const double m = log_floor(mu);
    return prior_weight * ((8.0 * y - m) / (m * m));
  }
  // Σ_i [−½·ln(2π·φ) − 1.5·ln max(y_i, 1e-300)], the log-density at μ = y,
  // from −0.0.
  static double saturated_loglik(VectorView y, double phi);
  static PearsonTerm pearson_term(double mu) {
    const double m = common::floor_at(mu, kPearsonMeanFloor);
    return {m, m * m * m};
  }
};
static_assert(PirlsFamily<InverseGaussian>);
static_assert(HasObservedWeightFactor<InverseGaussian>);

constexpr InverseGaussian inverse_gaussian_log() { return {}; }

}  // namespace kavri::family
