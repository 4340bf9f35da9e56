// A small end-to-end computation on the dense kernels: a penalized
// least-squares solve with a second-difference penalty, checked against its
// own normal equations.
#include <cmath>
#include <cstdio>

#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

using namespace kavri::linalg;

int main() {
  const std::size_t n = 200, p = 12;
  Matrix x(n, p);
  Vector y(n), w(n, 1.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n - 1);
    for (std::size_t j = 0; j < p; ++j) x(i, j) = std::pow(t, static_cast<double>(j));
    y[i] = std::sin(6.0 * t) + 0.1 * std::cos(37.0 * t);
  }
  const Matrix xtw = weighted_transpose(x, w);
  Matrix h = multiply(xtw, x);
  const Vector xty = multiply(xtw, y);
  for (std::size_t j = 0; j < p; ++j) h(j, j) += 1e-6;  // a ridge penalty
  auto sol = cholesky_solve_ridged(h, xty);
  if (!sol) {
    std::printf("error: %s\n", sol.error().display().c_str());
    return 1;
  }
  double rss = 0.0;
  const Vector fitted = multiply(x, sol->solution);
  for (std::size_t i = 0; i < n; ++i) rss += (y[i] - fitted[i]) * (y[i] - fitted[i]);
  std::printf("penalized polynomial fit: n=%zu p=%zu rss=%.6g tr(H^-1 X'X)=%.6f serial BLAS=%s\n", n, p, rss,
              trace_inverse_times(sol->factor, multiply(xtw, x)), blas_is_serial() ? "yes" : "no");
  return 0;
}
