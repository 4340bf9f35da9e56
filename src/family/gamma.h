// The Gamma family: positive continuous responses whose variance grows as
// μ², with log link. Its scale is profiled out of the criterion by a
// safeguarded Newton solve of the scale's stationarity condition
// (`gamma_profile_scale`).
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>

#include "family/family.h"
#include "family/link.h"

namespace kavri::family {

struct Gamma : LogLink, WithoutShape<Gamma> {
  static constexpr std::string_view display_name() { return "Gamma"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::ProfileNewton; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::Pirls; }
  [[nodiscard]] static Result<void> check_response(VectorView y) {
    return check_domain(y, display_name(), ResponseDomain::Positive);
  }

  // The square is floored, not the square of the floored μ: μ = 1e-200 has
  // V = 1e-300 while g' = 1e200.
  static double variance(double mu) { return common::floor_at(mu * mu, kLogFloor); }
  // 2·[ln(m/y') + (y' − m)/m], y and μ floored at 1e-300.
  static double unit_deviance(double y, double mu) {
    const double yf = log_floor(y);
    const double m = log_floor(mu);
    return 2.0 * (std::log(m / yf) + (yf - m) / m);
  }
  static double weighted_deviance(VectorView y, VectorView mu, VectorView w) {
    return sum_weighted_unit_deviances(Gamma{}, y, mu, w);
  }
  static Vector initial_mu(VectorView y) { return floored_copy(y, kPositiveStartFloor); }
  // α = 1 + (y − μ)·(V'/V + g''/g') = y/μ: the log link is not the Gamma's
  // canonical one.
  static double observed_weight_factor(double y, double mu) { return y / log_floor(mu); }
  // ω = W·y/μ with W = w (constant in μ), so dω/dη = −ω.
  static double observed_weight_slope(double prior_weight, double y, double mu) {
    return -(working_weight(Gamma{}, prior_weight, mu) * observed_weight_factor(y, mu));
  }
  // d²ω/dη² = ω.
  static double observed_weight_curvature(double prior_weight, double y, double mu) {
    return working_weight(Gamma{}, prior_weight, mu) * observed_weight_factor(y, mu);
  }
  // Σ_i [−lnΓ(1/φ) − ln(φ)/φ − 1/φ − ln max(y_i, 1e-300)], the Gamma
  // log-density with shape 1/φ at μ = y, from −0.0; lnΓ is taken once.
  static double saturated_loglik(VectorView y, double phi);
  // With prior weights the shape of row i is ν_i = w_i/φ, as in the
  // deviance Σ w_i·d_i: Σ over w_i > 0 of [−lnΓ(ν_i) − ln(φ/w_i)·ν_i − ν_i
  // − ln max(y_i, 1e-300)]. A weight of 1 gives the unweighted row's term
  // bit for bit; a zero weight adds nothing.
  static double saturated_loglik(VectorView y, VectorView w, double phi);
  // The `ProfileNewton` rule: see `gamma_profile_scale` below.
  static double profile_newton_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p,
                                     double floor);
  static double profile_newton_scale(double penalized_deviance, VectorView w, std::uint64_t m_p, double floor);
  // The φ-slope f'(φ) of the profile equation (below), unweighted and
  // weighted: at its root the criterion's curvature in φ is −f'(φ)/(2φ²).
  static double profile_slope(double phi, std::uint64_t n, std::uint64_t m_p);
  static double profile_slope(double phi, VectorView w, std::uint64_t m_p);
  static PearsonTerm pearson_term(double mu) {
    const double m = common::floor_at(mu, kPearsonMeanFloor);
    return {m, m * m};
  }
};
static_assert(PirlsFamily<Gamma>);
static_assert(HasObservedWeightFactor<Gamma>);

constexpr Gamma gamma_log() { return {}; }

// Control of the profile Newton solve.
inline constexpr int kGammaProfileMaxSteps = 30;
// |f| below this multiple of |D + P| + M_p + 1 is a root.
inline constexpr double kGammaProfileTolerance = 1e-10;
// A flatter f' would throw the step arbitrarily far.
inline constexpr double kGammaProfileSlopeFloor = 1e-15;
// Each step moves φ by at most a factor 10 either way.
inline constexpr double kGammaProfileStepDown = 0.1;
inline constexpr double kGammaProfileStepUp = 10.0;
// A step shorter than this fraction of φ ends the solve.
inline constexpr double kGammaProfileRelativeStep = 1e-12;

// The scale φ ≥ floor at which the Gamma criterion is stationary in φ: the
// root of f(φ) = M_p·φ + 2n·(ln φ + ψ(1/φ)) + (D + P), which is −2φ² times
// the φ-derivative of (D + P)/(2φ) − (M_p/2)·ln(2πφ) − c(y; φ). Newton from
// max((D + P)/(n − M_p), 1e-8). The criterion calls it only with D + P > 0
// and n > M_p; an infinite D + P gives +∞.
double gamma_profile_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p,
                           double floor = kScaleFloor);

// The same root for the weighted criterion: f(φ) = M_p·φ + 2·Σ_{w_i>0}
// w_i·(ln(φ/w_i) + ψ(w_i/φ)) + (D + P), from max((D + P)/(n − M_p), floor)
// with n the rows of positive weight, under the same step rules; the
// tolerance's M_p + 1 is taken in units of the mean positive weight.
double gamma_profile_scale(double penalized_deviance, VectorView w, std::uint64_t m_p, double floor = kScaleFloor);

}  // namespace kavri::family
