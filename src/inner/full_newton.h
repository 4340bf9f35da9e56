// The inner fit of the full-Newton families (the ordered categorical one):
// for fixed log smoothing parameters, the coefficients that minimise
// J(β) = D(Xβ) + β'S_λβ by full Newton steps written in working-weight form,
// with step halving, as a rule of the Newton loop (newton_loop.h). The
// family has no variance function, so its working weight is half the
// η-curvature of the weighted deviance, ½·w·d2, floored at 1e-12.
#pragma once

#include "family/ocat.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// Floor of the working weight and of d2 in the working response.
inline constexpr double kOcatWeightFloor = 1e-12;

// Starts from the middle of each response's category interval (the open
// ends closed at −2 and c_{R−1} + 1), or from the problem's `start_eta`, with
// β = 0; or from the workspace's warm start. Every iteration solves
// (X'WX + S_λ)·β̃ = X'Wz without a ridge; from the second iteration on (from
// the first after a warm start, which is a fit of the model), a step that
// raises J by more than the halving tolerance is halved towards the current
// β, and the fit has converged once max_j |β̃_j − β_j| < tol. The
// workspace's pool and the problem's compact X are read where attached;
// with the problem's `re_blocks` H is assembled and factored in block form
// and the record holds its `block_factor` in place of the dense factor.
//
// The record's W and z are recomputed at the final η. Its factor is that
// of the last step's system (one update behind β) when the fit converged,
// else that of the system at the final η, from the same W. Exits: max_iter 0;
// convergence; exhaustion; a step still rejected after the last halving
// (the state that iteration started from). Fails with SingularSystem
// "Cholesky failed: {}" when a system does not factor.
[[nodiscard]] Result<InnerFit> full_newton_fit(const FitProblem<family::Ocat>& problem, linalg::VectorView rho,
                                               const FitWorkspace& work = {});

}  // namespace kavri::inner
