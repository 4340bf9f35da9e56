// The joint criterion of the shape-managed families over the search vector
// θ = [ρ, shape coordinates]: a complete refit at θ, the criterion value V
// of that refit, V with its gradient over θ, and the outer evaluation that
// adds the Hessian.
//
// V is the plain criterion of one penalty with the family value built from
// θ: scale 1 for families with the `Fixed` rule, the φ of the family value
// for the `ShapeParameter` rule. The ρ entry is the plain criterion's
// (envelope terms and the weight slope of ½ln|H|). A shape entry comes
// from the refit at θ alone: the shape slopes of the penalized deviance and
// of c(y) at β̂ (the penalized deviance is stationary in β, so β̂'s move
// does not enter them; the family's analytic shape gradient where it has
// one), completed by the change of ½ln|H| with the shape, directly and
// through η̂: dβ̂/dθ_c = −H⁻¹X'·(½w·∂²d/∂η∂θ_c), read through the
// leverages. The reference form of a shape entry, kept for tests, is the
// central difference of V between two complete refits.
//
// The Hessian of the re-weighted families with second-order shape traits
// comes from the same refit (score/shape_hessian.h); the others, and any
// refit whose criterion H fell back to the fit's own factor, take central
// differences of exact gradients, which stay as the reference.
//
// Written once over the family. Every refit borrows X, y, the weights and
// the penalties of the problem and builds only its family value and S_λ.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "family/family.h"
#include "inner/fit_at.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "outer/outer_eval.h"
#include "score/envelope.h"
#include "score/laplace.h"
#include "score/shape_hessian.h"
#include "score/shape_problem.h"

namespace kavri::score {

// Step of a shape difference on each side; the divisor is the constant 2h.
inline constexpr double kShapeDifferenceStep = 1e-5;

// How the shape entries of a gradient are formed.
enum class ShapeGradientRule {
  Exact,                // gradient and Hessian from the refit at θ alone (implicit β̂(θ), leverages)
  GradientDifferences,  // the exact gradient; the Hessian from differences of exact gradients: a reference
  RefitDifferences,     // (V(θ_c + h) − V(θ_c − h))/2h between complete refits: the reference
};

// One refit at θ: its inner fit and the family value it was fitted with.
template <family::Family F>
struct RefitOutcome {
  inner::InnerFit fit;
  F family;
};

// What a gradient with the coefficients held at a base refit reads of that
// refit. Besides the envelope pieces it holds the base's changes of ½ln|H|
// (through the working weights) per unit λ along ρ and along each shape
// coordinate, so that at the base point the frozen gradient is the full one.
struct FrozenFitStats {
  double penalty_quad = 0.0;       // q = β'S_0β
  double trace_hinv_s0 = 0.0;      // tr(H⁻¹S_0)
  double residual_count = 0.0;     // n − M_p
  double deviance = 0.0;           // D
  double weight_shift = 0.0;       // ∂ln|H|/∂ρ through W(η̂), divided by λ
  // Per shape coordinate at fixed ρ (entry 0 unused): ½∂ln|H|/∂θ_c for a
  // family with an analytic shape gradient, which adds its own entries; the
  // whole ∂V/∂θ_c for the others.
  linalg::Vector shape_terms;
};

// Families whose shape gradient is never analytic, known at build time:
// the frozen-coefficient gradient does not exist for them.
template <class F>
concept ShapeGradientNeverAnalytic = requires { typename std::bool_constant<F::has_analytic_shape_grad()>; } &&
                                     (!std::bool_constant<F::has_analytic_shape_grad()>::value);

// The family value of θ (its entries from 1 on).
template <family::Family F>
F family_at(const F& start, linalg::VectorView theta) {
  return start.family_from_theta(std::span<const double>(theta.data + 1, theta.size - 1));
}

// The inner fit of the problem with the family value of θ, at ρ = θ_0,
// run by `inner_fit` (FitProblem<F>, VectorView ρ, optional WarmStart →
// Result<InnerFit>). Its error is the outcome, unchanged; its convergence
// flag is not read. A re-weighted fit starts from the coefficients of
// `start` when given (a refit at a neighbouring θ); its deviance there is
// formed anew, since the family value differs.
template <family::Family F, class InnerFitFn>
[[nodiscard]] Result<RefitOutcome<F>> shape_refit_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                                       InnerFitFn&& inner_fit, const inner::InnerFit* start = nullptr);

// The refit by the family's own inner fit, counted in `counters` when given.
template <family::Family F>
[[nodiscard]] Result<RefitOutcome<F>> shape_refit(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                                  inner::FitCounters* counters = nullptr);

// V = (λq + D)/(2φ) + ½ln|H| − (M_p/2)·ln(2πφ) − ½(r_0ρ + ℓ_0) − c(y)
// of a refit with family value `family` at ρ, H the Hessian of the
// penalized deviance at the refit (`refit_hessian`) and c(y) counting each
// row as many times as its prior weight. Never fails; non-finite pieces
// pass through.
template <family::Family F>
[[nodiscard]] double shape_laml_value(const ShapeProblem<F>& problem, const inner::InnerFit& fit, const F& family,
                                      double rho);

// V alone: the refit at θ and its value, bit for bit the value that
// `shape_outer_eval` gives at θ. A line search judges its trials by it;
// counted in `counters` when given.
template <family::Family F>
[[nodiscard]] Result<double> shape_value(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                         inner::FitCounters* counters = nullptr);

// V and ∂V/∂θ from refits run by `inner_fit`: the refit at θ, and by the
// reference rule for each shape coordinate without an analytic entry its
// + side and its − side. The first refit error is the result and no later
// refit runs.
template <family::Family F, class InnerFitFn>
[[nodiscard]] Result<ValueGrad> shape_value_grad_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                                      InnerFitFn&& inner_fit,
                                                      ShapeGradientRule rule = ShapeGradientRule::Exact);

template <family::Family F>
[[nodiscard]] Result<ValueGrad> shape_value_grad(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                                 inner::FitCounters* counters = nullptr);

// Steps of the Hessian columns: a column from refitted gradients moves its
// coordinate by 1e-4, so that the differences of gradients that are
// themselves differences of refits (step 1e-5) stay above their rounding;
// a column from the frozen gradient (the shape columns of an analytic
// family: no refit, no inner-fit noise) moves it by 1e-5.
inline constexpr double kRefitColumnStep = 1e-4;
inline constexpr double kFrozenColumnStep = 1e-5;

// V, ∂V/∂θ and the Hessian. By the exact rule, for a family with the
// second-order shape traits whose refit took the observed H, the exact
// Hessian of the refit at θ: one refit. Otherwise a symmetrised Hessian of
// central differences of gradients, column by column in increasing order,
// + side before − side: from `shape_value_grad` at θ ± 1e-4 (the exact
// gradient, or by the reference rule refit differences), or for the shape
// columns of a family with an analytic shape gradient from
// `eval_grad_frozen_beta` at θ ± 1e-5 about the base refit: 1 + 2k refits
// with exact gradients (1 + 2 with an analytic shape gradient). The first
// refit error is the result.
template <family::Family F, class InnerFitFn>
[[nodiscard]] Result<outer::OuterEval> shape_outer_eval_with(const ShapeProblem<F>& problem,
                                                             const linalg::Vector& theta, InnerFitFn&& inner_fit,
                                                             ShapeGradientRule rule = ShapeGradientRule::Exact);

// The evaluation by the family's own inner fit, counted in `counters` when
// given.
template <family::Family F>
[[nodiscard]] Result<outer::OuterEval> shape_outer_eval(const ShapeProblem<F>& problem,
                                                        const linalg::Vector& theta,
                                                        inner::FitCounters* counters = nullptr);

// One outer search's trials and evaluations by the family's own inner fit,
// counted in `counters` as `shape_value` and `shape_outer_eval` count them. The
// evaluation at the point valued last takes that trial's refit as its base
// refit: both start from the family's start on the same problem, so it is
// the refit the evaluation would make.
template <family::Family F>
class ShapeSearch {
 public:
  explicit ShapeSearch(const ShapeProblem<F>& problem, inner::FitCounters* counters = nullptr)
      : problem_(problem), counters_(counters) {}
  ShapeSearch(const ShapeSearch&) = delete;
  ShapeSearch& operator=(const ShapeSearch&) = delete;

  [[nodiscard]] Result<double> value_at(const linalg::Vector& theta);
  [[nodiscard]] Result<outer::OuterEval> evaluate(const linalg::Vector& theta);

 private:
  const ShapeProblem<F>& problem_;
  inner::FitCounters* counters_;
  linalg::Vector valued_theta_;
  std::optional<RefitOutcome<F>> valued_;
};

// The statistics of a refit at θ that `eval_grad_frozen_beta` holds; the
// shape slopes of ½ln|H| only when `shape_slopes` (a family whose shape
// entries are refit differences needs none).
template <family::Family F>
[[nodiscard]] FrozenFitStats frozen_fit_stats(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                              const RefitOutcome<F>& base, bool shape_slopes = true);
// The same from the refit's criterion Hessian, already formed with its
// inverse and weight slopes.
template <family::Family F>
[[nodiscard]] FrozenFitStats frozen_fit_stats(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                              const RefitOutcome<F>& base, const LaplaceHessian& hessian,
                                              bool shape_slopes = true);

// The criterion's Hessian of a refit at ρ (score/laplace.h).
template <family::Family F>
[[nodiscard]] LaplaceHessian refit_hessian(const ShapeProblem<F>& problem, const inner::InnerFit& fit,
                                           const F& family, double rho, bool full);

// ∂V/∂θ with β, μ and the statistics of a base refit held and the family
// value (φ, p) and λ taken from θ; no inner fit. The bound rule of the
// shape coordinates applies. InvalidParameter for a family value without an
// analytic shape gradient.
template <family::Family F>
  requires(!ShapeGradientNeverAnalytic<F>)
[[nodiscard]] Result<linalg::Vector> eval_grad_frozen_beta(const ShapeProblem<F>& problem,
                                                           linalg::VectorView theta, linalg::VectorView mu,
                                                           const FrozenFitStats& stats);

// ---- Implementation details follow ----

namespace detail {

// Where `family_from_theta` holds a coordinate at a bound, V is flat in
// it; the entry is the derivative at the bound when it points back into the
// open range, else 0. A zero entry on the whole clamped range would make
// every clamped point stationary, so a step that lands there could never be
// undone. `clamped` = theta_from_family of the family value of θ.
void apply_shape_clamps(linalg::VectorView theta, const linalg::Vector& clamped, linalg::Vector& gradient);

// The shape entries of V: at β̂ with ½ln|H| held, Σ_i w_i·∂d_i/∂θ_c/(2φ) −
// ∂c(y)/∂θ_c (scale 1: the families without an analytic shape gradient;
// `with_envelope` false leaves them out), and the change of ½ln|H|. H =
// X'·diag(ω)·X + S_λ with ω = ½w·∂²d/∂η² changes with the shape directly
// (½w·∂³d/∂η²∂θ_c) and through η̂ = Xβ̂, dβ̂/dθ_c = −H⁻¹X'·(½w·∂²d/∂η∂θ_c),
// H the Hessian of the penalized deviance; tr(H⁻¹·X'·diag(v)·X) = Σ_i
// h_i·v_i with the leverages h. Entry 0 (ρ) is left 0.
template <family::Family F>
  requires family::HasShapeDerivatives<F>
linalg::Vector shape_entries(const F& family, std::size_t coords, const inner::FitProblem<F>& fp,
                             const inner::InnerFit& fit, const LaplaceHessian& hessian, const linalg::Vector& leverage,
                             bool with_envelope) {
  const std::size_t n = fit.n, p = fit.p;
  const linalg::MatrixView x = fp.model_matrix;
  const linalg::VectorView w = family::weights_or_ones(fp.prior_weights, n);
  const linalg::VectorView y = fp.y;
  linalg::Vector entries(coords + 1, 0.0), dw(n), rhs(p);
  const linalg::Vector saturated = with_envelope ? family.saturated_shape_gradient(y, w) : linalg::Vector{};
  for (std::size_t c = 1; c <= coords; ++c) {
    for (std::size_t a = 0; a < p; ++a) rhs[a] = 0.0;
    double slope = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (w[i] == 0.0) {
        dw[i] = 0.0;
        continue;
      }
      const family::ShapeSlopes s = family.deviance_shape_slopes(y[i], fit.mu[i], c - 1);
      slope += w[i] * s.deviance;
      dw[i] = 0.5 * w[i] * s.eta_eta;
      const double ds = -0.5 * w[i] * s.eta;
      for (std::size_t a = 0; a < p; ++a) rhs[a] += x(i, a) * ds;
    }
    const linalg::Vector deta = linalg::multiply(x, criterion_solve(hessian, fit, linalg::VectorView(rhs)));
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += leverage[i] * (dw[i] + hessian.weight_slope[i] * deta[i]);
    entries[c] = 0.5 * total;
    if (with_envelope) entries[c] += slope / 2.0 - saturated[c - 1];
  }
  return entries;
}

// `frozen_fit_stats` with the refit's leverages when given (else formed).
template <family::Family F>
FrozenFitStats frozen_fit_stats_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                     const RefitOutcome<F>& base, const LaplaceHessian& hessian,
                                     const linalg::Vector* given_leverage, bool shape_slopes);

// The re-weighted families: their ρ entry is formed from the refit's own
// statistics.
template <class F>
inline constexpr bool kReweighted = family::PirlsFamily<F>;

// The family's analytic shape entries (weighted where the family takes
// weights), or nothing.
template <family::Family F>
std::optional<linalg::Vector> analytic_shape_entries(const F& family, const inner::FitProblem<F>& fp,
                                                     linalg::VectorView mu, double penalized, double count,
                                                     double phi) {
  if constexpr (family::HasWeightedShapeGradient<F>) {
    const linalg::VectorView w = family::weights_or_ones(fp.prior_weights, fp.y.size);
    return family.analytic_shape_score_gradient(fp.y, mu, w, penalized, count, phi);
  } else {
    return family.analytic_shape_score_gradient(fp.y, mu, penalized, count, phi);
  }
}

template <family::Family F>
double criterion_scale(const F& family) {
  if constexpr (F::scale_rule() == family::ScaleRule::ShapeParameter) {
    return family.scale();
  } else {
    return 1.0;
  }
}

// ∂V/∂ρ from a refit's statistics: λq/(2φ) + ½λ·tr(H⁻¹S_0) − r_0/2 plus
// the change of ½ln|H| through the working weights.
inline double rho_entry(const FrozenFitStats& stats, double lambda, double phi, std::uint64_t rank) {
  return lambda * stats.penalty_quad / (2.0 * phi) + 0.5 * lambda * stats.trace_hinv_s0 -
         0.5 * static_cast<double>(rank) + 0.5 * lambda * stats.weight_shift;
}

}  // namespace detail

namespace detail {

// The family's own inner fit of a refit, counted in `counters` when given.
template <family::Family F>
auto own_inner_fit(inner::FitCounters* counters) {
  return [counters](const inner::FitProblem<F>& fp, linalg::VectorView rho,
                    const std::optional<inner::WarmStart>& warm) {
    return inner::fit_at(fp, rho, {.warm = warm, .counters = counters});
  };
}

}  // namespace detail

template <family::Family F, class InnerFitFn>
Result<RefitOutcome<F>> shape_refit_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                         InnerFitFn&& inner_fit, const inner::InnerFit* start) {
  inner::FitProblem<F> refit = problem.fit;  // views: nothing is copied but the family value
  refit.family = family_at(problem.fit.family, theta);
  std::optional<inner::WarmStart> warm;
  if constexpr (inner::kWarmStartable<F>) {
    if (start != nullptr) warm = inner::WarmStart{.beta = linalg::VectorView(start->beta), .eta = linalg::VectorView(start->eta)};
  }
  KAVRI_TRY(inner::InnerFit fit, inner_fit(refit, linalg::VectorView(theta.data, 1), warm));
  return RefitOutcome<F>{.fit = std::move(fit), .family = std::move(refit.family)};
}

template <family::Family F>
Result<RefitOutcome<F>> shape_refit(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                    inner::FitCounters* counters) {
  return shape_refit_with(problem, theta, detail::own_inner_fit<F>(counters));
}

template <family::Family F>
LaplaceHessian refit_hessian(const ShapeProblem<F>& problem, const inner::InnerFit& fit, const F& family,
                             double rho, bool full) {
  const inner::FitProblem<F>& fp = problem.fit;
  const double lambda = std::exp(rho);
  const linalg::VectorView w = family::weights_or_ones(fp.prior_weights, fit.n);
  if (fp.re_blocks != nullptr && fit.block_factor) {
    const linalg::BlockSystem s_lambda = design::block_total_penalty(*fp.re_blocks, linalg::VectorView(&rho, 1));
    return laplace_hessian_in_blocks(family, *fp.re_blocks, fp.y, w, s_lambda, fit, full);
  }
  linalg::Matrix s_lambda = problem.criterion.penalties[0];
  for (double& v : s_lambda.data) v *= lambda;
  return laplace_hessian(family, LaplaceInputs{fp.model_matrix, fp.compact, fp.y, w, s_lambda}, fit, full);
}

namespace detail {

// c(y) with the prior weights where the family counts them as replicates.
template <family::Family F>
double shape_saturated_loglik(const F& family, const CriterionView& crit, double phi) {
  if constexpr (requires(linalg::VectorView w) { family.saturated_loglik(crit.y, w, phi); }) {
    if (crit.prior_weights) return family.saturated_loglik(crit.y, *crit.prior_weights, phi);
  }
  return family.saturated_loglik(crit.y, phi);
}

template <family::Family F>
double shape_laml_value_with(const ShapeProblem<F>& problem, const inner::InnerFit& fit, const F& family,
                             double rho, double log_det) {
  const CriterionView& crit = problem.criterion;
  const double lambda = std::exp(rho);
  const double q = linalg::quadratic_form(crit.penalties[0], fit.beta);
  const double phi = detail::criterion_scale(family);
  const double m_p = static_cast<double>(crit.null_space_dim);
  const double r = 0.5 * (static_cast<double>(crit.penalty_ranks[0]) * rho + crit.penalty_log_pdets[0]);
  const double saturated = shape_saturated_loglik(family, crit, phi);
  return (lambda * q + fit.deviance) / (2.0 * phi) + 0.5 * log_det - (m_p / 2.0) * std::log(family::kTwoPi * phi) -
         r - saturated;
}

}  // namespace detail

template <family::Family F>
double shape_laml_value(const ShapeProblem<F>& problem, const inner::InnerFit& fit, const F& family,
                        double rho) {
  const LaplaceHessian h = refit_hessian(problem, fit, family, rho, /*full=*/false);
  return detail::shape_laml_value_with(problem, fit, family, rho, h.log_det);
}

namespace detail {

// V and ∂V/∂θ from the refit at θ, already run; the shape differences of
// the reference rule run their refits with `inner_fit`. `frozen` receives
// the base statistics of an analytic family.
// `given` and `leverage`, when given, are the refit's criterion H (full)
// and its leverages, already formed.
template <family::Family F, class InnerFitFn>
Result<ValueGrad> value_grad_from(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                  const RefitOutcome<F>& base, InnerFitFn&& inner_fit, ShapeGradientRule rule,
                                  std::optional<FrozenFitStats>* frozen, const LaplaceHessian* given = nullptr,
                                  const linalg::Vector* leverage = nullptr) {
  const inner::FitProblem<F>& fp = problem.fit;
  const inner::InnerFit& fit = base.fit;
  const double rho = theta[0];
  std::optional<LaplaceHessian> own;
  const LaplaceHessian& hessian =
      given != nullptr ? *given : own.emplace(refit_hessian(problem, fit, base.family, rho, /*full=*/true));
  const double value = shape_laml_value_with(problem, fit, base.family, rho, hessian.log_det);
  if constexpr (!ShapeGradientNeverAnalytic<F>) {
    // Every entry from the refit's own statistics: the frozen gradient at
    // its base point is this gradient, to the bit.
    if (base.family.has_analytic_shape_grad()) {
      FrozenFitStats stats = frozen_fit_stats_with(problem, theta, base, hessian, leverage, true);
      KAVRI_TRY(linalg::Vector g, eval_grad_frozen_beta(problem, theta, fit.mu, stats));
      if (frozen) *frozen = std::move(stats);
      return ValueGrad{.value = value, .gradient = std::move(g), .degenerate = false};
    }
  }
  linalg::Vector gradient(theta.size, 0.0);
  const bool exact = rule != ShapeGradientRule::RefitDifferences && family::HasShapeDerivatives<F> && theta.size > 1;
  std::optional<FrozenFitStats> stats;
  if constexpr (kReweighted<F> && family::HasWorkingWeightSlope<F>) {
    stats = frozen_fit_stats_with(problem, theta, base, hessian, leverage, /*shape_slopes=*/exact);
    gradient[0] = rho_entry(*stats, std::exp(rho), criterion_scale(base.family), problem.criterion.penalty_ranks[0]);
  } else {
    // The ρ entry of the plain criterion, with the family value of θ.
    KAVRI_TRY(const ValueGrad plain,
              envelope_from_fit(base.family, problem.criterion, fp.model_matrix,
                                linalg::VectorView(theta.data, 1), fit));
    gradient[0] = plain.gradient[0];
    if (exact) stats = frozen_fit_stats_with(problem, theta, base, hessian, leverage, /*shape_slopes=*/true);
  }
  if constexpr (family::HasShapeDerivatives<F>) {
    if (exact) {
      for (std::size_t c = 1; c < theta.size; ++c) gradient[c] = stats->shape_terms[c];
      return ValueGrad{.value = value, .gradient = std::move(gradient), .degenerate = false};
    }
  }

  const double divisor = kShapeDifferenceStep + kShapeDifferenceStep;
  linalg::Vector shifted = theta.to_vector();
  for (std::size_t c = 1; c < theta.size; ++c) {
    shifted[c] = theta[c] + kShapeDifferenceStep;
    KAVRI_TRY(const RefitOutcome<F> up, shape_refit_with(problem, linalg::VectorView(shifted), inner_fit));
    const double v_up = shape_laml_value(problem, up.fit, up.family, rho);
    shifted[c] = theta[c] - kShapeDifferenceStep;
    KAVRI_TRY(const RefitOutcome<F> down, shape_refit_with(problem, linalg::VectorView(shifted), inner_fit));
    const double v_down = shape_laml_value(problem, down.fit, down.family, rho);
    shifted[c] = theta[c];
    gradient[c] = (v_up - v_down) / divisor;
  }
  return ValueGrad{.value = value, .gradient = std::move(gradient), .degenerate = false};
}

}  // namespace detail

template <family::Family F, class InnerFitFn>
Result<ValueGrad> shape_value_grad_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                        InnerFitFn&& inner_fit, ShapeGradientRule rule) {
  KAVRI_TRY(const RefitOutcome<F> base, shape_refit_with(problem, theta, inner_fit));
  return detail::value_grad_from(problem, theta, base, inner_fit, rule, nullptr);
}

namespace detail {

// The evaluation about the refit at θ, already run.
// The shape coordinates of θ that the family value of θ holds at a bound
// of its map (as `apply_shape_clamps` tells them).
std::vector<bool> clamped_coordinates(linalg::VectorView theta, const linalg::Vector& held);

// The exact evaluation from the refit alone, or nothing where a
// re-weighted refit's criterion H is not the observed one (its fallback
// has no shape derivatives).
template <family::Family F>
std::optional<Result<outer::OuterEval>> exact_outer_eval_from(const ShapeProblem<F>& problem,
                                                              const linalg::Vector& theta, const RefitOutcome<F>& base) {
  if constexpr (kHasShapeExactHessian<F>) {
    const LaplaceHessian hessian = refit_hessian(problem, base.fit, base.family, theta[0], /*full=*/true);
    if (family::PirlsFamily<F> && !hessian.observed) return std::nullopt;
    const linalg::Vector leverage =
        criterion_leverages(hessian, base.fit, problem.fit.re_blocks, problem.fit.model_matrix);
    auto no_refit = [](const inner::FitProblem<F>&, linalg::VectorView,
                       const std::optional<inner::WarmStart>&) -> Result<inner::InnerFit> {
      return invalid_parameter("no refit");  // never called: the exact gradient refits nothing
    };
    std::optional<FrozenFitStats> frozen;
    Result<ValueGrad> at = value_grad_from(problem, linalg::VectorView(theta), base, no_refit,
                                           ShapeGradientRule::Exact, &frozen, &hessian, &leverage);
    if (!at) return Result<outer::OuterEval>(std::unexpected(std::move(at.error())));
    linalg::Matrix h =
        shape_exact_hessian(problem, linalg::VectorView(theta), base.fit, base.family, hessian, leverage,
                            clamped_coordinates(linalg::VectorView(theta), base.family.theta_from_family()));
    return Result<outer::OuterEval>(outer::OuterEval{
        .value = at->value, .gradient = std::move(at->gradient), .hessian = std::move(h), .degenerate = false});
  } else {
    (void)problem;
    (void)theta;
    (void)base;
    return std::nullopt;
  }
}

template <family::Family F, class InnerFitFn>
Result<outer::OuterEval> outer_eval_from(const ShapeProblem<F>& problem, const linalg::Vector& theta,
                                         const RefitOutcome<F>& base, InnerFitFn&& inner_fit, ShapeGradientRule rule) {
  if (rule == ShapeGradientRule::Exact && theta.size() > 1) {
    std::optional<Result<outer::OuterEval>> exact = exact_outer_eval_from(problem, theta, base);
    if (exact) return std::move(*exact);
  }
  std::optional<FrozenFitStats> frozen;
  KAVRI_TRY(ValueGrad at, detail::value_grad_from(problem, theta, base, inner_fit, rule, &frozen));
  // By the exact rule a column's refits start from the base refit: they
  // move one coordinate by 1e-4, so a re-weighted fit needs a step or two.
  const inner::InnerFit* start = rule != ShapeGradientRule::RefitDifferences ? &base.fit : nullptr;
  auto side_gradient = [&](const linalg::Vector& at) -> Result<linalg::Vector> {
    KAVRI_TRY(const RefitOutcome<F> side, shape_refit_with(problem, linalg::VectorView(at), inner_fit, start));
    KAVRI_TRY(ValueGrad vg, detail::value_grad_from(problem, linalg::VectorView(at), side, inner_fit, rule, nullptr));
    return std::move(vg.gradient);
  };
  const std::size_t k = theta.size();
  linalg::Matrix h(k, k);
  linalg::Vector plus = theta, minus = theta;
  for (std::size_t u = 0; u < k; ++u) {
    const bool frozen_column = u > 0 && frozen.has_value();
    const double step = frozen_column ? kFrozenColumnStep : kRefitColumnStep;
    plus[u] = theta[u] + step;
    minus[u] = theta[u] - step;
    linalg::Vector up, down;
    if (frozen_column) {
      if constexpr (!ShapeGradientNeverAnalytic<F>) {
        KAVRI_TRY(up, eval_grad_frozen_beta(problem, plus, base.fit.mu, *frozen));
        KAVRI_TRY(down, eval_grad_frozen_beta(problem, minus, base.fit.mu, *frozen));
      }
    } else {
      KAVRI_TRY(up, side_gradient(plus));
      KAVRI_TRY(down, side_gradient(minus));
    }
    plus[u] = theta[u];
    minus[u] = theta[u];
    for (std::size_t i = 0; i < k; ++i) h(i, u) = (up[i] - down[i]) / (step + step);
  }
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) h(i, j) = h(j, i) = (h(i, j) + h(j, i)) * 0.5;
  return outer::OuterEval{.value = at.value, .gradient = std::move(at.gradient), .hessian = std::move(h), .degenerate = false};
}

template <family::Family F>
Result<outer::OuterEval> own_fit_outer_eval_from(const ShapeProblem<F>& problem, const linalg::Vector& theta,
                                                 const RefitOutcome<F>& base, inner::FitCounters* counters) {
  return outer_eval_from(problem, theta, base, own_inner_fit<F>(counters), ShapeGradientRule::Exact);
}

}  // namespace detail

template <family::Family F, class InnerFitFn>
Result<outer::OuterEval> shape_outer_eval_with(const ShapeProblem<F>& problem, const linalg::Vector& theta,
                                               InnerFitFn&& inner_fit, ShapeGradientRule rule) {
  KAVRI_TRY(const RefitOutcome<F> base, shape_refit_with(problem, theta, inner_fit));
  return detail::outer_eval_from(problem, theta, base, inner_fit, rule);
}

template <family::Family F>
Result<outer::OuterEval> shape_outer_eval(const ShapeProblem<F>& problem, const linalg::Vector& theta,
                                          inner::FitCounters* counters) {
  if (counters) ++counters->evaluations;
  return shape_outer_eval_with(problem, theta, detail::own_inner_fit<F>(counters));
}

template <family::Family F>
Result<double> shape_value(const ShapeProblem<F>& problem, linalg::VectorView theta,
                           inner::FitCounters* counters) {
  if (counters) ++counters->values;
  KAVRI_TRY(const RefitOutcome<F> base, shape_refit(problem, theta, counters));
  return shape_laml_value(problem, base.fit, base.family, theta[0]);
}

template <family::Family F>
Result<double> ShapeSearch<F>::value_at(const linalg::Vector& theta) {
  if (counters_) ++counters_->values;
  valued_.reset();
  KAVRI_TRY(RefitOutcome<F> base, shape_refit(problem_, linalg::VectorView(theta), counters_));
  const double value = shape_laml_value(problem_, base.fit, base.family, theta[0]);
  valued_theta_ = theta;
  valued_.emplace(std::move(base));
  return value;
}

template <family::Family F>
Result<outer::OuterEval> ShapeSearch<F>::evaluate(const linalg::Vector& theta) {
  if (counters_) ++counters_->evaluations;
  std::optional<RefitOutcome<F>> base;
  if (valued_ && valued_theta_ == theta) base = std::move(valued_);
  valued_.reset();
  if (!base) {
    KAVRI_TRY(RefitOutcome<F> fresh, shape_refit(problem_, linalg::VectorView(theta), counters_));
    base.emplace(std::move(fresh));
  }
  return detail::own_fit_outer_eval_from(problem_, theta, *base, counters_);
}

template <family::Family F>
Result<ValueGrad> shape_value_grad(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                   inner::FitCounters* counters) {
  return shape_value_grad_with(problem, theta, detail::own_inner_fit<F>(counters));
}

template <family::Family F>
FrozenFitStats frozen_fit_stats(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                const RefitOutcome<F>& base, const LaplaceHessian& hessian, bool shape_slopes) {
  return detail::frozen_fit_stats_with(problem, theta, base, hessian, nullptr, shape_slopes);
}

namespace detail {

template <family::Family F>
FrozenFitStats frozen_fit_stats_with(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                     const RefitOutcome<F>& base, const LaplaceHessian& hessian,
                                     const linalg::Vector* given_leverage, bool shape_slopes) {
  const inner::FitProblem<F>& fp = problem.fit;
  const inner::InnerFit& fit = base.fit;
  const linalg::Matrix& s0 = problem.criterion.penalties[0];
  FrozenFitStats stats{.penalty_quad = linalg::quadratic_form(s0, fit.beta),
                       .trace_hinv_s0 = criterion_penalty_trace(hessian, fit, fp.re_blocks, s0),
                       .residual_count =
                           static_cast<double>(fit.n) - static_cast<double>(problem.criterion.null_space_dim),
                       .deviance = fit.deviance,
                       .weight_shift = 0.0,
                       .shape_terms = linalg::Vector(theta.size, 0.0)};
  if (hessian.weight_slope.empty()) return stats;
  // ∂ln|H|/∂ρ through the weights: Σ_i ω'_i·h_i·(dη_i/dρ), dβ̂/dρ =
  // −λ·H⁻¹S_0β with H the Hessian of the penalized deviance.
  const std::size_t n = fit.n, p = fit.p;
  const linalg::MatrixView x = fp.model_matrix;
  std::optional<linalg::Vector> own;
  const linalg::Vector& leverage =
      given_leverage != nullptr ? *given_leverage : own.emplace(criterion_leverages(hessian, fit, fp.re_blocks, x));
  linalg::Vector s_beta(p, 0.0);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) s_beta[a] -= s0(a, b) * fit.beta[b];
  const linalg::Vector deta = linalg::multiply(x, criterion_solve(hessian, fit, linalg::VectorView(s_beta)));
  double shift = 0.0;
  for (std::size_t i = 0; i < n; ++i) shift += hessian.weight_slope[i] * leverage[i] * deta[i];
  stats.weight_shift = shift;
  if constexpr (family::HasShapeDerivatives<F>) {
    // A family without an analytic shape gradient takes its whole shape
    // entries from here; the analytic one adds the ½ln|H| part to its own.
    if (shape_slopes && theta.size > 1)
      stats.shape_terms = detail::shape_entries(base.family, theta.size - 1, fp, fit, hessian, leverage,
                                                /*with_envelope=*/!base.family.has_analytic_shape_grad());
  }
  return stats;
}

}  // namespace detail

template <family::Family F>
FrozenFitStats frozen_fit_stats(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                const RefitOutcome<F>& base, bool shape_slopes) {
  const LaplaceHessian hessian = refit_hessian(problem, base.fit, base.family, theta[0], /*full=*/true);
  return frozen_fit_stats(problem, theta, base, hessian, shape_slopes);
}

template <family::Family F>
  requires(!ShapeGradientNeverAnalytic<F>)
Result<linalg::Vector> eval_grad_frozen_beta(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                             linalg::VectorView mu, const FrozenFitStats& stats) {
  const inner::FitProblem<F>& fp = problem.fit;
  const F family = family_at(fp.family, theta);
  if (!family.has_analytic_shape_grad())
    return invalid_parameter(
        "eval_grad_frozen_beta called for a family without analytic_shape_score_gradient — gate this with "
        "has_analytic_shape_grad in the caller.");
  const double lambda = std::exp(theta[0]);
  const double phi = detail::criterion_scale(family);
  linalg::Vector gradient(theta.size, 0.0);
  gradient[0] = detail::rho_entry(stats, lambda, phi, problem.criterion.penalty_ranks[0]);
  const std::optional<linalg::Vector> s = detail::analytic_shape_entries(
      family, fp, mu, lambda * stats.penalty_quad + stats.deviance, stats.residual_count, phi);
  if (s)
    for (std::size_t c = 0; c < s->size() && c + 1 < gradient.size(); ++c)
      gradient[c + 1] = (*s)[c] + stats.shape_terms[c + 1];
  detail::apply_shape_clamps(theta, family.theta_from_family(), gradient);
  return gradient;
}

}  // namespace kavri::score
