#include "design/sizes.h"

#include <cstddef>
#include <optional>
#include <string>

#include "common/format.h"
#include "common/numeric.h"

namespace kavri::design {

Result<void> require_matrix_fits(std::string_view context, std::uint64_t rows, std::uint64_t cols) {
  constexpr std::uint64_t kMaxEntries = PTRDIFF_MAX / sizeof(double);
  const std::optional<std::uint64_t> entries = common::checked_mul(rows, cols);
  if (rows > kMaxMatrixDimension || cols > kMaxMatrixDimension || !entries || *entries > kMaxEntries)
    return invalid_parameter(std::string(context) + ": a " + common::format_count(rows) + " × " +
                             common::format_count(cols) + " matrix is too large");
  return {};
}

MatrixShape largest_shape(std::initializer_list<MatrixShape> shapes) {
  MatrixShape best{};
  std::uint64_t best_entries = 0;
  bool first = true;
  for (const MatrixShape& s : shapes) {
    // An entry count beyond 64 bits is the largest there is.
    const std::uint64_t entries = common::checked_mul(s.rows, s.cols).value_or(UINT64_MAX);
    if (first || entries > best_entries) {
      best = s;
      best_entries = entries;
      first = false;
    }
  }
  return best;
}

AllocationFailure::AllocationFailure(std::string_view context, MatrixShape shape)
    : text_(std::make_shared<const std::string>(std::string(context) + ": out of memory allocating a " +
                                                common::format_count(shape.rows) + " × " +
                                                common::format_count(shape.cols) + " matrix")) {}

namespace {

Result<void> require_consistent_storage(std::string_view record, std::string_view field, const linalg::Matrix& m) {
  const std::optional<std::uint64_t> entries = common::checked_mul(m.rows, m.cols);
  if (!entries || *entries != m.data.size())
    return invalid_parameter(std::string(record) + ": " + std::string(field) + " holds " +
                             common::format_count(m.data.size()) + " values for " + common::format_count(m.rows) +
                             " × " + common::format_count(m.cols));
  return {};
}

}  // namespace

Result<void> require_stored_rows(std::string_view record, std::string_view field, const linalg::Matrix& m,
                                 std::uint64_t rows, std::string_view reason) {
  KAVRI_TRY_VOID(require_consistent_storage(record, field, m));
  if (m.rows != rows)
    return invalid_parameter(std::string(record) + ": " + std::string(field) + " must have " +
                             common::format_count(rows) + " rows, " + std::string(reason) + "; got " +
                             common::format_count(m.rows));
  return {};
}

Result<void> require_stored_shape(std::string_view record, std::string_view field, const linalg::Matrix& m,
                                  std::uint64_t rows, std::uint64_t cols, std::string_view reason) {
  KAVRI_TRY_VOID(require_consistent_storage(record, field, m));
  if (m.rows != rows || m.cols != cols)
    return invalid_parameter(std::string(record) + ": " + std::string(field) + " must be " +
                             common::format_count(rows) + " × " + common::format_count(cols) + ", " +
                             std::string(reason) + "; got " + common::format_count(m.rows) + " × " +
                             common::format_count(m.cols));
  return {};
}

}  // namespace kavri::design
