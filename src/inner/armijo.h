// The inner fit of the line-search families (the extended log-F quantile
// family): for fixed log smoothing parameters, the coefficients that
// minimise the penalized objective J(β) = Σ_i w_i·d(y_i, (Xβ)_i) + β'S_λβ
// by Newton steps with a backtracking line search on J, as a rule of the
// Newton loop (newton_loop.h). The check loss is nearly flat away from the
// quantile, so the system carries a ridge of 1e-7·max_i |(X'WX)_ii|, on the
// step rather than on β: the iteration still aims at the minimiser of J
// itself.
#pragma once

#include <optional>

#include "family/elf.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

// The ridge of every system of the fit, relative to the largest diagonal
// entry of its data part X'WX.
inline constexpr double kElfRidgeScale = 1e-7;
// And this fraction of the largest diagonal entry of H itself, which keeps
// its condition number representable when λS_λ dwarfs the data.
inline constexpr double kElfConditionCap = 1e-12;
// A trial step may raise J by this much: near the minimum rounding makes a
// good step look slightly worse.
inline constexpr double kElfIncreaseAllowance = 1e-10;

// From `beta_warm` (zeros when absent): each iteration solves
// (H + δI)·d = X'g − S_λβ with H = X'WX + S_λ, then tries β + a·d for
// a = 1, 1/2, ..., 2^-(max_halvings − 1) until J(β + a·d) ≤ J(β) + 1e-10.
// The fit has converged once an accepted step moves no coefficient by
// tol·σ or more, or when no step length is accepted while J(β) is finite
// and the shortest step tried moves no coefficient by tol·σ or more
// (max_halvings 0 tries none and ends converged). The problem's compact X,
// its random-effect block form and the workspace's pool are read where
// attached; the workspace's warm start is not. With the block form, H,
// S_λ and every factor are held in blocks (H + δI keeps its diagonal block
// diagonal), nothing p × p.
//
// The record's W and z are those at the final β, deviance and pearson both
// the unpenalized deviance there; its factor is that of H + δI for the
// system at the final β, formed from the same W (`block_factor` in block
// form).
//
// Errors: InvalidParameter "ELF τ must be in (0, 1); got {}", "ELF σ and λ
// must be > 0; got σ={} λ={}", "ELF σ and λ must be finite; got σ={} λ={}";
// SingularSystem "ELF Cholesky: {}" when an iteration's system does not
// factor, "Cholesky failed: {}" when the final one does not.
[[nodiscard]] Result<InnerFit> line_search_fit(const FitProblem<family::Elf>& problem,
                                               std::optional<linalg::VectorView> beta_warm, linalg::VectorView rho,
                                               const FitWorkspace& work = {});

// The same from the problem's warm start.
[[nodiscard]] inline Result<InnerFit> line_search_fit(const ElfProblem<family::Elf>& problem, linalg::VectorView rho,
                                                      const FitWorkspace& work = {}) {
  return line_search_fit(problem.fit, problem.beta_warm, rho, work);
}

}  // namespace kavri::inner
