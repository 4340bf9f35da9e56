// The penalty term of the criterion, R = ½·ln|S_λ|₊ with S_λ = Σ_j λ_j·S_j,
// and its derivatives ∂R/∂ρ_j (λ_j = exp(ρ_j)).
//
// Penalties that share no row with any other (one per term) contribute
// ½·(r_j·ρ_j + ℓ_j) from their rank r_j and log pseudo-determinant ℓ_j,
// with derivative ½·r_j. Penalties that overlap (the margins of a tensor
// term) are taken together: ½·ln|B|₊ of the sum B over their common rows
// and ½·λ_j·tr(B⁺S_j). B keeps the rank of its unweighted sum whatever the
// λ_j, so the term stays smooth in ρ where the smallest eigenvalues fall
// below a relative rank threshold.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::score {

struct PenaltyDeterminant {
  double value = 0.0;       // R
  linalg::Vector gradient;  // ∂R/∂ρ_j, one per penalty
  // ∂²R/∂ρ_i∂ρ_j: 0 outside overlapping penalties; within them
  // ½·(δ_ij·λ_j·tr(B⁺S_j) − λ_iλ_j·tr(B⁺S_iB⁺S_j)), B keeping its range.
  linalg::Matrix hessian;
};

// The penalties that share rows, grouped, each group with the union of its
// members' rows. It depends on the penalties alone, and finding it reads
// every entry of every p × p penalty, so a fit forms it once.
struct PenaltyGroup {
  std::vector<std::size_t> members;
  std::vector<std::size_t> rows;
};
struct PenaltyGroups {
  std::vector<PenaltyGroup> groups;
};
PenaltyGroups penalty_groups(std::span<const linalg::Matrix> penalties);

// Penalties are p × p and symmetric, ranks and log pseudo-determinants as
// long as the penalty list, ρ at least as long. Fails with Linalg "eigh
// failed in penalty determinant: {}" when the block of overlapping
// penalties cannot be decomposed.
[[nodiscard]] Result<PenaltyDeterminant> penalty_determinant(std::span<const linalg::Matrix> penalties,
                                                             std::span<const std::uint64_t> ranks,
                                                             std::span<const double> log_pdets,
                                                             linalg::VectorView rho);
// The same with the penalties' groups formed beforehand.
[[nodiscard]] Result<PenaltyDeterminant> penalty_determinant(const PenaltyGroups& groups,
                                                             std::span<const linalg::Matrix> penalties,
                                                             std::span<const std::uint64_t> ranks,
                                                             std::span<const double> log_pdets,
                                                             linalg::VectorView rho);

}  // namespace kavri::score
