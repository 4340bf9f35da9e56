// Summaries of a final inner fit: effective degrees of freedom (total and
// per smoothing parameter), the posterior covariance scale·H⁻¹, the
// standard normal quantile used by Wald intervals, and the assembly of the
// `FittedGam` that every driver ends with.
//
// Each takes the lower Cholesky factor L of H = X'WX + S_λ of the final fit
// and allocates its result; none fails for the shapes its callers pass.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "design/records.h"
#include "fit/fitted_gam.h"
#include "inner/inner_fit.h"
#include "linalg/block_factor.h"
#include "linalg/matrix.h"
#include "outer/newton.h"

namespace kavri::fit {

// tr(H⁻¹·X'WX) with the fit's working weights W.
double compute_edf_total(linalg::MatrixView x, linalg::VectorView w, const linalg::Matrix& factor);

// For each penalty j: r_j − exp(ρ_j)·tr(H⁻¹S_j), r_j the number of rows
// i < p of S_j holding a non-zero (NaN counts as non-zero).
linalg::Vector compute_edf_per_term(const std::vector<linalg::Matrix>& penalties, linalg::VectorView rho,
                                    std::size_t p, const linalg::Matrix& factor);
// The same from H's block factor.
linalg::Vector compute_edf_per_term(const std::vector<linalg::Matrix>& penalties, linalg::VectorView rho,
                                    std::size_t p, const linalg::BlockFactor& factor);

// scale·H⁻¹, symmetrised; H⁻¹ itself when the scale is exactly 1. A NaN
// scale gives a NaN covariance: an unknown scale must not pass for a scale
// of one.
linalg::Matrix scaled_covariance(const linalg::Matrix& factor, double scale);
// The same from the fit's factor, dense or in block form: the block
// inverse is formed once, in O(q²k).
linalg::Matrix scaled_covariance(const inner::InnerFit& fit, double scale);

// Inverse standard normal distribution function for 0 < prob < 1, by
// Acklam's rational approximation (relative error below 1.15e-9) without a
// refinement step.
double normal_quantile(double prob);

// What a driver decides of its final fit beyond the fit itself.
struct FitSummary {
  double scale = 1.0;      // the reported scale
  double edf_total = 0.0;  // tr(H⁻¹·X'WX)
  linalg::Matrix vcov;     // posterior covariance of β
};

// The fitted model from the search's outcome and the final fit: λ = exp(ρ)
// and the per-penalty edf from the smoothing coordinates `rho` (one per
// penalty), the iterations and criterion value of the search, converged
// only when both the search and the final fit are.
FittedGam assemble_fitted_gam(design::Predictor predictor, const std::vector<linalg::Matrix>& penalties,
                              outer::OuterState state, linalg::Vector rho, inner::InnerFit fit, FitSummary summary,
                              std::uint64_t n, LinkKind link_kind, linalg::Vector shape_params);

}  // namespace kavri::fit
