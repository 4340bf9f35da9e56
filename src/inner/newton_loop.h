// The one loop of the iterative inner fits. From a start it repeats: form
// the working system H = X'WX + S_λ and its right-hand side from a row rule
// for W and z (`assemble_working_system`), solve it, and accept the step,
// halving it towards the current coefficients while the rule rejects it
// (`accept_by_halving`); it ends when the rule's convergence predicate
// holds, when no step length is accepted, or when the iterations run out.
// The re-weighted fits (pirls.h), the full Newton fit (full_newton.h) and
// the fit with a line search (armijo.h) are rules of this loop.
//
// X is read in whichever form the fit has: dense, compact (the structured
// products) or in random-effect blocks. The per-observation vectors come
// from the workspace's pool when one is attached, and a fit warm-started
// from the workspace's `warm` may share its first system's products with
// the other fits from that start (`StartProducts`).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/numeric.h"
#include "design/compact.h"
#include "design/re_blocks.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/block_factor.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "linalg/vector_pool.h"

namespace kavri::inner {

// From the second iteration on, a candidate may raise the penalized
// deviance P by at most ((|P| + 0.1)·10)·2^-26: rounding in P itself must
// not force a halving near the optimum.
inline constexpr double kIncreaseOffset = 0.1;
inline constexpr double kIncreaseFactor = 10.0;
inline constexpr double kIncreaseScale = 1.4901161193847656e-08;  // 2^-26
// Keeps the relative deviance change defined at a zero deviance.
inline constexpr double kDevianceChangeFloor = 1e-30;

// tol_h of a state with penalized deviance P.
double halving_tolerance(double penalized_deviance);

// The convergence rule of the re-weighted fits: |D − D_new| / (|D| +
// 1e-30) < tol, strictly; a NaN ratio never converges.
bool deviance_converged(double deviance, double new_deviance, double tol);

// True when the candidate must be halved again: its penalized deviance, a
// linear predictor or a mean is not finite, or (from the second iteration
// on) its penalized deviance exceeds the current one by more than
// `tolerance`. The first step is never rejected for an increase: the start
// is not a fit of the model, so its deviance is no benchmark. A unit
// deviance that is not finite makes the weighted sum Σ w_i·d_i, and so the
// penalized deviance, non-finite whatever its weight (0·∞ is NaN), so it
// needs no pass of its own. The finiteness of every η_i and μ_i comes in as
// `state_finite`: the loop learns it while computing the means.
bool pirls_halving_check(double candidate_penalized, bool state_finite, bool first_iteration,
                         double current_penalized, double tolerance);

// max_j |a_j − b_j|, NaN differences ignored.
double largest_change(const linalg::Vector& a, const linalg::Vector& b);

// Σ_i W_i·(z_i − η_i)².
double pearson_statistic(const linalg::Vector& w, const linalg::Vector& z, const linalg::Vector& eta);

namespace detail {

// The buffers of one fit, allocated once and overwritten by every
// iteration and every halving.
struct NewtonWorkspace {
  linalg::Matrix xtw;                 // X'W, p × n (a fallback), or a block of rows of W·X
  linalg::Matrix block_gram;          // one block's share of X'WX, p × p
  linalg::Matrix hessian;             // X'WX + S_λ, p × p
  linalg::Vector rhs;                 // X'Wz, p
  design::CompactWorkspace compact;   // the compact products' buffers
  linalg::BlockSystem block_hessian;  // H in block form, with `re_blocks`
  linalg::Vector weighted_response;   // W ⊙ z, n, with `re_blocks`
  linalg::Vector block_beta;          // β's dense part, with `re_blocks`
  // Where the assembly also stores X'WX and X'Wz before the penalty is
  // added, when set.
  StartProducts* keep_products = nullptr;
};

// X'WX and X'Wz as assembled so far, before the penalty, into
// `ws.keep_products` when it is set.
inline void keep_unpenalized(NewtonWorkspace& ws) {
  if (ws.keep_products == nullptr) return;
  ws.keep_products->xtwx = ws.hessian;
  ws.keep_products->xtwz = ws.rhs;
  ws.keep_products->formed = true;
}

inline void add_penalty(linalg::MatrixView s_lambda, linalg::Matrix& hessian) {
  const std::size_t p = hessian.rows;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) hessian(a, b) += s_lambda(a, b);
}

// Rows of X'W held at a time: a block of X'W and the rows of X it weights
// stay in cache while the block's share of X'WX is taken.
inline constexpr std::size_t kRowBlock = 2048;

}  // namespace detail

// W and z from `row_rule(i)` (a pair {W_i, z_i}), H = X'WX + S_λ and X'Wz
// into the workspace, in one pass over the rows of X, block by block, so
// that no n × p copy of W·X is written and read back. X'Wz adds the entries
// of W·X times z_i in row order; X'WX adds the blocks' products in block
// order.
template <class RowRule>
void assemble_working_system(linalg::MatrixView x, linalg::MatrixView s_lambda, RowRule&& row_rule,
                             linalg::Vector& weights, linalg::Vector& response, detail::NewtonWorkspace& ws) {
  const std::size_t n = x.rows, p = x.cols;
  const std::size_t width = std::min(n, detail::kRowBlock);
  // The block holds W·X, rows × p, written row by row in the order X is
  // read; its product with the block of X read transposed is the block's
  // share of X'WX.
  ws.xtw.rows = width;
  ws.xtw.cols = p;
  ws.xtw.data.resize(p * width);
  ws.hessian.rows = p;
  ws.hessian.cols = p;
  ws.hessian.data.assign(p * p, 0.0);
  ws.rhs.assign(p, 0.0);
  double* const xtw = ws.xtw.data.data();
  double* const rhs = ws.rhs.data();
  for (std::size_t start = 0; start < n; start += width) {
    const std::size_t rows = std::min(width, n - start);
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t i = start + r;
      const auto [wi, zi] = row_rule(i);
      weights[i] = wi;
      response[i] = zi;
      double* const wx = xtw + r * p;
      for (std::size_t j = 0; j < p; ++j) {
        const double v = x(i, j) * wi;
        wx[j] = v;
        rhs[j] += v * zi;
      }
    }
    const linalg::MatrixView block_wx(xtw, rows, p, static_cast<std::ptrdiff_t>(p), 1);
    const linalg::MatrixView block_x(x.data + static_cast<std::ptrdiff_t>(start) * x.row_stride, rows, p,
                                     x.row_stride, x.col_stride);
    linalg::multiply_into(block_x.transposed(), block_wx, ws.block_gram);
    for (std::size_t k = 0; k < p * p; ++k) ws.hessian.data[k] += ws.block_gram.data[k];
  }
  detail::keep_unpenalized(ws);
  detail::add_penalty(s_lambda, ws.hessian);
}

// The same from the compact form when there is one (the products then sum
// in another order), else from X.
template <class RowRule>
void assemble_working_system(const design::CompactDesign* compact, linalg::MatrixView x,
                             linalg::MatrixView s_lambda, RowRule&& row_rule, linalg::Vector& weights,
                             linalg::Vector& response, detail::NewtonWorkspace& ws) {
  if (compact == nullptr) {
    assemble_working_system(x, s_lambda, row_rule, weights, response, ws);
    return;
  }
  for (std::size_t i = 0; i < x.rows; ++i) {
    const auto [wi, zi] = row_rule(i);
    weights[i] = wi;
    response[i] = zi;
  }
  design::compact_cross_products(*compact, weights, linalg::VectorView(response), ws.hessian, &ws.rhs, ws.compact);
  detail::keep_unpenalized(ws);
  detail::add_penalty(s_lambda, ws.hessian);
}

// The same from X's random-effect block form: H's blocks from the dense
// part's Gram matrix and per-level sums, X'Wz in H's column order.
template <class RowRule>
void assemble_working_system(const design::ReBlocks& blocks, const linalg::BlockSystem& s_lambda, RowRule&& row_rule,
                             linalg::Vector& weights, linalg::Vector& response, detail::NewtonWorkspace& ws) {
  const std::size_t n = blocks.level.size();
  ws.weighted_response.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto [wi, zi] = row_rule(i);
    weights[i] = wi;
    response[i] = zi;
    ws.weighted_response[i] = wi * zi;
  }
  ws.block_hessian = design::re_weighted_gram(blocks, weights);
  ws.rhs = design::re_transpose_times(blocks, ws.weighted_response);
  linalg::add_scaled(ws.block_hessian, s_lambda, 1.0);
}

// η_i = x_i'·β̃ for every row into `eta`, each followed by row(i, η_i): one
// pass over the rows of X for the candidate's state (with p small, a
// general product would copy X before reading it).
template <class Row>
void linear_predictor_pass(linalg::MatrixView x, const linalg::Vector& beta, linalg::Vector& eta, Row&& row) {
  for (std::size_t i = 0; i < x.rows; ++i) {
    double e = 0.0;
    for (std::size_t j = 0; j < x.cols; ++j) e += x(i, j) * beta[j];
    eta[i] = e;
    row(i, e);
  }
}

// The same from the compact form when there is one, else from X.
template <class Row>
void linear_predictor_pass(const design::CompactDesign* compact, linalg::MatrixView x, const linalg::Vector& beta,
                           linalg::Vector& eta, detail::NewtonWorkspace& ws, Row&& row) {
  if (compact == nullptr) {
    linear_predictor_pass(x, beta, eta, row);
    return;
  }
  // Each row's call follows while its block of η is in cache, in row order.
  design::compact_linear_predictor(
      *compact, beta, eta, ws.compact,
      {.fn =
           [](void* context, std::size_t first, std::size_t rows, const double* values) {
             auto& each = *static_cast<std::remove_reference_t<Row>*>(context);
             for (std::size_t r = 0; r < rows; ++r) each(first + r, values[r]);
           },
       .context = &row});
}

// The same from X's random-effect block form.
template <class Row>
void block_linear_predictor_pass(const design::ReBlocks& blocks, const linalg::Vector& beta, linalg::Vector& eta,
                                 detail::NewtonWorkspace& ws, Row&& row) {
  const linalg::BlockPartition& part = blocks.partition;
  const std::size_t k = part.dense.size();
  ws.block_beta.resize(k);
  for (std::size_t a = 0; a < k; ++a) ws.block_beta[a] = beta[part.dense[a]];
  for (std::size_t i = 0; i < blocks.level.size(); ++i) {
    const double* xi = blocks.dense_x.row(i);
    double e = 0.0;
    for (std::size_t a = 0; a < k; ++a) e += xi[a] * ws.block_beta[a];
    if (blocks.level[i] != linalg::kNoLevel) e += beta[part.diagonal[blocks.level[i]]];
    eta[i] = e;
    row(i, e);
  }
}

// Step acceptance: `evaluate(candidate)` states the candidate, `rejected()`
// judges the state last evaluated. A rejected candidate is moved halfway
// towards `current`, at most `max_halvings` times; true when the last state
// evaluated was accepted.
template <class Evaluate, class Rejected>
bool accept_by_halving(const linalg::Vector& current, linalg::Vector& candidate, std::uint64_t max_halvings,
                       Evaluate&& evaluate, Rejected&& rejected) {
  evaluate(candidate);
  bool reject = rejected();
  for (std::uint64_t h = 0; reject && h < max_halvings; ++h) {
    for (std::size_t j = 0; j < candidate.size(); ++j) candidate[j] = (current[j] + candidate[j]) * 0.5;
    evaluate(candidate);
    reject = rejected();
  }
  return !reject;
}

// The state of a fit: coefficients, linear predictor, means (empty for a
// rule whose means are η itself), deviance D and objective, D + β'S_λβ.
struct NewtonState {
  linalg::Vector beta;
  linalg::Vector eta;
  linalg::Vector mu;
  double deviance = 0.0;
  double objective = 0.0;
  bool warm = false;  // started from the workspace's warm start
};

// A candidate as the loop evaluated it.
struct NewtonTrial {
  double deviance = 0.0;
  double objective = 0.0;
  bool finite = true;  // every η_i and μ_i finite
};

// One solved working system: the candidate coefficients and H's factor,
// dense or in block form (either may be empty where the rule keeps none).
struct NewtonStep {
  linalg::Matrix factor;
  std::optional<linalg::BlockFactor> blocks;
  linalg::Vector candidate;
};

// X in the forms a fit reads, with S_λ: dense, and in block form with the
// design's blocks.
struct NewtonSystem {
  linalg::MatrixView x;                               // n × p
  const design::CompactDesign* compact = nullptr;     // X compact, when attached
  const design::ReBlocks* blocks = nullptr;           // X in blocks, when attached
  linalg::MatrixView s_lambda;                        // p × p; unread with blocks
  const linalg::BlockSystem* block_penalty = nullptr;  // S_λ in block form, with blocks
};

// The loop. A rule R is a class with
//   kSeparateMeans       whether μ = mean(η) differs from η (else the loop keeps no μ);
//   kFallbackRows        whether working_row(…, false) gives a second system to try
//                        when the first does not factor;
//   start_beta()         the coefficients to start from without a warm start, if any;
//   start_eta()          a linear predictor to start from, if any;
//   initial_eta()        η when neither the workspace nor start_eta() gives one and
//                        no start β is given;
//   start_deviance(η, μ) D of the start;
//   mean(η_i)            with kSeparateMeans;
//   row_deviance(i, μ_i) w_i·d_i at the mean (η_i without kSeparateMeans);
//   objective(D, q)      the objective of deviance D and penalty q;
//   working_row(i, η_i, μ_i, primary)  {W_i, z_i};
//   solve(ws, state)     the step of the assembled system (a Result<NewtonStep>);
//   rejected(trial, state, k)          whether a trial of iteration k must be halved;
//   converged(k, state, D_before, Δ)   after an accepted step (state updated,
//                        Δ = max_j |β_j − β_before,j|);
//   converged_when_stuck(state)        when no step length was accepted;
//   finish(loop, iterations, converged, kept)  the record (a Result<InnerFit>),
//                        `kept` the step of the last accepted iteration, if any.
// Each iteration tries the step lengths 1, 1/2, ..., 2^-(max_halvings − 1)
// of `settings` (none at 0).
template <class Rule>
class NewtonLoop {
 public:
  NewtonLoop(Rule& rule, const NewtonSystem& system, const InnerSettings& settings, const FitWorkspace& work)
      : rule_(rule), system_(system), settings_(settings), work_(work), n_(system.x.rows) {}

  [[nodiscard]] Result<InnerFit> run();

  // For the rule's finish: the state, the W and z of the last system
  // formed, the workspace, and the assembly from any row rule.
  NewtonState& state() { return state_; }
  linalg::Vector& weights() { return weights_; }
  linalg::Vector& response() { return response_; }
  detail::NewtonWorkspace& workspace() { return ws_; }
  template <class RowRule>
  void assemble(RowRule&& row_rule);

 private:
  linalg::Vector fresh() { return work_.pool != nullptr ? work_.pool->take(n_) : linalg::Vector(n_); }
  template <class Row>
  void predictor_pass(const linalg::Vector& beta, linalg::Vector& eta, Row&& row);
  double penalty_of(const linalg::Vector& beta) const;
  void start();
  void assemble_iteration(std::uint64_t k, bool primary);
  Result<NewtonStep> solve_iteration(std::uint64_t k);
  void evaluate(const linalg::Vector& candidate);
  double mean_at(std::size_t i) const { return Rule::kSeparateMeans ? state_.mu[i] : state_.eta[i]; }

  Rule& rule_;
  const NewtonSystem& system_;
  const InnerSettings& settings_;
  const FitWorkspace& work_;
  std::size_t n_;
  detail::NewtonWorkspace ws_;
  NewtonState state_;
  linalg::Vector weights_, response_;      // W and z of the last system formed
  linalg::Vector trial_eta_, trial_mu_;    // the candidate's η and μ
  NewtonTrial trial_;
};

template <class Rule>
template <class Row>
void NewtonLoop<Rule>::predictor_pass(const linalg::Vector& beta, linalg::Vector& eta, Row&& row) {
  if (system_.blocks != nullptr) {
    block_linear_predictor_pass(*system_.blocks, beta, eta, ws_, row);
  } else {
    linear_predictor_pass(system_.compact, system_.x, beta, eta, ws_, row);
  }
}

template <class Rule>
double NewtonLoop<Rule>::penalty_of(const linalg::Vector& beta) const {
  if (system_.block_penalty != nullptr)
    return linalg::block_quadratic_form(system_.blocks->partition, *system_.block_penalty, beta);
  return linalg::quadratic_form(system_.s_lambda, beta);
}

// The start: β from the workspace's warm start, the rule's start β or 0,
// η from the workspace's warm start, the
// rule's start η, X·β or the rule's own start, in that order, and μ from
// η, unless the warm start hands over the means and deviance of its η.
template <class Rule>
void NewtonLoop<Rule>::start() {
  const std::optional<WarmStart>& warm = work_.warm;
  const std::optional<linalg::VectorView> start_beta = warm ? std::optional(warm->beta) : rule_.start_beta();
  state_.warm = warm.has_value();
  state_.beta = start_beta ? start_beta->to_vector() : linalg::Vector(system_.x.cols, 0.0);
  state_.eta = fresh();
  const std::optional<linalg::VectorView> start_eta = warm && warm->eta ? warm->eta : rule_.start_eta();
  if (start_eta) {
    for (std::size_t i = 0; i < n_; ++i) state_.eta[i] = (*start_eta)[i];
  } else if (start_beta) {
    predictor_pass(state_.beta, state_.eta, [](std::size_t, double) {});
  } else {
    if (work_.pool != nullptr) work_.pool->give(std::move(state_.eta));
    state_.eta = rule_.initial_eta();
  }
  const bool known = warm && warm->eta && warm->mu && warm->deviance;
  if constexpr (Rule::kSeparateMeans) {
    state_.mu = fresh();
    for (std::size_t i = 0; i < n_; ++i) state_.mu[i] = known ? (*warm->mu)[i] : rule_.mean(state_.eta[i]);
  }
  state_.deviance = known ? *warm->deviance : rule_.start_deviance(state_.eta, state_.mu);
  state_.objective = rule_.objective(state_.deviance, penalty_of(state_.beta));
}

template <class Rule>
template <class RowRule>
void NewtonLoop<Rule>::assemble(RowRule&& row_rule) {
  if (system_.blocks != nullptr) {
    assemble_working_system(*system_.blocks, *system_.block_penalty, row_rule, weights_, response_, ws_);
  } else {
    assemble_working_system(system_.compact, system_.x, system_.s_lambda, row_rule, weights_, response_, ws_);
  }
}

// The system of iteration k at the current state. The first system of a
// warm-started fit reads only the start, so it is shared through the
// workspace's `start_products` (not in block form: its assembly costs
// O(n·k²), nothing to share); a second system tried after it did not
// factor is the fit's own.
template <class Rule>
void NewtonLoop<Rule>::assemble_iteration(std::uint64_t k, bool primary) {
  auto row = [&](std::size_t i) { return rule_.working_row(i, state_.eta[i], mean_at(i), primary); };
  StartProducts* const shared =
      primary && k == 0 && state_.warm && system_.blocks == nullptr ? work_.start_products : nullptr;
  if (shared != nullptr && shared->formed) {
    // W and z still come row by row: the record holds them.
    for (std::size_t i = 0; i < n_; ++i) {
      const auto [wi, zi] = row(i);
      weights_[i] = wi;
      response_[i] = zi;
    }
    ws_.hessian = shared->xtwx;
    ws_.rhs = shared->xtwz;
    detail::add_penalty(system_.s_lambda, ws_.hessian);
    return;
  }
  ws_.keep_products = shared;
  assemble(row);
  ws_.keep_products = nullptr;
}

template <class Rule>
Result<NewtonStep> NewtonLoop<Rule>::solve_iteration(std::uint64_t k) {
  assemble_iteration(k, true);
  Result<NewtonStep> step = rule_.solve(ws_, state_);
  if constexpr (Rule::kFallbackRows) {
    if (!step && step.error().template is<SingularSystem>()) {
      assemble_iteration(k, false);
      step = rule_.solve(ws_, state_);
    }
  }
  return step;
}

// Overwrites the candidate's η, μ, deviance and objective from its
// coefficients, in one pass over the rows of X.
template <class Rule>
void NewtonLoop<Rule>::evaluate(const linalg::Vector& candidate) {
  double d = 0.0;
  bool finite = true;
  predictor_pass(candidate, trial_eta_, [&](std::size_t i, double e) {
    if constexpr (Rule::kSeparateMeans) {
      const double m = rule_.mean(e);
      trial_mu_[i] = m;
      finite &= std::isfinite(e) & std::isfinite(m);
      d += rule_.row_deviance(i, m);
    } else {
      finite &= std::isfinite(e);
      d += rule_.row_deviance(i, e);
    }
  });
  trial_ = NewtonTrial{.deviance = d, .objective = rule_.objective(d, penalty_of(candidate)), .finite = finite};
}

template <class Rule>
Result<InnerFit> NewtonLoop<Rule>::run() {
  start();
  weights_ = fresh();
  response_ = fresh();
  trial_eta_ = fresh();
  if constexpr (Rule::kSeparateMeans) trial_mu_ = fresh();
  std::optional<NewtonStep> kept;
  std::uint64_t iterations = 0;
  bool converged = false;
  for (std::uint64_t k = 0; k < settings_.max_iter; ++k) {
    KAVRI_TRY(NewtonStep step, solve_iteration(k));
    iterations = k + 1;
    linalg::Vector& candidate = step.candidate;
    bool accepted = false;
    if (settings_.max_halvings > 0)
      accepted = accept_by_halving(
          state_.beta, candidate, settings_.max_halvings - 1, [&](const linalg::Vector& c) { evaluate(c); },
          [&] { return rule_.rejected(trial_, state_, k); });
    if (!accepted) {
      converged = rule_.converged_when_stuck(state_);
      break;
    }
    const double change = largest_change(candidate, state_.beta);
    const double before = state_.deviance;
    std::swap(state_.beta, candidate);
    std::swap(state_.eta, trial_eta_);
    if constexpr (Rule::kSeparateMeans) std::swap(state_.mu, trial_mu_);
    state_.deviance = trial_.deviance;
    state_.objective = trial_.objective;
    kept = std::move(step);
    if (rule_.converged(k, state_, before, change)) {
      converged = true;
      break;
    }
  }
  if (work_.pool != nullptr) {
    work_.pool->give(std::move(trial_eta_));
    work_.pool->give(std::move(trial_mu_));
  }
  return rule_.finish(*this, iterations, converged, std::move(kept));
}

}  // namespace kavri::inner
