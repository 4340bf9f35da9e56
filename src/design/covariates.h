// Reading covariate columns for the design builders: column views into the
// caller's matrix (any strides, never copied) and the checks a column must
// pass before a builder reads it.
//
// Rows and columns in messages are 0-based.
#pragma once

#include <cstdint>
#include <string_view>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// Column `col` of x as an n × 1 matrix view and as a vector view.
inline linalg::MatrixView column_matrix(linalg::MatrixView x, std::uint64_t col) {
  return {x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride, x.rows, 1, x.row_stride, x.col_stride};
}
inline linalg::VectorView column_vector(linalg::MatrixView x, std::uint64_t col) {
  return {x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride, x.rows, x.row_stride};
}

// InvalidParameter "{name} must have at least one column" for x with rows
// and no columns; the single-smooth designs and their rebuilds read column 0.
[[nodiscard]] Result<void> require_a_column(linalg::MatrixView x, std::string_view name = "x");

// InvalidParameter "x must be finite; got x={} at row {}, column {}" for
// the first NaN or infinite value of column `col`. Sorting NaN is undefined
// and infinite values give infinite knot spacings, so builders check first.
[[nodiscard]] Result<void> require_finite_column(linalg::MatrixView x, std::uint64_t col);

}  // namespace kavri::design
