// The contexts that a fit driver builds once per fit and hands to the inner
// fits and the criterion: `FitProblem` in its three forms (re-weighted,
// Gaussian closed form, shape family), `ShapeProblem` of the joint shape
// search, `ElfProblem` of the quantile fit, and the `InnerSettings` they
// carry.
//
// Every record owns deep copies of its arrays (matrices row-major, n rows of
// data, p coefficients, one penalty per smoothing parameter in penalty
// order), is read-only for every reader and lives for one fit. Fields are in
// their agreed order; nothing here builds them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "linalg/matrix.h"

namespace kavri::fit {

// Control of one inner fit.
struct InnerSettings {
  // The loop stops after this many iterations begun, converged or not.
  std::uint64_t max_iter = 50;
  // Re-weighted and ordered-categorical fits: converged once, from the second
  // iteration on, |D − D_new| / (|D| + 1e-30) < tol. Quantile fit: once
  // max_j |β_new,j − β_j| < tol.
  double tol = 1e-9;
  // Quantile fit: a line search tries the step lengths 1, 1/2, ...,
  // 2^-(max_halvings − 1). The other fits halve at most 100 times, a limit
  // of their own, and carry this value unread.
  std::uint64_t max_halvings = 10;
};

// The settings of the quantile fit.
inline constexpr InnerSettings kElfInnerSettings{.max_iter = 50, .tol = 1e-7, .max_halvings = 20};

// What the criterion reads besides the inner fit.
struct CriterionInputs {
  std::vector<linalg::Matrix> penalties;        // a second copy of the design's penalties
  std::vector<std::uint64_t> penalty_ranks;     // rank of each penalty
  std::vector<double> penalty_log_pdets;        // log pseudo-determinant of each penalty
  linalg::Vector y;                             // a second copy of the response
  std::uint64_t null_space_dim = 0;             // M_p, the dimension of the unpenalized space
};

// The re-weighted families without shape parameters: Poisson, QuasiPoisson,
// Bernoulli, QuasiBinomial, Gamma, InverseGaussian.
struct FitProblem {
  std::vector<linalg::Matrix> penalties;        // p × p each
  linalg::Matrix model_matrix;                  // X, n × p, column 0 the intercept
  linalg::Vector y;                             // n
  std::optional<linalg::Vector> prior_weights;  // n; absent means every weight is 1
  std::optional<linalg::Vector> start_eta;      // n; replaces the family's start; drivers leave it absent
  InnerSettings settings;
  CriterionInputs criterion;
};

// A reference fit of a Gaussian problem, from which the fits of the search
// take their deviance without a pass over the data: with δ = β − β₀,
// ‖y − Xβ‖²_W = D₀ − 2·δ'c₀ + δ'·X'WX·δ. Measuring from a fit rather than
// from β = 0 keeps the cancellation to the change between fits, not the
// whole of y'Wy.
struct DevianceAnchor {
  linalg::Vector beta;          // β₀, p
  double deviance = 0.0;        // D₀ = Σ_i w_i·(y_i − x_i'β₀)²
  linalg::Vector xtw_residual;  // c₀ = X'W(y − Xβ₀), p
};

// The Gaussian family, fitted in closed form from cross products that the
// driver forms once per fit; no iteration, so no settings or start.
struct GaussianFitProblem {
  std::vector<linalg::Matrix> penalties;        // p × p each
  linalg::Matrix model_matrix;                  // X, n × p
  linalg::Vector y;                             // n
  linalg::Matrix xtwx;                          // X'WX, p × p; W = diag(prior weights) or I
  linalg::Vector xtwy;                          // X'Wy, p
  std::optional<linalg::Vector> prior_weights;  // n
  CriterionInputs criterion;
  std::optional<DevianceAnchor> anchor;         // absent: the search's fits pass over the data
};

// The inner fits of a shape-managed family (a NegBin, TDist, Tweedie or
// Ocat value F): the family value carries the shape parameters of this
// refit. The shape-aware criterion reads its `ShapeProblem` instead of a
// criterion record.
template <class F>
struct ShapeFitProblem {
  std::vector<linalg::Matrix> penalties;        // p × p each
  linalg::Matrix model_matrix;                  // X, n × p
  linalg::Vector y;                             // n
  std::optional<linalg::Vector> prior_weights;  // n
  F family;                                     // shape parameters of this fit
  std::optional<linalg::Vector> start_eta;      // n; always absent from the callers
  InnerSettings settings;
};

// The joint search over [ρ, shape coordinates] of a shape-managed family.
// `family` records the start of the search; each refit builds its own value
// from the search vector (of an Ocat start only `n_cats` is read).
template <class F>
struct ShapeProblem {
  std::vector<linalg::Matrix> penalties;        // the single smooth's penalty (one entry), p × p
  std::vector<std::uint64_t> penalty_ranks;     // one entry
  std::vector<double> penalty_log_pdets;        // one entry
  linalg::Matrix model_matrix;                  // X, n × p
  linalg::Vector y;                             // n
  std::optional<linalg::Vector> prior_weights;  // n
  F family;                                     // the family value at the start of the search
  std::uint64_t null_space_dim = 0;             // M_p
  std::optional<linalg::Vector> start_eta;      // always absent
  InnerSettings settings;
};

// What the quantile criterion reads besides the inner fit.
struct ElfCriterionInputs {
  std::vector<linalg::Matrix> penalties;        // a second copy of the penalty
  std::vector<std::uint64_t> penalty_ranks;
  std::vector<double> penalty_log_pdets;
  linalg::Vector y;                             // a second copy; the criterion reads its length
  double tau = 0.0;                             // the same three values as in `ElfProblem`
  double sigma = 0.0;
  double lambda = 0.0;
  std::uint64_t null_space_dim = 0;             // M_p
};

// The quantile (extended log-F) fit. The prior weights are carried but
// change nothing: no reader uses them.
struct ElfProblem {
  std::vector<linalg::Matrix> penalties;        // the single smooth's penalty (one entry), p × p
  linalg::Matrix model_matrix;                  // X, n × p
  linalg::Vector y;                             // n
  std::optional<linalg::Vector> prior_weights;  // n, unread
  double tau = 0.0;                             // quantile level, 0 < τ < 1
  double sigma = 0.0;                           // ELF scale, σ > 0
  double lambda = 0.0;                          // ELF smoothing width, λ > 0
  InnerSettings settings = kElfInnerSettings;
  std::optional<linalg::Vector> beta_warm;      // p; the starting coefficients of every inner fit
  ElfCriterionInputs criterion;
};

}  // namespace kavri::fit
