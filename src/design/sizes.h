// Size checks for the matrices that the design builders and the model-matrix
// rebuild allocate. Dimensions that come from a caller (knot counts, the rows
// of a covariate view, which may have stride 0) or from a stored model are
// multiplied with overflow checks before anything is allocated, so that no
// product wraps into a short buffer.
#pragma once

#include <climits>
#include <cstdint>
#include <string_view>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// Every matrix here passes through BLAS or LAPACK, whose dimensions are int.
inline constexpr std::uint64_t kMaxMatrixDimension = INT_MAX;

// InvalidParameter "{context}: a {rows} × {cols} matrix is too large" when a
// dimension exceeds kMaxMatrixDimension or rows·cols doubles cannot be
// addressed. An allocation that passes and still fails throws std::bad_alloc,
// which the module boundary reports as MemoryError.
[[nodiscard]] Result<void> require_matrix_fits(std::string_view context, std::uint64_t rows, std::uint64_t cols);

// Checks of a matrix kept in a stored predictor, which a model read back
// from bytes may hold in any shape. Both first fail with InvalidParameter
// "{record}: {field} holds {} values for {} × {}" when the storage disagrees
// with the dimensions. Then `require_stored_rows` fails with "{record}:
// {field} must have {rows} rows, {reason}; got {}" and `require_stored_shape`
// with "{record}: {field} must be {rows} × {cols}, {reason}; got {} × {}".
[[nodiscard]] Result<void> require_stored_rows(std::string_view record, std::string_view field,
                                               const linalg::Matrix& m, std::uint64_t rows,
                                               std::string_view reason);
[[nodiscard]] Result<void> require_stored_shape(std::string_view record, std::string_view field,
                                                const linalg::Matrix& m, std::uint64_t rows, std::uint64_t cols,
                                                std::string_view reason);

}  // namespace kavri::design
