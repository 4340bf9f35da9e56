#include "fit/quantile.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "common/numeric.h"
#include "design/penalty.h"
#include "family/elf.h"
#include "fit/plain_driver.h"
#include "fit/shape_driver.h"
#include "fit/summaries.h"
#include "inner/fit_at.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "outer/newton.h"
#include "score/envelope.h"
#include "score/finite_difference.h"

namespace kavri::fit {

std::uint64_t elf_quantile_index(std::uint64_t n, double tau) {
  const double t = (static_cast<double>(n) - 1.0) * tau;
  const std::uint64_t rounded = common::saturating_to_u64(common::round_half_away(t));
  return std::min(rounded, std::max<std::uint64_t>(n, 1) - 1);
}

Result<ElfWarmStart> elf_warm_start(linalg::MatrixView x, linalg::VectorView y,
                                    std::span<const linalg::Matrix> penalties, double tau) {
  const std::size_t n = x.rows, p = x.cols;
  if (n == 0) return invalid_parameter("ELF warm start needs at least one row");
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
  auto solve = [&](const linalg::Vector& b) {
    return linalg::back_substitute_transposed(l, linalg::forward_substitute(l, b));
  };
  linalg::Vector beta = solve(linalg::multiply(x.transposed(), y));

  const linalg::Vector fitted = linalg::multiply(x, linalg::VectorView(beta));
  linalg::Vector residuals(n);
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    residuals[i] = y[i] - fitted[i];
    rss += residuals[i] * residuals[i];
  }
  const double mse = rss / static_cast<double>(n);

  // NaN residuals (non-finite data) sort last, so the order stays a strict
  // weak ordering and the selection is defined.
  std::stable_sort(residuals.begin(), residuals.end(),
                   [](double u, double v) { return std::isnan(v) ? !std::isnan(u) : u < v; });
  const double q = residuals[elf_quantile_index(n, tau)];

  const linalg::Vector constant(n, q);
  const linalg::Vector shift = solve(linalg::multiply(x.transposed(), linalg::VectorView(constant)));
  for (std::size_t j = 0; j < p; ++j) beta[j] += shift[j];
  return ElfWarmStart{.beta = std::move(beta), .mse = mse};
}

double elf_default_sigma(double mse, double tau) {
  const double m = common::floor_at(mse, 1e-6);  // a NaN mse takes the floor too
  double a = std::sqrt(m * (2.0 * std::numbers::pi));
  a = a * 0.05;
  a = a / (2.0 * std::numbers::ln2);
  const double f = 1.0 / ((1.0 - tau) * (4.0 * tau));
  return a * std::max(f, 1.0);
}

Result<FittedGam> fit_elf(double tau, double sigma, double lambda, design::ModelDesign design, std::uint64_t n,
                          linalg::VectorView y, std::optional<linalg::VectorView> prior_weights,
                          FitCounters* counters) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  KAVRI_TRY_VOID(family::check_finite_response(y));
  KAVRI_TRY_VOID(require_single_smooth(design, "ELF/quantile"));
  KAVRI_TRY(const ElfWarmStart warm, elf_warm_start(design.model_matrix, y, design.penalties, tau));
  const double s = sigma > 0.0 ? sigma : elf_default_sigma(warm.mse, tau);
  const double l = lambda > 0.0 ? lambda : s;
  const family::Elf elf = family::elf_identity(tau, s, l);
  KAVRI_TRY_VOID(elf.check_parameters());

  ElfProblem<family::Elf> problem{.fit = make_fit_problem(elf, design, y, prior_weights),
                                  .beta_warm = linalg::VectorView(warm.beta)};
  problem.fit.settings = kElfInnerSettings;
  problem.fit.counters = counters;
  auto criterion = [&](linalg::VectorView rho) -> Result<score::ValueGrad> {
    KAVRI_TRY(const inner::InnerFit fit, inner::fit_at(problem, rho));
    return score::envelope_from_fit(elf, problem.fit.criterion, problem.fit.model_matrix, rho, fit);
  };
  KAVRI_TRY(outer::OuterState state,
            outer::outer_newton_minimize(
                linalg::Vector{0.0},
                [&](const linalg::Vector& rho) {
                  if (counters) ++counters->evaluations;
                  return score::outer_eval_fd_with(criterion, rho);
                },
                [&](const linalg::Vector& rho) -> Result<double> {
                  // The value alone: the same fit and value, without the
                  // gradient's pass over X.
                  if (counters) ++counters->values;
                  KAVRI_TRY(const inner::InnerFit fit, inner::fit_at(problem, linalg::VectorView(rho)));
                  KAVRI_TRY(const score::ValueGrad at, score::envelope_value_from_fit(elf, problem.fit.criterion,
                                                                                     problem.fit.model_matrix,
                                                                                     linalg::VectorView(rho), fit));
                  return at.value;
                },
                static_cast<double>(n)));
  KAVRI_TRY(inner::InnerFit fit, inner::fit_at(problem, linalg::VectorView(state.rho)));

  FitSummary summary{.scale = s,
                     .edf_total = compute_edf_total(problem.fit.model_matrix, fit.working_weights, fit.factor),
                     .vcov = scaled_covariance(fit.factor, 1.0)};
  linalg::Vector rho = state.rho;
  return assemble_fitted_gam(std::move(design.predictor), design.penalties, std::move(state), std::move(rho),
                             std::move(fit), std::move(summary), n, family::Elf::link_kind(), {});
}

}  // namespace kavri::fit
