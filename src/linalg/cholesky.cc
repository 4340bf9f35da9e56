#include "linalg/cholesky.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

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

namespace {

// x with (H + Δ)·x = b, Δ = diag(`ridge`), from the factor L of H, by the
// steps x ← H⁻¹(b − Δx) from x = H⁻¹b. The steps contract by ‖H⁻¹Δ‖, and
// the error of x_k is no larger than the step d_k = x_(k+1) − x_k, so a
// step below kRidgeStepTolerance·‖x‖ leaves x within that of the ridged
// solution: fast unless H scaled to a unit diagonal is close to singular,
// where none is returned and the ridged matrix is factored instead.
std::optional<Vector> ridged_solution_from_factor(MatrixView l, const Vector& ridge, VectorView b) {
  const std::size_t p = l.rows;
  Vector x = back_substitute_transposed(l, forward_substitute(l, b));
  Vector rhs(p);
  for (int step = 0; step < kMaxRidgeSteps; ++step) {
    for (std::size_t i = 0; i < p; ++i) rhs[i] = b[i] - ridge[i] * x[i];
    Vector next = back_substitute_transposed(l, forward_substitute(l, rhs));
    double step_squares = 0.0, size_squares = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
      const double d = next[i] - x[i];
      step_squares += d * d;
      size_squares += next[i] * next[i];
    }
    x = std::move(next);
    // A NaN fails the comparison and the steps go on.
    if (step_squares <= kRidgeStepTolerance * kRidgeStepTolerance * size_squares) return x;
  }
  return std::nullopt;
}

}  // namespace

Result<CholeskySolution> cholesky_solve_ridged(MatrixView h, VectorView b) {
  auto factor = cholesky_lower(h);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());
  // H factored, so its diagonal is positive.
  const std::size_t p = h.rows;
  Vector ridge(p);
  for (std::size_t i = 0; i < p; ++i) ridge[i] = kRidgeScale * h(i, i);
  if (std::optional<Vector> x = ridged_solution_from_factor(*factor, ridge, b))
    return CholeskySolution{std::move(*factor), std::move(*x)};

  Matrix ridged = h.to_matrix();
  for (std::size_t i = 0; i < p; ++i) ridged(i, i) += ridge[i];
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

double trace_inverse_times(MatrixView l, MatrixView m) { return trace_with_factor_inverse(factor_inverse(l), m); }

double trace_with_inverse(const Matrix& inv, MatrixView m) {
  const std::size_t p = inv.rows;
  double sum = 0.0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) sum += inv(i, j) * m(i, j);
  return sum;
}

Matrix factor_inverse(MatrixView l) {
  const std::size_t p = l.rows;
  Matrix g(p, p);
  // Column j of L⁻¹ is zero above row j.
  for (std::size_t j = 0; j < p; ++j) {
    g(j, j) = 1.0 / l(j, j);
    for (std::size_t i = j + 1; i < p; ++i) {
      double s = 0.0;
      for (std::size_t k = j; k < i; ++k) s -= l(i, k) * g(k, j);
      g(i, j) = s / l(i, i);
    }
  }
  return g;
}

double trace_with_factor_inverse(const Matrix& g, MatrixView m) {
  const std::size_t p = g.rows;
  // The smallest band [lo, hi) of rows and columns outside which M is 0.
  std::size_t lo = p, hi = 0;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b)
      if (!(m(a, b) == 0.0)) {
        lo = std::min({lo, a, b});
        hi = std::max({hi, a + 1, b + 1});
      }
  double sum = 0.0;
  // Row i of G is zero past column i.
  for (std::size_t i = lo; i < p; ++i) {
    const std::size_t end = std::min(hi, i + 1);
    for (std::size_t a = lo; a < end; ++a) {
      double row = 0.0;
      for (std::size_t b = lo; b < end; ++b) row += m(a, b) * g(i, b);
      sum += g(i, a) * row;
    }
  }
  return sum;
}

}  // namespace kavri::linalg
