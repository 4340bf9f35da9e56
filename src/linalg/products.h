// The weighted transpose X'·diag(w), from which the inner fits form
// X'WX = Xt_W·X and X'Wz = Xt_W·z with one dgemm each (`multiply`, in
// lapack.h).
#pragma once

#include "linalg/matrix.h"

namespace kavri::linalg {

// p × n row-major Xt_W with Xt_W[j][i] = X[i][j] · w_i.
Matrix weighted_transpose(MatrixView x, VectorView w);
// The same into a buffer the caller reuses across iterations; `out` is
// resized to p × n.
void weighted_transpose_into(MatrixView x, VectorView w, Matrix& out);

}  // namespace kavri::linalg
