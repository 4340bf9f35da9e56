// The LAPACK and BLAS boundary: every call of dpotrf, dsyev, dgetrf, dgetrs
// and dgemm lives behind these functions.
//
// Arguments and results are row-major; the transposition to and from
// LAPACK's column-major storage happens here and nowhere else, and so does
// the sorting of LAPACK's `info` into the two `LinalgFailure` kinds. Inputs
// are copied before LAPACK overwrites them, except that `eigh` takes over the
// matrix it is given.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "linalg/matrix.h"

namespace kavri::linalg {

// A failed LAPACK routine. `return_code` is LAPACK's info.
struct LinalgFailure {
  enum class Kind {
    LapackInvalidValue,          // info < 0: argument -info had an illegal value
    LapackComputationalFailure,  // info > 0: a numerical outcome (a failing minor, no convergence, a zero pivot)
  };
  Kind kind;
  std::int32_t return_code;

  // "Invalid value for LAPACK subroutine {}-th argument" or
  // "Computational failure in LAPACK subroutine: return_code = {}".
  std::string text() const;
};

template <class T>
using LapackResult = std::expected<T, LinalgFailure>;

// Lower L with A = L·L'. Reads the lower triangle of A only; the returned
// factor has exact zeros above the diagonal.
[[nodiscard]] LapackResult<Matrix> cholesky_lower(MatrixView a);

struct Eigen {
  Vector values;  // ascending
  Matrix vectors;  // column k is the unit eigenvector of values[k]
};
// Symmetric eigendecomposition; reads the entries on and above the diagonal.
// Takes over `a` and returns its storage as the eigenvectors.
[[nodiscard]] LapackResult<Eigen> eigh(Matrix a);

// x with A·x = b, by LU with partial pivoting.
[[nodiscard]] LapackResult<Vector> lu_solve(MatrixView a, VectorView b);

// C = A·B through dgemm. Contiguous row-major or column-major views are
// handed over as they are; other strides are copied first.
Matrix multiply(MatrixView a, MatrixView b);
// y = A·x through dgemm with one right-hand column.
Vector multiply(MatrixView a, VectorView x);
// The same two products into storage that the caller reuses across
// iterations (resized to fit, never aliasing an operand); bit for bit the
// values of `multiply`.
void multiply_into(MatrixView a, MatrixView b, Matrix& out);
void multiply_into(MatrixView a, VectorView x, Vector& out);

// Rows of A multiplied by V in one product; the working memory stays at
// this many rows of A's width, whatever A's height.
inline constexpr std::size_t kQuadraticFormBlockRows = 256;

// q_i = a_i'·V·a_i for every row of A (V square, as wide as A): A·V by
// dgemm on blocks of rows into one reused buffer, then each row's dot
// product with its own row of A, summed from 0.0 in column order.
Vector row_quadratic_forms(MatrixView a, MatrixView v);
// The same into `q`, resized to A's rows.
void row_quadratic_forms_into(MatrixView a, MatrixView v, Vector& q);

// Σ_i s_i·q_i·a_i = A'·(s ⊙ q) with the q_i of `row_quadratic_forms`, in the
// same single pass over A's blocks (each block's rows are summed while they
// are in cache), without the n-vector q.
Vector weighted_row_form_sum(MatrixView a, MatrixView v, VectorView s);

// True when the linked OpenBLAS is the single-threaded build: the library
// must never start threads of its own.
bool blas_is_serial();

}  // namespace kavri::linalg
