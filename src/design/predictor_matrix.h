// The model matrix at new covariate values, rebuilt from the `Predictor` a
// fitted model keeps: the same knots, centring, rotation, levels and tensor
// margins as at fit time, so that the fitted coefficients apply column for
// column.
//
// The result is a new row-major n_new × p matrix with 1.0 in column 0. A
// predictor may have been read back from bytes, so every stored shape is
// checked before it is used; nothing is cached between calls.
#pragma once

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// "cr", "cr_stable" and "re" read column 0 of x_new (InvalidParameter
// "x_new must have at least one column" when it has rows and none), a tensor
// its own two columns, an additive predictor the columns in `cols_used`.
// Stored knots are validated again; stored matrices whose shapes disagree
// fail with InvalidParameter naming the record, the field and both shapes.
[[nodiscard]] Result<linalg::Matrix> predictor_design_matrix(const Predictor& predictor, linalg::MatrixView x_new);

}  // namespace kavri::design
