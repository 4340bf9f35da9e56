#include "linalg/products.h"

namespace kavri::linalg {

void weighted_transpose_into(MatrixView x, VectorView w, Matrix& out) {
  out.rows = x.cols;
  out.cols = x.rows;
  // Every entry is written below; a reused buffer keeps its storage.
  out.data.resize(x.rows * x.cols);
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

double quadratic_form(MatrixView s, VectorView b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < b.size; ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < b.size; ++j) row += s(i, j) * b[j];
    sum += b[i] * row;
  }
  return sum;
}

}  // namespace kavri::linalg
