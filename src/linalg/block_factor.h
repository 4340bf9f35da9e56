// The factor of a symmetric positive-definite p × p matrix H whose columns
// split into a dense part (k columns) and a diagonal part (q columns), H
// restricted to the diagonal part being diagonal:
//
//   H = [A B; B' D],  A k × k, B k × q, D = diag(d),
//
// rows and columns taken in the partition's order. It is factored through
// the Schur complement S = A − B·D⁻¹·B' in O(q) + O(k²q) + O(k³), and
//
//   H⁻¹ = Δ + Z·S⁻¹·Z',  Δ = diag(0_k, D⁻¹),  Z = [I_k; −E'],  E = B·D⁻¹,
//
// a diagonal plus a rank-k term, is what the solves, traces, leverages and
// the whole inverse read; nothing p × p is formed unless asked for. The
// intended H is X'WX + S_λ of a design with a random-effect term: each row
// of X holds at most one of the term's levels and its penalty is diagonal.
//
// Matrices are row-major. Vectors and matrices given to or returned by the
// solves and the inverse are in H's own column order; the partition maps
// between the two. Failures are those of dpotrf on H permuted to
// [D B'; B A]: the first d_l that is not positive gives return code l + 1,
// a failing Schur minor j gives q + j.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"

namespace kavri::linalg {

// The columns of the two parts of a p × p matrix, each ascending.
struct BlockPartition {
  std::vector<std::uint64_t> dense;     // k columns
  std::vector<std::uint64_t> diagonal;  // q columns
  // p: for every column of H, its index within its own part.
  std::vector<std::uint64_t> position;
  std::vector<char> is_diagonal;  // p: 1 for the diagonal part's columns

  std::size_t size() const { return position.size(); }
};

// The partition of p columns whose diagonal part is `diagonal` (ascending,
// each < p); the rest form the dense part.
BlockPartition block_partition(std::uint64_t p, std::vector<std::uint64_t> diagonal);

// A symmetric matrix in a partition's block form; its D block is diagonal.
struct BlockSystem {
  Matrix a;  // k × k
  Matrix b;  // k × q
  Vector d;  // q
};

// The blocks of a dense p × p matrix; entries off the diagonal of its
// D × D block are not read.
BlockSystem block_system_of(MatrixView h, const BlockPartition& partition);

// h += scale·S for a dense p × p S read in block form (as above).
void add_to_block_system(const BlockPartition& partition, MatrixView s, double scale, BlockSystem& h);

// M·x for M in block form, x and the result in H's column order.
Vector block_system_times(const BlockPartition& partition, const BlockSystem& m, VectorView x);
// x'·M·x for M in block form, x in H's column order.
double block_quadratic_form(const BlockPartition& partition, const BlockSystem& m, VectorView x);
// h += scale·m, both in the same block form.
void add_scaled(BlockSystem& h, const BlockSystem& m, double scale);

struct BlockFactor {
  BlockPartition partition;
  Vector d;              // q, positive (of either sign from `block_symmetric_factor`)
  Matrix e;              // E = B·D⁻¹, k × q
  Matrix schur_factor;   // lower L with L·L' = S = A − B·D⁻¹·B', k × k; empty when S is indefinite
  Matrix schur_inverse;  // S⁻¹, k × k, exactly symmetric
  Matrix g;              // S⁻¹·E, k × q
  double schur_log_det = 0.0;  // ln|det S|

  std::size_t dense_size() const { return partition.dense.size(); }
  std::size_t diagonal_size() const { return partition.diagonal.size(); }
};

// Factors H given in block form (A's lower triangle is read).
[[nodiscard]] LapackResult<BlockFactor> block_cholesky(const BlockSystem& h, BlockPartition partition);

// The factor of a symmetric H that need not be positive definite, for
// ln|det H| and H⁻¹ where H is indefinite: the same Schur form, D of either
// sign and S⁻¹ from S's eigenpairs when S has no Cholesky factor. By
// Cholesky where H is positive definite, bit for bit `block_cholesky`.
// Absent when a d_l or an eigenvalue of S is not finite or smaller than
// `floor` in magnitude: H⁻¹ is then meaningless (or D⁻¹ is, and only a
// dense factor would do).
[[nodiscard]] std::optional<BlockFactor> block_symmetric_factor(const BlockSystem& h, BlockPartition partition,
                                                               double floor);

// ln|det H| = Σ ln|d_l| + ln|det S|; with a Cholesky factor of S,
// Σ ln d_l + 2·Σ ln L_jj.
double block_log_det(const BlockFactor& f);

// x with H·x = b, b and x of length p.
Vector block_solve(const BlockFactor& f, VectorView b);
// X with H·X = B for a p × r right-hand side.
Matrix block_solve(const BlockFactor& f, MatrixView b);

// H⁻¹, p × p and exactly symmetric, in O(q²k + k²q).
Matrix block_inverse(const BlockFactor& f);
// (H⁻¹)_cc for every column c, in O(kq + k).
Vector block_inverse_diagonal(const BlockFactor& f);

// Σ_ij (H⁻¹)_ij·M_ij over the leading p × p block of M, which is tr(H⁻¹M)
// for symmetric M. Zero entries are skipped, so a penalty embedded at a
// few columns costs what its non-zeros cost.
double block_trace_times(const BlockFactor& f, MatrixView m);
// tr(H⁻¹M) for a symmetric M in the partition's block form, in O(k² + kq).
double block_trace_times(const BlockFactor& f, const BlockSystem& m);
// tr(H⁻¹M_i·H⁻¹M_j) for symmetric M_i, M_j in block form, in O(k²q + k³):
// with Q = M_b − E·diag(m_d) and K = Z'MZ = M_a − E·M_b' − M_b·E' +
// E·diag(m_d)·E', it is Σ_l m_il·m_jl/d_l² + 2·tr(S⁻¹Q_j·D⁻¹·Q_i') +
// tr(S⁻¹K_i·S⁻¹K_j).
double block_trace_product(const BlockFactor& f, const BlockSystem& mi, const BlockSystem& mj);

// Rows of X in a partition's block form: each row's dense part and at most
// one entry of 1.0 in the diagonal part, as the rows of a random-effect
// indicator block hold.
struct BlockRows {
  MatrixView dense;                   // n × k
  std::span<const std::uint32_t> level;  // n: the row's diagonal-part index, or kNoLevel
};
inline constexpr std::uint32_t kNoLevel = 0xffffffffu;

// h_r = x_r'·H⁻¹·x_r for every row: with u = x_a − E·x_d,
// h_r = u'S⁻¹u + x_d'D⁻¹x_d.
Vector block_row_forms(const BlockFactor& f, const BlockRows& x);
// The same for the rows of a dense n × p matrix in H's column order.
Vector block_row_forms(const BlockFactor& f, MatrixView x);

// The ridge of `solve_ridge` (cholesky.h) for a matrix in block form:
// kRidgeScale times its largest diagonal magnitude.
double block_solve_ridge(const BlockSystem& h);

struct BlockSolution {
  BlockFactor factor;  // of H itself (no ridge)
  Vector solution;     // x with (H + δ·D)·x = b, D = diag(H), δ = kRidgeScale
};

// `cholesky_solve_ridged` in block form: the factor of H decides
// definiteness, the factor of H + δ·D solves, each diagonal entry ridged
// by its own share. Fails with SingularSystem "Cholesky failed: {}".
[[nodiscard]] Result<BlockSolution> block_solve_ridged(const BlockSystem& h, const BlockPartition& partition,
                                                       VectorView b);

}  // namespace kavri::linalg
