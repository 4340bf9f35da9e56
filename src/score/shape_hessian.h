// The exact Hessian of the shape-managed families' joint criterion over
// θ = [ρ, shape coordinates] from the refit at θ alone.
//
// V = E + ½ln|H| + terms in θ only, E = P/(2φ) − c(y) − (M_p/2)·ln(2πφ),
// P = D + λβ'S_0β stationary at β̂: X'a + λS_0β̂ = 0, a = ½w·∂d/∂η. With
// g_0 = λS_0β̂ and g_c = X's_c, s_c = ½w·∂²d/∂η∂t_c, β̂ follows θ by
//   b_j = dβ̂/dθ_j = −H⁻¹g_j,
//   H·b_ij = −[X'(ω'⊙e_i⊙e_j + ∂_iω⊙e_j + ∂_jω⊙e_i + f_ij) + λS_0(δ_i0 b_j + δ_j0 b_i) + δ_i0δ_j0·λS_0β̂],
// e_j = X·b_j, ω = ½w·∂²d/∂η² the observed row weight, ∂_cω its explicit
// shape slope, f_ce = ½w·∂³d/∂η∂t_c∂t_e (ρ moves no row function). Then
//   d²E/dθ_idθ_j = ∂²E/∂θ_i∂θ_j + g_i'b_j/φ,
//   d²(½ln|H|)/dθ_idθ_j = ½[tr(H⁻¹Ḧ_ij) − tr(H⁻¹Ḣ_i·H⁻¹Ḣ_j)],
// Ḣ_j = X'diag(ω'⊙e_j + ∂_jω)X + δ_j0·λS_0, and tr(H⁻¹Ḧ_ij) = Σ_r h_r·ω̈_ij,r
// + δ_i0δ_j0·λ·tr(H⁻¹S_0) with the leverages h, where ω̈_ij = ω''e_ie_j +
// ω'·X·b_ij + ∂_iω'·e_j + ∂_jω'·e_i + ∂²_ijω. The term ω'·X·b_ij enters as
// v'b_ij = −z'(H·b_ij), v = X'(ω'⊙h), z = H⁻¹v: no b_ij is formed.
//
// Written once over the shape families with the second-order shape traits;
// H is the one whose ½ln|H| the value takes: the observed one of a
// re-weighted family, the full-Newton fit's own. A refit in random-effect
// block form keeps H in its block factor: the solves, the leverages and the
// traces, tr(H⁻¹S_0) and tr(H⁻¹Ḣ_i·H⁻¹Ḣ_j), are read from it with Ḣ_j in
// block form, and no p × p matrix is formed.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "design/re_blocks.h"
#include "family/family.h"
#include "family/shape_curvature.h"
#include "inner/inner_fit.h"
#include "linalg/block_factor.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "score/laplace.h"
#include "score/shape_problem.h"

namespace kavri::score {

// The re-weighted families whose criterion H is the observed one, and the
// full-Newton fit, whose own factor is that H.
template <class F>
inline constexpr bool kHasShapeExactHessian =
    family::HasShapeHessian<F> &&
    ((family::PirlsFamily<F> && family::HasObservedWeightFactor<F> && family::HasObservedWeightCurvature<F>) ||
     (F::inner_fit_kind() == family::InnerFitKind::FullNewton && family::HasWorkingWeightSlope<F> &&
      family::HasWorkingWeightCurvature<F>));

// ∂²V/∂θ∂θ', exactly symmetric, at θ from `fit`, the converged refit there
// with family value `family`; `hessian` is the criterion's observed H of
// that refit with its inverse, `leverage` its h_r = x_r'H⁻¹x_r. A shape
// coordinate the family's map clamps (`clamped`, entry c for coordinate c
// + 1) has a zero row and column: V is flat in it.
template <family::Family F>
  requires kHasShapeExactHessian<F>
[[nodiscard]] linalg::Matrix shape_exact_hessian(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                                 const inner::InnerFit& fit, const F& family,
                                                 const LaplaceHessian& hessian, const linalg::Vector& leverage,
                                                 const std::vector<bool>& clamped);

// ---- Implementation details follow ----

namespace detail {

// The block factor of the criterion's H of a refit in block form: the
// observed H's, or the fit's own where H is the fit's; null for a dense H,
// whose inverse the LaplaceHessian holds.
inline const linalg::BlockFactor* criterion_block_factor(const LaplaceHessian& h, const inner::InnerFit& fit) {
  if (h.block_factor) return &*h.block_factor;
  if (h.inverse.data.empty() && fit.block_factor) return &*fit.block_factor;
  return nullptr;
}

// H⁻¹v, and H⁻¹M for a p × r M.
inline linalg::Vector criterion_solve(const LaplaceHessian& h, const inner::InnerFit& fit, linalg::VectorView v) {
  if (const linalg::BlockFactor* f = criterion_block_factor(h, fit)) return linalg::block_solve(*f, v);
  return linalg::multiply(h.inverse, v);
}
inline linalg::Matrix criterion_solve(const LaplaceHessian& h, const inner::InnerFit& fit, const linalg::Matrix& m) {
  if (const linalg::BlockFactor* f = criterion_block_factor(h, fit)) return linalg::block_solve(*f, m.view());
  return linalg::multiply(h.inverse, m);
}

// The leverages x_r'H⁻¹x_r; `blocks` is the refit's block form (null for a
// dense fit).
inline linalg::Vector criterion_leverages(const LaplaceHessian& h, const inner::InnerFit& fit,
                                          const design::ReBlocks* blocks, linalg::MatrixView x) {
  if (const linalg::BlockFactor* f = criterion_block_factor(h, fit)) {
    if (blocks != nullptr) return linalg::block_row_forms(*f, blocks->rows());
    return linalg::block_row_forms(*f, x);
  }
  return linalg::row_quadratic_forms(x, h.inverse);
}

// tr(H⁻¹S_0), S_0 dense and, for a block fit, also in `blocks`.
inline double criterion_penalty_trace(const LaplaceHessian& h, const inner::InnerFit& fit,
                                      const design::ReBlocks* blocks, const linalg::Matrix& s0) {
  if (const linalg::BlockFactor* f = criterion_block_factor(h, fit)) {
    if (blocks != nullptr) return linalg::block_trace_times(*f, blocks->penalties[0]);
    return linalg::block_trace_times(*f, s0.view());
  }
  return linalg::trace_with_inverse(h.inverse, s0);
}

// What the rows give: per shape coordinate c (columns of the n × k
// matrices) s_c, ∂_cω, ∂_cω' and w·∂d/∂t_c, and ω', ω''.
struct ShapeRowPieces {
  linalg::Matrix s, dw, dw1, dev;
  linalg::Vector w1, w2;
};

template <family::Family F>
ShapeRowPieces shape_row_pieces(const F& family, linalg::VectorView y, linalg::VectorView w,
                                const inner::InnerFit& fit, std::size_t k) {
  const std::size_t n = fit.n;
  ShapeRowPieces out{linalg::Matrix(n, k), linalg::Matrix(n, k), linalg::Matrix(n, k), linalg::Matrix(n, k),
                     linalg::Vector(n, 0.0), linalg::Vector(n, 0.0)};
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] == 0.0) continue;
    const double mu = fit.mu[i];
    if constexpr (family::PirlsFamily<F>) {
      out.w1[i] = family.observed_weight_slope(w[i], y[i], mu);
      out.w2[i] = family.observed_weight_curvature(w[i], y[i], mu);
    } else {
      out.w1[i] = family.working_weight_slope(w[i], y[i], mu);
      out.w2[i] = family.working_weight_curvature(w[i], y[i], mu);
    }
    const double half = 0.5 * w[i];
    for (std::size_t c = 0; c < k; ++c) {
      const family::ShapeSlopes sl = family.deviance_shape_slopes(y[i], mu, c);
      out.s(i, c) = half * sl.eta;
      out.dev(i, c) = w[i] * sl.deviance;
      out.dw(i, c) = half * sl.eta_eta;
      out.dw1(i, c) = half * family.deviance_shape_eta3_slope(y[i], mu, c);
    }
  }
  return out;
}

// The row sums of entry (i, j) ≥ (0, 0) that read the pair's own row
// functions: Σ_r h_r·ω̈ (without ω'·X·b_ij), Σ_r ζ_r·(ω'e_ie_j + ∂_iω·e_j +
// ∂_jω·e_i + f_ij), and for a shape pair Σ w·∂²d/∂t_c∂t_e; per coordinate
// Σ w·∂d/∂t_c.
struct ShapePairSums {
  linalg::Matrix lev, zeta, deviance;
  linalg::Vector deviance_slope;
};

template <family::Family F>
ShapePairSums shape_pair_sums(const F& family, linalg::VectorView y, linalg::VectorView w,
                              const inner::InnerFit& fit, const ShapeRowPieces& rows, const linalg::Matrix& e,
                              const linalg::Vector& h, const linalg::Vector& zeta) {
  const std::size_t n = fit.n, m = e.cols, k = m - 1;
  ShapePairSums out{linalg::Matrix(m, m), linalg::Matrix(m, m), linalg::Matrix(m, m), linalg::Vector(m, 0.0)};
  // Coordinate 0 (ρ) moves no row function.
  auto of = [](const linalg::Matrix& a, std::size_t i, std::size_t j) { return j == 0 ? 0.0 : a(i, j - 1); };
  for (std::size_t r = 0; r < n; ++r) {
    if (w[r] == 0.0) continue;
    const double mu = fit.mu[r];
    for (std::size_t c = 0; c < k; ++c) out.deviance_slope[c + 1] += rows.dev(r, c);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = i; j < m; ++j) {
        const double ei = e(r, i), ej = e(r, j);
        double curv = 0.0, mixed = 0.0;
        if (i > 0) {
          const family::ShapeCurvature sc = family.deviance_shape_curvature_slopes(y[r], mu, i - 1, j - 1);
          curv = 0.5 * w[r] * sc.eta_eta;
          mixed = 0.5 * w[r] * sc.eta;
          out.deviance(i, j) += w[r] * sc.deviance;
        }
        out.lev(i, j) += h[r] * (rows.w2[r] * ei * ej + of(rows.dw1, r, i) * ej + of(rows.dw1, r, j) * ei + curv);
        out.zeta(i, j) +=
            zeta[r] * (rows.w1[r] * ei * ej + of(rows.dw, r, i) * ej + of(rows.dw, r, j) * ei + mixed);
      }
  }
  return out;
}

// Ḣ_j's row weights ω'⊙e_j + ∂_jω.
inline void slope_weights(const ShapeRowPieces& rows, const linalg::Matrix& e, std::size_t j, linalg::Vector& dwj) {
  for (std::size_t r = 0; r < e.rows; ++r) dwj[r] = rows.w1[r] * e(r, j) + (j == 0 ? 0.0 : rows.dw(r, j - 1));
}

// tr(H⁻¹Ḣ_i·H⁻¹Ḣ_j) for every pair (the upper triangle is filled),
// Ḣ_j = X'diag(ω'⊙e_j + ∂_jω)X + δ_j0·λS_0: densely from A_j = H⁻¹Ḣ_j.
inline linalg::Matrix slope_cross_traces(linalg::MatrixView x, const linalg::Matrix& hinv, const linalg::Matrix& s0,
                                         double lambda, const ShapeRowPieces& rows, const linalg::Matrix& e) {
  const std::size_t n = x.rows, p = x.cols, m = e.cols;
  std::vector<linalg::Matrix> a(m);
  linalg::Vector dwj(n);
  for (std::size_t j = 0; j < m; ++j) {
    slope_weights(rows, e, j, dwj);
    linalg::Matrix dh = linalg::weighted_gram(x, dwj);
    if (j == 0)
      for (std::size_t c = 0; c < p * p; ++c) dh.data[c] += lambda * s0.data[c];
    a[j] = linalg::multiply(hinv, dh);
  }
  linalg::Matrix out(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) {
      double cross = 0.0;
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = 0; c < p; ++c) cross += a[i](r, c) * a[j](c, r);
      out(i, j) = cross;
    }
  return out;
}

// The same with H in its block factor and each Ḣ_j in block form.
inline linalg::Matrix slope_cross_traces(const design::ReBlocks& blocks, const linalg::BlockFactor& factor,
                                         double lambda, const ShapeRowPieces& rows, const linalg::Matrix& e) {
  const std::size_t m = e.cols;
  std::vector<linalg::BlockSystem> dh(m);
  linalg::Vector dwj(e.rows);
  for (std::size_t j = 0; j < m; ++j) {
    slope_weights(rows, e, j, dwj);
    dh[j] = design::re_weighted_gram(blocks, dwj);
    if (j == 0) linalg::add_scaled(dh[j], blocks.penalties[0], lambda);
  }
  linalg::Matrix out(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) out(i, j) = linalg::block_trace_product(factor, dh[i], dh[j]);
  return out;
}

inline double dot_of(linalg::VectorView a, linalg::VectorView b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size; ++i) s += a[i] * b[i];
  return s;
}

// Column j of a row-major matrix as a vector.
inline linalg::Vector column_of(const linalg::Matrix& a, std::size_t j) {
  linalg::Vector out(a.rows);
  for (std::size_t r = 0; r < a.rows; ++r) out[r] = a(r, j);
  return out;
}

}  // namespace detail

template <family::Family F>
  requires kHasShapeExactHessian<F>
linalg::Matrix shape_exact_hessian(const ShapeProblem<F>& problem, linalg::VectorView theta,
                                   const inner::InnerFit& fit, const F& family, const LaplaceHessian& hessian,
                                   const linalg::Vector& leverage, const std::vector<bool>& clamped) {
  const inner::FitProblem<F>& fp = problem.fit;
  const std::size_t n = fit.n, p = fit.p, m = theta.size, k = m - 1;
  const linalg::MatrixView x = fp.model_matrix;
  const linalg::VectorView w = family::weights_or_ones(fp.prior_weights, n);
  const design::ReBlocks* blocks = fp.re_blocks;
  const linalg::Matrix& s0 = problem.criterion.penalties[0];
  const double lambda = std::exp(theta[0]);
  double phi = 1.0;
  if constexpr (F::scale_rule() == family::ScaleRule::ShapeParameter) phi = family.scale();

  const detail::ShapeRowPieces rows = detail::shape_row_pieces(family, fp.y, w, fit, k);
  // g_j as the columns of G (p × m), b_j of B = −H⁻¹G, e_j of E = X·B.
  const linalg::Vector s_beta = linalg::multiply(s0, linalg::VectorView(fit.beta));
  const linalg::Matrix xs = linalg::multiply(x.transposed(), rows.s);
  linalg::Matrix g(p, m);
  for (std::size_t a = 0; a < p; ++a) {
    g(a, 0) = lambda * s_beta[a];
    for (std::size_t c = 0; c < k; ++c) g(a, c + 1) = xs(a, c);
  }
  linalg::Matrix b = detail::criterion_solve(hessian, fit, g);
  for (double& v : b.data) v = -v;
  const linalg::Matrix e = linalg::multiply(x, b);
  // ζ = X·H⁻¹·X'(ω'⊙h).
  linalg::Vector wh(n);
  for (std::size_t r = 0; r < n; ++r) wh[r] = rows.w1[r] * leverage[r];
  const linalg::Vector z = detail::criterion_solve(
      hessian, fit, linalg::VectorView(linalg::multiply(x.transposed(), linalg::VectorView(wh))));
  const linalg::Vector zeta = linalg::multiply(x, linalg::VectorView(z));
  const detail::ShapePairSums sums = detail::shape_pair_sums(family, fp.y, w, fit, rows, e, leverage, zeta);

  const linalg::BlockFactor* factor = detail::criterion_block_factor(hessian, fit);
  const linalg::Matrix cross = factor != nullptr && blocks != nullptr
                                   ? detail::slope_cross_traces(*blocks, *factor, lambda, rows, e)
                                   : detail::slope_cross_traces(x, hessian.inverse, s0, lambda, rows, e);
  const double q = linalg::quadratic_form(s0, linalg::VectorView(fit.beta));
  const double trace_s = detail::criterion_penalty_trace(hessian, fit, blocks, s0);
  const linalg::Matrix sat = family.saturated_shape_hessian(fp.y, w);
  // λ·z'S_0·b_j, and λ·z'S_0β̂.
  const linalg::Vector zs = linalg::multiply(s0, linalg::VectorView(z));
  linalg::Vector z_s_b(m, 0.0);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t a = 0; a < p; ++a) z_s_b[j] += lambda * zs[a] * b(a, j);
  const double z_s_beta = lambda * detail::dot_of(linalg::VectorView(z), linalg::VectorView(s_beta));

  std::size_t scale_c = m;  // the index in θ of ln φ, or none
  if constexpr (family::HasScaleCoordinate<F>) scale_c = F::scale_coordinate() + 1;
  linalg::Matrix out(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) {
      // ∂²E/∂θ_i∂θ_j at fixed β.
      double explicit_part = 0.0;
      if (i == 0) {
        if (j == 0) explicit_part = lambda * q / (2.0 * phi);
        if (j == scale_c) explicit_part = -lambda * q / (2.0 * phi);
      } else {
        explicit_part = sums.deviance(i, j) / (2.0 * phi) - sat(i - 1, j - 1);
        if (i == scale_c && j == scale_c) explicit_part += (lambda * q + fit.deviance) / (2.0 * phi);
        if ((i == scale_c) != (j == scale_c)) explicit_part -= sums.deviance_slope[i == scale_c ? j : i] / (2.0 * phi);
      }
      double gb = 0.0;
      for (std::size_t a = 0; a < p; ++a) gb += g(a, i) * b(a, j);
      // v'b_ij = −z'(H·b_ij).
      double vb = -sums.zeta(i, j);
      if (i == 0) vb -= z_s_b[j];
      if (j == 0) vb -= z_s_b[i];
      if (i == 0 && j == 0) vb -= z_s_beta;
      double half_log_det = sums.lev(i, j) + vb - cross(i, j);
      if (i == 0 && j == 0) half_log_det += lambda * trace_s;
      double value = explicit_part + gb / phi + 0.5 * half_log_det;
      if ((i > 0 && clamped[i - 1]) || (j > 0 && clamped[j - 1])) value = 0.0;
      out(i, j) = value;
      out(j, i) = value;
    }
  return out;
}

}  // namespace kavri::score
