#include "score/envelope.h"

namespace kavri::score {

namespace detail {

void weight_slope_gradient(linalg::MatrixView x, std::span<const linalg::Matrix> penalties,
                           const linalg::Vector& lambda, const linalg::Vector& quad, double phi,
                           const linalg::Vector& beta, const linalg::Vector& dr, const linalg::Matrix& h_inv,
                           linalg::VectorView dweight_deta, linalg::VectorView leverage, linalg::Vector& gradient) {
  const std::size_t n = x.rows, p = x.cols;
  // s_j = (ω'⊙h)'·X·u_j = v'u_j with v = X'(ω'⊙h), one pass over X for
  // every penalty.
  linalg::Vector slope_leverage(n);
  for (std::size_t i = 0; i < n; ++i) slope_leverage[i] = dweight_deta[i] * leverage[i];
  const linalg::Vector v = linalg::multiply(x.transposed(), slope_leverage);
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

}  // namespace detail

}  // namespace kavri::score
