// The cubic regression spline of one covariate: knot placement, the
// validated knot set, the basis matrix and the wiggliness penalty.
//
// Basis function i is the natural cubic spline that is 1 at knot i and 0 at
// the other knots, so coefficients are the curve's values at the knots; the
// curve continues as a straight line outside the knot range. The penalty is
// the integrated squared second derivative of that curve. Matrices are
// row-major; rows are observations.
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::basis {

// Sorted values closer than this (absolutely, to the last value kept) count
// as one when knots are placed. An absolute tolerance: the data are not
// rescaled first.
inline constexpr double kKnotDuplicateTolerance = 1e-12;

// A knot set with k >= 3 strictly increasing knots. Built only by
// `validate_cr_knots`, so every consumer may rely on both properties.
struct CrBasis {
  linalg::Vector knots;
  std::uint64_t k = 0;  // knots.size()
};

// InvalidParameter "CR spline needs k ≥ 3 (got {})" for two or fewer knots,
// "CR spline knots must be strictly increasing" when a knot is not above its
// predecessor (equal neighbours and NaN included).
[[nodiscard]] Result<CrBasis> validate_cr_knots(linalg::Vector knots);

// k knots from the column's values: interpolated among the unique values
// when there are at least k of them, equally spaced over their range
// otherwise ([0, 1] for an empty column). Errors are those of
// `validate_cr_knots`.
[[nodiscard]] Result<CrBasis> place_cr_knots(linalg::VectorView column, std::uint64_t k);
// The same, sorting in `storage` (left holding as many doubles as the
// column has, in no promised order) rather than in memory of its own, so
// that a caller can reuse those pages for its next array of that length.
[[nodiscard]] Result<CrBasis> place_cr_knots(linalg::VectorView column, std::uint64_t k, linalg::Vector& storage);

// n × k matrix whose entry (m, i) is basis function i at x(m, 0); only
// column 0 of x is read, and x must have a column when it has rows. A NaN
// value gives a row of NaN.
linalg::Matrix cr_basis_matrix(const CrBasis& basis, linalg::MatrixView x);

// The rows of `cr_basis_matrix` one at a time, for builders that consume
// each row as it is made instead of storing the n × k matrix. The segment
// polynomials are formed once, at construction.
class CrRowEvaluator {
 public:
  explicit CrRowEvaluator(const CrBasis& basis);
  std::size_t k() const { return k_; }
  // The k entries of the row at v into out[0 .. k), bit for bit the row of
  // `cr_basis_matrix`.
  void row(double v, double* out) const;
  // The same row for a v in [t_0, t_{k−1}] whose knot interval is known to
  // be j: t_j ≤ v < t_{j+1}, or j = k − 2 at v = t_{k−1}. For callers that
  // have located v already.
  void row_in_interval(double v, std::size_t j, double* out) const {
    assert(j + 1 < k_);
    const double dx = v - knots_[j];
    const double dx2 = dx * dx;
    const double dx3 = dx * dx2;
    const std::size_t base = j * k_;
    const double *a = a_.data() + base, *b = b_.data() + base, *c = c_.data() + base, *d = d_.data() + base;
    for (std::size_t i = 0; i < k_; ++i) out[i] = d[i] * dx3 + (c[i] * dx2 + (b[i] * dx + a[i]));
  }

 private:
  std::size_t k_ = 0;
  linalg::Vector knots_;
  linalg::Vector a_, b_, c_, d_;  // [segment * k + basis]
  linalg::Vector right_slope_;   // per basis function, the slope at the last knot
};

// The k × k penalty S = D'·T⁻¹·D, as the single entry of the returned list.
// β'Sβ is the integral over the knot range of the squared second derivative
// of Σ_i β_i·(basis i); S is positive semi-definite with rank k − 2.
// Requires k >= 3 strictly increasing knots.
std::vector<linalg::Matrix> cr_penalty(linalg::VectorView knots);

// The k × k matrix F taking the spline's values at the knots to its second
// derivatives there (rows 0 and k − 1 zero: the ends are natural). Between
// knots t_j and t_{j+1}, h = t_{j+1} − t_j, u = (x − t_j)/h, v = 1 − u, the
// basis row is v·e_j + u·e_{j+1} + h²(v³ − v)/6·F_j + h²(u³ − u)/6·F_{j+1};
// outside the knots it continues linearly. Requires k >= 3 strictly
// increasing knots.
linalg::Matrix cr_second_derivative_map(linalg::VectorView knots);

}  // namespace kavri::basis
