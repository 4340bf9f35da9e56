// The negative binomial family: overdispersed counts with log link and
// variance μ + μ²/θ. The shape θ is searched jointly with the smoothing
// parameter on the coordinate ln θ; the criterion's scale is 1.
#pragma once

#include <cmath>
#include <span>
#include <string_view>

#include "family/family.h"
#include "family/link.h"
#include "family/shape_curvature.h"

namespace kavri::family {

struct NegBin : LogLink {
  double theta;  // θ > 0; θ → ∞ approaches the Poisson family

  static constexpr std::string_view display_name() { return "NegBin"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::NonNegative);
  }

  // μ²/θ + μ at the raw μ, only the sum floored.
  double variance(double mu) const { return common::floor_at(mu * mu / theta + mu, kLogFloor); }
  // 2·[y·ln(y/m) − (y + θ)·ln((y + θ)/(m + θ))], m = max(μ, 1e-300); a
  // response that is not positive gives 2θ·ln(1 + m/θ).
  double unit_deviance(double y, double mu) const;
  double weighted_deviance(VectorView y, VectorView mu, VectorView w) const {
    return sum_weighted_unit_deviances(*this, y, mu, w);
  }
  static Vector initial_mu(VectorView y) { return floored_copy(y, kCountStartFloor); }
  // W = w·μθ/(θ + μ), so dW/dη = μ·dW/dμ = w·θ²·μ/(θ + μ)².
  double working_weight_slope(double prior_weight, double /*y*/, double mu) const {
    const double m = log_floor(mu);
    const double q = theta / (theta + m);
    return prior_weight * (q * q) * m;
  }
  // α = 1 + (y − μ)·(V'/V + g''/g') = (θ + y)/(θ + μ), positive for y ≥ 0.
  double observed_weight_factor(double y, double mu) const { return (theta + y) / (theta + log_floor(mu)); }
  // ω = w·μθ(θ + y)/(θ + μ)², so dω/dη = ω·(θ − μ)/(θ + μ).
  double observed_weight_slope(double prior_weight, double y, double mu) const {
    const double m = log_floor(mu);
    return observed_weight(*this, prior_weight, y, mu) * ((theta - m) / (theta + m));
  }
  // d²ω/dη² = ω·(θ² − 4θμ + μ²)/(θ + μ)².
  double observed_weight_curvature(double prior_weight, double y, double mu) const {
    const double m = log_floor(mu);
    const double s = theta + m;
    return observed_weight(*this, prior_weight, y, mu) * ((theta * theta - 4.0 * theta * m + m * m) / (s * s));
  }
  // Σ_i [lnΓ(y_i + θ) − lnΓ(θ) + y_i·ln(y_i/(y_i + θ)) + θ·ln(θ/(y_i + θ))]
  // from −0.0: the log-probability at μ = y without its ln(y_i!) term,
  // which no smoothing or shape parameter moves.
  double saturated_loglik(VectorView y, double phi) const;
  // The same with row i counted w_i times, as in the deviance: a weight is
  // a replication count (2 is the row twice, 0 drops it).
  double saturated_loglik(VectorView y, VectorView w, double phi) const;

  // Slopes in t = ln θ (one coordinate, c = 0): ∂d/∂θ = −2·[ln(1 + δ) − δ]
  // with δ = (y − m)/(m + θ), so no term grows with θ, and
  // ∂²d/∂θ² = −2δ²/(y + θ).
  ShapeSlopes deviance_shape_slopes(double y, double mu, std::size_t c) const;
  double deviance_shape_curvature(double y, double mu, std::size_t c, std::size_t e) const;
  // The same with ∂²/∂t² of ∂d/∂η and ∂²d/∂η², and ∂⁴d/∂η³∂t.
  ShapeCurvature deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const;
  double deviance_shape_eta3_slope(double y, double mu, std::size_t c) const;
  // ∂c/∂t and ∂²c/∂t² of the weighted `saturated_loglik`: ψ(y + θ) − ψ(θ)
  // − ln(1 + y/θ) per row in θ, from the derivatives of the function c(y)
  // evaluates (the Lanczos log-gamma, or the Stirling form from θ = 10 on,
  // where the leading terms cancel to y/(2θ(θ + y))).
  Vector saturated_shape_gradient(VectorView y, VectorView w) const;
  linalg::Matrix saturated_shape_hessian(VectorView y, VectorView w) const;

  NegBin family_from_theta(std::span<const double> shape) const { return NegBin{{}, std::exp(shape[0])}; }
  Vector theta_from_family() const { return {std::log(theta)}; }
  // "NegBin overdispersion init_theta must be a positive finite scalar …"
  // unless 0 < θ < ∞.
  [[nodiscard]] Result<void> check_start() const;
  // The start value with θ from the moments of y: ȳ²/(s² − ȳ) for
  // overdispersed counts, the upper end of the start range otherwise.
  NegBin with_scale_from_data(VectorView y, VectorView w) const;
  // The search's start [0, ln θ] with θ within [1e-3, 1e4·max(ȳ, 1)]: V
  // flattens once θ dwarfs the means (the Poisson limit) and its terms
  // lose their digits as θ → 0.
  Vector search_start(VectorView y, VectorView w) const;
  // The fitted model reports θ as its scale; the covariance carries none.
  double reported_scale() const { return theta; }
  static constexpr bool has_analytic_shape_grad() { return false; }
  static std::optional<Vector> analytic_shape_score_gradient(VectorView /*y*/, VectorView /*mu*/,
                                                             double /*penalized_deviance*/, double /*count*/,
                                                             double /*phi*/) {
    return std::nullopt;
  }
};
static_assert(PirlsFamily<NegBin>);
static_assert(HasWorkingWeightSlope<NegBin>);
static_assert(HasObservedWeightFactor<NegBin>);
static_assert(HasShapeDerivatives<NegBin>);
static_assert(HasSaturatedShapeCurvature<NegBin>);
static_assert(HasShapeHessian<NegBin>);

constexpr NegBin negbin_log(double theta) { return NegBin{{}, theta}; }

}  // namespace kavri::family
