// The Tweedie family with power 1 < p < 2: non-negative responses mixing
// exact zeros with positive values (compound Poisson–gamma), variance φ·μ^p
// and log link. p and φ are searched jointly with the smoothing parameter
// on t1 = ln φ and t2 = ln((p − 1)/(2 − p)); φ is also the criterion's
// scale. The density at μ = y is the series W(y) = Σ_j exp(ℓ_j), summed in
// a window around its largest term, or for a window that would start
// beyond `kTweedieAsymptoticStart` its saddlepoint expansion.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "family/family.h"
#include "family/link.h"
#include "family/shape_curvature.h"

namespace kavri::family {

// Shape clamps of `family_from_theta`.
inline constexpr double kTweedieMinPower = 1.05;
inline constexpr double kTweedieMaxPower = 1.95;
inline constexpr double kTweedieMinPhi = 1e-6;
// φ inside the likelihood and gradient formulas.
inline constexpr double kTweediePhiFloor = 1e-12;
// Terms below 2^-104 of the window's start term are dropped: 104·ln 2.
inline constexpr double kTweedieWindowDrop = 72.0873067782343;
// The upward walk adds at most max(1000, ⌈24·√j0⌉) terms past the start
// j0: the series around its peak spreads over about √j0 terms.
inline constexpr std::int64_t kTweedieMinUpwardTerms = 1000;
inline constexpr double kTweedieUpwardSpread = 24.0;
// From this start index on, the series is replaced by its expansion
//   s = −½·(ln(2πφ) + p·ln y) + p(p − 3)·φ·y^(p−2)/24,
// within 1e-10 of the log-density for 1.05 ≤ p ≤ 1.95, so no observation
// walks more than about 2·10^4 terms.
inline constexpr std::int64_t kTweedieAsymptoticStart = 100000;

struct Tweedie : LogLink {
  double p;    // the variance power, 1 < p < 2
  double phi;  // the dispersion φ > 0

  static constexpr std::string_view display_name() { return "Tweedie"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::ShapeParameter; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::NonNegative);
  }
  double scale() const { return phi; }

  // max(m^p, 1e-300), m = max(μ, 1e-300).
  double variance(double mu) const { return common::floor_at(std::pow(log_floor(mu), p), kLogFloor); }
  // m = max(μ, 1e-300); y > 0: 2·[y^(2−p)/((1−p)(2−p)) − y·m^(1−p)/(1−p) +
  // m^(2−p)/(2−p)]; otherwise 2·m^(2−p)/(2−p).
  double unit_deviance(double y, double mu) const;
  double weighted_deviance(VectorView y, VectorView mu, VectorView w) const {
    return sum_weighted_unit_deviances(*this, y, mu, w);
  }
  static Vector initial_mu(VectorView y) { return floored_copy(y, kCountStartFloor); }
  // W = w·m^(2−p) while m^p is above its floor, so dW/dη = (2 − p)·W.
  double working_weight_slope(double prior_weight, double /*y*/, double mu) const {
    const double g = link_derivative(mu);
    return (2.0 - p) * (prior_weight / ((variance(mu) * g) * g));
  }
  // α = 1 + (y − μ)·(V'/V + g''/g') = 1 + (p − 1)(y − μ)/μ, at least
  // 2 − p for y ≥ 0.
  double observed_weight_factor(double y, double mu) const {
    const double m = log_floor(mu);
    return 1.0 + (p - 1.0) * ((y - m) / m);
  }
  // ω = w·[(2 − p)·m^(2−p) + (p − 1)·y·m^(1−p)], so dω/dη =
  // W·[(2 − p)² − (p − 1)²·y/m] with W = w·m^(2−p).
  double observed_weight_slope(double prior_weight, double y, double mu) const {
    const double m = log_floor(mu);
    const double g = link_derivative(mu);
    const double w = prior_weight / ((variance(mu) * g) * g);
    return w * ((2.0 - p) * (2.0 - p) - (p - 1.0) * (p - 1.0) * (y / m));
  }
  // d²ω/dη² = W·[(2 − p)³ + (p − 1)³·y/m].
  double observed_weight_curvature(double prior_weight, double y, double mu) const {
    const double m = log_floor(mu);
    const double g = link_derivative(mu);
    const double w = prior_weight / ((variance(mu) * g) * g);
    const double a = 2.0 - p, b = p - 1.0;
    return w * (a * a * a + b * b * b * (y / m));
  }
  // Σ_i ln f(y_i; μ = y_i, p, φ) from −0.0 with unit prior weights.
  double saturated_loglik(VectorView y, double dispersion) const;
  // The same with row i counted w_i times, as in the deviance: a weight is
  // a replication count (2 is the row twice, 0 drops it).
  double saturated_loglik(VectorView y, VectorView w, double dispersion) const;

  // Slopes in t1 = ln φ (c = 0; the deviance does not read φ) and t2 (c =
  // 1, dp/dt2 = (p − 1)(2 − p)), clamps left out.
  ShapeSlopes deviance_shape_slopes(double y, double mu, std::size_t c) const;
  double deviance_shape_curvature(double y, double mu, std::size_t c, std::size_t e) const;
  // The same with ∂²/∂t_c∂t_e of ∂d/∂η and ∂²d/∂η², and ∂⁴d/∂η³∂t_c.
  ShapeCurvature deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const;
  double deviance_shape_eta3_slope(double y, double mu, std::size_t c) const;
  // The criterion's scale φ is the first shape coordinate's exp.
  static constexpr std::size_t scale_coordinate() { return 0; }
  // ∂c/∂t of the weighted `saturated_loglik` at the value's φ, from the
  // series window: the moments of j over the window's terms.
  Vector saturated_shape_gradient(VectorView y, VectorView w) const;
  // Its Hessian, from the window's second moments of j and of dℓ_j/dp.
  linalg::Matrix saturated_shape_hessian(VectorView y, VectorView w) const;

  Tweedie family_from_theta(std::span<const double> shape) const;
  Vector theta_from_family() const { return {std::log(phi), std::log((p - 1.0) / (2.0 - p))}; }
  // "tweedie p must be in (1, 2); got tweedie_p={}" unless 1 < p < 2, then
  // "Tweedie dispersion init_phi must be a positive finite scalar; got
  // init_phi={}" unless 0 < φ < ∞.
  [[nodiscard]] Result<void> check_start() const;
  // The coordinates a search starts from: `theta_from_family` moved onto
  // the range where `family_from_theta` does not clamp (ln φ ≥ ln 1e-6,
  // |ln((p − 1)/(2 − p))| ≤ ln 19). V is flat beyond, so a start deep in
  // the clamped range is a step that only the other coordinates could leave.
  Vector start_theta() const;
  // The unit of y a model is fitted in: the weighted mean of y (1 where it
  // is not positive and finite). The Tweedie model of y/s with dispersion
  // φ/s^(2−p) is that of y with φ, its intercept lower by ln s and its λ by
  // the factor s^(2−p): V differs by the constant Σ w·ln s. Fitting in the
  // data's own unit keeps the fit's absolute floors (means, φ) and the
  // search's steps at the size they were made for, and makes y × c give
  // the same fit in other units.
  static double response_unit(VectorView y, VectorView w);
  // This value in units of s.
  Tweedie in_unit(double s) const { return Tweedie{{}, p, phi / std::pow(s, 2.0 - p)}; }
  // A search vector [ρ, ln φ, power coordinate] of a fit in units of s, in
  // the units of y: ρ and ln φ move by (2 − p)·ln s with the p of the power
  // coordinate.
  Vector search_vector_from_unit(double s, VectorView v) const;
  // The start value with φ the Pearson estimate of an intercept-only fit,
  // Σ w(y − ȳ)²/ȳ^p / Σ w (1 where the data give none): y × c starts at
  // φ·c^(2−p), the dispersion of the same model in those units.
  Tweedie with_scale_from_data(VectorView y, VectorView w) const;
  // The search's start [ρ, ln φ, ln((p − 1)/(2 − p))]: `start_theta` with
  // ln φ also within `kStartLogSpread` of the data's, and ρ = ln φ: the
  // penalized deviance balances λ against φ, so the start moves with the
  // units as the optimum does.
  Vector search_start(VectorView y, VectorView w) const;
  double reported_scale() const { return phi; }
  static constexpr bool has_analytic_shape_grad() { return true; }
  // [g1, g2], the derivatives in (t1, t2), at fixed coefficients, means and
  // penalty, of (D + P)/(2φ) − (M_p/2)·ln(2πφ) − c(y; p, φ), with
  // k = n − M_p; p is the value's, φ the `dispersion` given. Row i counts
  // w_i times, in the deviance's p-derivative as in c(y); the overload
  // without weights takes them as ones.
  std::optional<Vector> analytic_shape_score_gradient(VectorView y, VectorView mu, VectorView w,
                                                      double penalized_deviance, double count, double dispersion) const;
  std::optional<Vector> analytic_shape_score_gradient(VectorView y, VectorView mu, double penalized_deviance,
                                                      double count, double dispersion) const {
    return analytic_shape_score_gradient(y, mu, unit_weights(y.size), penalized_deviance, count, dispersion);
  }
};
static_assert(PirlsFamily<Tweedie>);
static_assert(HasWorkingWeightSlope<Tweedie>);
static_assert(HasWeightedShapeGradient<Tweedie>);
static_assert(HasObservedWeightFactor<Tweedie>);
static_assert(HasShapeDerivatives<Tweedie>);
static_assert(HasSaturatedShapeCurvature<Tweedie>);
static_assert(HasShapeHessian<Tweedie>);
static_assert(HasScaleCoordinate<Tweedie>);

constexpr Tweedie tweedie_log(double p, double phi) { return Tweedie{{}, p, phi}; }

// acc + ln f(y; μ = y, p, φ) for one observation; y ≤ 0 adds 0.0.
double tweedie_saturated_loglik(double p, double phi, double acc, double y);

}  // namespace kavri::family
