// What every criterion reads of a fit besides its inner fit: the design's
// penalties with their ranks and log pseudo-determinants, the data, and the
// per-fit constants of the scale rule. The record borrows what a driver
// owns for the whole fit and must not outlive it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "family/family.h"
#include "linalg/matrix.h"

namespace kavri::design {
struct ReBlocks;
}

namespace kavri::score {

struct PenaltyGroups;

// What every criterion reads besides the inner fit: views of the design's
// penalties, ranks and log pseudo-determinants, of y and the prior weights.
struct CriterionView {
  std::span<const linalg::Matrix> penalties;        // p × p each, in penalty order
  std::span<const std::uint64_t> penalty_ranks;     // rank of each penalty
  std::span<const double> penalty_log_pdets;        // log pseudo-determinant of each penalty
  linalg::VectorView y;                             // n
  std::optional<linalg::VectorView> prior_weights;  // n; absent means every weight is 1
  std::uint64_t n = 0;                              // rows of the data
  std::uint64_t null_space_dim = 0;                 // M_p, the dimension of the unpenalized space
  double scale_floor = family::kScaleFloor;         // lower bound of an estimated φ (`family::scale_floor`)
  // c(y) of a family whose scale is fixed at 1, formed once per fit: it
  // does not move with ρ, and it costs a logarithm per row.
  std::optional<double> fixed_saturated_loglik = std::nullopt;
  // X in random-effect block form, when the fits factor H in blocks.
  const design::ReBlocks* re_blocks = nullptr;
  // The penalties' overlap groups (score/penalty_determinant.h), formed
  // once per fit; absent, each evaluation finds them anew.
  const PenaltyGroups* penalty_groups = nullptr;
};

}  // namespace kavri::score
