// The scaled t family: heavy-tailed continuous responses with identity link,
// ν degrees of freedom and scale σ². Both are searched jointly with the
// smoothing parameter on the coordinates ln σ² and ln(ν − 2); the
// criterion's scale is 1.
//
// The working weight of a row shrinks with its residual, w(ν + 1)/(νσ² + r²):
// each re-weighted step then minimises a quadratic that lies above the
// deviance and touches it at the current fit, so the penalized deviance
// never rises and the fixed point is its minimiser. A constant weight would
// make every fit a Gaussian ridge, blind to ν and to outliers.
#pragma once

#include <cmath>
#include <span>
#include <string_view>

#include "family/family.h"
#include "family/link.h"
#include "family/shape_curvature.h"

namespace kavri::family {

struct TDist : IdentityLink {
  double nu;      // ν > 2
  double sigma2;  // σ² > 0

  static constexpr std::string_view display_name() { return "TDist"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
  // Any finite response ("y must be finite; got y={} at row {}").
  [[nodiscard]] static Result<void> check_response(VectorView y) { return check_finite_response(y); }

  double variance(double /*mu*/) const { return common::floor_at(sigma2, kLogFloor); }
  // (1 + ν)·ln(r²/(νσ²) + 1), r = y − μ; no floor.
  double unit_deviance(double y, double mu) const {
    const double r = y - mu;
    return std::log(r * r / (nu * sigma2) + 1.0) * (1.0 + nu);
  }
  double weighted_deviance(VectorView y, VectorView mu, VectorView w) const;
  // Halfway between each response and the median of all of them.
  static Vector initial_mu(VectorView y);

  // W = w·(ν + 1)/(νσ² + r²), half the curvature of the majorising quadratic.
  double response_working_weight(double prior_weight, double y, double mu) const {
    const double r = y - mu;
    return prior_weight * (nu + 1.0) / (nu * sigma2 + r * r);
  }
  // The expected information w(ν + 1)/((ν + 3)σ²): the re-weighting's W
  // averages 1/σ² over the t distribution and so overstates it by
  // (ν + 3)/(ν + 1).
  double fisher_weight(double prior_weight, double /*mu*/) const {
    return prior_weight * (nu + 1.0) / ((nu + 3.0) * sigma2);
  }
  // ω = ½·∂²d/∂η²·w = w(ν + 1)(νσ² − r²)/(νσ² + r²)², negative for
  // |r| > √ν·σ; α = ω over the Fisher weight.
  double observed_weight_factor(double y, double mu) const {
    const double r = y - mu;
    const double a = nu * sigma2;
    const double q = a + r * r;
    return ((nu + 3.0) * sigma2) * ((a - r * r) / (q * q));
  }
  // dω/dη = dω/dμ = 2r·w(ν + 1)(3νσ² − r²)/(νσ² + r²)³.
  double observed_weight_slope(double prior_weight, double y, double mu) const {
    const double r = y - mu;
    const double a = nu * sigma2;
    const double q = a + r * r;
    return prior_weight * (nu + 1.0) * (2.0 * r) * (3.0 * a - r * r) / (q * q * q);
  }
  // d²ω/dη² = −6w(ν + 1)(a² − 6ar² + r⁴)/(a + r²)⁴, a = νσ².
  double observed_weight_curvature(double prior_weight, double y, double mu) const {
    const double r = y - mu;
    const double a = nu * sigma2;
    const double r2 = r * r;
    const double q = a + r2;
    return -6.0 * prior_weight * (nu + 1.0) * (a * a - 6.0 * a * r2 + r2 * r2) / ((q * q) * (q * q));
  }
  // dW/dη = dW/dμ = 2r·w·(ν + 1)/(νσ² + r²)².
  double working_weight_slope(double prior_weight, double y, double mu) const {
    const double r = y - mu;
    const double q = nu * sigma2 + r * r;
    return prior_weight * (nu + 1.0) * (2.0 * r) / (q * q);
  }
  // n·[lnΓ((ν + 1)/2) − lnΓ(ν/2) − ½·ln(πνσ²)], the log-density's constant,
  // so that −½D + c(y) is the t log-likelihood. Formed as
  // n·[E(ν/2, ½) − ½·ln(2πσ²)] (E of `ln_gamma_ratio_excess`): the ln ν of
  // the log-gammas and of the normaliser cancel in closed form.
  double saturated_loglik(VectorView y, double phi) const;
  // The same with row i counted w_i times, as in the deviance.
  double saturated_loglik(VectorView y, VectorView w, double phi) const;

  // Slopes in t1 = ln σ² (c = 0) and t2 = ln(ν − 2) (c = 1), through
  // z = r²/(νσ²): ∂z/∂t1 = −z, ∂z/∂ν = −z/ν.
  ShapeSlopes deviance_shape_slopes(double y, double mu, std::size_t c) const;
  double deviance_shape_curvature(double y, double mu, std::size_t c, std::size_t e) const;
  // The same with ∂²/∂t_c∂t_e of ∂d/∂η and ∂²d/∂η², and ∂⁴d/∂η³∂t_c.
  ShapeCurvature deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const;
  double deviance_shape_eta3_slope(double y, double mu, std::size_t c) const;
  // c(y) = Σ w·[E(ν/2, ½) − ½·ln(2πσ²)]: −½ per unit weight in t1, and the
  // slopes of E (`ln_gamma_ratio_excess_slopes`) in t2; no cross term.
  Vector saturated_shape_gradient(VectorView y, VectorView w) const;
  linalg::Matrix saturated_shape_hessian(VectorView y, VectorView w) const;

  TDist family_from_theta(std::span<const double> shape) const {
    return TDist{{}, 2.0 + std::exp(shape[1]), std::exp(shape[0])};
  }
  Vector theta_from_family() const { return {std::log(sigma2), std::log(-2.0 + nu)}; }
  // ν first ("scat/TDist degrees-of-freedom init_nu must be > 2 …" unless
  // 2 < ν < ∞), then σ² ("scat/TDist scale init_sigma2 must be a positive
  // finite scalar …" unless 0 < σ² < ∞).
  [[nodiscard]] Result<void> check_start() const;
  // The start value with σ² taken from the data: the square of
  // `robust_scale(y)` (1 for a constant response), so that y in other units
  // starts at σ² in those units.
  TDist with_scale_from_data(VectorView y, VectorView w) const;
  // The search's start [ρ, ln σ², ln(ν − 2)]: ln σ² within
  // `kStartLogSpread` of the data's, ν within [2.01, 1002] (V flattens
  // towards both ends of ν), and ρ = −ln σ²: the penalized deviance balances
  // λ against 1/σ², so y × c moves the optimum by −2·ln c in ρ, and the
  // start moves with it.
  Vector search_start(VectorView y, VectorView w) const;
  // The fitted model reports σ² as its scale; the working weights already
  // carry it, so the covariance does not.
  double reported_scale() const { return sigma2; }
  static constexpr bool has_analytic_shape_grad() { return false; }
  static std::optional<Vector> analytic_shape_score_gradient(VectorView /*y*/, VectorView /*mu*/,
                                                             double /*penalized_deviance*/, double /*count*/,
                                                             double /*phi*/) {
    return std::nullopt;
  }
};
static_assert(PirlsFamily<TDist>);
static_assert(HasResponseWorkingWeight<TDist>);
static_assert(HasWorkingWeightSlope<TDist>);
static_assert(HasObservedWeightFactor<TDist>);
static_assert(HasOwnFisherWeight<TDist>);
static_assert(HasShapeDerivatives<TDist>);
static_assert(HasSaturatedShapeCurvature<TDist>);
static_assert(HasShapeHessian<TDist>);

constexpr TDist tdist_identity(double nu, double sigma2) { return TDist{{}, nu, sigma2}; }

}  // namespace kavri::family
