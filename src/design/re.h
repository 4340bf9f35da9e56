// Random-effect terms: one indicator column per distinct value of a
// covariate column, with the identity penalty, and the single-smooth design
// "re" built from one.
//
// Levels are compared by their 64-bit patterns, so −0.0 and 0.0 are two
// levels; they are sorted ascending with −0.0 before 0.0. The indicator
// block is not centred.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

struct ReTerm {
  std::vector<double> levels;  // sorted, bit-distinct values of the column
  linalg::Matrix basis;        // n × L indicator matrix
};

// The term of column `col` (< columns of x). Fails on a non-finite value in
// the column, then with InvalidParameter "Re basis: x is empty" when x has
// no rows.
[[nodiscard]] Result<ReTerm> build_re_term(linalg::MatrixView x, std::uint64_t col);

// The sorted, bit-distinct levels of column `col`, with the checks of
// `build_re_term`, without its indicator matrix.
[[nodiscard]] Result<std::vector<double>> re_levels(linalg::MatrixView x, std::uint64_t col);

// The index of the level with the bit pattern of v, or levels.size() when
// none has (see `re_indicator_matrix`).
std::size_t re_level_index(std::span<const double> levels, double v);

// n × L matrix with 1.0 at (i, l) when x(i, 0) has the bit pattern of
// levels[l], given levels sorted as `build_re_term` leaves them; a value
// matching no level (unseen, NaN, a zero of the other sign) leaves a zero
// row.
linalg::Matrix re_indicator_matrix(std::span<const double> levels, linalg::MatrixView x);

// Design [1 | indicators of column 0] with the identity penalty on the
// indicator columns; x must have a column.
[[nodiscard]] Result<ModelDesign> build_single_re_design(linalg::MatrixView x);

}  // namespace kavri::design
