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
// Written once over the family, a family contributing its row weights
// with their first two η-derivatives, and once over the algebra H is held
// in: dense, H⁻¹ formed whole and the products from the compact form of X
// where the design has one, or the random-effect blocks of a fit factored
// in them (score/block_hessian.h).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "design/compact.h"
#include "design/penalty.h"
#include "family/family.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "outer/outer_eval.h"
#include "score/block_hessian.h"
#include "score/envelope.h"
#include "score/laplace.h"
#include "score/penalty_determinant.h"

namespace kavri::score {

// A row's criterion weight ω with dω/dη and d²ω/dη².
struct RowWeights {
  double weight;
  double slope;
  double curvature;
};

// The families whose criterion the exact Hessian covers: the closed form
// (constant weights), the re-weighted families and the quantile family that
// state both η-derivatives of their criterion weights.
template <class F>
inline constexpr bool kHasExactHessian =
    F::inner_fit_kind() == family::InnerFitKind::ClosedForm ||
    (family::PirlsFamily<F> &&
     ((family::HasObservedWeightFactor<F> && family::HasObservedWeightCurvature<F>) ||
      (!family::HasObservedWeightFactor<F> && family::HasWorkingWeightSlope<F> &&
       family::HasWorkingWeightCurvature<F>))) ||
    (F::inner_fit_kind() == family::InnerFitKind::BacktrackingNewton && family::HasWorkingWeightSlope<F> &&
     family::HasWorkingWeightCurvature<F>);

// The criterion's weight of a row at its fitted mean μ (the fitted η for
// the identity-link quantile family), with its η-derivatives.
template <family::Family F>
RowWeights criterion_row_weights(const F& f, double w, double y, double mu) {
  if constexpr (!family::PirlsFamily<F>) {
    return {f.working_weight(w, y, mu), f.working_weight_slope(w, y, mu), f.working_weight_curvature(w, y, mu)};
  } else if constexpr (family::HasObservedWeightFactor<F>) {
    return {family::observed_weight(f, w, y, mu), f.observed_weight_slope(w, y, mu),
            f.observed_weight_curvature(w, y, mu)};
  } else {
    return {family::working_weight(f, w, mu), f.working_weight_slope(w, y, mu), f.working_weight_curvature(w, y, mu)};
  }
}

// V (bit for bit `envelope_value_from_fit`'s), ∂V/∂ρ and ∂²V/∂ρ∂ρ' (exactly
// symmetric) at ρ from `fit`, a converged inner fit of the problem at ρ;
// in block form where the fit's factor and the criterion's X are. The
// guard value comes with a zero gradient and Hessian. Errors are those of
// the value.
template <family::Family F>
  requires kHasExactHessian<F>
[[nodiscard]] Result<outer::OuterEval> exact_outer_eval_from_fit(const F& family, const CriterionView& crit,
                                                          linalg::MatrixView x, linalg::VectorView rho,
                                                          const inner::InnerFit& fit,
                                                          const design::CompactDesign* compact = nullptr,
                                                          linalg::VectorPool* pool = nullptr);

// One inner fit at ρ, then the above; counted in `counters` when given.
template <family::Family F>
  requires kHasExactHessian<F>
[[nodiscard]] Result<outer::OuterEval> outer_eval_exact(const inner::FitProblem<F>& problem,
                                                        const CriterionView& crit, const linalg::Vector& rho,
                                                        inner::FitCounters* counters = nullptr);

// ---- Implementation details follow ----

namespace detail {

// The curvature ∂²V/∂φ² of the criterion at its profiled φ; 0 where φ sits
// on its floor (φ̂ then does not move with ρ) or the rule has no profile.
template <family::Family F>
double profile_curvature(const F& family, const CriterionView& crit, double phi) {
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

// The dense algebra of the evaluation: H⁻¹ formed whole, ∂_jH p × p, and
// the passes over the rows from the compact form of X when there is one.
class DenseHessianAlgebra {
 public:
  using Form = linalg::Matrix;
  // What the cross traces read of a ∂_jH: A_j = H⁻¹·∂_jH.
  using Prepared = linalg::Matrix;

  DenseHessianAlgebra(std::span<const linalg::Matrix> penalties, const linalg::Matrix& h_inverse,
                      linalg::MatrixView x, const design::CompactDesign* compact)
      : penalties_(penalties), h_inv_(h_inverse), x_(x), compact_(compact) {}

  bool needs_second_row_vector() const { return compact_ == nullptr; }

  linalg::Vector penalty_times(std::size_t j, const linalg::Vector& v) const {
    return linalg::multiply(penalties_[j], linalg::VectorView(v));
  }
  linalg::Vector solve(const linalg::Vector& v) const { return linalg::multiply(h_inv_, linalg::VectorView(v)); }
  Form scaled_penalty(std::size_t j, double scale) const {
    Form out = penalties_[j];
    for (double& e : out.data) e *= scale;
    return out;
  }
  static void add(Form& m, const Form& other) {
    for (std::size_t k = 0; k < m.data.size(); ++k) m.data[k] += other.data[k];
  }
  static linalg::Vector times(const Form& m, const linalg::Vector& v) {
    return linalg::multiply(m, linalg::VectorView(v));
  }
  double penalty_trace(std::size_t j) const { return linalg::trace_with_inverse(h_inv_, penalties_[j]); }

  // The leverages h_r = x_r'H⁻¹x_r into `h`, and X'·(s ⊙ h).
  linalg::Vector leverages_and_sum(linalg::Vector& s, linalg::Vector& h) {
    if (compact_ != nullptr) return design::compact_weighted_row_form_sum(*compact_, h_inv_, s, ws_, &h);
    linalg::row_quadratic_forms_into(x_, h_inv_, h);
    for (std::size_t i = 0; i < h.size(); ++i) s[i] *= h[i];
    return linalg::multiply(x_.transposed(), linalg::VectorView(s));
  }

  // X'·diag(w)·X and X'·v with (w_i, v_i) = row(i, e_i), e = X·b: in one
  // pass from the compact form, else through the n-vectors `w` and `v`.
  template <class Row>
  void cross_along(const linalg::Vector& b, Row&& row, Form& xtwx, linalg::Vector& xtv, linalg::Vector& w,
                   linalg::Vector& v) {
    if (compact_ != nullptr) {
      auto rule = [](void* context, std::size_t first, std::size_t rows, const double* e, double* wr, double* vr) {
        auto& each = *static_cast<std::remove_reference_t<Row>*>(context);
        for (std::size_t r = 0; r < rows; ++r) {
          const auto [wi, vi] = each(first + r, e[r]);
          wr[r] = wi;
          vr[r] = vi;
        }
      };
      design::compact_cross_products_along(*compact_, b, {.fn = rule, .context = &row}, xtwx, xtv, ws_);
      return;
    }
    linalg::multiply_into(x_, linalg::VectorView(b), v);
    for (std::size_t i = 0; i < v.size(); ++i) {
      const auto [wi, vi] = row(i, v[i]);
      w[i] = wi;
      v[i] = vi;
    }
    xtwx = linalg::weighted_gram(x_, w);
    xtv = linalg::multiply(x_.transposed(), linalg::VectorView(v));
  }

  Prepared prepare(const Form& m) const { return linalg::multiply(h_inv_, m); }
  // tr(A_i·A_j) = tr(H⁻¹∂_iH·H⁻¹∂_jH).
  static double cross_trace(const Prepared& ai, const Prepared& aj) {
    const std::size_t p = ai.rows;
    double s = 0.0;
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t c = 0; c < p; ++c) s += ai(a, c) * aj(c, a);
    return s;
  }

 private:
  std::span<const linalg::Matrix> penalties_;
  const linalg::Matrix& h_inv_;
  linalg::MatrixView x_;
  const design::CompactDesign* compact_;
  design::CompactWorkspace ws_;
};

// What every entry of ∂²V/∂ρ∂ρ' reads besides b_ij and the cross trace,
// whatever algebra H is held in.
struct HessianTerms {
  const linalg::Vector& lambda;               // λ_j
  const linalg::Vector& quad;                 // β̂'S_jβ̂
  const std::vector<linalg::Vector>& s_beta;  // S_jβ̂
  const std::vector<linalg::Vector>& b;       // dβ̂/dρ_j
  const std::vector<linalg::Vector>& u;       // X'(ω'' ⊙ e_j ⊙ h)
  const linalg::Vector& v;                    // X'(ω' ⊙ h)
  const std::vector<double>& trace_s;         // tr(H⁻¹S_j)
  const linalg::Matrix& penalty_hessian;      // ∂²R/∂ρ∂ρ'
  double phi;
  double v_phi_phi;  // the scale profile's curvature; 0 without one
};

// Entry (i, j) from b_ij = d²β̂/dρ_idρ_j and cross = tr(H⁻¹∂_iH·H⁻¹∂_jH).
inline double hessian_entry(const HessianTerms& t, std::size_t i, std::size_t j, const linalg::Vector& b_ij,
                            double cross) {
  double value = t.lambda[j] * dot(t.s_beta[j], t.b[i]) / t.phi +
                 0.5 * (dot(t.u[i], t.b[j]) + dot(t.v, b_ij) - cross) - t.penalty_hessian(i, j);
  if (i == j) value += t.lambda[j] * t.quad[j] / (2.0 * t.phi) + 0.5 * t.lambda[j] * t.trace_s[j];
  if (t.v_phi_phi > 0.0) {
    const double ai = t.lambda[i] * t.quad[i] / (2.0 * t.phi * t.phi);
    const double aj = t.lambda[j] * t.quad[j] / (2.0 * t.phi * t.phi);
    value -= ai * aj / t.v_phi_phi;
  }
  return value;
}

// Row i's criterion weights at the fit's means. Where the observed H could
// not be used and the value took the fit's own factor, its weights are the
// expected ones, which move with η only as far as the family states.
template <family::Family F>
RowWeights row_weights(const F& family, double w, double y, const inner::InnerFit& fit, std::size_t i,
                       bool observed) {
  if constexpr (family::PirlsFamily<F> && family::HasObservedWeightFactor<F>) {
    if (!observed) {
      const double mu = fit.mu[i];
      if constexpr (family::HasWorkingWeightSlope<F> && family::HasWorkingWeightCurvature<F>) {
        return {family::working_weight(family, w, mu), family.working_weight_slope(w, y, mu),
                family.working_weight_curvature(w, y, mu)};
      } else {
        return {family::working_weight(family, w, mu), 0.0, 0.0};
      }
    }
  }
  return criterion_row_weights(family, w, y, fit.mu[i]);
}

}  // namespace detail

namespace detail {

// dβ̂/dρ_j, the first derivatives ∂_jH in the algebra's form, v = X'(ω'⊙h)
// and u_j = X'(ω''⊙e_j⊙h): what every entry of the Hessian reads.
template <class Algebra>
struct FirstOrder {
  std::vector<linalg::Vector> s_beta;  // S_jβ̂
  std::vector<linalg::Vector> b;       // dβ̂/dρ_j
  std::vector<typename Algebra::Form> dh;
  std::vector<linalg::Vector> u;
  linalg::Vector v;
};

template <class Algebra, family::Family F>
FirstOrder<Algebra> first_order(Algebra& alg, const F& family, const CriterionView& crit,
                                const inner::InnerFit& fit, const ValueParts& parts, linalg::VectorPool* pool) {
  const std::size_t m = crit.penalties.size(), p = fit.beta.size();
  FirstOrder<Algebra> out{std::vector<linalg::Vector>(m), std::vector<linalg::Vector>(m),
                          std::vector<typename Algebra::Form>(m), std::vector<linalg::Vector>(m),
                          linalg::Vector(p, 0.0)};
  for (std::size_t j = 0; j < m; ++j) {
    out.s_beta[j] = alg.penalty_times(j, fit.beta);
    out.b[j] = alg.solve(out.s_beta[j]);
    for (double& e : out.b[j]) e *= -parts.lambda[j];
    out.dh[j] = alg.scaled_penalty(j, parts.lambda[j]);
    out.u[j] = linalg::Vector(p, 0.0);
  }
  if constexpr (F::inner_fit_kind() != family::InnerFitKind::ClosedForm) {
    // At most three n-vectors, whatever m: the leverages h_r = x_r'H⁻¹x_r,
    // read by every diagonal-weight trace, the slopes, and where the
    // algebra needs one a second row vector reused per penalty.
    const std::size_t n = crit.n;
    const linalg::VectorView w = family::weights_or_ones(crit.prior_weights, n);
    auto take = [&] { return pool != nullptr ? pool->take(n) : linalg::Vector(n); };
    linalg::Vector lev = take(), first = take(), second = alg.needs_second_row_vector() ? take() : linalg::Vector();
    auto weights_of = [&](std::size_t i) { return row_weights(family, w[i], crit.y[i], fit, i, parts.observed); };
    for (std::size_t i = 0; i < n; ++i) first[i] = weights_of(i).slope;
    out.v = alg.leverages_and_sum(first, lev);
    // ∂_jH += X'·diag(ω'⊙e_j)·X, and u_j, from e_j = X·b_j.
    auto row = [&](std::size_t i, double e) {
      const RowWeights rw = weights_of(i);
      return std::pair{rw.slope * e, rw.curvature * e * lev[i]};
    };
    typename Algebra::Form mj;
    for (std::size_t j = 0; j < m; ++j) {
      alg.cross_along(out.b[j], row, mj, out.u[j], first, second);
      alg.add(out.dh[j], mj);
    }
    if (pool != nullptr) {
      pool->give(std::move(lev));
      pool->give(std::move(first));
      pool->give(std::move(second));
    }
  } else {
    (void)family, (void)parts, (void)pool;
  }
  return out;
}

// The gradient and the Hessian from the value's parts, in either algebra.
template <class Algebra, family::Family F>
outer::OuterEval exact_eval_with(Algebra& alg, const F& family, const CriterionView& crit,
                                 const inner::InnerFit& fit, const ValueParts& parts, double value,
                                 linalg::VectorPool* pool) {
  const std::size_t m = crit.penalties.size(), p = fit.beta.size();
  const linalg::Vector& lambda = parts.lambda;
  const PenaltyDeterminant& r = parts.penalty_determinant;
  const FirstOrder<Algebra> d = first_order(alg, family, crit, fit, parts, pool);
  std::vector<typename Algebra::Prepared> prepared;
  prepared.reserve(m);
  for (std::size_t j = 0; j < m; ++j) prepared.push_back(alg.prepare(d.dh[j]));

  linalg::Vector gradient(m);
  std::vector<double> trace_s(m);
  for (std::size_t j = 0; j < m; ++j) {
    trace_s[j] = alg.penalty_trace(j);
    gradient[j] = lambda[j] * parts.quad[j] / (2.0 * parts.phi) +
                  0.5 * (lambda[j] * trace_s[j] + dot(d.v, d.b[j])) - r.gradient[j];
  }

  const HessianTerms terms{lambda, parts.quad, d.s_beta, d.b, d.u, d.v, trace_s, r.hessian,
                           parts.phi, profile_curvature(family, crit, parts.phi)};
  linalg::Matrix hessian(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) {
      // b_ij = −H⁻¹(∂_iH·b_j + λ_jS_j·b_i + δ_ij·λ_jS_jβ̂).
      linalg::Vector rhs = alg.times(d.dh[i], d.b[j]);
      const linalg::Vector sj_bi = alg.penalty_times(j, d.b[i]);
      for (std::size_t a = 0; a < p; ++a) {
        rhs[a] += lambda[j] * sj_bi[a];
        if (i == j) rhs[a] += lambda[j] * d.s_beta[j][a];
      }
      linalg::Vector b_ij = alg.solve(rhs);
      for (double& e : b_ij) e = -e;
      const double entry = hessian_entry(terms, i, j, b_ij, alg.cross_trace(prepared[i], prepared[j]));
      hessian(i, j) = entry;
      hessian(j, i) = entry;
    }
  return outer::OuterEval{.value = value, .gradient = std::move(gradient), .hessian = std::move(hessian),
                          .degenerate = false};
}

}  // namespace detail

template <family::Family F>
  requires kHasExactHessian<F>
Result<outer::OuterEval> exact_outer_eval_from_fit(const F& family, const CriterionView& crit, linalg::MatrixView x,
                                                   linalg::VectorView rho, const inner::InnerFit& fit,
                                                   const design::CompactDesign* compact, linalg::VectorPool* pool) {
  const std::size_t m = crit.penalties.size();
  detail::ValueParts parts;
  KAVRI_TRY(const ValueGrad at, detail::envelope_parts<false>(family, crit, x, rho, fit, compact, nullptr, &parts));
  if (at.degenerate)
    return outer::OuterEval{.value = at.value, .gradient = linalg::Vector(m, 0.0), .hessian = linalg::Matrix(m, m),
                            .degenerate = true};
  // The H whose ln|H| the value took: the fit's own where the criterion's
  // weights are the fit's, else the one formed at the means.
  if (fit.block_factor && crit.re_blocks != nullptr) {
    BlockHessianAlgebra alg(*crit.re_blocks, parts.h_blocks ? *parts.h_blocks : *fit.block_factor);
    return detail::exact_eval_with(alg, family, crit, fit, parts, at.value, pool);
  }
  detail::DenseHessianAlgebra alg(crit.penalties, parts.h_inverse, x, compact);
  return detail::exact_eval_with(alg, family, crit, fit, parts, at.value, pool);
}

template <family::Family F>
  requires kHasExactHessian<F>
Result<outer::OuterEval> outer_eval_exact(const inner::FitProblem<F>& problem, const CriterionView& crit,
                                          const linalg::Vector& rho, inner::FitCounters* counters) {
  if (counters) ++counters->evaluations;
  KAVRI_TRY(const inner::InnerFit fit,
            inner::search_fit_at(problem, linalg::VectorView(rho), {.counters = counters}));
  return exact_outer_eval_from_fit(problem.family, crit, problem.model_matrix, linalg::VectorView(rho), fit,
                                   problem.compact);
}

}  // namespace kavri::score
