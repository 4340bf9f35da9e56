#include "fit/quantile.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <string_view>
#include <utility>

#include "common/format.h"
#include "common/numeric.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/elf.h"
#include "fit/ocat_driver.h"
#include "fit/plain_driver.h"
#include "fit/shape_driver.h"
#include "fit/summaries.h"
#include "inner/fit_at.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "outer/newton.h"
#include "score/envelope.h"
#include "score/exact_hessian.h"

namespace kavri::fit {

namespace {

using family::median_in_place;

double median_of(linalg::VectorView v) {
  linalg::Vector work = v.to_vector();
  return median_in_place(work);
}

}  // namespace

std::uint64_t elf_quantile_index(std::uint64_t n, double tau) {
  const double t = (static_cast<double>(n) - 1.0) * tau;
  const std::uint64_t rounded = common::saturating_to_u64(common::round_half_away(t));
  return std::min(rounded, std::max<std::uint64_t>(n, 1) - 1);
}

namespace {

// The warm start once A is factored: `solve` applies A⁻¹, `xt_times` X'
// and `x_times` X, in whichever form A and X are held.
template <class Solve, class XtTimes, class XTimes>
ElfWarmStart warm_start_from(linalg::VectorView y, double tau, Solve&& solve, XtTimes&& xt_times,
                             XTimes&& x_times) {
  const std::size_t n = y.size;
  // Least squares lets one wild row bend the curve over its neighbours:
  // the first pilot is fitted to y pulled in to within kPilotClipSpreads
  // spreads of its median, the following ones to y pulled in to within a
  // few residual scales of the last curve, each round from a less bent
  // curve and a smaller scale. Rows of clean data lie well inside both.
  const double centre = median_of(y);
  const double reach = kPilotClipSpreads * response_spread(y);
  linalg::Vector pulled(n);
  for (std::size_t i = 0; i < n; ++i) pulled[i] = std::clamp(y[i], centre - reach, centre + reach);
  linalg::Vector beta = solve(xt_times(pulled));
  linalg::Vector fitted = x_times(beta);
  linalg::Vector residuals(n);
  for (std::size_t i = 0; i < n; ++i) residuals[i] = y[i] - fitted[i];

  for (int round = 0; round < kPilotClipRounds; ++round) {
    const double bound = kPilotClipScales * scaled_mad(linalg::VectorView(residuals));
    if (!(bound > 0.0)) break;
    bool moved = false;
    for (std::size_t i = 0; i < n; ++i) {
      pulled[i] = std::clamp(y[i], fitted[i] - bound, fitted[i] + bound);
      moved |= pulled[i] != y[i];
    }
    if (!moved) break;
    beta = solve(xt_times(pulled));
    fitted = x_times(beta);
    for (std::size_t i = 0; i < n; ++i) residuals[i] = y[i] - fitted[i];
  }
  const double residual_scale = scaled_mad(linalg::VectorView(residuals));

  // NaN residuals (non-finite data) sort last, so the order stays a strict
  // weak ordering and the selection is defined.
  std::stable_sort(residuals.begin(), residuals.end(),
                   [](double u, double v) { return std::isnan(v) ? !std::isnan(u) : u < v; });
  const double q = residuals[elf_quantile_index(n, tau)];

  const linalg::Vector shift = solve(xt_times(linalg::Vector(n, q)));
  for (std::size_t j = 0; j < beta.size(); ++j) beta[j] += shift[j];
  return ElfWarmStart{.beta = std::move(beta), .residual_scale = residual_scale};
}

// A = X'X + S_0 + d·I and the warm start, in block form.
Result<ElfWarmStart> warm_start_in_blocks(const design::ReBlocks& blocks, linalg::VectorView y, double tau) {
  const std::size_t n = y.size;
  const linalg::Vector ones(n, 1.0), at_zero(blocks.penalties.size(), 0.0);
  linalg::BlockSystem a = design::re_weighted_gram(blocks, linalg::VectorView(ones));
  linalg::add_scaled(a, design::block_total_penalty(blocks, linalg::VectorView(at_zero)), 1.0);
  double largest = 1.0;  // NaN diagonal entries never win the comparison
  for (std::size_t i = 0; i < a.a.rows; ++i)
    if (std::fabs(a.a(i, i)) > largest) largest = std::fabs(a.a(i, i));
  for (double d : a.d)
    if (std::fabs(d) > largest) largest = std::fabs(d);
  const double ridge = kWarmStartRidgeScale * largest;
  for (std::size_t i = 0; i < a.a.rows; ++i) a.a(i, i) += ridge;
  for (double& d : a.d) d += ridge;

  auto factor = linalg::block_cholesky(a, blocks.partition);
  if (!factor) return singular_system("ELF warm-start Cholesky: " + factor.error().text());
  const linalg::BlockFactor& f = *factor;
  return warm_start_from(
      y, tau, [&](const linalg::Vector& b) { return linalg::block_solve(f, linalg::VectorView(b)); },
      [&](const linalg::Vector& v) { return design::re_transpose_times(blocks, linalg::VectorView(v)); },
      [&](const linalg::Vector& beta) { return design::re_times(blocks, linalg::VectorView(beta)); });
}

}  // namespace

Result<ElfWarmStart> elf_warm_start(linalg::MatrixView x, linalg::VectorView y,
                                    std::span<const linalg::Matrix> penalties, double tau,
                                    const design::ReBlocks* blocks) {
  const std::size_t n = x.rows, p = x.cols;
  if (n == 0) return invalid_parameter("ELF warm start needs at least one row");
  if (blocks != nullptr) return warm_start_in_blocks(*blocks, y, tau);
  linalg::Matrix a = linalg::multiply(x.transposed(), x);
  const linalg::Vector at_zero(penalties.size(), 0.0);
  const linalg::Matrix s = design::total_penalty(penalties, linalg::VectorView(at_zero));
  for (std::size_t i = 0; i < a.data.size(); ++i) a.data[i] += s.data[i];
  double largest = 1.0;  // NaN diagonal entries never win the comparison
  for (std::size_t i = 0; i < p; ++i)
    if (std::fabs(a(i, i)) > largest) largest = std::fabs(a(i, i));
  const double ridge = kWarmStartRidgeScale * largest;
  for (std::size_t i = 0; i < p; ++i) a(i, i) += ridge;

  auto factor = linalg::cholesky_lower(a);
  if (!factor) return singular_system("ELF warm-start Cholesky: " + factor.error().text());
  const linalg::Matrix& l = *factor;
  return warm_start_from(
      y, tau, [&](const linalg::Vector& b) { return linalg::back_substitute_transposed(l, linalg::forward_substitute(l, b)); },
      [&](const linalg::Vector& v) { return linalg::multiply(x.transposed(), linalg::VectorView(v)); },
      [&](const linalg::Vector& beta) { return linalg::multiply(x, linalg::VectorView(beta)); });
}

namespace {

// The residual scale floored at 1e-6 of the spread of y (NaN takes the
// floor), and the normal density at the τ-quantile.
double floored_scale(double residual_scale, double spread) {
  return common::floor_at(residual_scale, kElfSigmaFloorFraction * spread);
}
double density_at_quantile(double tau) {
  const double z = normal_quantile(tau);
  return std::exp(-0.5 * z * z) / std::sqrt(2.0 * std::numbers::pi);
}

}  // namespace

double elf_default_sigma(double residual_scale, double spread, double tau) {
  // The criterion holds the scale of the density at 1, so σ alone tells it
  // how much the data say: the curvature it reads, E W = f(q_τ)/σ for
  // residuals of density f, must equal the variance of the score,
  // E g² = τ(1 − τ)/σ², as the Gaussian criterion needs the true φ. For
  // normal residuals of standard deviation s that is σ = s·τ(1 − τ)/φ(z_τ).
  // A σ well below it makes the density claim less noise than there is,
  // and the criterion buys edf to explain the rest: pure noise was fitted
  // with edf 14 of 19 at the former σ ≈ 0.09·s. s is a median absolute
  // deviation, not a mean square, so one wild row does not set it.
  return floored_scale(residual_scale, spread) * tau * (1.0 - tau) / density_at_quantile(tau);
}

double elf_default_width(double residual_scale, double spread, double tau) {
  // The width rounds the check loss's corner and moves the fitted curve off
  // the τ-quantile by a share of itself; s·φ(z_τ), the mean check loss of
  // normal residuals, narrows with the quantile as the data there thin out.
  return floored_scale(residual_scale, spread) * density_at_quantile(tau);
}

double scaled_mad(linalg::VectorView v) { return family::scaled_mad(v, family::unit_weights(v.size)); }

double response_spread(linalg::VectorView y) {
  if (y.size == 0) return 1.0;
  const double mad = scaled_mad(y);
  if (mad > 0.0) return mad;
  const double centre = median_of(y);
  double largest = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) largest = std::max(largest, std::fabs(y[i] - centre));
  if (largest > 0.0) return largest;
  return std::fabs(y[0]) > 0.0 ? std::fabs(y[0]) : 1.0;
}

namespace {

// A σ or λ given by the caller, within kElfScaleMinFraction to
// kElfScaleMaxFraction times the spread of y. Not above 0 asks for the
// automatic value and passes; an infinite one is refused by the family's
// own check.
Result<void> check_given_scale(std::string_view name, double value, double spread) {
  if (!(value > 0.0) || std::isinf(value)) return {};
  const double low = kElfScaleMinFraction * spread, high = kElfScaleMaxFraction * spread;
  if (value >= low && value <= high) return {};
  return invalid_parameter(std::string(name) + " must be in [" + common::format_double(low) + ", " +
                           common::format_double(high) + "] (1e-8 to 1e8 times the spread of y); got " +
                           std::string(name) + "=" + common::format_double(value));
}

// M_p ≤ edf ≤ p and a finite covariance, with a little room for rounding.
bool summaries_in_range(const FitSummary& summary, double null_space_dim, double p) {
  // Relative. The ridge shrinks the unpenalized directions a little at the
  // largest λ a search reaches (5e-5 of M_p on pure noise); the check is for
  // fits that are not fits (edf 681 with p = 10, or 1e-291).
  constexpr double kEdfRoom = 1e-3;
  if (!(summary.edf_total >= null_space_dim * (1.0 - kEdfRoom) && summary.edf_total <= p * (1.0 + kEdfRoom)))
    return false;
  for (double v : summary.vcov.data)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

namespace {

// λ: the given one, else σ when σ is given, else automatic.
double elf_width(double lambda, double sigma, double residual_scale, double spread, double tau) {
  if (lambda > 0.0) return lambda;
  return sigma > 0.0 ? sigma : elf_default_width(residual_scale, spread, tau);
}

// The automatic σ and the residual scale behind it. The pilot's curve is a
// least-squares one, however steadied: its residuals are spread about a
// mean, not about the τ-quantile, and a wild row still bends it a little.
// A quantile fit at the pilot's σ gives that row no more pull than its
// share of the check loss, so the scale of its residuals is the one the
// clean rows have about the quantile.
struct ElfScale {
  double sigma;
  double residual_scale;
};
ElfScale refined_scale(double tau, double lambda, const design::ModelDesign& design, linalg::VectorView y,
                       std::optional<linalg::VectorView> prior_weights, const ElfWarmStart& warm, double spread,
                       double log_weight) {
  ElfScale scale{.sigma = elf_default_sigma(warm.residual_scale, spread, tau), .residual_scale = warm.residual_scale};
  const std::size_t n = y.size;
  for (int round = 0; round < kElfScaleRefinements; ++round) {
    const double l = elf_width(lambda, 0.0, scale.residual_scale, spread, tau);
    inner::ElfProblem<family::Elf> pilot{
        .fit = make_fit_problem(family::elf_identity(tau, scale.sigma, l), design, y, prior_weights,
                                /*in_blocks=*/true),
        .beta_warm = linalg::VectorView(warm.beta)};
    pilot.fit.settings = inner::kElfInnerSettings;
    const linalg::Vector rho{log_weight - std::log(l * scale.sigma)};
    auto fit = inner::fit_at(pilot, linalg::VectorView(rho));
    if (!fit) break;  // the search will meet the same system and report it
    linalg::Vector residuals(n);
    for (std::size_t i = 0; i < n; ++i) residuals[i] = y[i] - fit->eta[i];
    scale.residual_scale = scaled_mad(linalg::VectorView(residuals));
    scale.sigma = elf_default_sigma(scale.residual_scale, spread, tau);
  }
  return scale;
}

struct ElfSearch {
  outer::OuterState state;
  inner::InnerFit fit;
};

// The search over ρ from `start` and the final fit. Every fit starts from
// the same warm start, so a fit depends on ρ alone: the full evaluation at
// the point a trial valued, and the final fit at the last point evaluated,
// take the fit already made there.
Result<ElfSearch> search_elf(const inner::ElfProblem<family::Elf>& problem, const score::CriterionView& view,
                             double start, inner::FitCounters* counters) {
  const family::Elf& elf = problem.fit.family;
  struct Fitted {
    linalg::Vector rho;
    inner::InnerFit fit;
  };
  std::optional<Fitted> valued, evaluated;
  auto fit_at = [&](const linalg::Vector& rho) -> Result<inner::InnerFit> {
    for (std::optional<Fitted>* kept : {&valued, &evaluated})
      if (*kept && (*kept)->rho == rho) {
        inner::InnerFit out = std::move((*kept)->fit);
        kept->reset();
        return out;
      }
    return inner::fit_at(problem, linalg::VectorView(rho), {.counters = counters});
  };
  auto evaluate = [&](const linalg::Vector& rho) -> Result<outer::OuterEval> {
    if (counters) ++counters->evaluations;
    KAVRI_TRY(inner::InnerFit fit, fit_at(rho));
    valued.reset();
    Result<outer::OuterEval> eval = score::exact_outer_eval_from_fit(elf, view, problem.fit.model_matrix,
                                                                     linalg::VectorView(rho), fit, problem.fit.compact);
    evaluated.emplace(Fitted{rho, std::move(fit)});
    return eval;
  };
  // The value alone: the same fit and value, without the gradient's pass
  // over X.
  auto value = [&](const linalg::Vector& rho) -> Result<double> {
    if (counters) ++counters->values;
    valued.reset();
    KAVRI_TRY(inner::InnerFit fit, fit_at(rho));
    KAVRI_TRY(const score::ValueGrad at, score::envelope_value_from_fit(elf, view, problem.fit.model_matrix,
                                                                         linalg::VectorView(rho), fit));
    valued.emplace(Fitted{rho, std::move(fit)});
    return at.value;
  };
  const double n = static_cast<double>(problem.fit.y.size);
  KAVRI_TRY(outer::OuterState state, outer::outer_newton_minimize(linalg::Vector{start}, evaluate, value, n));
  KAVRI_TRY(inner::InnerFit fit, fit_at(state.rho));
  return ElfSearch{.state = std::move(state), .fit = std::move(fit)};
}

}  // namespace

Result<FittedGam> fit_elf(double tau, double sigma, double lambda, design::ModelDesign design, std::uint64_t n,
                          linalg::VectorView y, std::optional<linalg::VectorView> prior_weights,
                          inner::FitCounters* counters) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  KAVRI_TRY_VOID(family::check_finite_response(y));
  KAVRI_TRY_VOID(require_single_smooth(design, "ELF/quantile"));
  const double spread = response_spread(y);
  KAVRI_TRY_VOID(check_given_scale("elf_sigma", sigma, spread));
  KAVRI_TRY_VOID(check_given_scale("elf_lambda", lambda, spread));
  // X'WX scales as w̄/(λσ), w̄ the mean prior weight (weights count
  // replicates): the penalty weighs as the data do from the start.
  const double log_weight = std::log(mean_prior_weight(prior_weights));
  // A design with an "re" term is fitted in its random-effect block form
  // throughout: the warm start, every inner fit, the criterion and the
  // summaries.
  const design::ReBlocks* const blocks = design.re_blocks ? &*design.re_blocks : nullptr;
  KAVRI_TRY(ElfWarmStart warm, elf_warm_start(design.model_matrix, y, design.penalties, tau, blocks));
  const ElfScale scale = sigma > 0.0 ? ElfScale{.sigma = sigma, .residual_scale = warm.residual_scale}
                                     : refined_scale(tau, lambda, design, y, prior_weights, warm, spread, log_weight);
  const double s = scale.sigma;
  const double l = elf_width(lambda, sigma, scale.residual_scale, spread, tau);
  const family::Elf elf = family::elf_identity(tau, s, l);
  KAVRI_TRY_VOID(elf.check_parameters());

  inner::ElfProblem<family::Elf> problem{.fit = make_fit_problem(elf, design, y, prior_weights, /*in_blocks=*/true),
                                         .beta_warm = linalg::VectorView(warm.beta)};
  problem.fit.settings = inner::kElfInnerSettings;
  score::CriterionView view = make_criterion_view(elf, design, y, prior_weights);
  view.re_blocks = problem.fit.re_blocks;
  KAVRI_TRY(ElfSearch search, search_elf(problem, view, log_weight - std::log(l * s), counters));
  inner::InnerFit& fit = search.fit;

  FitSummary summary{.scale = s,
                     .edf_total = fit.block_factor
                                      ? linalg::block_trace_times(
                                            *fit.block_factor,
                                            design::re_weighted_gram(*blocks, linalg::VectorView(fit.working_weights)))
                                      : compute_edf_total(problem.fit.model_matrix, fit.working_weights, fit.factor),
                     .vcov = scaled_covariance(fit, 1.0)};
  if (!summaries_in_range(summary, static_cast<double>(design.null_space_dim),
                          static_cast<double>(problem.fit.model_matrix.cols)) ||
      !std::isfinite(search.state.value))
    fit.converged = false;
  linalg::Vector rho = search.state.rho;
  return assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(search.state), std::move(rho),
                             std::move(fit), std::move(summary), n, family::Elf::link_kind(), {});
}

}  // namespace kavri::fit
