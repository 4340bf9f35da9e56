#include "transform/centring.h"

#include <cassert>
#include <cmath>

namespace kavri::transform {

linalg::Matrix constraint_null_space(linalg::VectorView c) {
  const std::size_t p = c.size;
  assert(p >= 1);
  double ss = 0.0;
  for (std::size_t i = 0; i < p; ++i) ss += c[i] * c[i];
  const double s = std::sqrt(ss);

  linalg::Matrix z(p, p - 1);
  if (s < kNullConstraintNorm) {
    for (std::size_t i = 0; i + 1 < p; ++i) z(i, i) = 1.0;
    return z;
  }
  // v_0 takes the sign of c_0 so that c_0 + sign·s does not cancel; NaN
  // takes the negative branch and spreads NaN through Z.
  linalg::Vector v = c.to_vector();
  v[0] = c[0] >= 0.0 ? c[0] + s : c[0] - s;
  double f = 0.0;
  for (double vi : v) f += vi * vi;
  const double w = 2.0 / f;
  for (std::size_t m = 0; m < p; ++m) {
    const double vw = v[m] * w;
    for (std::size_t i = 0; i + 1 < p; ++i) z(m, i) = (m == i + 1 ? 1.0 : 0.0) - vw * v[i + 1];
  }
  return z;
}

linalg::Matrix sum_to_zero_centring(const linalg::Matrix& b) {
  linalg::Vector column_sums(b.cols, 0.0);
  for (std::size_t i = 0; i < b.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) column_sums[j] += b(i, j);
  return constraint_null_space(column_sums);
}

}  // namespace kavri::transform
