// Additive designs: the model matrix [1 | C_1 | C_2 | ...] with one block
// per requested term and one penalty per smoothing parameter (two for a
// tensor term), and the same columns rebuilt from an `AdditivePredictor`.
//
// Term i of the list is term i of every message (0-based). Blocks follow
// the intercept in term order without gaps; each penalty is embedded at its
// term's columns of the full model matrix.
#pragma once

#include <span>

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// Checks every column of every term against the columns of x before any
// term is built: InvalidParameter "Additive term {} reads column {} but x
// has only {} columns". Then builds the terms in order, passing the first
// builder error on unchanged. An empty list fails with InvalidParameter
// "Additive design needs at least one term". M_p counts the directions left
// unpenalised by all penalties together, so a tensor term's two penalties
// are ranked as their sum.
[[nodiscard]] Result<ModelDesign> build_additive_design(linalg::MatrixView x, std::span<const TermSpec> terms);

// [1 | blocks] rebuilt term by term: a tensor term reads x_new whole, any
// other term the one column cols_used[i][0]. Each term's columns are checked
// against x_new just before its block is built ("AdditivePredictor: term {}
// expects column {} but x has only {} columns"); the stored column ranges
// are not read, the widths of the rebuilt blocks place them.
[[nodiscard]] Result<linalg::Matrix> additive_predictor_matrix(const AdditivePredictor& predictor,
                                                               linalg::MatrixView x_new);

}  // namespace kavri::design
