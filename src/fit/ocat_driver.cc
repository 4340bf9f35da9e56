#include "fit/ocat_driver.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "design/re_blocks.h"
#include "design/single_design.h"
#include "design/sizes.h"
#include "fit/plain_driver.h"
#include "fit/shape_driver.h"
#include "fit/summaries.h"
#include "inner/fit_at.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "outer/newton.h"
#include "score/shape_aware.h"

namespace kavri::fit {

double mean_prior_weight(const std::optional<linalg::VectorView>& prior_weights) {
  if (!prior_weights || prior_weights->size == 0) return 1.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < prior_weights->size; ++i) sum += (*prior_weights)[i];
  const double mean = sum / static_cast<double>(prior_weights->size);
  return mean > 0.0 && std::isfinite(mean) ? mean : 1.0;
}

Result<void> check_categories_observed(linalg::VectorView y, std::optional<linalg::VectorView> prior_weights,
                                      std::uint64_t n_cats) {
  // Without a row in a category nothing fixes the cut points around it: an
  // empty end category sends its cut point to infinity, an empty inner one
  // its gap to zero, and the search crawls after them (r = 20 for y in 1..4
  // took 2.7 s, r = 100 over a minute) towards a fit that is no better.
  std::vector<bool> seen(n_cats, false);
  for (std::size_t i = 0; i < y.size; ++i)
    if (!prior_weights || (*prior_weights)[i] > 0.0) seen[family::ocat_category(y[i], n_cats) - 1] = true;
  std::string empty;
  for (std::uint64_t k = 0; k < n_cats;) {
    if (seen[k]) {
      ++k;
      continue;
    }
    std::uint64_t last = k;
    while (last + 1 < n_cats && !seen[last + 1]) ++last;
    if (!empty.empty()) empty += ", ";
    empty += common::format_count(k + 1);
    if (last > k) empty += "..=" + common::format_count(last + 1);
    k = last + 1;
  }
  if (empty.empty()) return {};
  return invalid_parameter("Ocat requires observations in every category 1..=" + common::format_count(n_cats) +
                           "; none in " + empty);
}

Result<FittedGam> fit_ocat(family::Ocat family, linalg::MatrixView x, linalg::VectorView y,
                           std::optional<linalg::VectorView> prior_weights, std::string_view design_name,
                           std::uint64_t k, inner::FitCounters* counters) {
  KAVRI_TRY(design::ModelDesign design,
            design::build_named_single_design(x, design_name, k,
                                              [&] { return check_data_before_design(x.rows, y, prior_weights); }));
  return fit_ocat(std::move(family), std::move(design), x.rows, y, prior_weights, counters);
}

Result<FittedGam> fit_ocat(family::Ocat family, design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                           std::optional<linalg::VectorView> prior_weights, inner::FitCounters* counters) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  KAVRI_TRY_VOID(family.check_response(y));
  if (family.thresholds.size() != family.n_cats - 2)
    return invalid_parameter("Ocat init_theta length must equal n_cats - 2 = " +
                             common::format_count(family.n_cats - 2) +
                             " (log-gap thresholds between adjacent categories above the first); got " +
                             common::format_count(family.thresholds.size()));
  KAVRI_TRY_VOID(require_single_smooth(design, "ocat"));

  const std::size_t coordinates = family.thresholds.size() + 1;
  // The search's Hessian is the largest thing a fit with many categories
  // allocates; a size the machine cannot hold fails here, before the first
  // of the many refits.
  design::naming_allocation_failure("ocat", {coordinates, coordinates},
                                    [&] { return linalg::Matrix(coordinates, coordinates); });
  KAVRI_TRY_VOID(check_categories_observed(y, prior_weights, family.n_cats));
  if (prior_weights) {
    double sum = 0.0;
    for (std::size_t i = 0; i < prior_weights->size; ++i) sum += (*prior_weights)[i];
    const double mean = sum / static_cast<double>(prior_weights->size);
    if (!(mean >= kMinMeanOcatWeight))
      return invalid_parameter("ocat prior weights must have a mean of at least " +
                               common::format_double(kMinMeanOcatWeight) + "; got " + common::format_double(mean));
  }
  // Weights count replicates, so X'WX grows with their mean and the penalty
  // must grow with it to weigh the same.
  linalg::Vector start(coordinates, 0.0);
  start[0] = std::log(mean_prior_weight(prior_weights));
  for (std::size_t c = 1; c < coordinates; ++c) start[c] = family.thresholds[c - 1];

  // A design with an "re" term is fitted and scored with H in blocks.
  const score::ShapeProblem<family::Ocat> problem =
      make_shape_problem(family, design, y, prior_weights, /*in_blocks=*/true);
  score::ShapeSearch search(problem, counters);
  KAVRI_TRY(outer::OuterState state,
            outer::outer_newton_minimize(
                std::move(start), [&](const linalg::Vector& v) { return search.evaluate(v); },
                [&](const linalg::Vector& v) { return search.value_at(v); }, static_cast<double>(n)));

  inner::FitProblem<family::Ocat> final_problem = problem.fit;
  final_problem.family = score::family_at(family, linalg::VectorView(state.rho));
  const linalg::Vector rho{state.rho[0]};
  KAVRI_TRY(inner::InnerFit fit, inner::fit_at(final_problem, linalg::VectorView(rho), {.counters = counters}));

  FitSummary summary{.scale = 1.0,
                     .edf_total = fit.block_factor
                                      ? linalg::block_trace_times(
                                            *fit.block_factor,
                                            design::re_weighted_gram(*problem.fit.re_blocks,
                                                                     linalg::VectorView(fit.working_weights)))
                                      : compute_edf_total(problem.fit.model_matrix, fit.working_weights, fit.factor),
                     .vcov = scaled_covariance(fit, 1.0)};
  linalg::Vector thresholds(state.rho.begin() + 1, state.rho.end());
  return assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(state), rho, std::move(fit),
                             std::move(summary), n, family::Ocat::link_kind(), std::move(thresholds));
}

}  // namespace kavri::fit
