// The fit driver of the seven plain families (Gaussian, Bernoulli, Poisson,
// QuasiPoisson, QuasiBinomial, Gamma, InverseGaussian): input checks, the
// fit problem, the outer Newton search over the log smoothing parameters
// from zero, the final inner fit, the summaries and the `FittedGam`.
//
// Written once over the family; the family's traits decide the inner fit,
// the response check, the scale rule, the Pearson scale and the link. The
// driver takes the design over and owns its model matrix for the whole fit:
// the problem and every refit borrow it, and its predictor moves into the
// result.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "design/compact.h"
#include "design/penalty.h"
#include "design/records.h"
#include "family/family.h"
#include "fit/fitted_gam.h"
#include "fit/summaries.h"
#include "inner/closed_form.h"
#include "inner/fit_at.h"
#include "inner/problem.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "outer/newton.h"
#include "score/criterion_view.h"
#include "score/finite_difference.h"
#include "score/penalty_determinant.h"

namespace kavri::fit {

// The checks every instance makes before anything is fitted, in this order:
// at least one row ("x must have at least one row"), the row count of y
// ("x and y must have the same number of rows; got x.nrows()={},
// y.len()={}"), the length of the prior weights ("prior_weights length must
// match x rows; got weights.len()={}, x.nrows()={}"), each weight ("prior
// weights must be finite and non-negative; got w={} at row {}"), then at
// least one weight above zero ("prior weights must not all be zero"), then
// no weight beyond 1e12 times the median positive weight ("a prior weight
// may be at most 1e12 times the median positive weight ({}); got w={} at
// row {}"). The family's response check follows.
[[nodiscard]] Result<void> check_rows_and_weights(std::uint64_t n, linalg::VectorView y,
                                                  const std::optional<linalg::VectorView>& prior_weights);

// The checks of `check_rows_and_weights` that need no design, made only
// where that function would reach them: no rows, and all weights zero once
// the counts are right. A caller that builds a design for a driver runs this
// first, so that neither input surfaces as a design or factorisation
// failure; the other checks keep their place after the design's own.
[[nodiscard]] Result<void> check_data_before_design(std::uint64_t n, linalg::VectorView y,
                                                    const std::optional<linalg::VectorView>& prior_weights);

// The view of a design that every criterion reads.
score::CriterionView criterion_view(const design::ModelDesign& design, linalg::VectorView y,
                                    const std::optional<linalg::VectorView>& prior_weights);

// `criterion_view` with the constants of the family's scale rule, formed
// once per fit: the floor of an estimated φ, or c(y) of a scale fixed at 1.
template <family::Family F>
score::CriterionView make_criterion_view(const F& family, const design::ModelDesign& design, linalg::VectorView y,
                                         const std::optional<linalg::VectorView>& prior_weights);

// Below this many rows a fit reads the dense model matrix even when the
// design has a compact form: the dense products cost little there, and
// small fits whose criterion flattens keep the results they have always had.
inline constexpr std::uint64_t kCompactMinRows = 1024;

// The problem of `family` over a design, y and prior weights, all borrowed:
// the problem must not outlive them. A closed-form family gets its cross
// products, formed here once, and its deviance anchor at ρ = 0, the start
// of the search. With `in_blocks`, the design's random-effect block form is
// attached where it has one and the family's fit reads it (the
// re-weighted fits and the closed form), the products then formed in it.
template <family::Family F>
inner::FitProblem<F> make_fit_problem(const F& family, const design::ModelDesign& design, linalg::VectorView y,
                                      const std::optional<linalg::VectorView>& prior_weights, bool in_blocks = false);

// The fits that read a design's random-effect block form.
template <family::Family F>
inline constexpr bool kFitsInBlocks =
    inner::kWarmStartable<F> || F::inner_fit_kind() == family::InnerFitKind::ClosedForm;

// Σ_i w_i·(y_i − m_i)²/V_i / (n − edf) with the family's Pearson terms,
// NaN when n − edf is not positive.
template <family::HasPearsonScale F>
double pearson_scale(const F& family, linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w,
                     double edf);

// The expected (Fisher) information of a final fit, from which its
// summaries are built: W_F = `family::fisher_weight` at the fitted means,
// X'·diag(W_F)·X returned, and the factor of X'·diag(W_F)·X + S_λ put in
// the fit's place (the criterion's H may be the observed information, and
// the loop's factor is that of the iterate before the last). Where that
// system does not factor, the fit keeps its own factor. W_F is not kept:
// the summaries read only the factor and X'·diag(W_F)·X, and the search's
// final fit has given its working vectors back to the search's pool.
template <family::PirlsFamily F>
linalg::Matrix fisher_information(const F& family, const inner::FitProblem<F>& problem, linalg::VectorView rho,
                                  inner::InnerFit& fit);

// The same in random-effect block form: the block factor of
// X'·diag(W_F)·X + S_λ put in the fit's place, X'·diag(W_F)·X returned in
// block form.
template <family::PirlsFamily F>
linalg::BlockSystem fisher_information_in_blocks(const F& family, const inner::FitProblem<F>& problem,
                                                 linalg::VectorView rho, inner::InnerFit& fit);

// The fit. `counters`, when given, receives the work done: evaluations,
// inner fits (those of the search and the final one) and their iterations.
template <family::Family F>
[[nodiscard]] Result<FittedGam> fit_family(const F& family, design::ModelDesign design, std::uint64_t n,
                                           linalg::VectorView y, std::optional<linalg::VectorView> prior_weights,
                                           inner::FitCounters* counters = nullptr);

// ---- Implementation details follow ----

template <family::Family F>
score::CriterionView make_criterion_view(const F& family, const design::ModelDesign& design, linalg::VectorView y,
                                         const std::optional<linalg::VectorView>& prior_weights) {
  score::CriterionView view = criterion_view(design, y, prior_weights);
  if constexpr (F::scale_rule() == family::ScaleRule::Profile || F::scale_rule() == family::ScaleRule::ProfileNewton)
    view.scale_floor = family::scale_floor(family, y, family::weights_or_ones(prior_weights, y.size));
  if constexpr (F::scale_rule() == family::ScaleRule::Fixed) view.fixed_saturated_loglik = family.saturated_loglik(y, 1.0);
  return view;
}

template <family::Family F>
inner::FitProblem<F> make_fit_problem(const F& family, const design::ModelDesign& design, linalg::VectorView y,
                                      const std::optional<linalg::VectorView>& prior_weights, bool in_blocks) {
  inner::FitProblem<F> problem{.family = family,
                               .penalties = design.penalties,
                               .model_matrix = design.model_matrix,
                               .y = y,
                               .prior_weights = prior_weights,
                               .start_eta = std::nullopt,
                               .settings = inner::kPirlsInnerSettings,
                               .products = {},
                               .compact = design.compact && design.model_matrix.rows >= kCompactMinRows
                                              ? &*design.compact
                                              : nullptr};
  if constexpr (kFitsInBlocks<F>) {
    if (in_blocks && design.re_blocks) problem.re_blocks = &*design.re_blocks;
  } else {
    (void)in_blocks;
  }
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::ClosedForm) inner::form_closed_form_products(problem);
  return problem;
}

template <family::HasPearsonScale F>
double pearson_scale(const F& family, linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w,
                     double edf) {
  const double d = static_cast<double>(y.size) - edf;
  if (!(d > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const family::PearsonTerm t = family.pearson_term(mu[i]);
    const double r = y[i] - t.mean;
    sum += w[i] * (r * r) / t.variance;
  }
  return sum / d;
}

template <family::PirlsFamily F>
linalg::Matrix fisher_information(const F& family, const inner::FitProblem<F>& problem, linalg::VectorView rho,
                                  inner::InnerFit& fit) {
  const std::size_t n = fit.mu.size(), p = fit.beta.size();
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);
  linalg::Vector fisher(n);
  for (std::size_t i = 0; i < n; ++i) fisher[i] = family::fisher_weight(family, w[i], fit.mu[i]);
  // By blocks of rows: a whole p × n X'W would double the fit's peak memory.
  linalg::Matrix gram;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    design::compact_cross_products(*problem.compact, fisher, std::nullopt, gram, nullptr, ws);
  } else {
    gram = linalg::weighted_gram(problem.model_matrix, fisher);
  }
  linalg::Matrix h = design::total_penalty(problem.penalties, rho);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) h(a, b) += gram(a, b);
  if (auto l = linalg::cholesky_lower(h)) fit.factor = std::move(*l);
  return gram;
}

template <family::PirlsFamily F>
linalg::BlockSystem fisher_information_in_blocks(const F& family, const inner::FitProblem<F>& problem,
                                                 linalg::VectorView rho, inner::InnerFit& fit) {
  const design::ReBlocks& blocks = *problem.re_blocks;
  const std::size_t n = fit.mu.size();
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);
  linalg::Vector fisher(n);
  for (std::size_t i = 0; i < n; ++i) fisher[i] = family::fisher_weight(family, w[i], fit.mu[i]);
  linalg::BlockSystem gram = design::re_weighted_gram(blocks, fisher);
  linalg::BlockSystem h = gram;
  for (std::size_t j = 0; j < problem.penalties.size(); ++j)
    linalg::add_scaled(h, blocks.penalties[j], std::exp(rho[j]));
  if (auto f = linalg::block_cholesky(h, blocks.partition)) fit.block_factor = std::move(*f);
  return gram;
}

template <family::Family F>
Result<FittedGam> fit_family(const F& family, design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                             std::optional<linalg::VectorView> prior_weights, inner::FitCounters* counters) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  KAVRI_TRY_VOID(family.check_response(y));

  // The fits of a design with an "re" term factor H in blocks.
  inner::FitProblem<F> problem = make_fit_problem(family, design, y, prior_weights, /*in_blocks=*/true);
  score::CriterionView criterion = make_criterion_view(family, design, y, prior_weights);
  criterion.re_blocks = problem.re_blocks;
  const score::PenaltyGroups groups = score::penalty_groups(design.penalties);
  criterion.penalty_groups = &groups;
  const std::size_t m = problem.penalties.size();

  score::WarmSearch<F> search(problem, criterion, counters);
  KAVRI_TRY(outer::OuterState state,
            outer::outer_newton_minimize(
                linalg::Vector(m, 0.0), [&](const linalg::Vector& rho) { return search.evaluate(rho); },
                [&](const linalg::Vector& rho) { return search.value_at(rho); }, static_cast<double>(n)));
  // The search's last centre fit is the fit at the chosen ρ where it is
  // complete; the closed form's search fits are not.
  std::optional<inner::InnerFit> centre;
  if constexpr (inner::kWarmStartable<F>) centre = search.take_centre_at(state.rho);
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::ClosedForm) {
    // The record reads β, the factor and the summed squares, not the rows.
    KAVRI_TRY(inner::InnerFit refit,
              inner::detail::counted({.counters = counters}, inner::closed_form_gaussian_final_fit(problem, state.rho)));
    centre = std::move(refit);
  }
  if (!centre) {
    KAVRI_TRY(inner::InnerFit refit, inner::fit_at(problem, state.rho, {.counters = counters}));
    centre = std::move(refit);
  }
  inner::InnerFit fit = std::move(*centre);

  FitSummary summary;
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::ClosedForm) {
    // W is the prior weights, so X'WX is the problem's own cross product;
    // the scale is the profile one without its floor.
    const design::ReBlocks* blocks = fit.block_factor ? problem.re_blocks : nullptr;
    summary.edf_total = blocks != nullptr
                            ? linalg::block_trace_times(*fit.block_factor, problem.products.xtwx_blocks)
                            : linalg::trace_inverse_times(fit.factor, problem.products.xtwx);
    double penalty = 0.0;
    for (std::size_t j = 0; j < m; ++j)
      penalty += std::exp(state.rho[j]) *
                 (blocks != nullptr
                      ? linalg::block_quadratic_form(blocks->partition, blocks->penalties[j], fit.beta)
                      : linalg::quadratic_form(problem.penalties[j], fit.beta));
    const double d = static_cast<double>(n) - static_cast<double>(criterion.null_space_dim);
    summary.scale = d > 0.0 ? (penalty + fit.pearson) / d : std::numeric_limits<double>::quiet_NaN();
    // On an exact fit β lies in the penalties' null space, where β'Sβ can
    // round below zero; a variance is never negative.
    if (std::signbit(summary.scale) && !std::isnan(summary.scale)) summary.scale = 0.0;
  } else if (problem.re_blocks != nullptr && fit.block_factor) {
    const linalg::BlockSystem gram = fisher_information_in_blocks(family, problem, state.rho, fit);
    summary.edf_total = linalg::block_trace_times(*fit.block_factor, gram);
    if constexpr (F::scale_rule() != family::ScaleRule::Fixed)
      summary.scale = pearson_scale(family, y, fit.mu, family::weights_or_ones(prior_weights, n), summary.edf_total);
  } else {
    const linalg::Matrix gram = fisher_information(family, problem, state.rho, fit);
    summary.edf_total = linalg::trace_inverse_times(fit.factor, gram);
    if constexpr (F::scale_rule() != family::ScaleRule::Fixed)
      summary.scale = pearson_scale(family, y, fit.mu, family::weights_or_ones(prior_weights, n), summary.edf_total);
  }
  summary.vcov = scaled_covariance(fit, F::scale_rule() == family::ScaleRule::Fixed ? 1.0 : summary.scale);
  linalg::Vector rho = state.rho;
  return assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(state), std::move(rho),
                             std::move(fit), std::move(summary), n, F::link_kind(), {});
}

}  // namespace kavri::fit
