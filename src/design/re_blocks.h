// The block form of a model matrix with a random-effect term: the term's
// indicator columns as the diagonal part of H = X'WX + S_λ and every other
// column (the intercept, the smooths and any further random effects) as its
// dense part, so that the fits factor H through its Schur complement
// (linalg/block_factor.h) instead of densely.
//
// Each row of an indicator block holds at most one 1.0, and the term's
// penalty is the identity on its own columns, so H restricted to them is
// diagonal for any weights and smoothing parameters. Of several "re" terms
// only one can be that part: two terms' levels share rows, so H couples
// them. The one with most levels is taken; the others join the dense part,
// whose size k sets the cost, O(n·k²) + O(k²·q) + O(k³).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "linalg/block_factor.h"
#include "linalg/matrix.h"

namespace kavri::design {

struct ModelDesign;

struct ReBlocks {
  linalg::BlockPartition partition;  // the diagonal part: one "re" term's columns
  linalg::Matrix dense_x;            // n × k, X's dense-part columns in partition order
  std::vector<std::uint32_t> level;  // n, each row's diagonal-part index (linalg::kNoLevel: none)
  std::vector<linalg::BlockSystem> penalties;  // the design's penalties in block form, in order

  linalg::BlockRows rows() const { return {dense_x, level}; }
};

// Each row's level in each of a design's terms, by term, as the design's
// build placed them: for an "re" term the index of the row's level
// (linalg::kNoLevel where it has none), empty for any other term. The
// single-smooth "re" design has one term.
using TermRowLevels = std::vector<std::vector<std::uint32_t>>;

// The block form of `design`, with the "re" term of most levels as the
// diagonal part and its rows' levels from `row_levels`, O(n·k): reading
// them back off X's indicator columns would cost O(n·q). Absent when the
// design has no "re" term, when that term's levels are not given row by
// row, or when a penalty is not diagonal on its columns.
std::optional<ReBlocks> re_blocks(const ModelDesign& design, const TermRowLevels& row_levels);

// X'·diag(w)·X in block form, O(n·k²): the dense part's Gram matrix, each
// level's weighted sums of the dense columns and of the weights.
linalg::BlockSystem re_weighted_gram(const ReBlocks& blocks, linalg::VectorView w);

// S_λ = Σ_j exp(ρ_j)·S_j in block form.
linalg::BlockSystem block_total_penalty(const ReBlocks& blocks, linalg::VectorView rho);

// X'·v in H's column order.
linalg::Vector re_transpose_times(const ReBlocks& blocks, linalg::VectorView v);

// X·β for β in H's column order.
linalg::Vector re_times(const ReBlocks& blocks, linalg::VectorView beta);

}  // namespace kavri::design
