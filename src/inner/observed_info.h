// The inverse Gaussian inner fit: the re-weighted loop, then the observed
// information of the fitted model, which for this non-canonical link differs
// from the expected information that the working weights carry.
//
// The observed weight of observation i is ω_i = α_i/(V_i·g'_i²) with
// α_i = 1 + (y_i − μ_i)·(V'/V + g''/g') at μ_i; it is negative where
// y_i < μ_i/2, so H_obs = X'·diag(w·ω)·X + S_λ may be indefinite and is
// handled through its eigendecomposition, never a Cholesky factor. Both the
// log-determinant and the block use the prior weights w, so that the block
// differentiates exactly the log-determinant the criterion uses.
#pragma once

#include "family/inverse_gaussian.h"
#include "fit/problem.h"
#include "inner/inner_fit.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// An eigenvalue of H_obs smaller than this in magnitude (or not finite)
// makes ln|det H_obs| and H_obs⁻¹ meaningless: both are then left absent
// and the criterion falls back on the PIRLS factor.
inline constexpr double kObservedEigenFloor = 1e-300;
// Where g'(μ) = 1/μ is below this (μ > 1e12) the weight's derivative is
// taken as 0: the quotients inside it have lost every digit there.
inline constexpr double kFlatLinkDerivative = 1e-12;

// The loop of `pirls_loop` with the inverse Gaussian family on the given
// total penalty (of which the leading p × p block is used; callers form it
// with `design::total_penalty`), then `stored_log_det` and `observed_info`
// at the returned state. Both are present or both absent: absent when a
// weight w_i·ω_i is not finite, the eigendecomposition fails, or an
// eigenvalue is not finite or below kObservedEigenFloor in magnitude. The
// errors are those of the loop.
[[nodiscard]] Result<InnerFit> pirls_fit_inverse_gaussian(const fit::FitProblem<family::InverseGaussian>& problem,
                                                          linalg::Matrix s_lambda);

}  // namespace kavri::inner
