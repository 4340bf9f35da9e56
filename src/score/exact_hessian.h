// The plain criterion's value, gradient and exact Hessian over ρ from one
// converged inner fit, with no refit: the outer evaluation of the plain
// families' searches.
//
// With H = X'·diag(ω)·X + S_λ the Hessian of the penalized deviance at β̂
// (ω the criterion's row weights at the fitted means, observed for a
// non-canonical link), β̂ follows ρ by
//   b_j = dβ̂/dρ_j = −H⁻¹λ_jS_jβ̂,
//   b_ij = d²β̂/dρ_idρ_j = −H⁻¹(∂_iH·b_j + λ_jS_j·b_i + δ_ij·λ_jS_jβ̂),
// ∂_iH = λ_iS_i + X'·diag(ω'⊙e_i)·X with e_i = X·b_i, and ½ln|H| by
//   ∂²(½ln|H|)/∂ρ_i∂ρ_j = ½[tr(H⁻¹∂²_ijH) − tr(H⁻¹∂_iH·H⁻¹∂_jH)],
// whose diagonal-weight traces Σ_r h_r·(ω''_r·e_ir·e_jr + ω'_r·x_r'b_ij)
// come from the leverages h_r = x_r'H⁻¹x_r inside two weighted row-form
// sums. An estimated scale enters through its profile: where φ̂(ρ) makes V
// stationary in φ, d²V = ∂²V + ∂²V/∂ρ∂φ·dφ̂/dρ = ∂²V − a·a'/V_φφ with
// a_j = λ_jq_j/(2φ²).
//
// Written once over the family; a family contributes its row weights with
// their first two η-derivatives. The products read the compact form of X
// where the design has one.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "design/compact.h"
#include "design/penalty.h"
#include "family/family.h"
#include "fit/problem.h"
#include "inner/inner_fit.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "score/envelope.h"
#include "score/laplace.h"
#include "score/outer_eval.h"
#include "score/penalty_determinant.h"

namespace kavri::score {

// A row's criterion weight ω with dω/dη and d²ω/dη².
struct RowWeights {
  double weight;
  double slope;
  double curvature;
};

// The families whose criterion the exact Hessian covers: the closed form
// (constant weights) and the re-weighted families that state both
// η-derivatives of their criterion weights.
template <class F>
inline constexpr bool kHasExactHessian =
    F::inner_fit_kind() == family::InnerFitKind::ClosedForm ||
    (family::PirlsFamily<F> &&
     ((family::HasObservedWeightFactor<F> && family::HasObservedWeightCurvature<F>) ||
      (!family::HasObservedWeightFactor<F> && family::HasWorkingWeightSlope<F> &&
       family::HasWorkingWeightCurvature<F>)));

template <family::PirlsFamily F>
RowWeights criterion_row_weights(const F& f, double w, double y, double mu) {
  if constexpr (family::HasObservedWeightFactor<F>) {
    return {family::observed_weight(f, w, y, mu), f.observed_weight_slope(w, y, mu),
            f.observed_weight_curvature(w, y, mu)};
  } else {
    return {family::working_weight(f, w, mu), f.working_weight_slope(w, y, mu), f.working_weight_curvature(w, y, mu)};
  }
}

// V (bit for bit `envelope_value_from_fit`'s), ∂V/∂ρ and ∂²V/∂ρ∂ρ' (exactly
// symmetric) at ρ from `fit`, a converged inner fit of the problem at ρ.
// The guard value comes with a zero gradient and Hessian. Errors are those
// of the value.
template <family::Family F>
  requires kHasExactHessian<F>
[[nodiscard]] Result<OuterEval> exact_outer_eval_from_fit(const F& family, const fit::CriterionView& crit,
                                                          linalg::MatrixView x, linalg::VectorView rho,
                                                          const inner::InnerFit& fit,
                                                          const design::CompactDesign* compact = nullptr);

// One inner fit at ρ, then the above.
template <family::Family F>
  requires kHasExactHessian<F>
[[nodiscard]] Result<OuterEval> outer_eval_exact(const fit::FitProblem<F>& problem, const linalg::Vector& rho);

// ---- Implementation details follow ----

namespace detail {

// The curvature ∂²V/∂φ² of the criterion at its profiled φ; 0 where φ sits
// on its floor (φ̂ then does not move with ρ) or the rule has no profile.
template <family::Family F>
double profile_curvature(const F& family, const fit::CriterionView& crit, double phi) {
  constexpr family::ScaleRule rule = F::scale_rule();
  if (!(phi > crit.scale_floor)) return 0.0;
  if constexpr (rule == family::ScaleRule::Profile) {
    const double dof = common::floor_at(static_cast<double>(crit.n) - static_cast<double>(crit.null_space_dim), 1.0);
    return dof / (2.0 * phi * phi);
  } else if constexpr (rule == family::ScaleRule::ProfileNewton) {
    double slope = 0.0;
    if constexpr (kWeightedProfile<F>) {
      slope = crit.prior_weights ? family.profile_slope(phi, *crit.prior_weights, crit.null_space_dim)
                                 : family.profile_slope(phi, crit.n, crit.null_space_dim);
    } else {
      slope = family.profile_slope(phi, crit.n, crit.null_space_dim);
    }
    return -slope / (2.0 * phi * phi);
  } else {
    (void)family;
    return 0.0;
  }
}

inline double dot(const linalg::Vector& a, const linalg::Vector& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// X'·diag(v)·X and X'(s ⊙ q) (q the row forms of V) from the compact form
// when there is one.
inline linalg::Matrix weighted_cross(const design::CompactDesign* compact, linalg::MatrixView x,
                                     const linalg::Vector& v, design::CompactWorkspace& ws) {
  linalg::Matrix out;
  if (compact != nullptr) {
    design::compact_cross_products(*compact, v, std::nullopt, out, nullptr, ws);
  } else {
    out = linalg::weighted_gram(x, v);
  }
  return out;
}
inline linalg::Vector row_form_sum(const design::CompactDesign* compact, linalg::MatrixView x,
                                   const linalg::Matrix& v, const linalg::Vector& s, design::CompactWorkspace& ws) {
  if (compact != nullptr) return design::compact_weighted_row_form_sum(*compact, v, s, ws);
  return linalg::weighted_row_form_sum(x, v, s);
}
inline linalg::Vector times(const design::CompactDesign* compact, linalg::MatrixView x, const linalg::Vector& b,
                            design::CompactWorkspace& ws) {
  linalg::Vector out;
  if (compact != nullptr) {
    design::compact_linear_predictor(*compact, b, out, ws);
  } else {
    out = linalg::multiply(x, linalg::VectorView(b));
  }
  return out;
}

}  // namespace detail

template <family::Family F>
  requires kHasExactHessian<F>
Result<OuterEval> exact_outer_eval_from_fit(const F& family, const fit::CriterionView& crit, linalg::MatrixView x,
                                            linalg::VectorView rho, const inner::InnerFit& fit,
                                            const design::CompactDesign* compact) {
  const std::size_t m = crit.penalties.size();
  const std::size_t p = fit.beta.size();
  KAVRI_TRY(const ValueGrad at, envelope_value_from_fit(family, crit, x, rho, fit, compact));
  if (at.degenerate)
    return OuterEval{.value = at.value, .gradient = linalg::Vector(m, 0.0), .hessian = linalg::Matrix(m, m),
                     .degenerate = true};

  linalg::Vector lambda(m), quad(m);
  std::vector<linalg::Vector> s_beta(m);  // S_jβ̂
  double penalty = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    lambda[j] = std::exp(rho[j]);
    s_beta[j] = linalg::multiply(crit.penalties[j], linalg::VectorView(fit.beta));
    quad[j] = detail::dot(fit.beta, s_beta[j]);
    penalty += lambda[j] * quad[j];
  }
  const double phi = detail::criterion_phi(family, crit, fit.deviance + penalty);
  KAVRI_TRY(const PenaltyDeterminant r, penalty_determinant(crit.penalties, crit.penalty_ranks,
                                                            crit.penalty_log_pdets, rho));

  // H at the fitted means and its inverse; the row weights' derivatives.
  constexpr bool kClosedForm = F::inner_fit_kind() == family::InnerFitKind::ClosedForm;
  design::CompactWorkspace ws;
  linalg::Matrix h_inv;
  linalg::Vector slope, curvature;
  if constexpr (kClosedForm) {
    // Constant weights: the fit's factor is that of H itself.
    h_inv = linalg::inverse_from_cholesky(fit.factor);
  } else {
    const std::size_t n = crit.n;
    const linalg::VectorView w = family::weights_or_ones(crit.prior_weights, n);
    linalg::Vector omega(n);
    slope.resize(n);
    curvature.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const RowWeights rw = criterion_row_weights(family, w[i], crit.y[i], fit.mu[i]);
      omega[i] = rw.weight;
      slope[i] = rw.slope;
      curvature[i] = rw.curvature;
    }
    linalg::Matrix h = detail::weighted_cross(compact, x, omega, ws);
    const linalg::Matrix s_lambda = design::total_penalty(crit.penalties, rho);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) h(a, b) += s_lambda(a, b);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = a + 1; b < p; ++b) h(a, b) = h(b, a) = (h(a, b) + h(b, a)) * 0.5;
    std::optional<LaplaceHessian> solved = detail::symmetric_log_det(std::move(h), /*full=*/true);
    h_inv = solved ? std::move(solved->inverse) : linalg::inverse_from_cholesky(fit.factor);
  }

  // b_j, and per penalty ∂_jH = λ_jS_j + M_j with M_j = X'·diag(ω'⊙e_j)·X.
  std::vector<linalg::Vector> b(m), u(m);
  std::vector<linalg::Matrix> dh(m), a_mat(m);
  linalg::Vector v(p, 0.0);  // X'(ω' ⊙ h)
  if constexpr (!kClosedForm) v = detail::row_form_sum(compact, x, h_inv, slope, ws);
  for (std::size_t j = 0; j < m; ++j) {
    b[j] = linalg::multiply(h_inv, linalg::VectorView(s_beta[j]));
    for (double& e : b[j]) e *= -lambda[j];
    dh[j] = crit.penalties[j];
    for (double& e : dh[j].data) e *= lambda[j];
    u[j] = linalg::Vector(p, 0.0);
    if constexpr (!kClosedForm) {
      const linalg::Vector e = detail::times(compact, x, b[j], ws);
      linalg::Vector ew(e.size()), ec(e.size());
      for (std::size_t i = 0; i < e.size(); ++i) {
        ew[i] = slope[i] * e[i];
        ec[i] = curvature[i] * e[i];
      }
      const linalg::Matrix mj = detail::weighted_cross(compact, x, ew, ws);
      for (std::size_t k = 0; k < p * p; ++k) dh[j].data[k] += mj.data[k];
      u[j] = detail::row_form_sum(compact, x, h_inv, ec, ws);  // X'(ω'' ⊙ e_j ⊙ h)
    }
    a_mat[j] = linalg::multiply(h_inv, dh[j]);
  }

  linalg::Vector gradient(m);
  std::vector<double> trace_s(m);
  for (std::size_t j = 0; j < m; ++j) {
    trace_s[j] = linalg::trace_with_inverse(h_inv, crit.penalties[j]);
    gradient[j] = lambda[j] * quad[j] / (2.0 * phi) + 0.5 * (lambda[j] * trace_s[j] + detail::dot(v, b[j])) -
                  r.gradient[j];
  }

  const double v_phi_phi = detail::profile_curvature(family, crit, phi);
  linalg::Matrix hessian(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) {
      // b_ij = −H⁻¹(∂_iH·b_j + λ_jS_j·b_i + δ_ij·λ_jS_jβ̂).
      linalg::Vector rhs = linalg::multiply(dh[i], linalg::VectorView(b[j]));
      const linalg::Vector sj_bi = linalg::multiply(crit.penalties[j], linalg::VectorView(b[i]));
      for (std::size_t a = 0; a < p; ++a) {
        rhs[a] += lambda[j] * sj_bi[a];
        if (i == j) rhs[a] += lambda[j] * s_beta[j][a];
      }
      linalg::Vector b_ij = linalg::multiply(h_inv, linalg::VectorView(rhs));
      for (double& e : b_ij) e = -e;
      double cross = 0.0;  // tr(H⁻¹∂_iH·H⁻¹∂_jH)
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t c = 0; c < p; ++c) cross += a_mat[i](a, c) * a_mat[j](c, a);
      double value = lambda[j] * detail::dot(s_beta[j], b[i]) / phi +
                     0.5 * (detail::dot(u[i], b[j]) + detail::dot(v, b_ij) - cross) - r.hessian(i, j);
      if (i == j) value += lambda[j] * quad[j] / (2.0 * phi) + 0.5 * lambda[j] * trace_s[j];
      if (v_phi_phi > 0.0) {
        const double ai = lambda[i] * quad[i] / (2.0 * phi * phi);
        const double aj = lambda[j] * quad[j] / (2.0 * phi * phi);
        value -= ai * aj / v_phi_phi;
      }
      hessian(i, j) = value;
      hessian(j, i) = value;
    }
  return OuterEval{.value = at.value, .gradient = std::move(gradient), .hessian = std::move(hessian),
                   .degenerate = false};
}

template <family::Family F>
  requires kHasExactHessian<F>
Result<OuterEval> outer_eval_exact(const fit::FitProblem<F>& problem, const linalg::Vector& rho) {
  if (problem.counters) ++problem.counters->evaluations;
  KAVRI_TRY(const inner::InnerFit fit, inner::search_fit_at(problem, linalg::VectorView(rho)));
  return exact_outer_eval_from_fit(problem.family, problem.criterion, problem.model_matrix, linalg::VectorView(rho),
                                   fit, problem.compact);
}

}  // namespace kavri::score
