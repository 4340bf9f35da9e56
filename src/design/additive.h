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
// has only {} columns". Then, still before any term is built (so that a
// column outside x is reported as that first), refuses two terms other than
// "re" that read a common column: each leaves the linear trend of that
// column unpenalised, so the model is singular for every smoothing
// parameter. The first term that reads a column an earlier such term reads
// is reported, at the first such column of its own, with the first earlier
// term to read it, as
// InvalidParameter "Additive terms {i} {term i} and {j} {term j} share
// column {c}: both leave its linear trend unpenalised, so the model cannot
// be identified; {advice}", terms written as in Python ((0, "cr"),
// ((0, 1), "te")) and the advice "use {the te term} alone, which smooths
// column {c} too" for a spline beside a tensor, "drop the duplicate" for
// terms of the same columns, "drop one of them" for tensors sharing one
// column. A tensor term that repeats a column is left to its builder. Then
// builds the terms in order, passing the first builder error on unchanged.
// An empty list fails with InvalidParameter "Additive design needs at least
// one term". M_p counts the directions left unpenalised by all penalties
// together, so a tensor term's two penalties are ranked as their sum.
[[nodiscard]] Result<ModelDesign> build_additive_design(linalg::MatrixView x, std::span<const TermSpec> terms);

// [1 | blocks] rebuilt term by term: a tensor term reads x_new whole, any
// other term the one column cols_used[i][0]. Each term's columns are checked
// against x_new just before its block is built ("AdditivePredictor: term {}
// expects column {} but x has only {} columns"); the stored column ranges
// are not read, the widths of the rebuilt blocks place them.
[[nodiscard]] Result<linalg::Matrix> additive_predictor_matrix(const AdditivePredictor& predictor,
                                                               linalg::MatrixView x_new);

}  // namespace kavri::design
