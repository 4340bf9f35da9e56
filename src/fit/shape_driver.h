// The fit driver of the families whose shape parameters are estimated with
// the smoothing parameter: negative binomial (θ), scaled t (ν, σ²) and
// Tweedie (p, φ). Input checks, the joint outer Newton search over
// [ρ, shape coordinates] from ρ = 0 and the start values, the final inner
// fit at the chosen point, the summaries and the `FittedGam`.
//
// Written once over the family; the family states its start-value check,
// its response check, its coordinates, its reported scale and its link. The
// driver owns the design for the whole fit: every refit of the search and
// the final fit borrow its model matrix.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "design/records.h"
#include "family/family.h"
#include "fit/fitted_gam.h"
#include "fit/plain_driver.h"
#include "fit/summaries.h"
#include "inner/fit_at.h"
#include "inner/problem.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "outer/newton.h"
#include "score/shape_aware.h"
#include "score/shape_problem.h"

namespace kavri::fit {

// What a shape-managed family states besides being a family.
template <class F>
concept ShapeManagedFamily = family::Family<F> && requires(const F& f) {
  { f.check_start() } -> std::same_as<Result<void>>;
  { f.reported_scale() } -> std::same_as<double>;
};

// The search vector's start: [0, shape coordinates of `start`], the
// coordinates moved inside the family's clamps where it has any.
template <ShapeManagedFamily F>
linalg::Vector shape_search_start(const F& start);
// The start of a search over data (y, prior weights w): the family's own
// where it places ρ and its shape coordinates by the data's scale, so that
// the same model in other units starts at the same point in those units;
// else the start above.
template <ShapeManagedFamily F>
linalg::Vector shape_search_start(const F& start, linalg::VectorView y, linalg::VectorView w);

// Where a shape family's scale (θ, σ², φ) starts: the caller's value, or
// the family's estimate from the data (`with_scale_from_data`).
enum class StartScale { Given, FromData };

// The fit. Checks, in this order, each an InvalidParameter error: rows and
// prior weights (`check_rows_and_weights`), the start values
// (`check_start`; with `StartScale::FromData` the scale of `start` is then
// replaced by the data's), the response (`check_response`), then a design of one
// penalty ("shape-aware families (TDist/scat, NegBin, Tweedie, Ocat) are
// restricted to single-smooth fits in 94b; got {} terms"). Errors of the
// search and of the final fit are returned unchanged.
//
// The model reports the family's scale (θ, σ², φ); edf and the covariance
// come from the expected information at the fitted means
// (`fisher_information`), the covariance H⁻¹ times φ for a family whose
// criterion carries a dispersion (Tweedie): θ is no dispersion, and the
// scaled t weights already carry σ².
// `shape_params` holds the final search vector without ρ, unclamped.
// `counters`, when given, receives evaluations, inner fits and iterations.
template <ShapeManagedFamily F>
[[nodiscard]] Result<FittedGam> fit_shape_aware(const F& start, design::ModelDesign design, std::uint64_t n,
                                                linalg::VectorView y,
                                                std::optional<linalg::VectorView> prior_weights,
                                                inner::FitCounters* counters = nullptr,
                                                StartScale start_scale = StartScale::Given);

// The prior weights of these families count replicates, so their size is
// the data's: a mean weight of 1e-300 is no data at all, where the criterion
// underflows. InvalidParameter "{family} prior weights count replicates:
// their mean must lie within [1e-100, 1e100]; got {}" outside that range.
inline constexpr double kMinMeanReplicateWeight = 1e-100;
inline constexpr double kMaxMeanReplicateWeight = 1e100;
[[nodiscard]] Result<void> require_replicate_weight_range(std::string_view family, linalg::VectorView w);

// InvalidParameter "{what} is restricted to single-smooth fits in 94b; got
// {} terms" unless the design has exactly one penalty.
[[nodiscard]] Result<void> require_single_smooth(const design::ModelDesign& design, std::string_view what);

// The joint search's problem: `make_fit_problem` and `make_criterion_view`;
// with `in_blocks`, both read the design's random-effect block form where
// it has one and the family's fit takes it.
template <family::Family F>
score::ShapeProblem<F> make_shape_problem(const F& family, const design::ModelDesign& design, linalg::VectorView y,
                                          const std::optional<linalg::VectorView>& prior_weights,
                                          bool in_blocks = false) {
  score::ShapeProblem<F> problem{.fit = make_fit_problem(family, design, y, prior_weights, in_blocks),
                                 .criterion = make_criterion_view(family, design, y, prior_weights)};
  problem.criterion.re_blocks = problem.fit.re_blocks;
  return problem;
}

// ---- Implementation details follow ----

template <ShapeManagedFamily F>
linalg::Vector shape_search_start(const F& start) {
  linalg::Vector shape;
  if constexpr (requires { start.start_theta(); }) {
    shape = start.start_theta();
  } else {
    shape = start.theta_from_family();
  }
  linalg::Vector v(shape.size() + 1, 0.0);
  for (std::size_t c = 0; c < shape.size(); ++c) v[c + 1] = shape[c];
  return v;
}

template <ShapeManagedFamily F>
linalg::Vector shape_search_start(const F& start, linalg::VectorView y, linalg::VectorView w) {
  if constexpr (requires { start.search_start(y, w); }) {
    linalg::Vector v = start.search_start(y, w);
    // A prior weight counts its row that many times, so the penalized
    // deviance balances λ against the mean weight: weights × c move the
    // optimum by about ln c in ρ.
    double sw = 0.0;
    for (std::size_t i = 0; i < w.size; ++i) sw += w[i];
    const double mean_weight = sw / static_cast<double>(w.size);
    if (std::isfinite(mean_weight) && mean_weight > 0.0) v[0] += std::log(mean_weight);
    return v;
  } else {
    return shape_search_start(start);
  }
}

// edf from the Fisher information at the final fit, in the fit's blocks
// where it has them (its factor becomes that of the Fisher H); the scale
// and covariance of the family at θ̂.
template <ShapeManagedFamily F>
FitSummary shape_fit_summary(const inner::FitProblem<F>& final_problem, linalg::VectorView rho,
                             inner::InnerFit& fit) {
  const F& fitted = final_problem.family;
  FitSummary summary;
  if (final_problem.re_blocks != nullptr && fit.block_factor) {
    const linalg::BlockSystem gram = fisher_information_in_blocks(fitted, final_problem, rho, fit);
    summary.edf_total = linalg::block_trace_times(*fit.block_factor, gram);
  } else {
    const linalg::Matrix gram = fisher_information(fitted, final_problem, rho, fit);
    summary.edf_total = linalg::trace_inverse_times(fit.factor, gram);
  }
  summary.scale = fitted.reported_scale();
  if constexpr (F::scale_rule() == family::ScaleRule::ShapeParameter) {
    summary.vcov = scaled_covariance(fit, fitted.scale());
  } else {
    summary.vcov = scaled_covariance(fit, 1.0);
  }
  return summary;
}

template <ShapeManagedFamily F>
Result<FittedGam> fit_shape_aware(const F& given, design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                  std::optional<linalg::VectorView> prior_weights, inner::FitCounters* counters,
                                  StartScale start_scale) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  KAVRI_TRY_VOID(given.check_start());
  KAVRI_TRY_VOID(given.check_response(y));
  KAVRI_TRY_VOID(require_single_smooth(
      design, "shape-aware families (TDist/scat, NegBin, Tweedie, Ocat)"));
  const linalg::VectorView w = family::weights_or_ones(prior_weights, n);
  KAVRI_TRY_VOID(require_replicate_weight_range(given.display_name(), w));

  // A family whose model is the same in every unit of y is fitted in the
  // unit of its data (`response_unit`), and the fit mapped back.
  F start = given;
  double unit = 1.0;
  linalg::Vector scaled;
  linalg::VectorView fit_y = y;
  if constexpr (requires { F::response_unit(y, w); }) {
    static_assert(F::link_kind() == LinkKind::Log, "a unit of y moves the intercept of a log link only");
    unit = F::response_unit(y, w);
    if (unit != 1.0) {
      scaled.resize(n);
      for (std::size_t i = 0; i < n; ++i) scaled[i] = y[i] / unit;
      fit_y = linalg::VectorView(scaled);
      start = given.in_unit(unit);
    }
  }
  if constexpr (requires { start.with_scale_from_data(y, w); }) {
    if (start_scale == StartScale::FromData) start = start.with_scale_from_data(fit_y, w);
  }

  // The fits of a design with an "re" term factor H in blocks.
  const score::ShapeProblem<F> problem = make_shape_problem(start, design, fit_y, prior_weights, /*in_blocks=*/true);
  score::ShapeSearch search(problem, counters);
  KAVRI_TRY(outer::OuterState state,
            outer::outer_newton_minimize(
                shape_search_start(start, fit_y, w), [&](const linalg::Vector& v) { return search.evaluate(v); },
                [&](const linalg::Vector& v) { return search.value_at(v); }, static_cast<double>(n)));

  inner::FitProblem<F> final_problem = problem.fit;
  final_problem.family = score::family_at(start, linalg::VectorView(state.rho));
  const linalg::Vector rho{state.rho[0]};
  KAVRI_TRY(inner::InnerFit fit, inner::fit_at(final_problem, linalg::VectorView(rho), {.counters = counters}));

  const F& fitted = final_problem.family;
  FitSummary summary = shape_fit_summary(final_problem, linalg::VectorView(rho), fit);
  linalg::Vector shape_params(state.rho.begin() + 1, state.rho.end());
  if constexpr (requires { F::response_unit(y, w); }) {
    if (unit != 1.0) {
      // Back in the units of y: the search vector, the scale and the
      // intercept; V by the constant Σ w·ln s. The covariance φ·H⁻¹ and
      // edf do not change.
      const linalg::Vector v = fitted.search_vector_from_unit(unit, linalg::VectorView(state.rho));
      const double log_unit = std::log(unit);
      double weight_sum = 0.0;
      for (std::size_t i = 0; i < n; ++i) weight_sum += w[i];
      state.value += log_unit * weight_sum;
      shape_params.assign(v.begin() + 1, v.end());
      summary.scale = score::family_at(given, linalg::VectorView(v)).reported_scale();
      // edf per term from λ and H of the fit in units of s, as it was made.
      FittedGam model = assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(state), rho,
                                            std::move(fit), std::move(summary), n, F::link_kind(),
                                            std::move(shape_params));
      model.rho = linalg::Vector{v[0]};
      model.lambda = linalg::Vector{std::exp(v[0])};
      model.beta[0] += log_unit;
      return model;
    }
  }
  return assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(state), rho, std::move(fit),
                             std::move(summary), n, F::link_kind(), std::move(shape_params));
}

}  // namespace kavri::fit
