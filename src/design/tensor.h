// Tensor-product terms of two cubic regression spline margins: the term
// built at fit time and its columns rebuilt from a `TensorPredictor`.
//
// Raw coefficient a·k_b + b pairs basis function a of margin a with basis
// function b of margin b, so margin b runs fastest. The k_a·k_b raw columns
// are centred to sum to zero over the data, and the term carries two
// penalties, one along each margin, each normalised to largest eigenvalue 1.
#pragma once

#include <array>
#include <cstdint>

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

struct TensorTerm {
  linalg::Matrix basis;                     // B·Z, n × (k_a·k_b − 1)
  std::array<linalg::Matrix, 2> penalties;  // Z'·(S_a ⊗ I)·Z, then Z'·(I ⊗ S_b)·Z
  TensorPredictor predictor;
};

// S / λ_max(S) when the largest eigenvalue is positive, S unchanged
// otherwise. Fails with Linalg "eigh failed in tensor penalty rescale: {}".
[[nodiscard]] Result<linalg::Matrix> rescale_tensor_penalty(linalg::Matrix s);

// Row-wise Kronecker product: n × (m_a·m_b) with entry (i, a·m_b + b) =
// A(i, a)·B(i, b), n the rows of A. B needs at least n rows, and the caller
// makes sure the result fits (`require_matrix_fits`).
linalg::Matrix row_kronecker(linalg::MatrixView a, linalg::MatrixView b);

// The term of columns `col_a` and `col_b` (both < columns of x). Fails with
// InvalidParameter "Tensor term must have distinct margin columns (got
// col_a == col_b == {})", then on sizes that cannot be held, a non-finite
// covariate value, and the knot errors of margin a, then of margin b.
[[nodiscard]] Result<TensorTerm> build_tensor_term(linalg::MatrixView x, std::uint64_t col_a, std::uint64_t col_b,
                                                   std::uint64_t k_a, std::uint64_t k_b);

// [1 | R·centring] with R the row-wise Kronecker product of the margin
// bases at x_new (each times its `xp` matrix). The predictor may come from
// bytes, so its columns, knots and matrix shapes are checked before use.
[[nodiscard]] Result<linalg::Matrix> tensor_predictor_matrix(const TensorPredictor& predictor,
                                                             linalg::MatrixView x_new);

}  // namespace kavri::design
