#include "score/envelope.h"

namespace kavri::score {

namespace detail {

void weight_slope_gradient(std::span<const linalg::Matrix> penalties, const linalg::Vector& lambda,
                           const linalg::Vector& quad, double phi, const linalg::Vector& beta,
                           const linalg::Vector& dr, const linalg::Matrix& h_inv, const linalg::Vector& v,
                           linalg::Vector& gradient) {
  // s_j = (ω'⊙h)'·X·u_j = v'u_j with u_j = −λ_j·H⁻¹S_jβ.
  const std::size_t p = beta.size();
  linalg::Vector s_beta(p);
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const linalg::Matrix& s = penalties[j];
    for (std::size_t a = 0; a < p; ++a) {
      double sum = 0.0;
      for (std::size_t b = 0; b < p; ++b) sum += s(a, b) * beta[b];
      s_beta[a] = sum;
    }
    double shift = 0.0;
    for (std::size_t a = 0; a < p; ++a) {
      double u = 0.0;
      for (std::size_t b = 0; b < p; ++b) u += h_inv(a, b) * s_beta[b];
      shift += v[a] * (-lambda[j] * u);
    }
    const double trace = lambda[j] * linalg::trace_with_inverse(h_inv, s);
    gradient[j] = lambda[j] * quad[j] / (2.0 * phi) + 0.5 * trace - dr[j] + 0.5 * shift;
  }
}

void weight_slope_gradient(const design::ReBlocks& blocks, const linalg::Vector& lambda,
                           const linalg::Vector& quad, double phi, const linalg::Vector& beta,
                           const linalg::Vector& dr, const linalg::BlockFactor& factor, const linalg::Vector& v,
                           linalg::Vector& gradient) {
  const std::size_t p = beta.size();
  for (std::size_t j = 0; j < blocks.penalties.size(); ++j) {
    const linalg::BlockSystem& s = blocks.penalties[j];
    const linalg::Vector u = linalg::block_solve(factor, linalg::block_system_times(blocks.partition, s, beta));
    double shift = 0.0;
    for (std::size_t a = 0; a < p; ++a) shift += v[a] * (-lambda[j] * u[a]);
    const double trace = lambda[j] * linalg::block_trace_times(factor, s);
    gradient[j] = lambda[j] * quad[j] / (2.0 * phi) + 0.5 * trace - dr[j] + 0.5 * shift;
  }
}

}  // namespace detail

}  // namespace kavri::score
