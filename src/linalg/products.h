// The weighted transpose X'·diag(w), from which the inner fits form
// X'WX = Xt_W·X and X'Wz = Xt_W·z with one dgemm each (`multiply`, in
// lapack.h), and the quadratic form b'·S·b of a penalty.
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

}  // namespace kavri::linalg
