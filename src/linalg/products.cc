#include "linalg/products.h"

namespace kavri::linalg {

void weighted_transpose_into(MatrixView x, VectorView w, Matrix& out) {
  out.rows = x.cols;
  out.cols = x.rows;
  out.data.assign(x.rows * x.cols, 0.0);
  for (std::size_t i = 0; i < x.rows; ++i) {
    const double wi = w[i];
    for (std::size_t j = 0; j < x.cols; ++j) out(j, i) = x(i, j) * wi;
  }
}

Matrix weighted_transpose(MatrixView x, VectorView w) {
  Matrix out;
  weighted_transpose_into(x, w, out);
  return out;
}

}  // namespace kavri::linalg
