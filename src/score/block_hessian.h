// The exact outer evaluation of score/exact_hessian.h for a fit whose H is
// factored in random-effect blocks (design/re_blocks.h): the same value,
// gradient and Hessian over ρ, with every p × p product of the dense form
// replaced by its block form. H⁻¹ = Δ + Z·S⁻¹·Z' is never formed: the
// leverages, solves and traces, tr(H⁻¹S_j) and tr(H⁻¹∂_iH·H⁻¹∂_jH), come
// from the block factor, and ∂_iH = λ_iS_i + X'·diag(ω'⊙e_i)·X is kept in
// block form (its random-effect block is diagonal, as H's is). An
// evaluation costs O(n·k²) + O(m²·(k²q + k³)) instead of O(n·p²) + O(m·p³).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/block_factor.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "score/envelope.h"
#include "score/exact_hessian.h"
#include "outer/outer_eval.h"
#include "score/penalty_determinant.h"

namespace kavri::score {

// `exact_outer_eval_from_fit` in block form when the fit's factor and the
// criterion's X are and the criterion's H is the fit's own (a family whose
// criterion weights are its working weights), else the dense form, which
// forms the observed information at the means.
template <family::Family F>
  requires kHasExactHessian<F>
[[nodiscard]] Result<outer::OuterEval> outer_eval_from_fit(const F& family, const score::CriterionView& crit,
                                                    linalg::MatrixView x, linalg::VectorView rho,
                                                    const inner::InnerFit& fit,
                                                    const design::CompactDesign* compact = nullptr,
                                                    linalg::VectorPool* pool = nullptr);

// ---- Implementation details follow ----

template <family::Family F>
  requires kHasExactHessian<F>
Result<outer::OuterEval> outer_eval_from_fit(const F& family, const score::CriterionView& crit, linalg::MatrixView x,
                                      linalg::VectorView rho, const inner::InnerFit& fit,
                                      const design::CompactDesign* compact, linalg::VectorPool* pool) {
  constexpr bool kOwnHessian = family::PirlsFamily<F> && !family::HasObservedWeightFactor<F>;
  if constexpr (!kOwnHessian) {
    return exact_outer_eval_from_fit(family, crit, x, rho, fit, compact, pool);
  } else {
    if (crit.re_blocks == nullptr || !fit.block_factor)
      return exact_outer_eval_from_fit(family, crit, x, rho, fit, compact, pool);
    const design::ReBlocks& blocks = *crit.re_blocks;
    const linalg::BlockPartition& part = blocks.partition;
    const std::size_t m = crit.penalties.size();
    const std::size_t p = fit.beta.size(), n = crit.n;

    // H is the fit's own, whose ln|H| the value takes.
    const linalg::BlockFactor& hf = *fit.block_factor;
    const linalg::VectorView w = family::weights_or_ones(crit.prior_weights, n);
    linalg::Vector slope(n), curvature(n);
    for (std::size_t i = 0; i < n; ++i) {
      const RowWeights rw = criterion_row_weights(family, w[i], crit.y[i], fit.mu[i]);
      slope[i] = rw.slope;
      curvature[i] = rw.curvature;
    }
    linalg::Vector lambda(m);
    for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(rho[j]);

    KAVRI_TRY(const ValueGrad at, envelope_value_from_fit(family, crit, x, rho, fit, compact));
    if (at.degenerate)
      return outer::OuterEval{.value = at.value, .gradient = linalg::Vector(m, 0.0), .hessian = linalg::Matrix(m, m),
                       .degenerate = true};

    linalg::Vector quad(m);
    std::vector<linalg::Vector> s_beta(m);  // S_jβ̂
    double penalty = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      s_beta[j] = linalg::block_system_times(part, blocks.penalties[j], fit.beta);
      quad[j] = detail::dot(fit.beta, s_beta[j]);
      penalty += lambda[j] * quad[j];
    }
    const double phi = detail::criterion_phi(family, crit, fit.deviance + penalty);
    KAVRI_TRY(const PenaltyDeterminant r, penalty_determinant(crit.penalties, crit.penalty_ranks,
                                                              crit.penalty_log_pdets, rho));

    // The leverages h_r = x_r'H⁻¹x_r and v = X'(ω' ⊙ h).
    const linalg::Vector leverage = linalg::block_row_forms(hf, blocks.rows());
    linalg::Vector scratch(n);
    for (std::size_t i = 0; i < n; ++i) scratch[i] = slope[i] * leverage[i];
    const linalg::Vector v = design::re_transpose_times(blocks, scratch);

    // b_j and ∂_jH = λ_jS_j + X'·diag(ω'⊙e_j)·X in blocks; u_j = X'(ω''⊙e_j⊙h).
    std::vector<linalg::Vector> b(m), u(m);
    std::vector<linalg::BlockSystem> dh(m);
    for (std::size_t j = 0; j < m; ++j) {
      b[j] = linalg::block_solve(hf, s_beta[j]);
      for (double& e : b[j]) e *= -lambda[j];
      const linalg::Vector e = design::re_times(blocks, b[j]);
      for (std::size_t i = 0; i < n; ++i) scratch[i] = slope[i] * e[i];
      dh[j] = design::re_weighted_gram(blocks, scratch);
      linalg::add_scaled(dh[j], blocks.penalties[j], lambda[j]);
      for (std::size_t i = 0; i < n; ++i) scratch[i] = curvature[i] * e[i] * leverage[i];
      u[j] = design::re_transpose_times(blocks, scratch);
    }

    linalg::Vector gradient(m), trace_s(m);
    for (std::size_t j = 0; j < m; ++j) {
      trace_s[j] = linalg::block_trace_times(hf, blocks.penalties[j]);
      gradient[j] = lambda[j] * quad[j] / (2.0 * phi) + 0.5 * (lambda[j] * trace_s[j] + detail::dot(v, b[j])) -
                    r.gradient[j];
    }

    const detail::HessianTerms terms{lambda, quad, s_beta, b, u, v, trace_s, r.hessian,
                                     phi, detail::profile_curvature(family, crit, phi)};
    linalg::Matrix hessian(m, m);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = i; j < m; ++j) {
        // b_ij = −H⁻¹(∂_iH·b_j + λ_jS_j·b_i + δ_ij·λ_jS_jβ̂).
        linalg::Vector rhs = linalg::block_system_times(part, dh[i], b[j]);
        const linalg::Vector sj_bi = linalg::block_system_times(part, blocks.penalties[j], b[i]);
        for (std::size_t a = 0; a < p; ++a) {
          rhs[a] += lambda[j] * sj_bi[a];
          if (i == j) rhs[a] += lambda[j] * s_beta[j][a];
        }
        linalg::Vector b_ij = linalg::block_solve(hf, rhs);
        for (double& e : b_ij) e = -e;
        const double cross = linalg::block_trace_product(hf, dh[i], dh[j]);  // tr(H⁻¹∂_iH·H⁻¹∂_jH)
        const double value = detail::hessian_entry(terms, i, j, b_ij, cross);
        hessian(i, j) = value;
        hessian(j, i) = value;
      }
    return outer::OuterEval{.value = at.value, .gradient = std::move(gradient), .hessian = std::move(hessian),
                     .degenerate = false};
  }
}

}  // namespace kavri::score
