// The fit driver of the extended log-F quantile family: the warm start (a
// ridge-steadied penalized least-squares fit moved to the τ-quantile of its
// residuals), the automatic scale σ, the outer Newton search over the log
// smoothing parameter with every inner fit started from the warm start, the
// final fit and the `FittedGam`. σ and λ are fixed for the whole fit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "design/records.h"
#include "fit/fitted_gam.h"
#include "fit/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// Relative ridge of the warm-start system: d = 1e-7·max(1, max_i |A_ii|).
inline constexpr double kWarmStartRidgeScale = 1e-7;

struct ElfWarmStart {
  linalg::Vector beta;  // the coefficients every inner fit starts from, p
  double mse = 0.0;     // mean squared residual of the ridge fit
};

// Index of the τ-quantile among n sorted values: (n − 1)·τ rounded half away
// from zero, saturated (NaN and negative give 0), at most max(n, 1) − 1.
std::uint64_t elf_quantile_index(std::uint64_t n, double tau);

// A = X'X + S_0 (λ = 1) + d·I; β₀ = A⁻¹X'y; the τ-quantile q of the
// residuals y − Xβ₀ (sorted ascending, NaN last); β = β₀ + A⁻¹X'(q·1).
// InvalidParameter "ELF warm start needs at least one row" for n = 0;
// SingularSystem "ELF warm-start Cholesky: {}" when A does not factor (X or
// y not finite).
[[nodiscard]] Result<ElfWarmStart> elf_warm_start(linalg::MatrixView x, linalg::VectorView y,
                                                  std::span<const linalg::Matrix> penalties, double tau);

// 0.05·√(2π·max(mse, 1e-6))/ln 4 · max(1, 1/(4τ(1 − τ))): a scale of the
// residuals, widened for the extreme quantiles. A NaN mse takes the floor.
double elf_default_sigma(double mse, double tau);

// The fit at quantile level τ (0 < τ < 1, checked by the caller). Checks in
// this order: rows and prior weights (`check_rows_and_weights`), finite y,
// one penalty ("ELF/quantile is restricted to single-smooth fits in 94b; got
// {} terms"), the warm start; σ = `sigma` when it is above 0, else
// automatic; λ = `lambda` when above 0, else σ; an infinite σ or λ is
// InvalidParameter "ELF σ and λ must be finite; got σ={} λ={}". The model
// reports σ as its scale; the covariance is H⁻¹ (the working weights carry
// σ already). `counters`, when given, receives the work done.
[[nodiscard]] Result<FittedGam> fit_elf(double tau, double sigma, double lambda, design::ModelDesign design,
                                        std::uint64_t n, linalg::VectorView y,
                                        std::optional<linalg::VectorView> prior_weights,
                                        FitCounters* counters = nullptr);

}  // namespace kavri::fit
