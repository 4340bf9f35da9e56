// Solves and inverses built on a lower Cholesky factor L (A = L·L').
//
// All results are fresh row-major allocations; arguments are never changed.
// The triangular solves read only the lower triangle of L. Shapes are the
// caller's responsibility (square L, vectors of length rows(L)).
#pragma once

#include <limits>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::linalg {

// The ridged solve adds this fraction of each diagonal entry to it; the
// fallback factor of a fit adds this multiple of max_i |H_ii| to every one.
inline constexpr double kRidgeScale = 1e-12;
// The correction steps of the ridged solve stop once a step is below this
// fraction of the solution (2-norms), a few roundings; at most
// kMaxRidgeSteps are taken before the ridged matrix is factored instead.
inline constexpr double kRidgeStepTolerance = 4.0 * std::numeric_limits<double>::epsilon();
inline constexpr int kMaxRidgeSteps = 8;

// δ = kRidgeScale · max_i |H_ii|, relative to H so that a system in other
// units (prior weights or a response scaled by a common factor) is solved
// alike; NaN diagonal entries are skipped, and a diagonal without a
// positive finite entry takes kRidgeScale itself, so δ is finite and
// positive for any H.
double solve_ridge(MatrixView h);

struct CholeskySolution {
  Matrix factor;    // L of H itself (no ridge), zeros above the diagonal
  Vector solution;  // x with (H + δ·D)·x = b, D = diag(H), δ = kRidgeScale
};

// The factor of H decides definiteness and is the one callers take
// log-determinants, traces and covariances from; the ridge only steadies
// the solve. It is relative to each diagonal entry, not to the largest:
// a smoothing parameter of 1e18 on one term makes that term's diagonal
// 1e18, and a ridge of 1e-12 of it would shrink every other coefficient
// as a penalty of 1e6 (the criterion then fell without bound along that
// parameter); each coordinate's share leaves every coefficient within
// about 1e-12 of the solution of H, in any units of any column. The ridged
// system is solved with that same factor by a few O(p²) correction steps,
// and H + δ·D is factored as well only when the steps do not settle.
// Fails with SingularSystem "Cholesky failed: {}".
[[nodiscard]] Result<CholeskySolution> cholesky_solve_ridged(MatrixView h, VectorView b);

// y with L·y = b.
Vector forward_substitute(MatrixView l, VectorView b);
// x with L'·x = y, reading L[k][i] for k ≥ i.
Vector back_substitute_transposed(MatrixView l, VectorView y);
// A⁻¹ column by column from p pairs of triangular solves; not symmetrised.
Matrix inverse_from_cholesky(MatrixView l);
// tr(A⁻¹M) over the leading p × p block of M, through L⁻¹
// (`trace_with_factor_inverse`) without forming A⁻¹.
double trace_inverse_times(MatrixView l, MatrixView m);
// L⁻¹ (lower triangular, zeros above the diagonal), for traces that need
// no A⁻¹: p forward solves, each starting at its diagonal, p³/6 products
// against the p³ of `inverse_from_cholesky`.
Matrix factor_inverse(MatrixView l);
// tr(A⁻¹M) = Σ_i g_i·M·g_i' over the rows g_i of G = L⁻¹, for M at least
// p × p; only the band of rows and columns that holds M's non-zero entries
// (NaN counts as non-zero) is read, so an embedded k × k block costs p·k².
double trace_with_factor_inverse(const Matrix& g, MatrixView m);
// Σ_i Σ_j (A⁻¹)_ij · M_ij, which is tr(A⁻¹M) for symmetric M, from an
// inverse already at hand (p = rows of the inverse): for callers that need
// A⁻¹ anyway and take several traces against it.
double trace_with_inverse(const Matrix& inverse, MatrixView m);

}  // namespace kavri::linalg
