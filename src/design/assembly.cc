#include "design/assembly.h"

#include <cassert>

#include "design/penalty.h"

namespace kavri::design {

linalg::Matrix prepend_intercept_column(linalg::MatrixView b) {
  linalg::Matrix out(b.rows, b.cols + 1);
  for (std::size_t i = 0; i < b.rows; ++i) {
    double* row = out.row(i);
    row[0] = 1.0;
    for (std::size_t j = 0; j < b.cols; ++j) row[j + 1] = b(i, j);
  }
  return out;
}

Result<ModelDesign> single_smooth_design(linalg::MatrixView basis, linalg::MatrixView term_penalty,
                                         Predictor predictor) {
  assert(term_penalty.rows == basis.cols && term_penalty.cols == basis.cols);
  return smooth_design_over(prepend_intercept_column(basis), term_penalty, std::move(predictor));
}

Result<ModelDesign> smooth_design_over(linalg::Matrix x, linalg::MatrixView term_penalty, Predictor predictor) {
  assert(x.cols >= 1 && term_penalty.rows == x.cols - 1 && term_penalty.cols == x.cols - 1);
  const std::uint64_t p = x.cols;
  linalg::Matrix penalty = embed_penalty(term_penalty, 1, p);
  KAVRI_TRY(const PenaltySummary summary, penalty_rank_and_log_pdet(penalty));
  return ModelDesign{
      .penalties = {std::move(penalty)},
      .penalty_ranks = {summary.rank},
      .penalty_log_pdets = {summary.log_pdet},
      .model_matrix = std::move(x),
      .null_space_dim = summary.rank <= p ? p - summary.rank : 0,
      .predictor = std::move(predictor),
  };
}

}  // namespace kavri::design
