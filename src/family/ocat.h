// The ordered categorical family: a response in categories 1 … R falls
// into category k with probability F(c_k − η) − F(c_{k−1} − η), F the
// logistic distribution function, c_0 = −∞ < c_1 = −1 ≤ … ≤ c_R = +∞. The
// interior cut points are parametrised by the logarithms of their gaps (the
// thresholds), which the shape search estimates. Identity link; the family
// is fitted by full Newton steps from the derivatives below, not by
// re-weighted least squares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "family/family.h"
#include "family/link.h"
#include "family/shape_curvature.h"

namespace kavri::family {

// The floor of a category probability, the smallest normal double, so that
// no unit deviance exceeds −2·ln(2.2250738585072014e-308).
inline constexpr double kOcatProbabilityFloor = 2.2250738585072014e-308;

struct Ocat : IdentityLink {
  Vector thresholds;      // n_cats − 2 log gaps: thresholds[j] = ln(c_{j+2} − c_{j+1})
  std::uint64_t n_cats;   // R ≥ 3

  static constexpr std::string_view display_name() { return "Ocat"; }
  static constexpr ScaleRule scale_rule() { return ScaleRule::Fixed; }
  static constexpr InnerFitKind inner_fit_kind() { return InnerFitKind::FullNewton; }
  // "Ocat requires y to be an integer in 1..={}; got y={} at row {}" at the
  // first row whose response is not an integer in 1 … n_cats.
  [[nodiscard]] Result<void> check_response(VectorView y) const;

  // −2·ln P′, P′ the floored probability of y's category at η = `eta`.
  double unit_deviance(double y, double eta) const;
  // Σ_i w_i·(−2·ln P′_i) from 0.0 (`ocat_deviance`).
  double weighted_deviance(VectorView y, VectorView eta, VectorView w) const;
  // The criterion subtracts no saturated term for this family.
  static double saturated_loglik(VectorView /*y*/, double /*phi*/) { return 0.0; }
  // The Newton fit's weight is W = w·d2/2, so dW/dη = w·d3/2 with d3 the
  // third η-derivative of −2·ln P (floors of P and of W aside).
  double working_weight_slope(double prior_weight, double y, double eta) const;
  // d²W/dη² = w·½∂⁴d/∂η⁴ likewise.
  double working_weight_curvature(double prior_weight, double y, double eta) const;

  // Slopes in threshold c (η in place of μ): the row's probability P moves
  // with its two cut points, ∂P/∂t_c = f(b)·∂c_k/∂t_c − f(a)·∂c_{k−1}/∂t_c,
  // f the logistic density; the floor of P is not differentiated.
  ShapeSlopes deviance_shape_slopes(double y, double eta, std::size_t c) const;
  double deviance_shape_curvature(double y, double eta, std::size_t c, std::size_t e) const;
  // The same with ∂²/∂t_c∂t_e of ∂d/∂η and ∂²d/∂η², and ∂⁴d/∂η³∂t_c: the
  // cumulants of ln P from the derivatives of P, each a difference of the
  // logistic density's derivatives at the two cut points.
  ShapeCurvature deviance_shape_curvature_slopes(double y, double eta, std::size_t c, std::size_t e) const;
  double deviance_shape_eta3_slope(double y, double eta, std::size_t c) const;
  // No saturated term: zeros.
  Vector saturated_shape_gradient(VectorView y, VectorView w) const;
  linalg::Matrix saturated_shape_hessian(VectorView y, VectorView w) const;

  // The shape coordinates are the thresholds themselves. A value without
  // thresholds (n_cats = 2) keeps its own.
  Ocat family_from_theta(std::span<const double> shape) const {
    if (n_cats == 2) return Ocat{{}, thresholds, n_cats};
    return Ocat{{}, Vector(shape.begin(), shape.end()), n_cats};
  }
  Vector theta_from_family() const { return thresholds; }
  bool has_analytic_shape_grad() const { return thresholds.empty(); }
  static std::optional<Vector> analytic_shape_score_gradient(VectorView /*y*/, VectorView /*mu*/,
                                                             double /*penalized_deviance*/, double /*count*/,
                                                             double /*phi*/) {
    return std::nullopt;
  }
};
static_assert(Family<Ocat>);
static_assert(HasWorkingWeightSlope<Ocat>);
static_assert(HasShapeDerivatives<Ocat>);
static_assert(HasWorkingWeightCurvature<Ocat>);
static_assert(HasShapeHessian<Ocat>);

// Takes the thresholds; n_cats ≥ 3 and thresholds.size() = n_cats − 2 are
// the caller's to ensure.
Ocat ocat_new(Vector thresholds, std::uint64_t n_cats);
// Every gap 1: cut points −∞, −1, 0, 1, …, R − 3, +∞.
Ocat ocat_identity(std::uint64_t n_cats);

// c_0 … c_R: −∞, −1, then c_i = c_{i−1} + exp(thresholds[i − 2]), +∞.
Vector ocat_cut_points(const Ocat& family);
// y rounded half away from zero, saturated to 64 bits (NaN gives 0), then
// clamped to 1 … n_cats.
std::uint64_t ocat_category(double y, std::uint64_t n_cats);
// F(b) − F(a) with a = c_{k−1} − η, b = c_k − η, before the floor; only
// exponentials of non-positive arguments are taken where both ends are
// finite.
double ocat_category_probability(double a, double b);
// Σ_i w_i·(−2·ln P′_i) over the entries of η.
double ocat_deviance(VectorView y, const Ocat& family, VectorView eta, VectorView w);

// First and second η-derivatives of the unit deviance, without weights.
struct OcatDerivatives {
  Vector d1;
  Vector d2;
};
OcatDerivatives ocat_eta_derivatives(VectorView y, const Ocat& family, VectorView eta);

// The cut points either side of one response's category, (c_{k−1}, c_k):
// all that a row's deviance and derivatives read of y and the family value,
// so a fit that evaluates many η forms them once. The two functions below
// are the per-row steps of `ocat_deviance` and `ocat_eta_derivatives`, to
// the bit.
struct OcatBounds {
  double lower;
  double upper;
};
// −2·ln P′ at η.
double ocat_bounded_deviance(OcatBounds bounds, double eta);
struct OcatRowDerivatives {
  double d1;
  double d2;
};
OcatRowDerivatives ocat_bounded_derivatives(OcatBounds bounds, double eta);

}  // namespace kavri::family
