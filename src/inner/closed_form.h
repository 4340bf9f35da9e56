// The closed-form inner fit of the Gaussian family with identity link: one
// ridged Cholesky solve of the penalized normal equations from the cross
// products X'WX and X'Wy that the driver forms once per fit, so a call
// costs O(p³) plus one product X·β and one pass over the data.
//
// W is diag(prior weights), or the identity without them. The record
// carries the factor of X'WX + S_λ without the ridge, W as working weights
// and y as working response; it is always converged after one iteration.
#pragma once

#include "fit/problem.h"
#include "inner/inner_fit.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// β with (X'WX + S_λ + δI)·β = X'Wy, S_λ = Σ_j exp(ρ_j)·S_j, δ as in
// `linalg::cholesky_solve_ridged`; D = Σ_i w_i·(y_i − η_i)². Fails with
// SingularSystem "Cholesky failed: {}" when X'WX + S_λ is not positive
// definite.
[[nodiscard]] Result<InnerFit> closed_form_gaussian_fit(const fit::GaussianFitProblem& problem,
                                                        linalg::VectorView rho);

}  // namespace kavri::inner
