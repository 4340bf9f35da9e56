#include "score/laplace.h"

#include <cmath>
#include <utility>

#include "linalg/cholesky.h"
#include "linalg/lapack.h"

namespace kavri::score::detail {

std::optional<LaplaceHessian> symmetric_log_det(linalg::Matrix h, bool full) {
  if (auto l = linalg::cholesky_lower(h)) {
    LaplaceHessian out{.log_det = log_det_of_factor(*l), .inverse = {}, .weight_slope = {}, .observed = false};
    if (full) out.inverse = linalg::inverse_from_cholesky(*l);
    return out;
  }
  const std::size_t p = h.rows;
  auto eig = linalg::eigh(std::move(h));
  if (!eig) return std::nullopt;
  double log_det = 0.0;
  for (double v : eig->values) {
    if (!std::isfinite(v) || std::fabs(v) < kObservedEigenFloor) return std::nullopt;
    log_det += std::log(std::fabs(v));
  }
  LaplaceHessian out{.log_det = log_det, .inverse = {}, .weight_slope = {}, .observed = false};
  if (!full) return out;
  // H⁻¹ = Σ_k v_k·v_k'/λ_k exists for an indefinite H as well.
  linalg::Matrix inv(p, p);
  for (std::size_t k = 0; k < p; ++k) {
    const double r = 1.0 / eig->values[k];
    for (std::size_t j = 0; j < p; ++j) {
      const double rv = r * eig->vectors(j, k);
      for (std::size_t c = 0; c < p; ++c) inv(j, c) += rv * eig->vectors(c, k);
    }
  }
  out.inverse = std::move(inv);
  return out;
}

}  // namespace kavri::score::detail
