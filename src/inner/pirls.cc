#include "inner/pirls.h"

#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner::detail {

Result<linalg::Matrix> fallback_factor(linalg::MatrixView x, linalg::VectorView prior_weights,
                                       linalg::MatrixView s_lambda, NewtonWorkspace& ws) {
  linalg::weighted_transpose_into(x, prior_weights, ws.xtw);
  linalg::multiply_into(ws.xtw, x, ws.hessian);
  add_penalty(s_lambda, ws.hessian);
  const double ridge = linalg::solve_ridge(ws.hessian);
  for (std::size_t i = 0; i < x.cols; ++i) ws.hessian(i, i) += ridge;
  auto factor = linalg::cholesky_lower(ws.hessian);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());
  return std::move(*factor);
}

Result<linalg::BlockFactor> fallback_block_factor(const design::ReBlocks& blocks, linalg::VectorView prior_weights,
                                                  const linalg::BlockSystem& s_lambda) {
  linalg::BlockSystem h = design::re_weighted_gram(blocks, prior_weights);
  linalg::add_scaled(h, s_lambda, 1.0);
  const double ridge = linalg::block_solve_ridge(h);
  for (std::size_t a = 0; a < h.a.rows; ++a) h.a(a, a) += ridge;
  for (double& v : h.d) v += ridge;
  auto factor = linalg::block_cholesky(h, blocks.partition);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());
  return std::move(*factor);
}

Result<NewtonStep> solve_working_system(const design::ReBlocks* blocks, const NewtonWorkspace& ws) {
  if (blocks != nullptr) {
    KAVRI_TRY(linalg::BlockSolution solved, linalg::block_solve_ridged(ws.block_hessian, blocks->partition, ws.rhs));
    return NewtonStep{linalg::Matrix(), std::move(solved.factor), std::move(solved.solution)};
  }
  KAVRI_TRY(linalg::CholeskySolution solved, linalg::cholesky_solve_ridged(ws.hessian, ws.rhs));
  return NewtonStep{std::move(solved.factor), std::nullopt, std::move(solved.solution)};
}

}  // namespace kavri::inner::detail
