// Sum-to-zero centring of a smooth term: an orthonormal basis Z of the
// complement of a constraint vector c, from one Householder reflection.
//
// A term whose raw basis B has column sums c is re-expressed as B·Z; every
// column of B·Z then sums to zero over the data, which keeps the term apart
// from the model's intercept. Z is p × (p − 1), row-major.
#pragma once

#include "linalg/matrix.h"

namespace kavri::transform {

// Below this norm c carries no direction and the first p − 1 unit vectors
// are taken instead (2⁻⁵², the double epsilon).
inline constexpr double kNullConstraintNorm = 2.220446049250313e-16;

// Columns 1 .. p−1 of H = I − 2vv'/(v'v), the reflection that maps c onto a
// multiple of e_0, so c'Z = 0 and Z'Z = I up to rounding. Requires p >= 1.
linalg::Matrix constraint_null_space(linalg::VectorView c);

// The centring of a term whose raw basis at the data is B (n × p, p >= 1):
// `constraint_null_space` of B's column sums, each summed over the rows in
// order.
linalg::Matrix sum_to_zero_centring(const linalg::Matrix& b);

}  // namespace kavri::transform
