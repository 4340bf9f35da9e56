// The response-family interface: how the mean relates to the linear
// predictor, how the variance depends on the mean, the deviance, the
// saturated log-likelihood, the admissible responses, the start of the
// iteration, the scale rule and the shape-parameter transforms.
//
// A family is a small value type (empty unless it has shape parameters) whose
// operations are resolved at build time: the fits, the criterion and the
// drivers are templates over `Family`, and nothing is dispatched per
// observation. Vector operations read y, μ and w at the first n = y.size
// indices; a fit without prior weights passes `unit_weights(n)`.
#pragma once

#include <concepts>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "common/numeric.h"
#include "family/link.h"
#include "linalg/error.h"
#include "linalg/ln_gamma.h"
#include "linalg/matrix.h"

namespace kavri::family {

using linalg::Vector;
using linalg::VectorView;

// How the criterion obtains the scale φ of a fit; a property of the family
// type, so the criterion can branch on it with `if constexpr`.
enum class ScaleRule {
  Fixed,           // φ = 1
  Profile,         // `profile_scale`
  ProfileNewton,   // `gamma_profile_scale`, the root of the Gamma profile equation
  ShapeParameter,  // the φ held in the family value, set by `family_from_theta`
};

// How a family's coefficients are fitted at fixed smoothing (and shape)
// parameters; the inner fits, the criterion and the drivers branch on it.
enum class InnerFitKind {
  ClosedForm,         // one penalized least-squares solve from cross products formed once
  Pirls,              // penalized re-weighted least squares with step halving
  PirlsObservedInfo,  // the same with Newton steps on the observed information
  FullNewton,         // Newton steps on the full log-likelihood
  BacktrackingNewton, // Newton steps with a backtracking line search
};

// The residual mean m and variance V of one observation in a Pearson scale
// Σ w·(y − m)²/V / (n − edf).
struct PearsonTerm {
  double mean;
  double variance;
};

// Every family: what the closed-form, Newton and quantile fits, the criterion
// and the drivers need. Shape coordinates are the search vector without its
// leading log smoothing parameter.
template <class F>
concept Family = std::copyable<F> &&
    requires(const F& f, double x, VectorView v, std::span<const double> shape) {
      { f.display_name() } -> std::convertible_to<std::string_view>;  // the name in messages
      { f.check_response(v) } -> std::same_as<Result<void>>;  // y's domain; the first bad row
      { f.link(x) } -> std::same_as<double>;                  // η = g(μ)
      { f.link_inverse(x) } -> std::same_as<double>;          // μ = g⁻¹(η)
      { f.unit_deviance(x, x) } -> std::same_as<double>;      // d(y, μ) without prior weight
      { f.weighted_deviance(v, v, v) } -> std::same_as<double>;  // Σ w_i·d(y_i, μ_i) of (y, μ, w)
      { f.saturated_loglik(v, x) } -> std::same_as<double>;   // c(y; φ) with unit prior weights
      { F::scale_rule() } -> std::same_as<ScaleRule>;
      typename std::integral_constant<ScaleRule, F::scale_rule()>;  // a constant of the type
      typename std::integral_constant<InnerFitKind, F::inner_fit_kind()>;
      typename std::integral_constant<LinkKind, F::link_kind()>;  // from the family's link
      { f.family_from_theta(shape) } -> std::same_as<F>;      // the value at shape coordinates
      { f.theta_from_family() } -> std::same_as<Vector>;      // the value's shape coordinates
      { f.has_analytic_shape_grad() } -> std::same_as<bool>;
      // (y, μ, D + P, n − M_p, φ); absent where the family has no analytic
      // gradient and the criterion differentiates refits numerically.
      { f.analytic_shape_score_gradient(v, v, x, x, x) } -> std::same_as<std::optional<Vector>>;
    };

// A family fitted by penalized iteratively re-weighted least squares: it also
// supplies the variance, the link derivative and the starting means.
template <class F>
concept PirlsFamily = Family<F> && requires(const F& f, double x, VectorView v) {
  { f.link_derivative(x) } -> std::same_as<double>;  // g'(μ) = dη/dμ
  { f.variance(x) } -> std::same_as<double>;         // V(μ), floored
  { f.initial_mu(v) } -> std::same_as<Vector>;       // μ⁰ from y; the loop starts at g(μ⁰)
};

// W = w / ((V(μ)·g'(μ))·g'(μ)), multiplied out in that order. V and g' apply
// their own floors and clamps to μ.
template <PirlsFamily F>
double working_weight(const F& f, double prior_weight, double mu) {
  const double g = f.link_derivative(mu);
  return prior_weight / ((f.variance(mu) * g) * g);
}

// z = g'(μ)·(y − μ) + η; the residual uses the raw μ, not its floored form.
template <PirlsFamily F>
double working_response(const F& f, double y, double mu, double eta) {
  return f.link_derivative(mu) * (y - mu) + eta;
}

// Prior weights of a fit that has none: n ones, without allocating (stride 0).
inline constexpr double kUnitWeight = 1.0;
inline VectorView unit_weights(std::size_t n) { return VectorView(&kUnitWeight, n, 0); }
inline VectorView weights_or_ones(const std::optional<VectorView>& weights, std::size_t n) {
  return weights ? *weights : unit_weights(n);
}

// Lower bound of an estimated scale where the data give no scale of their
// own (see `scale_floor`).
inline constexpr double kScaleFloor = 1e-8;
// An estimated scale is at least this fraction of the null deviance per row:
// a scale has the units of y (or y², or 1/y) and of the prior weights, so
// an absolute floor would make a fit depend on the units the response is
// given in. Only a fit that explains all but 1e-8 of the null deviance
// reaches it.
inline constexpr double kRelativeScaleFloor = 1e-8;

// Σ w_i·y_i / Σ w_i, both sums in index order from 0.
inline double weighted_mean(VectorView y, VectorView w) {
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    sw += w[i];
    swy += w[i] * y[i];
  }
  return swy / sw;
}

// 1e-8·D₀/n with D₀ = Σ_i w_i·d(y_i, ȳ_w) the deviance of the weighted mean
// ȳ_w; kScaleFloor where that is not a positive finite number.
template <class F>
double scale_floor(const F& family, VectorView y, VectorView w) {
  const double mean = weighted_mean(y, w);
  const double null_deviance = family.weighted_deviance(y, VectorView(&mean, y.size, 0), w);
  const double floor = kRelativeScaleFloor * (null_deviance / static_cast<double>(y.size));
  return std::isfinite(floor) && floor > 0.0 ? floor : kScaleFloor;
}

// Families whose working weight moves with η state dW/dη at (w, y, μ): the
// criterion's gradient follows W through β̂(ρ). A family without it has a
// working weight that does not depend on η (or corrects its criterion by
// its own observed information).
template <class F>
concept HasWorkingWeightSlope = requires(const F& f, double x) {
  { f.working_weight_slope(x, x, x) } -> std::same_as<double>;
};

// Families whose working weight reads the response as well as the mean
// (a weight that shrinks with the residual, so that the fixed point of the
// re-weighted loop is a minimiser of a deviance that is not quadratic in
// the residual). The loop calls it in place of w/(V·g'²).
template <class F>
concept HasResponseWorkingWeight = requires(const F& f, double x) {
  { f.response_working_weight(x, x, x) } -> std::same_as<double>;
};

// Families whose analytic shape gradient also takes the prior weights
// (y, μ, w, D + P, n − M_p, φ): the deviance it differentiates is weighted.
template <class F>
concept HasWeightedShapeGradient = requires(const F& f, VectorView v, double x) {
  { f.analytic_shape_score_gradient(v, v, v, x, x, x) } -> std::same_as<std::optional<Vector>>;
};

// Families whose expected (Fisher) information per row is not w/(V·g'²):
// the scaled t, whose V is the constant σ² of its re-weighting.
template <class F>
concept HasOwnFisherWeight = requires(const F& f, double x) {
  { f.fisher_weight(x, x) } -> std::same_as<double>;
};

// The expected information of a row with prior weight w at μ: what the
// summaries (edf, covariance, Pearson scale) are built from.
template <PirlsFamily F>
double fisher_weight(const F& f, double prior_weight, double mu) {
  if constexpr (HasOwnFisherWeight<F>) {
    return f.fisher_weight(prior_weight, mu);
  } else {
    return working_weight(f, prior_weight, mu);
  }
}

// Families whose observed information differs from the expected one by a
// per-row factor α(y, μ), ω = α·W_F, ω = ½·∂²d/∂η² times the prior weight:
// the non-canonical links. The criterion's ½ln|H| takes H = X'·diag(ω)·X +
// S_λ, the Hessian of the penalized deviance at β̂, which the Laplace
// approximation asks for; `observed_weight_slope` is dω/dη at (w, y, μ),
// which its gradient follows through β̂(ρ). α can be negative for rows far
// from their mean, so that H can be indefinite.
template <class F>
concept HasObservedWeightFactor = requires(const F& f, double x) {
  { f.observed_weight_factor(x, x) } -> std::same_as<double>;
  { f.observed_weight_slope(x, x, x) } -> std::same_as<double>;
};

// The second η-derivatives of the criterion's row weights, which its exact
// Hessian needs: of the working weight for a canonical link, of the
// observed one otherwise.
template <class F>
concept HasWorkingWeightCurvature = requires(const F& f, double x) {
  { f.working_weight_curvature(x, x, x) } -> std::same_as<double>;
};
template <class F>
concept HasObservedWeightCurvature = requires(const F& f, double x) {
  { f.observed_weight_curvature(x, x, x) } -> std::same_as<double>;
};

template <PirlsFamily F>
  requires HasObservedWeightFactor<F>
double observed_weight(const F& f, double prior_weight, double y, double mu) {
  return fisher_weight(f, prior_weight, mu) * f.observed_weight_factor(y, mu);
}

// Families whose scale is estimated from the fit report a Pearson scale;
// they state the mean and variance it reads, each with its own guard.
template <class F>
concept HasPearsonScale = requires(double mu) {
  { F::pearson_term(mu) } -> std::same_as<PearsonTerm>;
};

// The Pearson scale reads the fitted mean floored here (binary means also
// capped), so that a mean at the edge of its range cannot divide by zero
// through the floor of its own family.
inline constexpr double kPearsonMeanFloor = 1e-300;
inline constexpr double kPearsonBinaryFloor = 1e-15;
inline constexpr double kPearsonBinaryCeiling = 0.999999999999999;

// The `Profile` rule: max((D + P) / max(n − M_p, 1), floor); a NaN
// quotient gives the floor.
inline double profile_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p,
                            double floor = kScaleFloor) {
  const double dof = common::floor_at(static_cast<double>(n) - static_cast<double>(m_p), 1.0);
  return common::floor_at(penalized_deviance / dof, floor);
}

// ---------------------------------------------------------------------------
// Building blocks of the family types.

// Σ_{i<n} w_i·d(y_i, μ_i), the products added one at a time to 0.0 in index
// order; n = y.size.
template <class F>
double sum_weighted_unit_deviances(const F& f, VectorView y, VectorView mu, VectorView w) {
  double d = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) d += w[i] * f.unit_deviance(y[i], mu[i]);
  return d;
}

// max(y_i, floor) for every i, a NaN response taking the floor: the starting
// means of the log-link families, so that a zero response still starts at a
// finite linear predictor.
Vector floored_copy(VectorView y, double floor);
// The floors of those starts: counts, and positive continuous responses.
inline constexpr double kCountStartFloor = 0.1;
inline constexpr double kPositiveStartFloor = 0.001;

// 2π as the double the saturated log-likelihoods use.
inline constexpr double kTwoPi = 6.283185307179586;

// −Σ_{i<n} ½·ln(2π·φ), subtracted once per observation from −0.0: the
// saturated term of the families whose likelihood is taken as normal.
double normal_saturated_loglik(std::size_t n, double phi);

// ln(1 + u) − u without the cancellation of the two terms for small |u|:
// below |u| = 0.25 through s = u/(2 + u), ln(1 + u) = 2·atanh s, so that
// ln(1 + u) − u = −u²/(2 + u) + 2·(s³/3 + s⁵/5 + …); s² ≤ 1/49 there, so
// nine terms of the odd series reach below one rounding of the result.
// The direct form above.
inline double log1p_minus_identity(double u) {
  if (!(std::fabs(u) < 0.25)) return std::log1p(u) - u;
  const double s = u / (2.0 + u);
  const double s2 = s * s;
  double t = 0.0;
  for (int k = 21; k >= 3; k -= 2) t = 1.0 / k + s2 * t;
  return 2.0 * (t * s2 * s) - u * u / (2.0 + u);
}

// lnΓ(x + a) − lnΓ(x) − a·ln x for x > 0, a ≥ 0. Differences of log-gammas
// at a large x lose all their digits to ln Γ(x) itself (ln Γ(1e13) is
// 2.9e14); from x = 10 on the Stirling series of the difference is summed
// instead, each term a multiple of (1 + a/x)^(1−2k) − 1 formed by expm1.
// Eight terms leave an error below 2e-18 at x = 10.
inline constexpr double kLnGammaRatioSeriesStart = 10.0;
// B_2k / (2k·(2k − 1)), k = 1 .. 8.
inline constexpr double kStirling[8] = {1.0 / 12.0,   -1.0 / 360.0,      1.0 / 1260.0, -1.0 / 1680.0,
                                        1.0 / 1188.0, -691.0 / 360360.0, 1.0 / 156.0,  -3617.0 / 122400.0};
inline double ln_gamma_ratio_excess(double x, double a) {
  if (!(x >= kLnGammaRatioSeriesStart))
    return linalg::ln_gamma(x + a) - linalg::ln_gamma(x) - a * std::log(x);
  const double u = a / x;
  const double l = std::log1p(u);
  double r = 0.0;
  const double inv_x2 = 1.0 / (x * x);
  double power = 1.0 / x;  // x^(1−2k)
  for (int k = 1; k <= 8; ++k) {
    r += kStirling[k - 1] * power * std::expm1(static_cast<double>(1 - 2 * k) * l);
    power *= inv_x2;
  }
  return x * log1p_minus_identity(u) + (a - 0.5) * l + r;
}

// ∂/∂x and ∂²/∂x² of `ln_gamma_ratio_excess`(x, a), of the branch it
// takes at x. On the series branch the Stirling remainder Σ_k
// B_k·[(x + a)^(1−2k) − x^(1−2k)] is returned apart (`remainder_*`), so a
// caller whose leading terms cancel in closed form adds only these.
struct GammaRatioSlopes {
  double first;
  double second;
  double remainder_first;   // 0 on the log-gamma branch
  double remainder_second;
};
inline GammaRatioSlopes ln_gamma_ratio_excess_slopes(double x, double a) {
  if (!(x >= kLnGammaRatioSeriesStart)) {
    const linalg::LnGammaSlopes hi = linalg::ln_gamma_slopes(x + a), lo = linalg::ln_gamma_slopes(x);
    return {hi.first - lo.first - a / x, hi.second - lo.second + a / (x * x), 0.0, 0.0};
  }
  const double u = a / x;
  const double l = std::log1p(u);
  double r1 = 0.0, r2 = 0.0;
  const double inv_x2 = 1.0 / (x * x);
  double power = inv_x2;  // x^(−2k)
  for (int k = 1; k <= 8; ++k) {
    const double m = static_cast<double>(1 - 2 * k);
    r1 += kStirling[k - 1] * m * power * std::expm1(m * l - l);
    r2 += kStirling[k - 1] * m * (m - 1.0) * (power / x) * std::expm1((m - 2.0) * l);
    power *= inv_x2;
  }
  // x·(ln(1 + u) − u) + (a − ½)·ln(1 + u), differentiated in x.
  const double v = 1.0 + u;
  const double first = (l - u / v) - (a - 0.5) * u / (x * v);
  const double second = -(u * u) / (x * v * v) + (a - 0.5) * a * (x + x + a) / ((x * x) * ((x + a) * (x + a)));
  return {first + r1, second + r2, r1, r2};
}

// The shape derivatives of one row's unit deviance d(y, μ) at fixed μ in
// one shape coordinate t (the search's, through the family's shape map with
// its clamps left out): what the criterion's exact gradient over the shape
// reads. The η-derivatives follow μ = g⁻¹(η).
struct ShapeSlopes {
  double deviance;  // ∂d/∂t
  double eta;       // ∂²d/∂η∂t
  double eta_eta;   // ∂³d/∂η²∂t
};

// Families whose criterion is differentiated in the shape coordinates
// exactly: per row the deviance's slopes and curvature in coordinates c, e
// (0-based among the shape coordinates), and the gradient of the
// log-density constant c(y) (`saturated_loglik`, row i counted w_i times).
template <class F>
concept HasShapeDerivatives = requires(const F& f, double x, std::size_t c, VectorView v) {
  { f.deviance_shape_slopes(x, x, c) } -> std::same_as<ShapeSlopes>;
  { f.deviance_shape_curvature(x, x, c, c) } -> std::same_as<double>;  // ∂²d/∂t_c∂t_e
  { f.saturated_shape_gradient(v, v) } -> std::same_as<Vector>;          // ∂c(y)/∂t
};
// The Hessian of c(y) in the shape coordinates, likewise.
template <class F>
concept HasSaturatedShapeCurvature = requires(const F& f, VectorView v) {
  { f.saturated_shape_hessian(v, v) } -> std::same_as<linalg::Matrix>;
};

// The shape operations of a family without shape parameters: no coordinates,
// nothing to search, no analytic gradient.
template <class Self>
struct WithoutShape {
  static Self family_from_theta(std::span<const double> /*shape*/) { return Self{}; }
  static Vector theta_from_family() { return {}; }
  static constexpr bool has_analytic_shape_grad() { return false; }
  static std::optional<Vector> analytic_shape_score_gradient(VectorView /*y*/, VectorView /*mu*/,
                                                             double /*penalized_deviance*/,
                                                             double /*count*/, double /*phi*/) {
    return std::nullopt;
  }
};

// The response domains with the messages that name them. Each holds finite
// values only: a NaN or infinite response gets the message of
// `check_finite_response` instead.
enum class ResponseDomain {
  NonNegative,   // "{} requires y ≥ 0; got y={} at row {}"
  Positive,      // "{} requires y > 0; got y={} at row {}"
  UnitInterval,  // "{} requires y in [0, 1]; got y={} at row {}"
};

// InvalidParameter for the first row (0-based) outside the domain, the slots
// holding the family's display name, the response and the row; "y must be
// finite; got y={} at row {}" when that row is NaN or infinite.
[[nodiscard]] Result<void> check_domain(VectorView y, std::string_view family_name, ResponseDomain domain);

// The median of u, that of an even count the mean of the middle two; u is
// reordered. u must not be empty.
double median_in_place(Vector& u);

// 1.4826·median_i |v_i − m| over the rows of positive weight and finite v, m
// their median: the standard deviation for normal values (1.4826 is
// 1/Φ⁻¹(3/4)), unmoved by a few outliers; 0 for no such rows.
inline constexpr double kMadToStandardDeviation = 1.482602218505602;
double scaled_mad(VectorView v, VectorView w);

// A scale of v that one outlier cannot move and that scales with v:
// `scaled_mad`, or where more than half the values coincide (MAD 0)
// 1.2533·mean|v_i − m| (also the standard deviation for normal values); 0
// for a constant v or no rows.
double robust_scale(VectorView v, VectorView w);

// Scale starts (σ², φ) are kept within this factor of the data's own (ln
// 100) either way: a start is only where the search begins, and far from
// the data every row looks an outlier (σ² small) or none does, where the
// criterion is nearly flat and its terms lose their digits.
inline constexpr double kStartLogSpread = 4.605170185988092;

// "y must be finite; got y={} at row {}": the message of a NaN or infinite
// response, whatever else the family requires of y.
[[nodiscard]] std::unexpected<KavriError> non_finite_response(double y, std::size_t row);

// "y must be finite; got y={} at row {}" at the first row holding NaN or an
// infinity: the check of the families that accept any real response.
[[nodiscard]] Result<void> check_finite_response(VectorView y);

}  // namespace kavri::family
