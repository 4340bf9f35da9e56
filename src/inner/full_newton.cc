#include "inner/full_newton.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "common/numeric.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/newton_loop.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner {
namespace {

using linalg::Vector;

class FullNewtonRule {
 public:
  static constexpr bool kSeparateMeans = false;
  static constexpr bool kFallbackRows = false;

  // Each row's category bounds, once.
  FullNewtonRule(const FitProblem<family::Ocat>& problem, const NewtonSystem& system)
      : problem_(problem),
        system_(system),
        w_(family::weights_or_ones(problem.prior_weights, problem.y.size)),
        cuts_(family::ocat_cut_points(problem.family)),
        bounds_(problem.y.size) {
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
      const std::uint64_t k = family::ocat_category(problem.y[i], problem.family.n_cats);
      bounds_[i] = {cuts_[k - 1], cuts_[k]};
    }
  }

  static std::optional<linalg::VectorView> start_beta() { return std::nullopt; }
  std::optional<linalg::VectorView> start_eta() const { return problem_.start_eta; }
  // The middle of each response's category interval.
  Vector initial_eta() const {
    const std::uint64_t r = problem_.family.n_cats;
    Vector eta(bounds_.size());
    for (std::size_t i = 0; i < eta.size(); ++i) {
      const std::uint64_t k = family::ocat_category(problem_.y[i], r);
      const double lower = k == 1 ? -2.0 : cuts_[k - 1];
      const double upper = k == r ? cuts_[r - 1] + 1.0 : cuts_[k];
      eta[i] = (lower + upper) * 0.5;
    }
    return eta;
  }
  double start_deviance(const Vector& eta, const Vector& /*mu*/) const {
    double d = 0.0;
    for (std::size_t i = 0; i < eta.size(); ++i) d += row_deviance(i, eta[i]);
    return d;
  }
  double row_deviance(std::size_t i, double eta) const {
    return w_[i] * family::ocat_bounded_deviance(bounds_[i], eta);
  }
  static double objective(double deviance, double penalty) { return penalty + deviance; }

  // W = ½·w·d2 and z with W·(z − η) = −½·w·d1, the Newton step's share of
  // the row. Where W is floored, z = η − d1/max(d2, 1e-12) would put the
  // whole −d1 into X'Wz, so that a row of weight 0 lying far outside its
  // category would still pull the fit; there the Newton share is kept.
  std::pair<double, double> working_row(std::size_t i, double eta, double /*mu*/, bool /*primary*/) const {
    const family::OcatRowDerivatives d = family::ocat_bounded_derivatives(bounds_[i], eta);
    const double half_curvature = 0.5 * d.d2 * w_[i];
    if (half_curvature > kOcatWeightFloor)
      return {half_curvature, eta - d.d1 / common::floor_at(d.d2, kOcatWeightFloor)};
    return {kOcatWeightFloor, eta - 0.5 * w_[i] * d.d1 / kOcatWeightFloor};
  }

  // The Newton solution without a ridge.
  Result<NewtonStep> solve(detail::NewtonWorkspace& ws, const NewtonState& /*state*/) const {
    if (system_.blocks != nullptr) {
      KAVRI_TRY(linalg::BlockFactor f, block_factor_of(ws.block_hessian));
      Vector candidate = linalg::block_solve(f, ws.rhs);
      return NewtonStep{linalg::Matrix(), std::move(f), std::move(candidate)};
    }
    KAVRI_TRY(linalg::Matrix l, factor_of(ws.hessian));
    Vector candidate = linalg::back_substitute_transposed(l, linalg::forward_substitute(l, ws.rhs));
    return NewtonStep{std::move(l), std::nullopt, std::move(candidate)};
  }

  static bool rejected(const NewtonTrial& trial, const NewtonState& state, std::uint64_t k) {
    return pirls_halving_check(trial.objective, trial.finite, k == 0 && !state.warm, state.objective,
                               halving_tolerance(state.objective));
  }
  bool converged(std::uint64_t k, const NewtonState& state, double /*before*/, double change) const {
    return (k >= 1 || state.warm) && change < problem_.settings.tol;
  }
  static bool converged_when_stuck(const NewtonState& /*state*/) { return false; }

  // W and z at the final η. A converged fit keeps the factor of its last
  // step, which moved no coefficient by tol. Any other exit forms the
  // system at the final η: the criterion's ½ln|H| and the summaries' edf
  // read it together with the final W, and only the same W keeps
  // tr(H⁻¹X'WX) within [0, p] (the last step's system, one update behind a
  // fit that did not settle, gave edf 35.9 with p = 10).
  template <class Loop>
  Result<InnerFit> finish(Loop& loop, std::uint64_t iterations, bool converged, std::optional<NewtonStep> kept) {
    NewtonState& state = loop.state();
    Vector& weights = loop.weights();
    Vector& response = loop.response();
    auto row = [&](std::size_t i) { return working_row(i, state.eta[i], state.eta[i], true); };
    linalg::Matrix factor;
    std::optional<linalg::BlockFactor> blocks;
    if (converged) {
      for (std::size_t i = 0; i < weights.size(); ++i) std::tie(weights[i], response[i]) = row(i);
      factor = std::move(kept->factor);
      blocks = std::move(kept->blocks);
    } else if (system_.blocks != nullptr) {
      loop.assemble(row);
      KAVRI_TRY(blocks, block_factor_of(loop.workspace().block_hessian));
    } else {
      loop.assemble(row);
      KAVRI_TRY(factor, factor_of(loop.workspace().hessian));
    }
    const double pearson = pearson_statistic(weights, response, state.eta);
    Vector mu = state.eta;
    InnerFit record = iterative_fit_record(std::move(state.beta), std::move(state.eta), std::move(mu),
                                           std::move(weights), std::move(response), std::move(factor),
                                           state.deviance, pearson, iterations, converged);
    record.block_factor = std::move(blocks);
    return record;
  }

 private:
  static Result<linalg::Matrix> factor_of(const linalg::Matrix& h) {
    auto l = linalg::cholesky_lower(h);
    if (!l) return singular_system("Cholesky failed: " + l.error().text());
    return std::move(*l);
  }
  Result<linalg::BlockFactor> block_factor_of(const linalg::BlockSystem& h) const {
    auto f = linalg::block_cholesky(h, system_.blocks->partition);
    if (!f) return singular_system("Cholesky failed: " + f.error().text());
    return std::move(*f);
  }

  const FitProblem<family::Ocat>& problem_;
  const NewtonSystem& system_;
  linalg::VectorView w_;
  Vector cuts_;
  std::vector<family::OcatBounds> bounds_;
};

}  // namespace

Result<InnerFit> full_newton_fit(const FitProblem<family::Ocat>& problem, linalg::VectorView rho,
                                 const FitWorkspace& work) {
  if (problem.re_blocks != nullptr) {
    // S_λ in block form only: no p × p matrix.
    const linalg::BlockSystem s_blocks = design::block_total_penalty(*problem.re_blocks, rho);
    const NewtonSystem system{.x = problem.model_matrix,
                              .compact = nullptr,
                              .blocks = problem.re_blocks,
                              .s_lambda = {},
                              .block_penalty = &s_blocks};
    FullNewtonRule rule(problem, system);
    return NewtonLoop(rule, system, problem.settings, work).run();
  }
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);
  const NewtonSystem system{.x = problem.model_matrix, .compact = problem.compact, .s_lambda = s};
  FullNewtonRule rule(problem, system);
  return NewtonLoop(rule, system, problem.settings, work).run();
}

}  // namespace kavri::inner
