// What the criterion and the summaries read of an inner fit's factor of
// H = X'WX + S_λ, whether it is the dense lower factor or the block factor
// of a random-effect design: ln|H|, H⁻¹ and tr(H⁻¹M). The block forms never
// pass through a p × p factor; only `fit_inverse` forms p × p.
#pragma once

#include <cmath>

#include "inner/inner_fit.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// ln|H| = 2·Σ ln L_ii (0 for an empty dense factor).
inline double fit_log_det(const InnerFit& fit) {
  if (fit.block_factor) return linalg::block_log_det(*fit.block_factor);
  double s = 0.0;
  for (std::size_t i = 0; i < fit.factor.rows; ++i) s += std::log(fit.factor(i, i));
  return 2.0 * s;
}

// H⁻¹, p × p: exactly symmetric from a block factor, as
// `linalg::inverse_from_cholesky` leaves it from a dense one.
inline linalg::Matrix fit_inverse(const InnerFit& fit) {
  if (fit.block_factor) return linalg::block_inverse(*fit.block_factor);
  return linalg::inverse_from_cholesky(fit.factor);
}

// Σ_ij (H⁻¹)_ij·M_ij, from an inverse already formed when the factor is
// dense (`inverse`, may be null) and without one when it is in blocks.
inline double fit_trace(const InnerFit& fit, const linalg::Matrix* inverse, linalg::MatrixView m) {
  if (fit.block_factor) return linalg::block_trace_times(*fit.block_factor, m);
  if (inverse != nullptr) return linalg::trace_with_inverse(*inverse, m);
  return linalg::trace_inverse_times(fit.factor, m);
}

}  // namespace kavri::inner
