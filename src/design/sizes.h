// Size checks for the matrices that the design builders and the model-matrix
// rebuild allocate. Dimensions that come from a caller (knot counts, the rows
// of a covariate view, which may have stride 0) or from a stored model are
// multiplied with overflow checks before anything is allocated, so that no
// product wraps into a short buffer.
#pragma once

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// Every matrix here passes through BLAS or LAPACK, whose dimensions are int.
inline constexpr std::uint64_t kMaxMatrixDimension = INT_MAX;

// InvalidParameter "{context}: a {rows} × {cols} matrix is too large" when a
// dimension exceeds kMaxMatrixDimension or rows·cols doubles cannot be
// addressed. An allocation that passes and still fails throws std::bad_alloc,
// which the module boundary reports as MemoryError; the builders name it
// with `naming_allocation_failure`.
[[nodiscard]] Result<void> require_matrix_fits(std::string_view context, std::uint64_t rows, std::uint64_t cols);

struct MatrixShape {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

// The shape with the most entries, the first of equals.
MatrixShape largest_shape(std::initializer_list<MatrixShape> shapes);

// A std::bad_alloc that says what was being allocated. The module boundary
// reports it as MemoryError with this text.
class AllocationFailure : public std::bad_alloc {
 public:
  AllocationFailure(std::string_view context, MatrixShape shape);
  const char* what() const noexcept override { return text_->c_str(); }

 private:
  std::shared_ptr<const std::string> text_;  // shared, so that copies cannot throw
};

// Runs `make`, turning a std::bad_alloc into an AllocationFailure "{context}:
// out of memory allocating a {rows} × {cols} matrix", `shape` being the
// largest matrix that `make` allocates: an allocation fails first where the
// most memory is asked for. A failure already named inside passes unchanged.
template <class Make>
decltype(auto) naming_allocation_failure(std::string_view context, MatrixShape shape, Make&& make) {
  try {
    return std::forward<Make>(make)();
  } catch (const AllocationFailure&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw AllocationFailure(context, shape);
  }
}

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
