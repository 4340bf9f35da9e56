// The context that a fit driver builds once per fit and hands to the inner
// fits and, beside the criterion's own view, to the criterion: `FitProblem<F>`, generic over the family, and
// `ElfProblem` of the quantile fit, with the `InnerSettings` they carry; and
// the `FitWorkspace` a caller passes beside a problem: the vector pool, the
// first system's shared products, a warm start and the `FitCounters`.
//
// The records borrow: X, y, the prior weights and the penalties are views of
// arrays that the driver owns once for the whole fit (the model matrix is the
// design's own), so the many refits of a search never copy them. A problem
// is read-only for every reader and must not outlive what it views. Only
// the Gaussian cross products, formed once per fit, are owned. Everything a
// fit writes lives in the workspace of whoever owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "family/family.h"
#include "linalg/block_factor.h"
#include "linalg/matrix.h"

namespace kavri::design {
struct CompactDesign;
struct ReBlocks;
}
namespace kavri::linalg {
class VectorPool;
}

namespace kavri::inner {

// Control of one inner fit.
struct InnerSettings {
  // The loop stops after this many iterations begun, converged or not.
  std::uint64_t max_iter = 50;
  // From the second iteration on (the first after a warm start), converged
  // once |D − D_new| / (|D| + 1e-30) < tol in a re-weighted fit, once
  // max_j |β_new,j − β_j| < tol in a full Newton fit. Quantile fit: from the
  // first iteration, once max_j |β_new,j − β_j| < tol·σ.
  double tol = 1e-9;
  // Step lengths one iteration tries: 1, 1/2, ..., 2^-(max_halvings − 1),
  // none at 0. The re-weighted and full Newton fits halve a rejected step up
  // to 100 times (101 lengths); the quantile fit's line search tries 20.
  std::uint64_t max_halvings = 101;
};

// The settings of the re-weighted and full Newton fits and of the quantile fit.
inline constexpr InnerSettings kPirlsInnerSettings{.max_iter = 50, .tol = 1e-9, .max_halvings = 101};
inline constexpr InnerSettings kElfInnerSettings{.max_iter = 50, .tol = 1e-7, .max_halvings = 20};

// The work a fit has done; a driver fills it when the caller attaches one.
struct FitCounters {
  std::uint64_t evaluations = 0;       // outer evaluations (value, gradient and Hessian)
  std::uint64_t values = 0;            // line-search trials judged by their value alone
  std::uint64_t inner_fits = 0;        // inner fits run, those of the search and the final one
  std::uint64_t pirls_iterations = 0;  // iterations begun by those inner fits
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

// The products a closed-form family is fitted from, formed once per fit.
struct ClosedFormProducts {
  linalg::Matrix xtwx;                   // X'WX, p × p; W = diag(prior weights) or I
  linalg::BlockSystem xtwx_blocks;       // X'WX in block form, in place of `xtwx`, with `re_blocks`
  linalg::Vector xtwy;                   // X'Wy, p
  std::optional<DevianceAnchor> anchor;  // absent: the search's fits pass over the data
};
struct NoProducts {};

template <class F>
using ProductsFor =
    std::conditional_t<F::inner_fit_kind() == family::InnerFitKind::ClosedForm, ClosedFormProducts, NoProducts>;

// The products X'WX (without the penalty) and X'Wz of the first working
// system of a warm-started re-weighted fit. That system reads only the
// start's η and μ, so every fit from the same start forms the same products
// whatever its ρ: the first such fit forms them here and the others read
// them, bit for bit what they would have formed.
struct StartProducts {
  bool formed = false;
  linalg::Matrix xtwx;  // p × p
  linalg::Vector xtwz;  // p
};

// One fit of family F: the family value (its shape parameters included),
// the data it is fitted to, the penalties and the settings.
template <family::Family F>
struct FitProblem {
  F family;
  std::span<const linalg::Matrix> penalties;        // p × p each
  linalg::MatrixView model_matrix;                  // X, n × p, column 0 the intercept
  linalg::VectorView y;                             // n
  std::optional<linalg::VectorView> prior_weights;  // n; absent means every weight is 1
  std::optional<linalg::VectorView> start_eta;      // n; replaces the family's start; drivers leave it absent
  InnerSettings settings = kPirlsInnerSettings;
  [[no_unique_address]] ProductsFor<F> products;    // the closed form's cross products
  // X in compact form, the design's own; absent, every product reads X.
  const design::CompactDesign* compact = nullptr;
  // X in random-effect block form, the design's own: when attached, the
  // re-weighted fits and the closed form assemble and factor H in blocks
  // (`InnerFit::block_factor`).
  const design::ReBlocks* re_blocks = nullptr;
};

// A fit of the same problem to start from (a warm start): its coefficients,
// and where known its η = X·β, its means and its deviance Σ w_i·d(y_i, μ_i),
// bit for bit what the loop would form from β. Views into the caller's fit.
struct WarmStart {
  linalg::VectorView beta;                             // p
  std::optional<linalg::VectorView> eta = std::nullopt;  // n; formed from β when absent
  std::optional<linalg::VectorView> mu = std::nullopt;   // n; with η
  std::optional<double> deviance = std::nullopt;         // with η and μ
};

// What an inner fit may use besides its problem, each part owned by the
// caller that passes it and absent unless attached: the source of the fit's
// n-vectors, the first system's products shared by the fits from one warm
// start, that start, and the counters of the work done.
struct FitWorkspace {
  linalg::VectorPool* pool = nullptr;
  // With `warm`: read when formed, else formed and stored by this fit.
  // Whoever attaches one clears it when the start changes.
  StartProducts* start_products = nullptr;
  std::optional<WarmStart> warm = std::nullopt;
  FitCounters* counters = nullptr;  // counts the inner fits
};

// The quantile (extended log-F) fit: the problem, whose family value holds
// τ, σ and λ and whose prior weights weight every row's deviance, weight
// and score, with the coefficients every inner fit starts from.
template <family::Family F>
struct ElfProblem {
  FitProblem<F> fit;                            // settings kElfInnerSettings
  std::optional<linalg::VectorView> beta_warm;  // p; absent means zeros
};

}  // namespace kavri::inner
