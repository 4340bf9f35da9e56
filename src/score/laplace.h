// The Hessian of the penalized deviance at β̂ that the criterion's ½ln|H|
// reads: the Laplace approximation integrates over β around β̂, so H must
// be the curvature there, X'·diag(ω)·X + S_λ with ω = ½·∂²d/∂η² (the
// observed information), not the iteration weight of the inner fit. For a
// canonical link the two coincide and the fit's own factor serves; for the
// others (`family::HasObservedWeightFactor`) H is formed at the fitted
// means. Besides ln|H| the gradient needs H⁻¹ and dω/dη, to follow H
// through β̂(ρ); both come with it.
//
// The observed weights are negative for rows far from their mean (the
// inverse Gaussian below half its mean, the scaled t beyond √ν·σ), so H
// may be indefinite: it is then taken through its eigendecomposition,
// ln|det H| and the inverse from the eigenpairs. Where even that fails (a
// weight or an eigenvalue not finite, or an eigenvalue below 1e-300 in
// magnitude) the fit's own factor stands in.
//
// A fit in random-effect block form (design/re_blocks.h) has its observed
// H assembled and factored in the same blocks: ω leaves the random-effect
// block diagonal. Where that H is indefinite its Schur form still gives
// ln|det H| and H⁻¹ (`linalg::block_symmetric_factor`), so no p × p matrix
// is formed; only a random-effect diagonal entry of (almost) zero, where
// the Schur form has no D⁻¹, hands the value to the fit's own factor
// rather than to a dense eigendecomposition.
#pragma once

#include <cmath>
#include <optional>
#include <utility>

#include "design/compact.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/fit_factor.h"
#include "inner/inner_fit.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"

namespace kavri::score {

// An eigenvalue of an indefinite H smaller than this in magnitude (or not
// finite) makes ln|det H| and H⁻¹ meaningless.
inline constexpr double kObservedEigenFloor = 1e-300;

struct LaplaceHessian {
  double log_det = 0.0;   // ln|det H|
  linalg::Matrix inverse;  // H⁻¹; empty when only the value was asked for
  // dω_i/dη_i with the prior weights, where the criterion's weights move
  // with η; empty where they do not (or were not asked for).
  linalg::Vector weight_slope;
  bool observed = false;  // H is the observed-information Hessian
  // The observed H of a block fit, in place of `inverse`; where H is the
  // fit's own, its `block_factor` serves.
  std::optional<linalg::BlockFactor> block_factor = std::nullopt;
};

// What the Hessian is formed from: the data of the fit and S_λ (p × p).
struct LaplaceInputs {
  linalg::MatrixView x;                // n × p
  const design::CompactDesign* compact;  // X in compact form, or null
  linalg::VectorView y;                // n
  linalg::VectorView prior_weights;    // n (ones when the fit has none)
  linalg::MatrixView s_lambda;         // the leading p × p block is read
};

// H of `fit` for `family`. With `full`, also H⁻¹ and the weight slopes
// (the gradient's); without, only ln|det H|, bit for bit the same value.
template <family::Family F>
LaplaceHessian laplace_hessian(const F& family, const LaplaceInputs& in, const inner::InnerFit& fit, bool full);

// The same for a fit in block form, with S_λ in block form; H⁻¹, when
// asked for, is the observed H's `block_factor`.
template <family::Family F>
LaplaceHessian laplace_hessian_in_blocks(const F& family, const design::ReBlocks& blocks, linalg::VectorView y,
                                         linalg::VectorView prior_weights, const linalg::BlockSystem& s_lambda,
                                         const inner::InnerFit& fit, bool full);

// ---- Implementation details follow ----

namespace detail {

inline double log_det_of_factor(const linalg::Matrix& l) {
  double s = 0.0;
  for (std::size_t i = 0; i < l.rows; ++i) s += std::log(l(i, i));
  return 2.0 * s;
}

// ln|det H| and H⁻¹ of a symmetric H: by Cholesky where H is positive
// definite, else by its eigenpairs; nothing where neither is usable.
std::optional<LaplaceHessian> symmetric_log_det(linalg::Matrix h, bool full);

template <family::Family F>
LaplaceHessian working_hessian(const F& family, const LaplaceInputs& in, const inner::InnerFit& fit, bool full) {
  LaplaceHessian out{.log_det = inner::fit_log_det(fit), .inverse = {}, .weight_slope = {}, .observed = false};
  if (!full) return out;
  out.inverse = inner::fit_inverse(fit);
  if constexpr (family::HasWorkingWeightSlope<F>) {
    const std::size_t n = fit.mu.size();
    out.weight_slope.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      out.weight_slope[i] = family.working_weight_slope(in.prior_weights[i], in.y[i], fit.mu[i]);
  }
  return out;
}

// The working H of a block fit: the fit's own factor, read in place.
template <family::Family F>
LaplaceHessian working_hessian_in_blocks(const F& family, linalg::VectorView y, linalg::VectorView prior_weights,
                                         const inner::InnerFit& fit, bool full) {
  LaplaceHessian out{.log_det = inner::fit_log_det(fit), .inverse = {}, .weight_slope = {}, .observed = false};
  if constexpr (family::HasWorkingWeightSlope<F>) {
    if (!full) return out;
    const std::size_t n = fit.mu.size();
    out.weight_slope.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      out.weight_slope[i] = family.working_weight_slope(prior_weights[i], y[i], fit.mu[i]);
  }
  return out;
}

// dω_i/dη_i of the observed weights.
template <family::Family F>
  requires family::HasObservedWeightFactor<F>
linalg::Vector observed_slopes(const F& family, linalg::VectorView y, linalg::VectorView prior_weights,
                               const inner::InnerFit& fit) {
  const std::size_t n = fit.mu.size();
  linalg::Vector slope(n);
  for (std::size_t i = 0; i < n; ++i) slope[i] = family.observed_weight_slope(prior_weights[i], y[i], fit.mu[i]);
  return slope;
}

}  // namespace detail

template <family::Family F>
LaplaceHessian laplace_hessian_in_blocks(const F& family, const design::ReBlocks& blocks, linalg::VectorView y,
                                         linalg::VectorView prior_weights, const linalg::BlockSystem& s_lambda,
                                         const inner::InnerFit& fit, bool full) {
  if constexpr (family::PirlsFamily<F> && family::HasObservedWeightFactor<F>) {
    const std::size_t n = fit.mu.size();
    linalg::Vector omega(n);
    for (std::size_t i = 0; i < n; ++i) {
      omega[i] = family::observed_weight(family, prior_weights[i], y[i], fit.mu[i]);
      if (!std::isfinite(omega[i])) return detail::working_hessian_in_blocks(family, y, prior_weights, fit, full);
    }
    linalg::BlockSystem h = design::re_weighted_gram(blocks, omega);
    linalg::add_scaled(h, s_lambda, 1.0);
    std::optional<linalg::BlockFactor> factor =
        linalg::block_symmetric_factor(h, blocks.partition, kObservedEigenFloor);
    if (!factor) return detail::working_hessian_in_blocks(family, y, prior_weights, fit, full);
    LaplaceHessian out{.log_det = linalg::block_log_det(*factor), .inverse = {}, .weight_slope = {},
                       .observed = true};
    if (full) {
      out.block_factor = std::move(factor);
      out.weight_slope = detail::observed_slopes(family, y, prior_weights, fit);
    }
    return out;
  } else {
    (void)blocks;
    (void)s_lambda;
    return detail::working_hessian_in_blocks(family, y, prior_weights, fit, full);
  }
}

template <family::Family F>
LaplaceHessian laplace_hessian(const F& family, const LaplaceInputs& in, const inner::InnerFit& fit, bool full) {
  if constexpr (family::PirlsFamily<F> && family::HasObservedWeightFactor<F>) {
    const std::size_t n = in.x.rows, p = in.x.cols;
    linalg::Vector omega(n);
    for (std::size_t i = 0; i < n; ++i) {
      omega[i] = family::observed_weight(family, in.prior_weights[i], in.y[i], fit.mu[i]);
      if (!std::isfinite(omega[i])) return detail::working_hessian(family, in, fit, full);
    }
    linalg::Matrix h;
    if (in.compact != nullptr) {
      design::CompactWorkspace ws;
      design::compact_cross_products(*in.compact, omega, std::nullopt, h, nullptr, ws);
    } else {
      h = linalg::weighted_gram(in.x, omega);
    }
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) h(a, b) += in.s_lambda(a, b);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = a + 1; b < p; ++b) h(a, b) = h(b, a) = (h(a, b) + h(b, a)) * 0.5;
    std::optional<LaplaceHessian> out = detail::symmetric_log_det(std::move(h), full);
    if (!out) return detail::working_hessian(family, in, fit, full);
    out->observed = true;
    if (full) out->weight_slope = detail::observed_slopes(family, in.y, in.prior_weights, fit);
    return std::move(*out);
  } else {
    return detail::working_hessian(family, in, fit, full);
  }
}

}  // namespace kavri::score
