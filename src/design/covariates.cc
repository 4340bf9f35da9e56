#include "design/covariates.h"

#include <cassert>
#include <cmath>
#include <string>

#include "common/format.h"

namespace kavri::design {

Result<void> require_a_column(linalg::MatrixView x, std::string_view name) {
  if (x.rows > 0 && x.cols == 0) return invalid_parameter(std::string(name) + " must have at least one column");
  return {};
}

Result<void> require_finite_column(linalg::MatrixView x, std::uint64_t col) {
  assert(x.rows == 0 || col < x.cols);
  for (std::size_t i = 0; i < x.rows; ++i) {
    const double v = x(i, col);
    if (!std::isfinite(v))
      return invalid_parameter("x must be finite; got x=" + common::format_double(v) + " at row " +
                               common::format_count(i) + ", column " + common::format_count(col));
  }
  return {};
}

}  // namespace kavri::design
