#include "linalg/cholesky.h"

#include <cmath>

#include "linalg/lapack.h"

namespace kavri::linalg {

double solve_ridge(MatrixView h) {
  // A NaN fails the comparison and is skipped.
  double scale = 0.0;
  for (std::size_t i = 0; i < h.rows; ++i) {
    const double d = std::fabs(h(i, i));
    if (d > scale) scale = d;
  }
  return (scale > 0.0 ? scale : 1.0) * kRidgeScale;
}

Result<CholeskySolution> cholesky_solve_ridged(MatrixView h, VectorView b) {
  auto factor = cholesky_lower(h);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());

  const std::size_t p = h.rows;
  const double ridge = solve_ridge(h);
  Matrix ridged = h.to_matrix();
  for (std::size_t i = 0; i < p; ++i) ridged(i, i) += ridge;

  auto ridged_factor = cholesky_lower(ridged);
  if (!ridged_factor) return singular_system("Cholesky failed: " + ridged_factor.error().text());
  Vector y = forward_substitute(*ridged_factor, b);
  Vector x = back_substitute_transposed(*ridged_factor, y);
  return CholeskySolution{std::move(*factor), std::move(x)};
}

Vector forward_substitute(MatrixView l, VectorView b) {
  const std::size_t p = l.rows;
  Vector y(p);
  for (std::size_t i = 0; i < p; ++i) {
    double s = b[i];
    for (std::size_t j = 0; j < i; ++j) s -= l(i, j) * y[j];
    y[i] = s / l(i, i);
  }
  return y;
}

Vector back_substitute_transposed(MatrixView l, VectorView y) {
  const std::size_t p = l.rows;
  Vector x(p);
  for (std::size_t i = p; i-- > 0;) {
    double s = y[i];
    for (std::size_t k = i + 1; k < p; ++k) s -= l(k, i) * x[k];
    x[i] = s / l(i, i);
  }
  return x;
}

Matrix inverse_from_cholesky(MatrixView l) {
  const std::size_t p = l.rows;
  Matrix inv(p, p);
  Vector e(p, 0.0);
  for (std::size_t j = 0; j < p; ++j) {
    e[j] = 1.0;
    const Vector col = back_substitute_transposed(l, forward_substitute(l, e));
    e[j] = 0.0;
    for (std::size_t i = 0; i < p; ++i) inv(i, j) = col[i];
  }
  return inv;
}

double trace_inverse_times(MatrixView l, MatrixView m) { return trace_with_inverse(inverse_from_cholesky(l), m); }

double trace_with_inverse(const Matrix& inv, MatrixView m) {
  const std::size_t p = inv.rows;
  double sum = 0.0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) sum += inv(i, j) * m(i, j);
  return sum;
}

}  // namespace kavri::linalg
