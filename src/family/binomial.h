// The Bernoulli (also requested as "binomial") and quasi-binomial families:
// responses in [0, 1], fractional ones included, with logit link and
// variance μ(1 − μ). The two share every operation but their names,
// saturated log-likelihoods and scale rules.
#pragma once

#include <cmath>
#include <string_view>

#include "family/family.h"
#include "family/link.h"

namespace kavri::family {

namespace detail {

struct BinaryResponse : LogitLink {
  // Taken from the same clamped μ as the link derivative, so the working
  // weight w·c(1 − c) stays near 1e-15·w where the mean saturates, instead
  // of exploding as a floored variance of an unclamped μ would.
  static double variance(double mu) {
    const double c = logit_clamp(mu);
    return common::floor_at((1.0 - c) * c, kLogFloor);
  }
  // The clamp applies to μ only; y = 1 keeps only the first term, y = 0 only
  // the second. A NaN y gives 0 (the response check rejects it).
  static double unit_deviance(double y, double mu) {
    const double c = logit_clamp(mu);
    // A binary y has one term 0.0 and the other ln of a number ≥ 1, so
    // 2·(a + b) is 2·ln(1/c) or 2·ln(1/(1 − c)) bit for bit: one logarithm
    // of a selected argument, without a branch on y that binary data would
    // mispredict.
    if (y * (1.0 - y) == 0.0) [[likely]]  // y is 0 or 1 (±0 included), as one test
      return 2.0 * std::log(1.0 / common::select(y == 1.0, c, 1.0 - c));
    const double a = y > 0.0 ? y * std::log(y / c) : 0.0;
    const double b = y < 1.0 ? (1.0 - y) * std::log((1.0 - y) / (1.0 - c)) : 0.0;
    return 2.0 * (a + b);
  }
  static double weighted_deviance(VectorView y, VectorView mu, VectorView w) {
    return sum_weighted_unit_deviances(BinaryResponse{}, y, mu, w);
  }
  // W = w·c(1 − c) with c the clamped μ, and dμ/dη = c(1 − c); the clamp's
  // flat edges are left to the 1e-15 this gives there.
  static double working_weight_slope(double prior_weight, double /*y*/, double mu) {
    const double c = logit_clamp(mu);
    return prior_weight * ((c * (1.0 - c)) * (1.0 - 2.0 * c));
  }
  // d²W/dη² = w·c(1 − c)(1 − 6c(1 − c)).
  static double working_weight_curvature(double prior_weight, double /*y*/, double mu) {
    const double c = logit_clamp(mu);
    const double v = c * (1.0 - c);
    return prior_weight * (v * (1.0 - 6.0 * v));
  }
  // (y + 1/2)/2 lies in [1/4, 3/4], well inside the clamp.
  static Vector initial_mu(VectorView y);
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
};

}  // namespace detail

struct Bernoulli : detail::BinaryResponse, WithoutShape<Bernoulli> {
  static constexpr std::string_view display_name() { return "Bernoulli"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::UnitInterval);
  }
  // Σ over 0 < y_i < 1 of ln(1 − y')·(1 − y') + ln(y')·y', y' the clamped
  // y_i, from −0.0: binary responses contribute nothing.
  static double saturated_loglik(VectorView y, double phi);
};
static_assert(PirlsFamily<Bernoulli>);

struct QuasiBinomial : detail::BinaryResponse, WithoutShape<QuasiBinomial> {
  static constexpr std::string_view display_name() { return "QuasiBinomial"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Profile; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::UnitInterval);
  }
  static PearsonTerm pearson_term(double mu) {
    const double m = common::floor_at(mu, kPearsonBinaryFloor);
    const double c = common::ceil_at(m, kPearsonBinaryCeiling);
    return {m, c * (1.0 - c)};
  }
  static double saturated_loglik(VectorView y, double phi) { return normal_saturated_loglik(y.size, phi); }
};
static_assert(PirlsFamily<QuasiBinomial>);

constexpr Bernoulli bernoulli_logit() { return {}; }
constexpr QuasiBinomial quasibinomial_logit() { return {}; }

}  // namespace kavri::family
