// The extended log-F family for quantile regression: the τ-th conditional
// quantile through a check loss whose corner is rounded over a width λ and
// whose size is set by a scale σ, identity link. τ, σ and λ stay fixed
// during the smoothing search. With r = y − η the deviance and saturated
// term make −½·D + c(y) the log-likelihood of the density
//   f(y | η) = exp[(1 − τ)·r/σ − (λ/σ)·ln(1 + e^(r/λ))] / (λ·B(λτ/σ, λ(1 − τ)/σ)).
// Prior weights multiply each row's deviance, weight and score, so a weight
// of 2 is a duplicated row.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <string_view>

#include "family/family.h"
#include "family/link.h"
#include "linalg/matrix.h"

namespace kavri::family {

// Floors of λ and σ inside the saturated term.
inline constexpr double kElfParameterFloor = 1e-12;
// Where p(1 − p) falls below this the working response is η itself. Taken
// on p(1 − p) rather than on W = p(1 − p)/(λσ), it does not depend on the
// units of y.
inline constexpr double kElfWeightFloor = 1e-12;

// ln(1 + e^u) without overflow; NaN takes the second form and stays NaN.
inline double softplus(double u) { return u > 0.0 ? std::log1p(std::exp(-u)) + u : std::log1p(std::exp(u)); }

struct Elf : IdentityLink {
  double tau;     // the quantile level, 0 < τ < 1
  double sigma;   // σ > 0
  double lambda;  // λ > 0

  static constexpr std::string_view display_name() { return "ELF"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::BacktrackingNewton; }
  [[nodiscard]] static Result<void> check_response(VectorView /*y*/) { return {}; }

  // "ELF τ must be in (0, 1); got {}", then "ELF σ and λ must be > 0; got
  // σ={} λ={}" and "ELF σ and λ must be finite; got σ={} λ={}".
  [[nodiscard]] Result<void> check_parameters() const;

  // κ = τ·ln τ + (1 − τ)·ln(1 − τ), negative.
  double kappa() const { return tau * std::log(tau) + (1.0 - tau) * std::log(1.0 - tau); }
  // (2/σ)·[λ·softplus(r/λ) − (1 − τ)·r + λ·κ], r = y − η: 0 at
  // r = λ·ln((1 − τ)/τ), positive elsewhere.
  double unit_deviance(double y, double eta) const {
    const double r = y - eta;
    const double s = softplus(r / lambda);
    return 2.0 * (lambda * s + (tau * lambda * std::log(tau) + (1.0 - tau) * lambda * std::log(1.0 - tau) -
                                (1.0 - tau) * r)) /
           sigma;
  }
  double weighted_deviance(VectorView y, VectorView eta, VectorView w) const {
    return sum_weighted_unit_deviances(*this, y, eta, w);
  }
  // c₀ = (λ′/σ′)·κ − ln λ′ − ln B(λ′τ/σ′, λ′(1 − τ)/σ′) per row, λ′ and σ′
  // floored at 1e-12; the responses are not read.
  double saturated_loglik(VectorView y, double phi) const;
  // c₀·Σ_i w_i.
  double saturated_loglik(VectorView y, VectorView w, double phi) const;

  // W = w·p(1 − p)/(λσ), p = logistic(r/λ): half the η-curvature of w·d.
  double working_weight(double prior_weight, double y, double eta) const {
    const double p = logistic((y - eta) / lambda);
    return prior_weight * (p * (1.0 - p)) / (lambda * sigma);
  }
  // g = w·(p + τ − 1)/σ: minus half the η-slope of w·d.
  double score(double prior_weight, double y, double eta) const {
    const double p = logistic((y - eta) / lambda);
    return prior_weight * (p + tau - 1.0) / sigma;
  }
  // η + g/W of the unweighted row where p(1 − p) > 1e-12, else η (a prior
  // weight cancels from the ratio).
  double working_response(double y, double eta) const {
    const double p = logistic((y - eta) / lambda);
    const double spread = p * (1.0 - p);
    return spread > kElfWeightFloor ? eta + score(1.0, y, eta) / working_weight(1.0, y, eta) : eta;
  }
  // dW/dη = −w·p(1 − p)(1 − 2p)/(λ²σ).
  double working_weight_slope(double prior_weight, double y, double eta) const {
    const double p = logistic((y - eta) / lambda);
    return -prior_weight * (p * (1.0 - p)) * (1.0 - 2.0 * p) / (lambda * lambda * sigma);
  }
  // d²W/dη² = w·p(1 − p)(1 − 6p + 6p²)/(λ³σ).
  double working_weight_curvature(double prior_weight, double y, double eta) const {
    const double p = logistic((y - eta) / lambda);
    return prior_weight * (p * (1.0 - p)) * (1.0 - 6.0 * p + 6.0 * (p * p)) / (lambda * lambda * lambda * sigma);
  }

  // τ, σ and λ are not searched.
  Elf family_from_theta(std::span<const double> /*shape*/) const { return *this; }
  static Vector theta_from_family() { return {}; }
  static constexpr bool has_analytic_shape_grad() { return false; }
  static std::optional<Vector> analytic_shape_score_gradient(VectorView /*y*/, VectorView /*mu*/,
                                                             double /*penalized_deviance*/, double /*count*/,
                                                             double /*phi*/) {
    return std::nullopt;
  }
};
static_assert(Family<Elf>);
static_assert(HasWorkingWeightSlope<Elf>);
static_assert(HasWorkingWeightCurvature<Elf>);

constexpr Elf elf_identity(double tau, double sigma, double lambda) {
  return Elf{{}, tau, sigma, lambda};
}

// Σ_i w_i·d(y_i, (Xβ)_i) + c·β'S_λβ; +∞ as soon as one row's term is not
// finite. The penalty enters whether finite or not.
double elf_objective(const Elf& family, linalg::MatrixView x, VectorView y, VectorView w, VectorView beta,
                     linalg::MatrixView s_lambda, double c);

}  // namespace kavri::family
