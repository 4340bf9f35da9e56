// Penalized iteratively re-weighted least squares (PIRLS) with step halving:
// for fixed log smoothing parameters, the coefficients that minimise the
// penalized deviance D(β) + β'S_λβ of one re-weighted family.
//
// Written once over `family::PirlsFamily` as a rule of the Newton loop
// (newton_loop.h); the family value comes from the problem. Each iteration
// solves the working system (X'WX + S_λ)·β = X'Wz with the ridged Cholesky
// solve and halves a rejected step towards the current coefficients. The
// returned working quantities and factor belong to the last system solved,
// one update behind the coefficients (see `pirls_loop`).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/inner_fit.h"
#include "inner/newton_loop.h"
#include "inner/problem.h"
#include "linalg/block_factor.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// The loop on a ready-made total penalty (its leading p × p block is used).
//
// A warm start (`work.warm`) is a fit of the model: its penalized deviance
// is the benchmark of the first step, which may then be halved for an
// increase like any other, and the first iteration may already prove
// convergence, so a refit near its start ends after one iteration.
//
// Exits: max_iter 0 (β = 0, W ones, z = y, fallback factor); convergence in
// iteration k ≥ 1; exhaustion after max_iter accepted steps; a step still
// rejected after the last halving (the state, W and z of that iteration's
// start, the factor of the iteration before, or the fallback factor in
// iteration 0). The fallback factor is that of X'·diag(w)·X + S_λ + δI with
// the prior weights w and δ = `linalg::solve_ridge`. Fails with
// SingularSystem "PIRLS factor: {}" when an iteration's system does not
// factor and "Cholesky failed: {}" when the fallback does not.
//
// With the problem's `re_blocks`, `s_lambda_blocks` is S_λ in block form,
// read in place of the dense one (formed from it when absent).
template <family::PirlsFamily F>
[[nodiscard]] Result<InnerFit> pirls_loop(const FitProblem<F>& problem, linalg::MatrixView s_lambda,
                                          const FitWorkspace& work = {},
                                          const linalg::BlockSystem* s_lambda_blocks = nullptr);

// S_λ = Σ_j exp(ρ_j)·S_j over the problem's penalties, then the loop.
template <family::PirlsFamily F>
[[nodiscard]] Result<InnerFit> pirls_fit(const FitProblem<F>& problem, linalg::VectorView rho,
                                         const FitWorkspace& work = {});


// ---- Implementation details follow ----

namespace detail {

// The fallback factor (see `pirls_loop`), dense and in block form.
[[nodiscard]] Result<linalg::Matrix> fallback_factor(linalg::MatrixView x, linalg::VectorView prior_weights,
                                                     linalg::MatrixView s_lambda, NewtonWorkspace& ws);
[[nodiscard]] Result<linalg::BlockFactor> fallback_block_factor(const design::ReBlocks& blocks,
                                                                linalg::VectorView prior_weights,
                                                                const linalg::BlockSystem& s_lambda);

// The ridged solution of the assembled working system and the factor of H
// itself, dense or in block form.
[[nodiscard]] Result<NewtonStep> solve_working_system(const design::ReBlocks* blocks, const NewtonWorkspace& ws);

inline linalg::MatrixView leading_block(linalg::MatrixView s, std::size_t p) {
  return {s.data, p, p, s.row_stride, s.col_stride};
}

// The re-weighted fit as a rule of the Newton loop: W and z from the
// family's variance and link, the ridged solve, the increase test of
// `pirls_halving_check` and the relative change of the deviance.
template <family::PirlsFamily F>
class PirlsRule {
 public:
  // A family fitted with its observed information takes Newton steps,
  // weight α·W and response η + g'·(y − μ)/α (any α ≠ 0 leaves W·(z − η),
  // and so the fixed point, unchanged): where the likelihood is nearly
  // flat (an inverse Gaussian deviance stays bounded as μ → ∞) Fisher
  // scoring crawls; Newton does not. It takes the full Newton system while
  // it is positive definite, else Newton only on the rows where α > 0.
  static constexpr bool kObserved = F::inner_fit_kind() == family::InnerFitKind::PirlsObservedInfo;
  static constexpr bool kSeparateMeans = true;
  static constexpr bool kFallbackRows = kObserved;

  PirlsRule(const FitProblem<F>& problem, const NewtonSystem& system)
      : problem_(problem),
        system_(system),
        family_(problem.family),
        y_(problem.y),
        w_(family::weights_or_ones(problem.prior_weights, problem.y.size)) {}

  static std::optional<linalg::VectorView> start_beta() { return std::nullopt; }
  std::optional<linalg::VectorView> start_eta() const { return problem_.start_eta; }
  linalg::Vector initial_eta() const {
    linalg::Vector eta = family_.initial_mu(y_);
    for (double& e : eta) e = family_.link(e);
    return eta;
  }
  double start_deviance(const linalg::Vector& /*eta*/, const linalg::Vector& mu) const {
    return family_.weighted_deviance(y_, mu, w_);
  }
  double mean(double eta) const { return family_.link_inverse(eta); }
  double row_deviance(std::size_t i, double mu) const { return w_[i] * family_.unit_deviance(y_[i], mu); }
  static double objective(double deviance, double penalty) { return deviance + penalty; }

  std::pair<double, double> working_row(std::size_t i, double eta, double mu, bool full_newton) const {
    if constexpr (family::HasResponseWorkingWeight<F>)
      return {family_.response_working_weight(w_[i], y_[i], mu), family::working_response(family_, y_[i], mu, eta)};
    if constexpr (kObserved) {
      const double alpha = family_.observed_weight_factor(y_[i], mu);
      if (alpha > 0.0 || (full_newton && alpha < 0.0))
        return {family::working_weight(family_, w_[i], mu) * alpha,
                family_.link_derivative(mu) * (y_[i] - mu) / alpha + eta};
    }
    return {family::working_weight(family_, w_[i], mu), family::working_response(family_, y_[i], mu, eta)};
  }

  Result<NewtonStep> solve(NewtonWorkspace& ws, const NewtonState& /*state*/) const {
    Result<NewtonStep> step = solve_working_system(system_.blocks, ws);
    if (!step && step.error().template is<SingularSystem>())
      return singular_system("PIRLS factor: " + step.error().message());
    return step;
  }

  static bool rejected(const NewtonTrial& trial, const NewtonState& state, std::uint64_t k) {
    return pirls_halving_check(trial.objective, trial.finite, k == 0 && !state.warm, state.objective,
                               halving_tolerance(state.objective));
  }
  bool converged(std::uint64_t k, const NewtonState& state, double before, double /*change*/) const {
    return (k >= 1 || state.warm) && deviance_converged(before, state.deviance, problem_.settings.tol);
  }
  static bool converged_when_stuck(const NewtonState& /*state*/) { return false; }

  // W and z as the last system left them (ones and y when none was
  // formed), the factor of the last accepted step or the fallback.
  template <class Loop>
  Result<InnerFit> finish(Loop& loop, std::uint64_t iterations, bool converged, std::optional<NewtonStep> kept) {
    NewtonState& state = loop.state();
    linalg::Vector& weights = loop.weights();
    linalg::Vector& response = loop.response();
    if (iterations == 0) {
      for (std::size_t i = 0; i < weights.size(); ++i) {
        weights[i] = 1.0;
        response[i] = y_[i];
      }
    }
    std::optional<linalg::BlockFactor> block_factor = kept ? std::move(kept->blocks) : std::nullopt;
    linalg::Matrix factor = kept ? std::move(kept->factor) : linalg::Matrix();
    if (system_.blocks != nullptr && !block_factor) {
      KAVRI_TRY(linalg::BlockFactor fallback, fallback_block_factor(*system_.blocks, w_, *system_.block_penalty));
      block_factor = std::move(fallback);
    }
    if (system_.blocks == nullptr && !kept) {
      KAVRI_TRY(linalg::Matrix fallback, fallback_factor(system_.x, w_, system_.s_lambda, loop.workspace()));
      factor = std::move(fallback);
    }
    const double pearson = pearson_statistic(weights, response, state.eta);
    InnerFit record = iterative_fit_record(std::move(state.beta), std::move(state.eta), std::move(state.mu),
                                           std::move(weights), std::move(response), std::move(factor),
                                           state.deviance, pearson, iterations, converged);
    record.block_factor = std::move(block_factor);
    return record;
  }

 private:
  const FitProblem<F>& problem_;
  const NewtonSystem& system_;
  const F& family_;
  linalg::VectorView y_;
  linalg::VectorView w_;
};

}  // namespace detail

template <family::PirlsFamily F>
Result<InnerFit> pirls_loop(const FitProblem<F>& problem, linalg::MatrixView s_lambda, const FitWorkspace& work,
                            const linalg::BlockSystem* s_lambda_blocks) {
  const linalg::MatrixView s = detail::leading_block(s_lambda, problem.model_matrix.cols);
  const design::ReBlocks* const blocks = problem.re_blocks;
  // S_λ in block form, from the dense one when the caller has none.
  std::optional<linalg::BlockSystem> own_block_penalty;
  if (blocks != nullptr && s_lambda_blocks == nullptr)
    own_block_penalty = linalg::block_system_of(s, blocks->partition);
  const NewtonSystem system{
      .x = problem.model_matrix,
      .compact = problem.compact,
      .blocks = blocks,
      .s_lambda = s,
      .block_penalty = s_lambda_blocks != nullptr ? s_lambda_blocks : own_block_penalty ? &*own_block_penalty : nullptr};
  detail::PirlsRule<F> rule(problem, system);
  return NewtonLoop(rule, system, problem.settings, work).run();
}

template <family::PirlsFamily F>
Result<InnerFit> pirls_fit(const FitProblem<F>& problem, linalg::VectorView rho, const FitWorkspace& work) {
  if (problem.re_blocks != nullptr) {
    // S_λ in block form only: O(k² + kq + q), no p × p matrix.
    const linalg::BlockSystem s_blocks = design::block_total_penalty(*problem.re_blocks, rho);
    return pirls_loop(problem, linalg::MatrixView(), work, &s_blocks);
  }
  const linalg::Matrix s_lambda = design::total_penalty(problem.penalties, rho);
  return pirls_loop(problem, s_lambda, work);
}

}  // namespace kavri::inner
