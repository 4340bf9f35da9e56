// Penalty matrices of a design: the weighted sum S_λ = Σ_j exp(ρ_j)·S_j,
// the embedding of a term's penalty at its columns of the model matrix, and
// the rank and log pseudo-determinant that the criterion needs.
//
// Penalties are square and symmetric by construction; every list indexed by
// smoothing parameter follows the penalty order of the design.
#pragma once

#include <cstdint>
#include <span>

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

// An eigenvalue counts towards the rank when it exceeds this multiple of
// max(1, λ_max): relative for large penalties, absolute for small ones.
inline constexpr double kPenaltyRankTolerance = 1e-10;

// S_λ = Σ_j exp(ρ_j)·S_j over the m penalties, in list order; entries of ρ
// beyond m are ignored. Requires m >= 1 and ρ of at least m entries.
linalg::Matrix total_penalty(std::span<const linalg::Matrix> penalties, linalg::VectorView rho);

// kPenaltyRankTolerance·max(1, λ_max) over a penalty's eigenvalues (NaN
// ignored): an eigenvalue counts towards the rank when it exceeds this.
double penalty_rank_threshold(const linalg::Vector& eigenvalues);

// A p × p zero matrix holding `block` at rows and columns start ..
// start + w − 1.
linalg::Matrix embed_penalty(linalg::MatrixView block, std::uint64_t start, std::uint64_t p);

// Counts the eigenvalues above kPenaltyRankTolerance·max(1, λ_max) (NaN
// never counts) and sums their logarithms. S is not symmetrised: the entries
// on and above the diagonal are read. Fails with Linalg "eigh failed in
// penalty rank: {}" when the eigendecomposition does.
[[nodiscard]] Result<PenaltySummary> penalty_rank_and_log_pdet(linalg::MatrixView s);

}  // namespace kavri::design
