// The weighted transpose X'·diag(w), from which the inner fits form
// X'WX = Xt_W·X and X'Wz = Xt_W·z with one dgemm each (`multiply`, in
// lapack.h), the quadratic form b'·S·b of a penalty, and the product whose
// rows depend on their own row alone.
#pragma once

#include "linalg/matrix.h"

namespace kavri::linalg {

// p × n row-major Xt_W with Xt_W[j][i] = X[i][j] · w_i.
Matrix weighted_transpose(MatrixView x, VectorView w);
// The same into a buffer the caller reuses across iterations; `out` is
// resized to p × n.
void weighted_transpose_into(MatrixView x, VectorView w, Matrix& out);

// X'·diag(w)·X, p × p, from blocks of rows: the weighted transpose of one
// block at a time, so no p × n copy of X is made.
Matrix weighted_gram(MatrixView x, VectorView w);

// Σ_i b_i·(Σ_j S_ij·b_j), each inner sum from 0.0 in index order, over the
// leading n × n block of S (n = b.size).
double quadratic_form(MatrixView s, VectorView b);

// C = A·B with C_ij = Σ_k A_ik·B_kj summed from 0.0 in k order, so that a
// row of C depends on its row of A alone. dgemm promises no such thing:
// its kernels give a row other last bits according to where it falls in
// the call's tiles (one row of A alone against the same row among four,
// measured), and a model matrix rebuilt at new data must give the same
// covariate the same row in every call.
Matrix multiply_by_rows(MatrixView a, MatrixView b);
// The same into storage the caller reuses (resized, never aliasing an operand).
void multiply_by_rows_into(MatrixView a, MatrixView b, Matrix& out);

}  // namespace kavri::linalg
