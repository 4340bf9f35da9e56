// Penalized iteratively re-weighted least squares (PIRLS) with step halving:
// for fixed log smoothing parameters, the coefficients that minimise the
// penalized deviance D(β) + β'S_λβ of one re-weighted family.
//
// Written once over `family::PirlsFamily`; the family value comes from the
// problem. Each iteration solves the working system (X'WX + S_λ)·β = X'Wz
// with the ridged Cholesky solve and halves a rejected step towards the
// current coefficients. The returned working quantities and factor belong to
// the last system solved, one update behind the coefficients (see
// `pirls_loop`). The two halves of an iteration, the working-system
// assembly (`assemble_working_system`, over any per-row rule for W and z)
// and the step acceptance (`accept_by_halving`), serve the other Newton-type
// inner fits as well.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "design/compact.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/family.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "linalg/vector_pool.h"

namespace kavri::inner {

// At most this many halvings of one iteration's step; the 100th halved
// candidate is judged once more.
inline constexpr std::uint64_t kMaxStepHalvings = 100;
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

// The convergence rule: |D − D_new| / (|D| + 1e-30) < tol, strictly; a NaN
// ratio never converges.
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

// The buffers of one call, allocated once and overwritten by every
// iteration and every halving.
struct PirlsWorkspace {
  linalg::Matrix xtw;            // X'W, p × n (the fallback), or a block of rows of W·X
  linalg::Matrix block_gram;     // one block's share of X'WX, p × p
  linalg::Matrix hessian;        // X'WX + S_λ, p × p
  linalg::Vector rhs;            // X'Wz, p
  linalg::Vector candidate_eta;  // X·β̃, n
  linalg::Vector candidate_mu;   // n
  design::CompactWorkspace compact;  // the compact products' buffers
  linalg::BlockSystem block_hessian;  // H in block form, with `re_blocks`
  linalg::Vector weighted_response;   // W ⊙ z, n, with `re_blocks`
  linalg::Vector block_beta;          // β's dense part, with `re_blocks`
  // Where the assembly also stores X'WX and X'Wz before the penalty is
  // added, when set.
  StartProducts* keep_products = nullptr;
};

// X'WX and X'Wz as assembled so far, before the penalty, into
// `ws.keep_products` when it is set.
inline void keep_unpenalized(PirlsWorkspace& ws) {
  if (ws.keep_products == nullptr) return;
  ws.keep_products->xtwx = ws.hessian;
  ws.keep_products->xtwz = ws.rhs;
  ws.keep_products->formed = true;
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
                             linalg::Vector& weights, linalg::Vector& response, detail::PirlsWorkspace& ws) {
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
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) ws.hessian(a, b) += s_lambda(a, b);
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

// The two passes above from the compact form when there is one (the
// products then sum in another order), else from X.
template <class RowRule>
void assemble_working_system(const design::CompactDesign* compact, linalg::MatrixView x,
                             linalg::MatrixView s_lambda, RowRule&& row_rule, linalg::Vector& weights,
                             linalg::Vector& response, detail::PirlsWorkspace& ws) {
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
  const std::size_t p = x.cols;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) ws.hessian(a, b) += s_lambda(a, b);
}

// The two passes from X's random-effect block form: H's blocks from the
// dense part's Gram matrix and per-level sums, X'Wz in H's column order.
template <class RowRule>
void assemble_working_system(const design::ReBlocks& blocks, const linalg::BlockSystem& s_lambda, RowRule&& row_rule,
                             linalg::Vector& weights, linalg::Vector& response, detail::PirlsWorkspace& ws) {
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

template <class Row>
void block_linear_predictor_pass(const design::ReBlocks& blocks, const linalg::Vector& beta, linalg::Vector& eta,
                                 detail::PirlsWorkspace& ws, Row&& row) {
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

template <class Row>
void linear_predictor_pass(const design::CompactDesign* compact, linalg::MatrixView x, const linalg::Vector& beta,
                           linalg::Vector& eta, detail::PirlsWorkspace& ws, Row&& row) {
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

namespace detail {

// H = X'W·X + S_λ into the workspace, added entry by entry and not
// symmetrised (the factorisation reads the lower triangle).
void form_penalized_hessian(linalg::MatrixView x, linalg::MatrixView s_lambda, PirlsWorkspace& ws);

// The fallback factor (see `pirls_loop`), dense and in block form.
[[nodiscard]] Result<linalg::Matrix> fallback_factor(linalg::MatrixView x, linalg::VectorView prior_weights,
                                                     linalg::MatrixView s_lambda, PirlsWorkspace& ws);
[[nodiscard]] Result<linalg::BlockFactor> fallback_block_factor(const design::ReBlocks& blocks,
                                                                linalg::VectorView prior_weights,
                                                                const linalg::BlockSystem& s_lambda);

// The solution of one working system and the factor of H, dense or in
// block form.
struct WorkingSolution {
  linalg::Matrix factor;                       // empty with a block factor
  std::optional<linalg::BlockFactor> blocks;
  linalg::Vector solution;
};
[[nodiscard]] Result<WorkingSolution> solve_working_system(const design::ReBlocks* blocks, const PirlsWorkspace& ws);

// Σ_i W_i·(z_i − η_i)².
double pearson_statistic(const linalg::Vector& w, const linalg::Vector& z, const linalg::Vector& eta);

inline linalg::MatrixView leading_block(linalg::MatrixView s, std::size_t p) {
  return {s.data, p, p, s.row_stride, s.col_stride};
}

}  // namespace detail

template <family::PirlsFamily F>
Result<InnerFit> pirls_loop(const FitProblem<F>& problem, linalg::MatrixView s_lambda, const FitWorkspace& work,
                            const linalg::BlockSystem* s_lambda_blocks) {
  using linalg::Vector;
  const F& family = problem.family;
  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  const linalg::VectorView y = problem.y;
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);
  const linalg::MatrixView s = detail::leading_block(s_lambda, p);
  const InnerSettings& settings = problem.settings;
  const std::optional<WarmStart>& start = work.warm;

  // The start: η from the family's starting means (or the caller's η), and
  // μ recomputed from η so that the state is consistent, unless the caller
  // hands over the means and deviance of that η.
  const bool warm = start.has_value();
  const design::CompactDesign* const compact = problem.compact;
  const design::ReBlocks* const blocks = problem.re_blocks;
  // Every n-vector below is written in full before it is read.
  auto fresh = [&] { return work.pool != nullptr ? work.pool->take(n) : Vector(n); };
  detail::PirlsWorkspace ws;
  auto predictor_pass = [&](const Vector& b, Vector& out, auto&& row) {
    if (blocks != nullptr) {
      block_linear_predictor_pass(*blocks, b, out, ws, row);
    } else {
      linear_predictor_pass(compact, x, b, out, ws, row);
    }
  };
  Vector beta = warm ? start->beta.to_vector() : Vector(p, 0.0);
  Vector eta = fresh();
  const std::optional<linalg::VectorView> start_eta = warm && start->eta ? start->eta : problem.start_eta;
  if (start_eta) {
    for (std::size_t i = 0; i < n; ++i) eta[i] = (*start_eta)[i];
  } else if (warm) {
    predictor_pass(beta, eta, [](std::size_t, double) {});
  } else {
    if (work.pool != nullptr) work.pool->give(std::move(eta));
    eta = family.initial_mu(y);
    for (std::size_t i = 0; i < n; ++i) eta[i] = family.link(eta[i]);
  }
  Vector mu = fresh();
  const bool known_start = warm && start->eta && start->mu && start->deviance;
  if (known_start) {
    for (std::size_t i = 0; i < n; ++i) mu[i] = (*start->mu)[i];
  } else {
    for (std::size_t i = 0; i < n; ++i) mu[i] = family.link_inverse(eta[i]);
  }
  double deviance = known_start ? *start->deviance : family.weighted_deviance(y, mu, w);
  // S_λ in block form, from the dense one when the caller has none.
  std::optional<linalg::BlockSystem> own_block_penalty;
  if (blocks != nullptr && s_lambda_blocks == nullptr)
    own_block_penalty = linalg::block_system_of(s, blocks->partition);
  const linalg::BlockSystem* const block_penalty =
      s_lambda_blocks != nullptr ? s_lambda_blocks : own_block_penalty ? &*own_block_penalty : nullptr;
  auto penalty_of = [&](const Vector& b) {
    return block_penalty != nullptr ? linalg::block_quadratic_form(blocks->partition, *block_penalty, b)
                                    : linalg::quadratic_form(s, b);
  };
  double penalized = deviance + penalty_of(beta);

  // W and z of the last system formed; ones and y until the first.
  Vector weights = fresh();
  Vector response = fresh();
  if (settings.max_iter == 0) {
    for (std::size_t i = 0; i < n; ++i) {
      weights[i] = 1.0;
      response[i] = y[i];
    }
  }
  ws.candidate_eta = fresh();
  ws.candidate_mu = fresh();
  std::optional<linalg::Matrix> factor;
  std::optional<linalg::BlockFactor> block_factor;
  std::uint64_t iterations = 0;
  bool converged = false;

  // Overwrites the candidate's η, μ, D and P from its coefficients. η = X·β̃,
  // μ, the deviance (the family's Σ w_i·d_i, in the same order) and the
  // finiteness of η and μ come from one pass over the rows of X: with p
  // small, a general product would copy X before reading it.
  double candidate_deviance = 0.0, candidate_penalized = 0.0;
  bool candidate_finite = true;
  auto evaluate_candidate = [&](const Vector& candidate) {
    double d = 0.0;
    bool finite = true;
    predictor_pass(candidate, ws.candidate_eta, [&](std::size_t i, double e) {
      const double m = family.link_inverse(e);
      ws.candidate_mu[i] = m;
      finite &= std::isfinite(e) & std::isfinite(m);
      d += w[i] * family.unit_deviance(y[i], m);
    });
    candidate_deviance = d;
    candidate_finite = finite;
    candidate_penalized = candidate_deviance + penalty_of(candidate);
  };

  for (std::uint64_t k = 0; k < settings.max_iter; ++k) {
    // A family fitted with its observed information takes Newton steps,
    // weight α·W and response η + g'·(y − μ)/α (any α ≠ 0 leaves W·(z − η),
    // and so the fixed point, unchanged): where the likelihood is nearly
    // flat (an inverse Gaussian deviance stays bounded as μ → ∞) Fisher
    // scoring crawls; Newton does not. It takes the full Newton system while
    // it is positive definite, else Newton only on the rows where α > 0.
    constexpr bool kObserved = F::inner_fit_kind() == family::InnerFitKind::PirlsObservedInfo;
    auto working_row = [&](std::size_t i, bool full_newton) {
      if constexpr (family::HasResponseWorkingWeight<F>)
        return std::pair{family.response_working_weight(w[i], y[i], mu[i]),
                         family::working_response(family, y[i], mu[i], eta[i])};
      if constexpr (kObserved) {
        const double alpha = family.observed_weight_factor(y[i], mu[i]);
        if (alpha > 0.0 || (full_newton && alpha < 0.0))
          return std::pair{family::working_weight(family, w[i], mu[i]) * alpha,
                           family.link_derivative(mu[i]) * (y[i] - mu[i]) / alpha + eta[i]};
      }
      return std::pair{family::working_weight(family, w[i], mu[i]),
                       family::working_response(family, y[i], mu[i], eta[i])};
    };
    auto assemble = [&](bool full_newton) {
      auto rule = [&](std::size_t i) { return working_row(i, full_newton); };
      if (blocks != nullptr) {
        assemble_working_system(*blocks, *block_penalty, rule, weights, response, ws);
      } else {
        assemble_working_system(compact, x, s, rule, weights, response, ws);
      }
    };
    // The block assembly costs O(n·k²): nothing to share.
    StartProducts* const shared = k == 0 && warm && blocks == nullptr ? work.start_products : nullptr;
    if (shared != nullptr && shared->formed) {
      // W and z still come row by row: the record holds them.
      for (std::size_t i = 0; i < n; ++i) {
        const auto [wi, zi] = working_row(i, kObserved);
        weights[i] = wi;
        response[i] = zi;
      }
      ws.hessian = shared->xtwx;
      ws.rhs = shared->xtwz;
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b) ws.hessian(a, b) += s(a, b);
    } else {
      ws.keep_products = shared;
      assemble(kObserved);
      ws.keep_products = nullptr;
    }
    auto solved = detail::solve_working_system(blocks, ws);
    if (kObserved && !solved && solved.error().template is<SingularSystem>()) {
      assemble(false);
      solved = detail::solve_working_system(blocks, ws);
    }
    if (!solved) {
      if (solved.error().template is<SingularSystem>())
        return singular_system("PIRLS factor: " + solved.error().message());
      return std::unexpected(std::move(solved.error()));
    }
    Vector& candidate = solved->solution;

    const bool first = k == 0 && !warm;
    const double tolerance = halving_tolerance(penalized);
    auto rejected = [&] {
      return pirls_halving_check(candidate_penalized, candidate_finite, first, penalized, tolerance);
    };
    if (!accept_by_halving(beta, candidate, kMaxStepHalvings, evaluate_candidate, rejected)) {
      iterations = k + 1;
      break;
    }

    std::swap(beta, candidate);
    std::swap(eta, ws.candidate_eta);
    std::swap(mu, ws.candidate_mu);
    if (solved->blocks) {
      block_factor = std::move(solved->blocks);
    } else {
      factor = std::move(solved->factor);
    }
    if ((k >= 1 || warm) && deviance_converged(deviance, candidate_deviance, settings.tol)) {
      deviance = candidate_deviance;
      converged = true;
      iterations = k + 1;
      break;
    }
    deviance = candidate_deviance;
    penalized = candidate_penalized;
    iterations = k + 1;
  }

  if (blocks != nullptr && !block_factor) {
    KAVRI_TRY(linalg::BlockFactor fallback, detail::fallback_block_factor(*blocks, w, *block_penalty));
    block_factor = std::move(fallback);
  }
  if (blocks == nullptr && !factor) {
    KAVRI_TRY(linalg::Matrix fallback, detail::fallback_factor(x, w, s, ws));
    factor = std::move(fallback);
  }
  const double pearson = detail::pearson_statistic(weights, response, eta);
  if (work.pool != nullptr) {
    work.pool->give(std::move(ws.candidate_eta));
    work.pool->give(std::move(ws.candidate_mu));
  }
  InnerFit record = iterative_fit_record(std::move(beta), std::move(eta), std::move(mu), std::move(weights),
                                         std::move(response), factor ? std::move(*factor) : linalg::Matrix(),
                                         deviance, pearson, iterations, converged);
  record.block_factor = std::move(block_factor);
  return record;
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
