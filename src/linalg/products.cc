#include "linalg/products.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "linalg/lapack.h"

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

// Rows per block of `weighted_gram`: a block of X'W (p × 2048) and the rows
// of X it weights stay in cache while their product is taken.
constexpr std::size_t kGramBlockRows = 2048;

Matrix weighted_gram(MatrixView x, VectorView w) {
  const std::size_t n = x.rows, p = x.cols;
  Matrix gram(p, p), xtw, block_gram;
  for (std::size_t first = 0; first < n; first += kGramBlockRows) {
    const std::size_t rows = std::min(kGramBlockRows, n - first);
    const MatrixView block(x.data + static_cast<std::ptrdiff_t>(first) * x.row_stride, rows, p, x.row_stride,
                           x.col_stride);
    weighted_transpose_into(block, VectorView(w.data + static_cast<std::ptrdiff_t>(first) * w.stride, rows, w.stride),
                            xtw);
    multiply_into(xtw, block, block_gram);
    for (std::size_t k = 0; k < p * p; ++k) gram.data[k] += block_gram.data[k];
  }
  return gram;
}

void multiply_by_rows_into(MatrixView a, MatrixView b, Matrix& out) {
  assert(a.cols == b.rows);
  assert(out.data.empty() || (out.data.data() != a.data && out.data.data() != b.data));
  out.rows = a.rows;
  out.cols = b.cols;
  out.data.resize(a.rows * b.cols);
  // B's rows contiguous, so that its entries are read in pairs.
  Matrix copy;
  const double* bd = b.data;
  std::ptrdiff_t ld = b.row_stride;
  if (b.col_stride != 1) {
    copy = b.to_matrix();
    bd = copy.data.data();
    ld = static_cast<std::ptrdiff_t>(b.cols);
  }
  // Each entry's sum runs from 0.0 in k order; eight entries of a row are
  // summed at a time in four pairs held in registers, the rest one by one.
  using Pair = double __attribute__((vector_size(16)));
  constexpr std::size_t kPairs = 4, kChunk = 2 * kPairs;
  const std::size_t inner = a.cols, cols = b.cols;
  for (std::size_t i = 0; i < a.rows; ++i) {
    double* const row = out.row(i);
    std::size_t j = 0;
    for (; j + kChunk <= cols; j += kChunk) {
      Pair sum[kPairs] = {};
      for (std::size_t k = 0; k < inner; ++k) {
        const double aik = a(i, k);
        const Pair scale = {aik, aik};
        const double* const bk = bd + static_cast<std::ptrdiff_t>(k) * ld + static_cast<std::ptrdiff_t>(j);
        for (std::size_t q = 0; q < kPairs; ++q) {
          Pair entries;
          std::memcpy(&entries, bk + 2 * q, sizeof entries);
          sum[q] += scale * entries;
        }
      }
      std::memcpy(row + j, sum, sizeof sum);
    }
    for (; j < cols; ++j) {
      double sum = 0.0;
      for (std::size_t k = 0; k < inner; ++k)
        sum += a(i, k) * bd[static_cast<std::ptrdiff_t>(k) * ld + static_cast<std::ptrdiff_t>(j)];
      row[j] = sum;
    }
  }
}

Matrix multiply_by_rows(MatrixView a, MatrixView b) {
  Matrix c;
  multiply_by_rows_into(a, b, c);
  return c;
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
