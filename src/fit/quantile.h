// The fit driver of the extended log-F quantile family: the warm start (a
// ridge-steadied penalized least-squares fit moved to the τ-quantile of its
// residuals), the automatic scale σ and width λ, the outer Newton search
// over the log smoothing parameter with every inner fit started from the
// warm start, the final fit and the `FittedGam`. σ and λ are fixed for the
// whole fit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "design/records.h"
#include "fit/fitted_gam.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// Relative ridge of the warm-start system: d = 1e-7·max(1, max_i |A_ii|).
inline constexpr double kWarmStartRidgeScale = 1e-7;
// The residual scale behind the automatic σ and λ is at least this
// fraction of the spread of y, so that a pilot that fits y exactly still
// leaves a loss of finite curvature; being relative, it does not depend on
// the units of y.
inline constexpr double kElfSigmaFloorFraction = 1e-6;
// A σ or λ the caller gives must lie within these multiples of the spread
// of y: beyond them the working weights p(1 − p)/(λσ) overflow or vanish
// against the penalty, and no summary of the fit would be finite.
inline constexpr double kElfScaleMinFraction = 1e-8;
inline constexpr double kElfScaleMaxFraction = 1e8;

// The first pilot is fitted to y pulled in to within this many spreads of
// its median (`response_spread`).
inline constexpr double kPilotClipSpreads = 10.0;
// Rounds of the pilot fitted again to y pulled in to within
// kPilotClipScales scaled MADs of the last pilot curve.
inline constexpr int kPilotClipRounds = 4;
inline constexpr double kPilotClipScales = 5.0;
// Quantile fits from which the automatic σ is taken anew from the scale of
// their residuals, after the first guess from the least-squares pilot.
inline constexpr int kElfScaleRefinements = 2;

struct ElfWarmStart {
  linalg::Vector beta;         // the coefficients every inner fit starts from, p
  double residual_scale = 0.0;  // scaled median absolute deviation of the ridge fit's residuals
};

// `family::scaled_mad` of v with unit weights.
double scaled_mad(linalg::VectorView v);

// A scale of y that one wild row cannot set: `scaled_mad`(y), else (more
// than half of y equal) max_i |y_i − median(y)|, else (y constant) |y_0|,
// else 1.
double response_spread(linalg::VectorView y);

// Index of the τ-quantile among n sorted values: (n − 1)·τ rounded half away
// from zero, saturated (NaN and negative give 0), at most max(n, 1) − 1.
std::uint64_t elf_quantile_index(std::uint64_t n, double tau);

// A = X'X + S_0 (λ = 1) + d·I; β₀ = A⁻¹X'ỹ, ỹ = y clamped to within 10
// spreads of its median, refitted up to 4 times to y
// clamped to within 5 scaled MADs of the residuals around the last curve
// (until no row is clamped); the τ-quantile q of the residuals y − Xβ₀
// (sorted ascending, NaN last); β = β₀ + A⁻¹X'(q·1); the residuals'
// `scaled_mad`. With `blocks`, X's random-effect block form, A is formed,
// factored and solved in blocks and X is read through them.
// InvalidParameter "ELF warm start needs at least one row" for n = 0;
// SingularSystem "ELF warm-start Cholesky: {}" when A does not factor (X or
// y not finite).
[[nodiscard]] Result<ElfWarmStart> elf_warm_start(linalg::MatrixView x, linalg::VectorView y,
                                                  std::span<const linalg::Matrix> penalties, double tau,
                                                  const design::ReBlocks* blocks = nullptr);

// s·τ(1 − τ)/φ(Φ⁻¹(τ)), s the residual scale floored at 1e-6 of the
// spread of y (a NaN scale takes the floor): the σ at which the curvature
// of the loss matches the variance of its score for normal residuals of
// standard deviation s (see the definition).
double elf_default_sigma(double residual_scale, double spread, double tau);
// s·φ(Φ⁻¹(τ)), s floored as above: the automatic width λ when σ is
// automatic too.
double elf_default_width(double residual_scale, double spread, double tau);

// The fit at quantile level τ (0 < τ < 1, checked by the caller). Checks in
// this order: rows and prior weights (`check_rows_and_weights`), finite y,
// one penalty ("ELF/quantile is restricted to single-smooth fits in 94b; got
// {} terms"), a given σ or λ within 1e-8 to 1e8 times `response_spread`
// ("elf_sigma must be in [{}, {}] (1e-8 to 1e8 times the spread of y);
// got elf_sigma={}", likewise elf_lambda), the warm start; σ = `sigma`
// when it is above 0, else automatic; λ = `lambda` when above 0, else σ
// when σ is given, else automatic (`elf_default_width`).
// The search starts at ρ = ln(w̄) − ln(λσ), w̄ the mean prior weight,
// where the penalty weighs as the data do (X'WX scales as w̄/(λσ)), so
// that y in other units takes the same path. The model reports σ as its scale; the covariance is H⁻¹ (the
// working weights carry σ already). A final fit whose edf or covariance
// is not finite, or whose edf lies outside [M_p, p], is reported as not
// converged. A design with a random-effect block form (`re_blocks`) is
// fitted in it, H factored through its Schur complement. `counters`, when
// given, receives the work done.
[[nodiscard]] Result<FittedGam> fit_elf(double tau, double sigma, double lambda, design::ModelDesign design,
                                        std::uint64_t n, linalg::VectorView y,
                                        std::optional<linalg::VectorView> prior_weights,
                                        inner::FitCounters* counters = nullptr);

}  // namespace kavri::fit
