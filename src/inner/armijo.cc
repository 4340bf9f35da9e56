#include "inner/armijo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "common/numeric.h"
#include "design/compact.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/newton_loop.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"

namespace kavri::inner {
namespace {

using linalg::Vector;

// H + δI into `ridged`, δ = 1e-7·max_i |(X'WX)_ii| (NaN entries skipped),
// plus 1e-12·max_i |H_ii|. Relative to the data's share: H scales as
// 1/(λσ), so an absolute floor would outweigh the data where y is measured
// in large units, and a ridge of the penalty's size would shrink the
// unpenalized directions at large λ (edf 1.97 with M_p = 2 on pure noise).
void ridge_into(const linalg::Matrix& h, linalg::MatrixView s, linalg::Matrix& ridged) {
  double diagonal = 0.0, whole = 0.0;
  for (std::size_t i = 0; i < h.rows; ++i) {
    diagonal = common::floor_at(std::fabs(h(i, i) - s(i, i)), diagonal);
    whole = common::floor_at(std::fabs(h(i, i)), whole);
  }
  const double delta = kElfRidgeScale * diagonal + kElfConditionCap * whole;
  ridged = h;
  for (std::size_t i = 0; i < h.rows; ++i) ridged(i, i) += delta;
}

// The same in block form, where H's diagonal is A's and D: the same δ, and
// H + δI keeps its diagonal block diagonal.
void ridge_into(const linalg::BlockSystem& h, const linalg::BlockSystem& s, linalg::BlockSystem& ridged) {
  double diagonal = 0.0, whole = 0.0;
  auto take = [&](double hii, double sii) {
    diagonal = common::floor_at(std::fabs(hii - sii), diagonal);
    whole = common::floor_at(std::fabs(hii), whole);
  };
  for (std::size_t a = 0; a < h.a.rows; ++a) take(h.a(a, a), s.a(a, a));
  for (std::size_t l = 0; l < h.d.size(); ++l) take(h.d[l], s.d[l]);
  const double delta = kElfRidgeScale * diagonal + kElfConditionCap * whole;
  ridged = h;
  for (std::size_t a = 0; a < h.a.rows; ++a) ridged.a(a, a) += delta;
  for (double& d : ridged.d) d += delta;
}

class LineSearchRule {
 public:
  static constexpr bool kSeparateMeans = false;
  static constexpr bool kFallbackRows = false;

  LineSearchRule(const FitProblem<family::Elf>& problem, std::optional<linalg::VectorView> beta_warm,
                 const NewtonSystem& system)
      : settings_(problem.settings),
        elf_(problem.family),
        system_(system),
        y_(problem.y),
        w_(family::weights_or_ones(problem.prior_weights, problem.y.size)),
        zeros_(beta_warm ? 0 : system.x.cols, 0.0),
        beta_warm_(beta_warm ? *beta_warm : linalg::VectorView(zeros_)),
        score_(problem.y.size),
        // Coefficients are in the units of y, and so is σ: the step test
        // reads them in units of σ.
        step_tolerance_(problem.settings.tol * problem.family.sigma) {}

  // Always a start β, so that η is X·β from the first iteration on.
  std::optional<linalg::VectorView> start_beta() const { return beta_warm_; }
  static std::optional<linalg::VectorView> start_eta() { return std::nullopt; }
  Vector initial_eta() const { return Vector(y_.size, 0.0); }
  double start_deviance(const Vector& eta, const Vector& /*mu*/) const {
    double d = 0.0;
    for (std::size_t i = 0; i < eta.size(); ++i) d += row_deviance(i, eta[i]);
    return d;
  }
  double row_deviance(std::size_t i, double eta) const { return w_[i] * elf_.unit_deviance(y_[i], eta); }
  // +∞ as soon as one row's term is not finite.
  static double objective(double deviance, double penalty) {
    return std::isfinite(deviance) ? deviance + penalty : std::numeric_limits<double>::infinity();
  }

  // W and the halved negative η-slope g of row i's weighted deviance; the
  // working response has no part in the step, so X'Wz is left at zero.
  std::pair<double, double> working_row(std::size_t i, double eta, double /*mu*/, bool /*primary*/) {
    score_[i] = elf_.score(w_[i], y_[i], eta);
    return {elf_.working_weight(w_[i], y_[i], eta), 0.0};
  }

  Result<NewtonStep> solve(detail::NewtonWorkspace& ws, const NewtonState& state);
  Vector penalty_times(const Vector& beta) const;
  void add_transpose_times_score(detail::NewtonWorkspace& ws, Vector& out) const;

  bool rejected(const NewtonTrial& trial, const NewtonState& state, std::uint64_t /*k*/) const {
    return !(std::isfinite(trial.objective) && trial.objective <= state.objective + kElfIncreaseAllowance);
  }
  bool converged(std::uint64_t /*k*/, const NewtonState& /*state*/, double /*before*/, double change) const {
    return change < step_tolerance_;
  }
  bool converged_when_stuck(const NewtonState& state) const;

  template <class Loop>
  Result<InnerFit> finish(Loop& loop, std::uint64_t iterations, bool converged, std::optional<NewtonStep> kept);

 private:
  const InnerSettings& settings_;
  const family::Elf& elf_;
  const NewtonSystem& system_;
  linalg::VectorView y_;
  linalg::VectorView w_;
  Vector zeros_;
  linalg::VectorView beta_warm_;
  Vector score_;      // g of the last system formed
  Vector direction_;  // d of the last system solved
  linalg::Matrix ridged_;
  linalg::BlockSystem block_ridged_;  // in place of `ridged_` with blocks
  double step_tolerance_;
};

// d = (H + δI)⁻¹(X'g − S_λβ), and the full step β + d.
Result<NewtonStep> LineSearchRule::solve(detail::NewtonWorkspace& ws, const NewtonState& state) {
  const std::size_t p = state.beta.size();
  Vector gradient = penalty_times(state.beta);
  for (double& g : gradient) g = -g;
  add_transpose_times_score(ws, gradient);
  auto failed = [&](const linalg::LinalgFailure& e) {
    return singular_system(std::string(elf_.display_name()) + " Cholesky: " + e.text());
  };
  if (system_.blocks != nullptr) {
    ridge_into(ws.block_hessian, *system_.block_penalty, block_ridged_);
    auto f = linalg::block_cholesky(block_ridged_, system_.blocks->partition);
    if (!f) return failed(f.error());
    direction_ = linalg::block_solve(*f, linalg::VectorView(gradient));
  } else {
    ridge_into(ws.hessian, system_.s_lambda, ridged_);
    auto l = linalg::cholesky_lower(ridged_);
    if (!l) return failed(l.error());
    direction_ = linalg::back_substitute_transposed(*l, linalg::forward_substitute(*l, gradient));
  }
  Vector candidate(p);
  for (std::size_t j = 0; j < p; ++j) candidate[j] = state.beta[j] + direction_[j];
  return NewtonStep{linalg::Matrix(), std::nullopt, std::move(candidate)};
}

// S_λβ, in block form where the system is.
Vector LineSearchRule::penalty_times(const Vector& beta) const {
  if (system_.blocks != nullptr)
    return linalg::block_system_times(system_.blocks->partition, *system_.block_penalty, linalg::VectorView(beta));
  const linalg::MatrixView s = system_.s_lambda;
  const std::size_t p = beta.size();
  Vector out(p);
  for (std::size_t j = 0; j < p; ++j) {
    double sb = 0.0;
    for (std::size_t k = 0; k < p; ++k) sb += s(j, k) * beta[k];
    out[j] = sb;
  }
  return out;
}

// out += X'g in whichever form X is read.
void LineSearchRule::add_transpose_times_score(detail::NewtonWorkspace& ws, Vector& out) const {
  if (system_.blocks != nullptr || system_.compact != nullptr) {
    const Vector xtg =
        system_.blocks != nullptr
            ? design::re_transpose_times(*system_.blocks, linalg::VectorView(score_))
            : design::compact_transpose_times(*system_.compact, linalg::VectorView(score_), ws.compact);
    for (std::size_t j = 0; j < out.size(); ++j) out[j] += xtg[j];
    return;
  }
  const linalg::MatrixView x = system_.x;
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t j = 0; j < x.cols; ++j) out[j] += x(i, j) * score_[i];
}

// Converged only when the shortest step tried is already below tol from a
// finite J: an infinite J, or a direction still long at its shortest, is a
// fit that could not move, not one at its minimum.
bool LineSearchRule::converged_when_stuck(const NewtonState& state) const {
  if (settings_.max_halvings == 0) return true;
  double longest = 0.0;
  bool nan = false;
  for (double d : direction_) {
    nan |= std::isnan(d);
    longest = common::floor_at(std::fabs(d), longest);
  }
  const double shortest =
      std::ldexp(longest, -static_cast<int>(std::min<std::uint64_t>(settings_.max_halvings - 1, 2000)));
  return !nan && std::isfinite(state.objective) && shortest < step_tolerance_;
}

// The system at the final β: the criterion's ½ln|H| and the summaries'
// edf and covariance read it together with the final weights, and only
// the same W keeps tr(H⁻¹X'WX) within [0, p]. (The system of the last
// step, one update behind, gave edf 681 of p = 10 at λ = 1e-8.)
template <class Loop>
Result<InnerFit> LineSearchRule::finish(Loop& loop, std::uint64_t iterations, bool converged,
                                        std::optional<NewtonStep> /*kept*/) {
  NewtonState& state = loop.state();
  const Vector& eta = state.eta;
  loop.assemble([&](std::size_t i) {
    return std::pair{elf_.working_weight(w_[i], y_[i], eta[i]), elf_.working_response(y_[i], eta[i])};
  });
  const double deviance = elf_.weighted_deviance(y_, eta, w_);
  linalg::Matrix factor;
  std::optional<linalg::BlockFactor> block_factor;
  if (system_.blocks != nullptr) {
    ridge_into(loop.workspace().block_hessian, *system_.block_penalty, block_ridged_);
    auto f = linalg::block_cholesky(block_ridged_, system_.blocks->partition);
    if (!f) return singular_system("Cholesky failed: " + f.error().text());
    block_factor = std::move(*f);
  } else {
    ridge_into(loop.workspace().hessian, system_.s_lambda, ridged_);
    auto l = linalg::cholesky_lower(ridged_);
    if (!l) return singular_system("Cholesky failed: " + l.error().text());
    factor = std::move(*l);
  }
  Vector mu = eta;
  InnerFit record = iterative_fit_record(std::move(state.beta), std::move(state.eta), std::move(mu),
                                         std::move(loop.weights()), std::move(loop.response()), std::move(factor),
                                         deviance, deviance, iterations, converged);
  record.block_factor = std::move(block_factor);
  return record;
}

}  // namespace

Result<InnerFit> line_search_fit(const FitProblem<family::Elf>& problem, std::optional<linalg::VectorView> beta_warm,
                                 linalg::VectorView rho, const FitWorkspace& work) {
  const design::ReBlocks* const blocks = problem.re_blocks;
  // S_λ in block form only where X is: no p × p matrix.
  const linalg::Matrix s = blocks != nullptr ? linalg::Matrix() : design::total_penalty(problem.penalties, rho);
  std::optional<linalg::BlockSystem> s_blocks;
  if (blocks != nullptr) s_blocks = design::block_total_penalty(*blocks, rho);
  KAVRI_TRY_VOID(problem.family.check_parameters());
  const NewtonSystem system{.x = problem.model_matrix,
                            .compact = problem.compact,
                            .blocks = blocks,
                            .s_lambda = s,
                            .block_penalty = s_blocks ? &*s_blocks : nullptr};
  LineSearchRule rule(problem, beta_warm, system);
  FitWorkspace own = work;
  own.warm.reset();  // the fit keeps its own start
  return NewtonLoop(rule, system, problem.settings, own).run();
}

}  // namespace kavri::inner
