#include "basis/cr.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <string>

#include "common/format.h"
#include "common/numeric.h"
#include "linalg/lapack.h"

namespace kavri::basis {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Ascending with NaN after every number. Plain `<` is not a strict weak
// order once NaN is present, and std::sort may then read out of bounds;
// on NaN-free data this is exactly `<`.
bool less_nan_last(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// Segment polynomials a + b·dx + c·dx² + d·dx³ of every basis function,
// stored segment-major ([segment * k + basis]) so that one row of the basis
// matrix reads contiguous memory.
struct SegmentCoefficients {
  std::size_t k = 0;
  Vector a, b, c, d;
  Vector right_slope;  // per basis function, the slope at the last knot
};

SegmentCoefficients natural_spline_coefficients(const Vector& t) {
  const std::size_t k = t.size();
  const std::size_t segments = k - 1;
  Vector h(segments);
  for (std::size_t j = 0; j < segments; ++j) h[j] = t[j + 1] - t[j];

  SegmentCoefficients out{k, Vector(segments * k), Vector(segments * k), Vector(segments * k),
                          Vector(segments * k), Vector(k)};
  Vector y(k), alpha(k), l(k), mu(k), z(k), c(k);
  for (std::size_t i = 0; i < k; ++i) {
    std::fill(y.begin(), y.end(), 0.0);
    y[i] = 1.0;
    for (std::size_t j = 1; j + 1 < k; ++j)
      alpha[j] = (3.0 / h[j]) * (y[j + 1] - y[j]) - (3.0 / h[j - 1]) * (y[j] - y[j - 1]);
    // Tridiagonal system for c_j (half the second derivatives), natural ends.
    l[0] = 1.0;
    mu[0] = 0.0;
    z[0] = 0.0;
    for (std::size_t j = 1; j + 1 < k; ++j) {
      l[j] = 2.0 * (h[j - 1] + h[j]) - h[j - 1] * mu[j - 1];
      mu[j] = h[j] / l[j];
      z[j] = (alpha[j] - h[j - 1] * z[j - 1]) / l[j];
    }
    c[k - 1] = 0.0;
    for (std::size_t j = k - 1; j-- > 0;) c[j] = z[j] - mu[j] * c[j + 1];

    for (std::size_t j = 0; j < segments; ++j) {
      const std::size_t at = j * k + i;
      out.a[at] = y[j];
      out.b[at] = (y[j + 1] - y[j]) / h[j] - (2.0 * c[j] + c[j + 1]) * h[j] / 3.0;
      out.c[at] = c[j];
      out.d[at] = (c[j + 1] - c[j]) / (3.0 * h[j]);
    }
    const std::size_t last = (segments - 1) * k + i;
    const double hl = h[segments - 1];
    out.right_slope[i] = out.b[last] + 2.0 * out.c[last] * hl + 3.0 * out.d[last] * (hl * hl);
  }
  return out;
}

// The segment j with t_j <= v < t_{j+1} (the last segment for v = t_{k-1});
// NaN fails every comparison and lands in the last segment.
std::size_t find_segment(const Vector& t, double v) {
  std::size_t lo = 0, hi = t.size() - 1;
  while (lo + 1 < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (v < t[mid])
      hi = mid;
    else
      lo = mid;
  }
  return lo;
}

}  // namespace

Result<CrBasis> validate_cr_knots(Vector knots) {
  if (knots.size() <= 2)
    return invalid_parameter("CR spline needs k ≥ 3 (got " + common::format_count(knots.size()) + ")");
  for (std::size_t j = 1; j < knots.size(); ++j)
    if (!(knots[j] > knots[j - 1])) return invalid_parameter("CR spline knots must be strictly increasing");
  const std::uint64_t k = knots.size();
  return CrBasis{.knots = std::move(knots), .k = k};
}

Result<CrBasis> place_cr_knots(VectorView column, std::uint64_t k) {
  Vector sorted = column.to_vector();
  std::sort(sorted.begin(), sorted.end(), less_nan_last);

  Vector unique;
  for (double v : sorted)
    if (unique.empty() || std::fabs(v - unique.back()) > kKnotDuplicateTolerance) unique.push_back(v);
  const std::size_t u = unique.size();

  Vector knots(k);
  if (u < k) {
    const double first = u == 0 ? 0.0 : unique.front();
    const double last = u == 0 ? 1.0 : unique.back();
    const double step = k >= 2 ? (last - first) / static_cast<double>(k - 1) : 0.0;
    for (std::size_t j = 0; j < k; ++j) knots[j] = first + static_cast<double>(j) * step;
  } else {
    // u >= k >= 1 here, and k = 1 leaves a single knot for validation to
    // reject; the quotient is then 0/0 and the index saturates to 0.
    const double span = static_cast<double>(u - 1);
    for (std::size_t j = 0; j < k; ++j) {
      const double t = (static_cast<double>(j) / static_cast<double>(k - 1)) * span;
      const std::uint64_t i = common::saturating_to_u64(std::floor(t));
      if (i < u - 1) {
        const double f = t - static_cast<double>(i);
        knots[j] = (1.0 - f) * unique[i] + f * unique[i + 1];
      } else {
        knots[j] = unique[u - 1];
      }
    }
  }
  return validate_cr_knots(std::move(knots));
}

Matrix cr_basis_matrix(const CrBasis& basis, MatrixView x) {
  const Vector& t = basis.knots;
  const std::size_t k = t.size();
  assert(k >= 3);
  assert(x.rows == 0 || x.cols >= 1);
  const SegmentCoefficients s = natural_spline_coefficients(t);
  const double first = t.front(), last = t.back();

  Matrix out(x.rows, k);
  for (std::size_t m = 0; m < x.rows; ++m) {
    const double v = x(m, 0);
    double* row = out.row(m);
    if (v < first) {
      // Left value is e_i, left slope the first segment's b.
      const double dx = v - first;
      for (std::size_t i = 0; i < k; ++i) row[i] = (i == 0 ? 1.0 : 0.0) + s.b[i] * dx;
    } else if (v > last) {
      const double dx = v - last;
      for (std::size_t i = 0; i < k; ++i) row[i] = (i == k - 1 ? 1.0 : 0.0) + s.right_slope[i] * dx;
    } else {
      const std::size_t seg = find_segment(t, v);
      const double dx = v - t[seg];
      const double dx2 = dx * dx;
      const double dx3 = dx * dx2;
      const std::size_t base = seg * k;
      for (std::size_t i = 0; i < k; ++i)
        row[i] = s.d[base + i] * dx3 + (s.c[base + i] * dx2 + (s.b[base + i] * dx + s.a[base + i]));
    }
  }
  return out;
}

std::vector<Matrix> cr_penalty(VectorView knots) {
  const std::size_t k = knots.size;
  assert(k >= 3);
  const std::size_t r = k - 2;  // rows of D, order of T
  Vector h(k - 1);
  for (std::size_t j = 0; j + 1 < k; ++j) h[j] = knots[j + 1] - knots[j];

  Matrix d(r, k);
  for (std::size_t i = 0; i < r; ++i) {
    d(i, i) = 1.0 / h[i];
    d(i, i + 1) = -1.0 / h[i] - 1.0 / h[i + 1];
    d(i, i + 2) = 1.0 / h[i + 1];
  }
  // T is symmetric tridiagonal: diagonal (h_i + h_{i+1})/3, off-diagonal
  // T[m][m+1] = h_{m+1}/6.
  Vector t_diag(r), t_off(r > 0 ? r - 1 : 0);
  for (std::size_t i = 0; i < r; ++i) t_diag[i] = (h[i] + h[i + 1]) / 3.0;
  for (std::size_t m = 0; m + 1 < r; ++m) t_off[m] = h[m + 1] / 6.0;

  // Columns of T⁻¹D by the Thomas algorithm, each on fresh copies.
  Matrix tinv_d(r, k);
  Vector diag(r), rhs(r), x(r);
  for (std::size_t j = 0; j < k; ++j) {
    diag = t_diag;
    for (std::size_t m = 0; m < r; ++m) rhs[m] = d(m, j);
    for (std::size_t m = 0; m + 1 < r; ++m) {
      const double w = t_off[m] / diag[m];
      diag[m + 1] -= t_off[m] * w;
      rhs[m + 1] -= w * rhs[m];
    }
    x[r - 1] = rhs[r - 1] / diag[r - 1];
    for (std::size_t m = r - 1; m-- > 0;) x[m] = (rhs[m] - x[m + 1] * t_off[m]) / diag[m];
    for (std::size_t m = 0; m < r; ++m) tinv_d(m, j) = x[m];
  }

  std::vector<Matrix> out;
  out.push_back(linalg::multiply(d.view().transposed(), tinv_d));
  return out;
}

}  // namespace kavri::basis
