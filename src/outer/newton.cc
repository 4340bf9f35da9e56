#include "outer/newton.h"

#include "common/numeric.h"
#include "linalg/lapack.h"

namespace kavri::outer {

double max_abs_ignoring_nan(const linalg::Vector& v) {
  double m = 0.0;
  for (double x : v) {
    const double a = std::fabs(x);
    if (a > m) m = a;
  }
  return m;
}

bool usable_optimum(const outer::OuterEval& at) {
  if (at.degenerate || !std::isfinite(at.value)) return false;
  for (double g : at.gradient)
    if (!std::isfinite(g)) return false;
  return true;
}

linalg::Matrix make_positive_definite(const linalg::Matrix& a) {
  const std::size_t k = a.rows;
  if (k == 0) return a;
  if (k == 1) {
    linalg::Matrix out = a;
    if (out(0, 0) < kEigenFloor) out(0, 0) = kEigenFloor;  // NaN stays NaN
    return out;
  }
  linalg::Matrix s = a;
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) s(i, j) = s(j, i) = 0.5 * (a(i, j) + a(j, i));

  auto eig = linalg::eigh(s);
  if (!eig) {
    for (std::size_t i = 0; i < k; ++i)
      if (s(i, i) < kEigenFloor) s(i, i) = kEigenFloor;
    return s;
  }
  linalg::Matrix out(k, k);
  for (std::size_t e = 0; e < k; ++e) {
    const double floored = common::floor_at(eig->values[e], kEigenFloor);  // NaN takes the floor
    for (std::size_t i = 0; i < k; ++i) {
      const double ui_w = eig->vectors(i, e) * floored;
      for (std::size_t j = 0; j < k; ++j) out(i, j) += ui_w * eig->vectors(j, e);
    }
  }
  return out;
}

linalg::Vector newton_direction(const outer::OuterEval& at) {
  const linalg::Matrix h = make_positive_definite(at.hessian);
  linalg::Vector neg_g(at.gradient.size());
  for (std::size_t i = 0; i < neg_g.size(); ++i) neg_g[i] = -at.gradient[i];
  auto solved = linalg::lu_solve(h, neg_g);
  linalg::Vector d = solved ? std::move(*solved) : neg_g;
  const double dmax = max_abs_ignoring_nan(d);
  if (dmax > kMaxStep) {
    const double scale = kMaxStep / dmax;
    for (double& x : d) x *= scale;
  }
  return d;
}

}  // namespace kavri::outer
