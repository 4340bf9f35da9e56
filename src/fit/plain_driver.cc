#include "fit/plain_driver.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/format.h"

namespace kavri::fit {

using common::format_count;
using common::format_double;

namespace {

Result<void> require_rows(std::uint64_t n) {
  if (n == 0) return invalid_parameter("x must have at least one row");
  return {};
}

// Weights that are all zero leave nothing to fit, and the first
// factorisation would fail without saying why.
Result<void> require_a_positive_weight(linalg::VectorView w) {
  for (std::size_t i = 0; i < w.size; ++i)
    if (w[i] != 0.0) return {};
  return invalid_parameter("prior weights must not all be zero");
}

}  // namespace

namespace {

// A row weighted beyond this multiple of the median positive weight leaves
// the others below the solves' relative ridge (1e-12 of the largest
// diagonal entry): their information would be lost without a word.
constexpr double kMaxWeightOverMedian = 1e12;

Result<void> require_weight_range(linalg::VectorView w) {
  std::vector<double> positive;
  positive.reserve(w.size);
  for (std::size_t i = 0; i < w.size; ++i)
    if (w[i] > 0.0) positive.push_back(w[i]);
  const std::size_t mid = positive.size() / 2;
  std::nth_element(positive.begin(), positive.begin() + static_cast<std::ptrdiff_t>(mid), positive.end());
  const double limit = kMaxWeightOverMedian * positive[mid];
  for (std::size_t i = 0; i < w.size; ++i)
    if (w[i] > limit)
      return invalid_parameter("a prior weight may be at most 1e12 times the median positive weight (" +
                               format_double(positive[mid]) + "); got w=" + format_double(w[i]) + " at row " +
                               format_count(i));
  return {};
}

}  // namespace

Result<void> check_rows_and_weights(std::uint64_t n, linalg::VectorView y,
                                    const std::optional<linalg::VectorView>& prior_weights) {
  KAVRI_TRY_VOID(require_rows(n));
  if (y.size != n)
    return invalid_parameter("x and y must have the same number of rows; got x.nrows()=" + format_count(n) +
                             ", y.len()=" + format_count(y.size));
  if (!prior_weights) return {};
  const linalg::VectorView w = *prior_weights;
  if (w.size != n)
    return invalid_parameter("prior_weights length must match x rows; got weights.len()=" + format_count(w.size) +
                             ", x.nrows()=" + format_count(n));
  for (std::size_t i = 0; i < w.size; ++i)
    if (!(std::isfinite(w[i]) && w[i] >= 0.0))
      return invalid_parameter("prior weights must be finite and non-negative; got w=" + format_double(w[i]) +
                               " at row " + format_count(i));
  KAVRI_TRY_VOID(require_a_positive_weight(w));
  return require_weight_range(w);
}

Result<void> check_data_before_design(std::uint64_t n, linalg::VectorView y,
                                      const std::optional<linalg::VectorView>& prior_weights) {
  KAVRI_TRY_VOID(require_rows(n));
  // Weights that are all zero pass the value check, so with the counts
  // right nothing comes between them and their own check.
  if (y.size == n && prior_weights && prior_weights->size == n) return require_a_positive_weight(*prior_weights);
  return {};
}

score::CriterionView criterion_view(const design::ModelDesign& design, linalg::VectorView y,
                                    const std::optional<linalg::VectorView>& prior_weights) {
  return score::CriterionView{.penalties = design.penalties,
                              .penalty_ranks = design.penalty_ranks,
                              .penalty_log_pdets = design.penalty_log_pdets,
                              .y = y,
                              .prior_weights = prior_weights,
                              .n = y.size,
                              .null_space_dim = design.null_space_dim};
}

}  // namespace kavri::fit
