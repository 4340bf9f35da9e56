// How term blocks become a model design: the intercept column in front of
// the blocks, and the whole `ModelDesign` of a single smooth term.
//
// Model matrices are row-major with the intercept in column 0; a term's
// penalty sits at its own columns, so row and column 0 of every penalty are
// zero.
#pragma once

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// [1 | B]: n × (m + 1), column 0 all 1.0, then a copy of B (any strides).
linalg::Matrix prepend_intercept_column(linalg::MatrixView b);

// The design over a ready model matrix x = [1 | term]: the single penalty
// embedded at columns 1 .. p − 1, as `single_smooth_design`.
[[nodiscard]] Result<ModelDesign> smooth_design_over(linalg::Matrix x, linalg::MatrixView term_penalty,
                                                     Predictor predictor);

// X = [1 | basis] and the single penalty embedded at columns 1 .. p − 1,
// with its rank and log pseudo-determinant and M_p = p − rank.
[[nodiscard]] Result<ModelDesign> single_smooth_design(linalg::MatrixView basis, linalg::MatrixView term_penalty,
                                                       Predictor predictor);

}  // namespace kavri::design
