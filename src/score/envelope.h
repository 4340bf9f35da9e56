// The outer criterion of the plain families: V(ρ), the Laplace-approximate
// negative log restricted marginal likelihood of the log smoothing
// parameters ρ, with its gradient. The penalized deviance is differentiated
// in envelope form (β̂ is its optimum, so dβ̂/dρ drops out), but ½ln|H|
// is not stationary in β: where the working weights move with η, H moves
// with β̂(ρ), and the gradient follows it through dη/dρ = X·dβ̂/dρ. Without
// that term the search would stop where the envelope gradient vanishes,
// not where V is smallest. H is the Hessian of the penalized deviance at
// β̂: for a non-canonical link the observed information (score/laplace.h),
// not the inner fit's weights.
//
// Written once over the family: a family contributes its inner fit, its
// scale rule and its saturated log-likelihood c(y); the design's share comes
// from the fit's `CriterionView`. One call runs one complete inner fit
// from the family's start; nothing is kept between calls. Laplace approximation as in Wood (2011), JRSS B 73(1), section 2.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "design/compact.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/fit_at.h"
#include "inner/fit_factor.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "linalg/vector_pool.h"
#include "score/criterion_view.h"
#include "score/laplace.h"
#include "score/penalty_determinant.h"

namespace kavri::score {

// The value of a fit the estimated-scale criterion cannot use (no residual
// deviance, or no residual degrees of freedom): large and finite, so the
// search compares it like any value and moves away from it.
inline constexpr double kGuardValue = 1e12;

struct ValueGrad {
  double value = 0.0;       // V
  linalg::Vector gradient;  // ∂V/∂ρ_j, one per penalty
  bool degenerate = false;  // the guard value: never an optimum
};

// V and ∂V/∂ρ at ρ from a completed inner fit of `family`. `criterion`
// supplies penalties, ranks, log pseudo-determinants, y, n and M_p; `x` is
// read by the observed-information Hessian and the gradient's weight-slope
// term, and `compact`, the same X in compact form, replaces it there when
// given; that term's n-vector comes from `pool` when given. The only error
// is that of `penalty_determinant`.
template <family::Family F>
[[nodiscard]] Result<ValueGrad> envelope_from_fit(const F& family, const CriterionView& criterion,
                                                  linalg::MatrixView x, linalg::VectorView rho,
                                                  const inner::InnerFit& fit,
                                                  const design::CompactDesign* compact = nullptr,
                                                  linalg::VectorPool* pool = nullptr);

// V alone, bit for bit the value of `envelope_from_fit`, with the gradient
// left empty: it skips the gradient's pass over the data.
template <family::Family F>
[[nodiscard]] Result<ValueGrad> envelope_value_from_fit(const F& family, const CriterionView& criterion,
                                                        linalg::MatrixView x, linalg::VectorView rho,
                                                        const inner::InnerFit& fit,
                                                        const design::CompactDesign* compact = nullptr);

// One inner fit at ρ, then `envelope_from_fit`; an inner-fit error is
// returned unchanged.
template <family::Family F>
[[nodiscard]] Result<ValueGrad> envelope_score(const inner::FitProblem<F>& problem, const CriterionView& criterion,
                                               linalg::VectorView rho);

// ---- Implementation details follow ----

namespace detail {

// A family whose c(y; φ) and scale profile read the prior weights says so
// by taking them; the others' weights shift V by a constant in ρ and φ.
template <class F>
inline constexpr bool kWeightedProfile = requires(const F& f, linalg::VectorView w, double x) {
  f.profile_newton_scale(x, w, std::uint64_t{0}, x);
  f.saturated_loglik(w, w, x);
};

// The criterion's φ of a fit with penalized deviance D + P, by the
// family's scale rule.
template <family::Family F>
double criterion_phi(const F& family, const CriterionView& crit, double penalized) {
  constexpr family::ScaleRule rule = F::scale_rule();
  if constexpr (rule == family::ScaleRule::Profile) {
    return family::profile_scale(penalized, crit.n, crit.null_space_dim, crit.scale_floor);
  } else if constexpr (rule == family::ScaleRule::ProfileNewton) {
    if constexpr (kWeightedProfile<F>) {
      if (crit.prior_weights)
        return family.profile_newton_scale(penalized, *crit.prior_weights, crit.null_space_dim, crit.scale_floor);
    }
    return family.profile_newton_scale(penalized, crit.n, crit.null_space_dim, crit.scale_floor);
  } else if constexpr (rule == family::ScaleRule::ShapeParameter) {
    return family.scale();
  } else {
    return 1.0;
  }
}

// The guard of the estimated-scale rules, each test false on NaN operands.
inline bool degenerate_fit(double deviance, double penalized_deviance, double edf, double n, double m_p) {
  return deviance <= 0.0 || penalized_deviance <= 0.0 || edf >= n || n - m_p <= 0.0;
}

// ∂V/∂ρ_j where the value takes ½ln|H| of H = X'·diag(ω)·X + S_λ with
// weights ω that move with η: λ_j·q_j/(2φ) + ½·λ_j·tr(H⁻¹S_j) − ∂R/∂ρ_j +
// ½·s_j, where s_j = Σ_i ω'_i·h_i·(dη_i/dρ_j) differentiates the weights
// along dβ/dρ_j = −H⁻¹λ_jS_jβ, with ω'_i = dω_i/dη_i and h_i = x_i'H⁻¹x_i.
// Each penalty gets its own trace and shift from v = X'(ω'⊙h), so one pass
// over X serves all. H is the PIRLS Hessian (ω the working weights) or the
// inverse Gaussian's observed-information Hessian (ω its observed weights).
void weight_slope_gradient(std::span<const linalg::Matrix> penalties, const linalg::Vector& lambda,
                           const linalg::Vector& quad, double phi, const linalg::Vector& beta,
                           const linalg::Vector& dr, const linalg::Matrix& h_inv, const linalg::Vector& v,
                           linalg::Vector& gradient);
// The same from H's block factor: H⁻¹S_jβ by a solve, the traces from the
// blocks.
void weight_slope_gradient(const design::ReBlocks& blocks, const linalg::Vector& lambda,
                           const linalg::Vector& quad, double phi, const linalg::Vector& beta,
                           const linalg::Vector& dr, const linalg::BlockFactor& factor, const linalg::Vector& v,
                           linalg::Vector& gradient);

// What a value-only call leaves to a caller that goes on to differentiate
// it: the H whose ln|H| the value took, and the pieces of V.
struct ValueParts {
  linalg::Matrix h_inverse;  // H⁻¹, p × p, of a fit whose H is dense
  // Of a fit in block form: the observed H, where the value took it; else
  // H is the fit's own `block_factor`.
  std::optional<linalg::BlockFactor> h_blocks;
  linalg::Vector lambda;  // exp(ρ_j)
  linalg::Vector quad;    // β̂'S_jβ̂
  double phi = 1.0;
  PenaltyDeterminant penalty_determinant;
  bool observed = false;  // H is the observed-information Hessian
};

// What V reads of the penalties at the fit: λ_j, q_j = β̂'S_jβ̂ and
// t_j = tr(H⁻¹S_j) with the fit's own H, with P = Σ λ_jq_j and
// T = Σ λ_jt_j; the dense H⁻¹ they were taken with, which the gradient
// reads again.
struct PenaltyTerms {
  linalg::Vector lambda, quad, trace;
  double penalty = 0.0;      // P
  double edf_shrink = 0.0;   // T
  linalg::Matrix h_inverse;  // the fit's H⁻¹; empty for a fit in block form
};

// `blocks`: the criterion's X in block form, where the fit's factor is too.
inline PenaltyTerms penalty_terms(const CriterionView& crit, const design::ReBlocks* blocks, linalg::VectorView rho,
                                  const inner::InnerFit& fit) {
  const std::size_t m = crit.penalties.size();
  PenaltyTerms t{linalg::Vector(m), linalg::Vector(m), linalg::Vector(m), 0.0, 0.0, {}};
  for (std::size_t j = 0; j < m; ++j) t.lambda[j] = std::exp(rho[j]);
  if (!fit.block_factor) t.h_inverse = linalg::inverse_from_cholesky(fit.factor);
  for (std::size_t j = 0; j < m; ++j) {
    if (blocks != nullptr) {
      const linalg::BlockSystem& s = blocks->penalties[j];
      t.quad[j] = linalg::block_quadratic_form(blocks->partition, s, fit.beta);
      t.trace[j] = linalg::block_trace_times(*fit.block_factor, s);
    } else {
      t.quad[j] = linalg::quadratic_form(crit.penalties[j], fit.beta);
      t.trace[j] = inner::fit_trace(fit, &t.h_inverse, crit.penalties[j]);
    }
    t.penalty += t.lambda[j] * t.quad[j];
    t.edf_shrink += t.lambda[j] * t.trace[j];
  }
  return t;
}

// The H of ½ln|H|: the observed-information Hessian at the fitted means
// where the link is not canonical, else the fit's own. `full` asks for
// what the gradient reads besides ln|H|.
template <family::Family F>
LaplaceHessian criterion_hessian(const F& family, const CriterionView& crit, const design::ReBlocks* blocks,
                                 linalg::MatrixView x, linalg::VectorView rho, const inner::InnerFit& fit,
                                 const design::CompactDesign* compact, bool full) {
  if constexpr (family::PirlsFamily<F> && family::HasObservedWeightFactor<F>) {
    const linalg::VectorView w = family::weights_or_ones(crit.prior_weights, crit.n);
    if (blocks != nullptr)
      return laplace_hessian_in_blocks(family, *blocks, crit.y, w, design::block_total_penalty(*blocks, rho), fit,
                                       full);
    const linalg::Matrix s_lambda = design::total_penalty(crit.penalties, rho);
    return laplace_hessian(family, LaplaceInputs{x, compact, crit.y, w, s_lambda}, fit, full);
  } else {
    (void)crit, (void)blocks, (void)x, (void)rho, (void)compact, (void)full;
    return LaplaceHessian{.log_det = inner::fit_log_det(fit), .inverse = {}, .weight_slope = {}, .observed = false};
  }
}

// c(y) at φ, with the prior weights where the family's c(y) reads them.
template <family::Family F>
double saturated_loglik(const F& family, const CriterionView& crit, double phi) {
  if constexpr (kWeightedProfile<F>) {
    if (crit.prior_weights) return family.saturated_loglik(crit.y, *crit.prior_weights, phi);
  }
  if (F::scale_rule() == family::ScaleRule::Fixed && crit.fixed_saturated_loglik) return *crit.fixed_saturated_loglik;
  return family.saturated_loglik(crit.y, phi);
}

// The gradient's weight-slope term: v = X'(ω'⊙h) with the leverages
// h_r = x_r'H⁻¹x_r of the H whose ln|H| the value took, then
// `weight_slope_gradient` over `gradient`. `slope` holds ω' and may be
// overwritten.
inline void add_weight_slope_terms(const CriterionView& crit, const design::ReBlocks* blocks, linalg::MatrixView x,
                                   const design::CompactDesign* compact, const PenaltyTerms& t, double phi,
                                   const linalg::Vector& beta, const linalg::Vector& dr, const LaplaceHessian& hessian,
                                   const inner::InnerFit& fit, linalg::Vector& slope, linalg::Vector& gradient) {
  if (blocks != nullptr) {
    const linalg::BlockFactor& f = hessian.block_factor ? *hessian.block_factor : *fit.block_factor;
    const linalg::Vector lev = linalg::block_row_forms(f, blocks->rows());
    for (std::size_t i = 0; i < slope.size(); ++i) slope[i] *= lev[i];
    const linalg::Vector v = design::re_transpose_times(*blocks, slope);
    weight_slope_gradient(*blocks, t.lambda, t.quad, phi, beta, dr, f, v, gradient);
    return;
  }
  // A fit in blocks read through a dense X (no block form in the view).
  const linalg::Matrix own = hessian.observed || !fit.block_factor ? linalg::Matrix() : inner::fit_inverse(fit);
  const linalg::Matrix& h_inv = hessian.observed ? hessian.inverse : fit.block_factor ? own : t.h_inverse;
  linalg::Vector v;
  if (compact != nullptr) {
    design::CompactWorkspace ws;
    v = design::compact_weighted_row_form_sum(*compact, h_inv, slope, ws);
  } else {
    v = linalg::weighted_row_form_sum(x, h_inv, slope);
  }
  weight_slope_gradient(crit.penalties, t.lambda, t.quad, phi, beta, dr, h_inv, v, gradient);
}

template <bool kWithGradient, family::Family F>
Result<ValueGrad> envelope_parts(const F& family, const CriterionView& crit, linalg::MatrixView x,
                                 linalg::VectorView rho, const inner::InnerFit& fit,
                                 const design::CompactDesign* compact, linalg::VectorPool* pool,
                                 ValueParts* keep = nullptr) {
  const std::size_t m = crit.penalties.size();
  const double n = static_cast<double>(crit.n);
  const double m_p = static_cast<double>(crit.null_space_dim);
  const design::ReBlocks* const blocks = fit.block_factor ? crit.re_blocks : nullptr;

  PenaltyTerms t = penalty_terms(crit, blocks, rho, fit);
  LaplaceHessian hessian =
      criterion_hessian(family, crit, blocks, x, rho, fit, compact, kWithGradient || keep != nullptr);

  const double deviance = fit.deviance;
  const double penalized = deviance + t.penalty;
  constexpr family::ScaleRule rule = F::scale_rule();
  if constexpr (rule == family::ScaleRule::Profile || rule == family::ScaleRule::ProfileNewton) {
    if (degenerate_fit(deviance, penalized, static_cast<double>(fit.p) - t.edf_shrink, n, m_p))
      return ValueGrad{.value = kGuardValue, .gradient = linalg::Vector(m, 0.0), .degenerate = true};
  }

  KAVRI_TRY(const PenaltyDeterminant r,
            crit.penalty_groups != nullptr
                ? penalty_determinant(*crit.penalty_groups, crit.penalties, crit.penalty_ranks,
                                      crit.penalty_log_pdets, rho)
                : penalty_determinant(crit.penalties, crit.penalty_ranks, crit.penalty_log_pdets, rho));
  const double phi = criterion_phi(family, crit, penalized);
  const double value = penalized / (2.0 * phi) + 0.5 * hessian.log_det -
                       (m_p / 2.0) * std::log(family::kTwoPi * phi) - r.value - saturated_loglik(family, crit, phi);
  if constexpr (!kWithGradient) {
    if (keep != nullptr) {
      keep->h_inverse = hessian.observed ? std::move(hessian.inverse)
                        : blocks != nullptr ? linalg::Matrix()
                        : fit.block_factor  ? inner::fit_inverse(fit)
                                            : std::move(t.h_inverse);
      keep->h_blocks = std::move(hessian.block_factor);
      keep->lambda = std::move(t.lambda);
      keep->quad = std::move(t.quad);
      keep->phi = phi;
      keep->penalty_determinant = std::move(r);
      keep->observed = hessian.observed;
    }
    return ValueGrad{.value = value, .gradient = {}, .degenerate = false};
  }

  linalg::Vector gradient(m);
  for (std::size_t j = 0; j < m; ++j)
    gradient[j] = t.lambda[j] * t.quad[j] / (2.0 * phi) + 0.5 * t.lambda[j] * t.trace[j] - r.gradient[j];
  if (hessian.observed) {
    // Every entry anew from the observed H: its traces and dβ̂/dρ.
    add_weight_slope_terms(crit, blocks, x, compact, t, phi, fit.beta, r.gradient, hessian, fit,
                           hessian.weight_slope, gradient);
  } else if constexpr (family::HasWorkingWeightSlope<F>) {
    const std::size_t rows = crit.n;
    const linalg::VectorView w = family::weights_or_ones(crit.prior_weights, rows);
    linalg::Vector slope = pool != nullptr ? pool->take(rows) : linalg::Vector(rows);
    for (std::size_t i = 0; i < rows; ++i) slope[i] = family.working_weight_slope(w[i], crit.y[i], fit.mu[i]);
    add_weight_slope_terms(crit, blocks, x, compact, t, phi, fit.beta, r.gradient, hessian, fit, slope, gradient);
    if (pool != nullptr) pool->give(std::move(slope));
  }
  return ValueGrad{.value = value, .gradient = std::move(gradient), .degenerate = false};
}

}  // namespace detail

template <family::Family F>
Result<ValueGrad> envelope_from_fit(const F& family, const CriterionView& crit, linalg::MatrixView x,
                                    linalg::VectorView rho, const inner::InnerFit& fit,
                                    const design::CompactDesign* compact, linalg::VectorPool* pool) {
  return detail::envelope_parts<true>(family, crit, x, rho, fit, compact, pool);
}

template <family::Family F>
Result<ValueGrad> envelope_value_from_fit(const F& family, const CriterionView& crit, linalg::MatrixView x,
                                          linalg::VectorView rho, const inner::InnerFit& fit,
                                          const design::CompactDesign* compact) {
  return detail::envelope_parts<false>(family, crit, x, rho, fit, compact, nullptr);
}

template <family::Family F>
Result<ValueGrad> envelope_score(const inner::FitProblem<F>& problem, const CriterionView& criterion,
                                 linalg::VectorView rho) {
  KAVRI_TRY(const inner::InnerFit fit, inner::search_fit_at(problem, rho));
  return envelope_from_fit(problem.family, criterion, problem.model_matrix, rho, fit, problem.compact);
}

}  // namespace kavri::score
