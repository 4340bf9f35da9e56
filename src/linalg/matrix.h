// Dense double-precision matrices and read-only views.
//
// `Matrix` owns row-major storage. `MatrixView` and `VectorView` are
// non-owning and carry element strides (not byte strides), so a caller can
// hand over a transposed matrix, a column slice or a strided NumPy buffer
// without copying. Views never outlive the storage they point into.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavri::linalg {

using Vector = std::vector<double>;

struct MatrixView;

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;  // row-major, rows * cols entries

  Matrix() = default;
  Matrix(std::size_t r, std::size_t c, double fill = 0.0) : rows(r), cols(c), data(r * c, fill) {}
  Matrix(std::size_t r, std::size_t c, std::vector<double> values)
      : rows(r), cols(c), data(std::move(values)) {
    assert(data.size() == r * c);
  }

  static Matrix identity(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
  }

  double& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
  double operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
  double* row(std::size_t i) { return data.data() + i * cols; }
  const double* row(std::size_t i) const { return data.data() + i * cols; }

  MatrixView view() const;
  friend bool operator==(const Matrix&, const Matrix&) = default;
};

struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // elements between (i, j) and (i + 1, j)
  std::ptrdiff_t col_stride = 1;  // elements between (i, j) and (i, j + 1)

  MatrixView() = default;
  MatrixView(const double* d, std::size_t r, std::size_t c, std::ptrdiff_t rs, std::ptrdiff_t cs)
      : data(d), rows(r), cols(c), row_stride(rs), col_stride(cs) {}
  MatrixView(const Matrix& m)  // NOLINT: implicit by design, a Matrix is always viewable
      : data(m.data.data()), rows(m.rows), cols(m.cols),
        row_stride(static_cast<std::ptrdiff_t>(m.cols)), col_stride(1) {}

  double operator()(std::size_t i, std::size_t j) const {
    return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride];
  }
  MatrixView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
  bool row_major_contiguous() const { return col_stride == 1 && row_stride == static_cast<std::ptrdiff_t>(cols); }
  // A fresh row-major copy.
  Matrix to_matrix() const {
    Matrix m(rows, cols);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = 0; j < cols; ++j) m(i, j) = (*this)(i, j);
    return m;
  }
};

inline MatrixView Matrix::view() const { return MatrixView(*this); }

struct VectorView {
  const double* data = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 1;

  VectorView() = default;
  VectorView(const double* d, std::size_t n, std::ptrdiff_t s = 1) : data(d), size(n), stride(s) {}
  VectorView(const Vector& v) : data(v.data()), size(v.size()), stride(1) {}  // NOLINT: implicit

  double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
  Vector to_vector() const {
    Vector v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = (*this)[i];
    return v;
  }
};

}  // namespace kavri::linalg
