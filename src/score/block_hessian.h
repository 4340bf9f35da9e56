// The algebra of the exact outer evaluation (score/exact_hessian.h) for a
// fit whose H is factored in random-effect blocks (design/re_blocks.h):
// every p × p product of the dense algebra replaced by its block form.
// H⁻¹ = Δ + Z·S⁻¹·Z' is never formed: the leverages, solves and traces,
// tr(H⁻¹S_j) and tr(H⁻¹∂_iH·H⁻¹∂_jH), come from the block factor, and
// ∂_iH = λ_iS_i + X'·diag(ω'⊙e_i)·X is kept in block form (its
// random-effect block is diagonal, as H's is). An evaluation costs
// O(n·k²) + O(m²·(k²q + k³)) instead of O(n·p²) + O(m·p³).
#pragma once

#include <cstdint>
#include <vector>

#include "design/re_blocks.h"
#include "linalg/block_factor.h"
#include "linalg/matrix.h"

namespace kavri::score {

class BlockHessianAlgebra {
 public:
  // A symmetric p × p matrix of the evaluation (∂_jH, a penalty).
  using Form = linalg::BlockSystem;
  // What the cross traces read of a ∂_jH: the block form itself.
  using Prepared = const linalg::BlockSystem*;

  // `factor` is that of the H whose ln|H| the value took.
  BlockHessianAlgebra(const design::ReBlocks& blocks, const linalg::BlockFactor& factor)
      : blocks_(blocks), factor_(factor) {}

  // Whether `cross_along` needs the second n-vector.
  bool needs_second_row_vector() const { return true; }

  linalg::Vector penalty_times(std::size_t j, const linalg::Vector& v) const {
    return linalg::block_system_times(blocks_.partition, blocks_.penalties[j], v);
  }
  linalg::Vector solve(const linalg::Vector& v) const { return linalg::block_solve(factor_, v); }
  Form scaled_penalty(std::size_t j, double scale) const {
    const linalg::BlockSystem& s = blocks_.penalties[j];
    Form out{linalg::Matrix(s.a.rows, s.a.cols), linalg::Matrix(s.b.rows, s.b.cols), linalg::Vector(s.d.size(), 0.0)};
    linalg::add_scaled(out, s, scale);
    return out;
  }
  static void add(Form& m, const Form& other) { linalg::add_scaled(m, other, 1.0); }
  linalg::Vector times(const Form& m, const linalg::Vector& v) const {
    return linalg::block_system_times(blocks_.partition, m, v);
  }
  double penalty_trace(std::size_t j) const { return linalg::block_trace_times(factor_, blocks_.penalties[j]); }

  // The leverages h_r = x_r'H⁻¹x_r into `h`, and X'·(s ⊙ h); `s` is
  // overwritten.
  linalg::Vector leverages_and_sum(linalg::Vector& s, linalg::Vector& h) {
    h = linalg::block_row_forms(factor_, blocks_.rows());
    for (std::size_t i = 0; i < s.size(); ++i) s[i] *= h[i];
    return design::re_transpose_times(blocks_, s);
  }

  // X'·diag(w)·X into `xtwx` and X'·v into `xtv`, with (w_i, v_i) =
  // row(i, e_i) and e = X·b; `w` and `v` are n-vectors to write.
  template <class Row>
  void cross_along(const linalg::Vector& b, Row&& row, Form& xtwx, linalg::Vector& xtv, linalg::Vector& w,
                   linalg::Vector& v) {
    const linalg::Vector e = design::re_times(blocks_, b);
    for (std::size_t i = 0; i < e.size(); ++i) {
      const auto [wi, vi] = row(i, e[i]);
      w[i] = wi;
      v[i] = vi;
    }
    xtwx = design::re_weighted_gram(blocks_, w);
    xtv = design::re_transpose_times(blocks_, v);
  }

  static Prepared prepare(const Form& m) { return &m; }
  // tr(H⁻¹M_i·H⁻¹M_j).
  double cross_trace(Prepared mi, Prepared mj) const { return linalg::block_trace_product(factor_, *mi, *mj); }

 private:
  const design::ReBlocks& blocks_;
  const linalg::BlockFactor& factor_;
};

}  // namespace kavri::score
