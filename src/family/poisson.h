// The Poisson and quasi-Poisson families: counts with log link and variance
// μ. The two share every operation but their names, saturated
// log-likelihoods and scale rules: the quasi family estimates a scale and
// takes its likelihood as normal.
#pragma once

#include <cmath>
#include <string_view>

#include "family/family.h"
#include "family/link.h"

namespace kavri::family {

namespace detail {

struct PoissonCounts : LogLink {
  static double variance(double mu) { return log_floor(mu); }
  // The floor applies to μ only. y = 0 (and NaN) contributes 2·m, so a
  // vanishing mean still costs 2e-300, not 0.
  static double unit_deviance(double y, double mu) {
    const double m = log_floor(mu);
    if (!(y > 0.0)) return 2.0 * m;
    const double t = std::log(y / m) * y - (y - m);
    return t + t;
  }
  static double weighted_deviance(VectorView y, VectorView mu, VectorView w) {
    return sum_weighted_unit_deviances(PoissonCounts{}, y, mu, w);
  }
  static Vector initial_mu(VectorView y) { return floored_copy(y, kCountStartFloor); }
  // W = w·μ (μ floored), and dμ/dη = μ.
  static double working_weight_slope(double prior_weight, double /*y*/, double mu) {
    return prior_weight * log_floor(mu);
  }
  // d²W/dη² = w·μ.
  static double working_weight_curvature(double prior_weight, double /*y*/, double mu) {
    return prior_weight * log_floor(mu);
  }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
};

}  // namespace detail

struct Poisson : detail::PoissonCounts, WithoutShape<Poisson> {
  static constexpr std::string_view display_name() { return "Poisson"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::NonNegative);
  }
  // Σ over y_i > 0 of (ln(y_i)·y_i − y_i) from −0.0; without the ln(y_i!)
  // term, which no smoothing parameter moves.
  static double saturated_loglik(VectorView y, double phi);
};
static_assert(PirlsFamily<Poisson>);

struct QuasiPoisson : detail::PoissonCounts, WithoutShape<QuasiPoisson> {
  static constexpr std::string_view display_name() { return "QuasiPoisson"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Profile; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::NonNegative);
  }
  static double saturated_loglik(VectorView y, double phi) { return normal_saturated_loglik(y.size, phi); }
  static PearsonTerm pearson_term(double mu) {
    const double m = common::floor_at(mu, kPearsonMeanFloor);
    return {m, m};
  }
};
static_assert(PirlsFamily<QuasiPoisson>);

constexpr Poisson poisson_log() { return {}; }
constexpr QuasiPoisson quasipoisson_log() { return {}; }

}  // namespace kavri::family
