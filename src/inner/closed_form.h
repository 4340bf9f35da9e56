// The closed-form inner fit of the Gaussian family with identity link: one
// ridged Cholesky solve of the penalized normal equations from the cross
// products X'WX and X'Wy that the driver forms once per fit, so a call
// costs O(p³) plus one product X·β and one pass over the data. A problem
// with X's random-effect block form (design/re_blocks.h) keeps X'WX in
// blocks and factors through the Schur complement instead: O(k³ + k²q)
// for k dense and q random-effect columns, and the record's factor is its
// `block_factor`.
//
// W is diag(prior weights), or the identity without them. The record
// carries the factor of X'WX + S_λ without the ridge, W as working weights
// and y as working response; it is always converged after one iteration.
#pragma once

#include <optional>

#include "family/gaussian.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

using GaussianProblem = FitProblem<family::Gaussian>;

// β with (X'WX + S_λ + δI)·β = X'Wy, S_λ = Σ_j exp(ρ_j)·S_j, δ as in
// `linalg::cholesky_solve_ridged`; D = Σ_i w_i·(y_i − η_i)². Fails with
// SingularSystem "Cholesky failed: {}" when X'WX + S_λ is not positive
// definite.
[[nodiscard]] Result<InnerFit> closed_form_gaussian_fit(const GaussianProblem& problem,
                                                        linalg::VectorView rho);

// `closed_form_gaussian_fit` without its per-observation vectors, which a
// fitted record does not keep: coefficients, factor and the deviance summed
// over the rows as that fit sums it, η formed block by block from the
// compact form (one n-vector without it). Fails as that fit.
[[nodiscard]] Result<InnerFit> closed_form_gaussian_final_fit(const GaussianProblem& problem,
                                                              linalg::VectorView rho);

// The closed-form fit at ρ as the reference of the search's deviances: its
// coefficients, its deviance and X'W times its residual, one pass over the
// data. Absent when that fit fails.
[[nodiscard]] std::optional<DevianceAnchor> gaussian_deviance_anchor(const GaussianProblem& problem,
                                                                          linalg::VectorView rho);

// What a criterion evaluation reads of the closed form (coefficients,
// factor, deviance, counts) in O(p³): the deviance from the problem's anchor
// and cross products, equal to the summed squares up to rounding. The
// per-observation vectors (η, μ, W, z) are left empty. Without an anchor
// this is `closed_form_gaussian_fit`. Fails as that fit does.
[[nodiscard]] Result<InnerFit> closed_form_gaussian_search_fit(const GaussianProblem& problem,
                                                               linalg::VectorView rho);

// X'WX and X'Wy of the problem into its products, then the deviance anchor
// at ρ = 0. The transposed view of X is X in column-major order, so without
// prior weights no copy of X is made.
void form_closed_form_products(GaussianProblem& problem);

}  // namespace kavri::inner
