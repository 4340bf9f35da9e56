// The products of a compact design (see `compact.h`), each with a workspace
// of its own whose buffers keep one layout: allocated at the first call and
// reused by the next call of the same product.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "design/compact_forms.h"
#include "design/segment_poly.h"
#include "linalg/matrix.h"

namespace kavri::design {

// One block of every term's rows as runs (see `detail::fill_runs`): each
// term's share at its own offsets.
struct RunBlock {
  std::vector<std::uint32_t> positions;  // per term, one block of rows of run starts
  linalg::Vector coefficients;           // per term, the same rows' run coefficients
  std::vector<std::size_t> position_offset, coefficient_offset;  // per term
};

struct CrossProductsWorkspace {
  RunBlock runs;
  std::vector<linalg::Matrix> tables;              // per term pair (a ≤ b), local_dim_a × local_dim_b
  std::vector<linalg::Vector> response_sums;       // per term, S_t'·(w ⊙ z)
  std::vector<SegmentSums<6>> weight_moments;      // per spline, of w
  std::vector<SegmentSums<3>> response_moments;    // per spline, of w·z
  linalg::Vector weighted_response;                // one block of w·z
  linalg::Vector block_weights;                    // one block of weights given with a stride other than 1
  linalg::Matrix product;                          // table × G_b
  linalg::Matrix block;                            // G_a' × table × G_b, a block of the p × p result
};

struct PredictorWorkspace {
  RunBlock runs;
  std::vector<linalg::Vector> gamma;   // per term, G_t·β_t in its local space
  std::vector<SegmentSums<3>> cubics;  // per spline, its share of η per segment
  linalg::Vector block_eta;            // one block of η when the caller keeps none
};

struct ResidualWorkspace {
  PredictorWorkspace predictor;
  std::vector<linalg::Vector> sums;    // per term, S_t'·(w ⊙ r)
  std::vector<SegmentSums<3>> moments;  // per spline, of w·r
  linalg::Vector weighted_residual;    // one block of w·r
};

struct TransposeWorkspace {
  RunBlock runs;
  std::vector<linalg::Vector> sums;    // per term, S_t'·v
  std::vector<SegmentSums<3>> moments;  // per spline, of v
};

struct RowFormWorkspace {
  RunBlock runs;
  std::vector<linalg::Matrix> tables;  // per term pair (a ≤ b), G_a·V_ab·G_b'
  linalg::Matrix product;              // V_ab × G_b'
  std::vector<SegmentSums<6>> forms;   // per spline, its share of q per segment
  std::vector<SegmentSums<3>> moments;  // per spline, of s·q
  std::vector<linalg::Vector> sums;    // per term, S_t'·(s ⊙ q)
  linalg::Vector block_forms;          // one block of s·q
};

// The buffers of every product, for a caller that forms several of them.
struct CompactWorkspace {
  CrossProductsWorkspace cross;
  PredictorWorkspace predictor;
  ResidualWorkspace residual;
  TransposeWorkspace transpose;
  RowFormWorkspace row_form;
};

// X'·diag(w)·X into `xtwx` (p × p, exactly symmetric) and, when `z` is
// given, X'·diag(w)·z into `xtwz`.
void compact_cross_products(const CompactDesign& d, linalg::VectorView w, std::optional<linalg::VectorView> z,
                            linalg::Matrix& xtwx, linalg::Vector* xtwz, CompactWorkspace& ws);

// For each block of rows, from η = X·β over the block, a row rule's w and
// v: fn(context, first, rows, eta, w, v) writes w[r] and v[r] for row
// first + r.
struct BlockRowRule {
  void (*fn)(void* context, std::size_t first, std::size_t rows, const double* eta, double* w, double* v) = nullptr;
  void* context = nullptr;
};

// X'·diag(w)·X into `xtwx` and X'·v into `xtv`, with w and v a row rule of
// X·β: one pass over the rows, without an n-vector.
void compact_cross_products_along(const CompactDesign& d, linalg::VectorView beta, BlockRowRule rule,
                                  linalg::Matrix& xtwx, linalg::Vector& xtv, CompactWorkspace& ws);

// A call made for each block of rows once its results are complete, so that
// a caller can read them while they are in cache: fn(context, first, rows,
// values), values[r] the result of row first + r.
struct BlockVisitor {
  void (*fn)(void* context, std::size_t first, std::size_t rows, const double* values) = nullptr;
  void* context = nullptr;
};

// η = X·β, visiting each block of η once it is formed.
void compact_linear_predictor(const CompactDesign& d, linalg::VectorView beta, linalg::Vector& eta,
                              CompactWorkspace& ws, BlockVisitor visit = {});

// The same blocks of η, each visited and then overwritten by the next: for
// a caller that needs only what it sums from them.
void compact_linear_predictor_blocks(const CompactDesign& d, linalg::VectorView beta, CompactWorkspace& ws,
                                     BlockVisitor visit);

// At β, the weighted residual sum of squares Σ w_i·(y_i − η_i)² and
// X'·(w ⊙ (y − η)), η = X·β, without an n-vector: with unit weights when
// `w` is absent.
struct ResidualProducts {
  double deviance = 0.0;
  linalg::Vector xtw_residual;  // p
};
ResidualProducts compact_residual_products(const CompactDesign& d, linalg::VectorView beta, linalg::VectorView y,
                                           std::optional<linalg::VectorView> w, CompactWorkspace& ws);

// X'·v for an n-vector v.
linalg::Vector compact_transpose_times(const CompactDesign& d, linalg::VectorView v, CompactWorkspace& ws);

// Σ_i s_i·q_i·x_i with q_i = x_i'·V·x_i (V symmetric p × p), as
// `linalg::weighted_row_form_sum`; the q_i into `forms` (resized to n)
// when given.
linalg::Vector compact_weighted_row_form_sum(const CompactDesign& d, linalg::MatrixView v, linalg::VectorView s,
                                             CompactWorkspace& ws, linalg::Vector* forms = nullptr);

}  // namespace kavri::design
