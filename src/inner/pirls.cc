#include "inner/pirls.h"

#include <cmath>


namespace kavri::inner {

double halving_tolerance(double penalized_deviance) {
  return ((std::fabs(penalized_deviance) + kIncreaseOffset) * kIncreaseFactor) * kIncreaseScale;
}

bool pirls_halving_check(double candidate_penalized, bool state_finite, bool first_iteration,
                         double current_penalized, double tolerance) {
  if (!std::isfinite(candidate_penalized) || !state_finite) return true;
  if (first_iteration) return false;
  return candidate_penalized - current_penalized > tolerance;
}

bool deviance_converged(double deviance, double new_deviance, double tol) {
  return std::fabs(deviance - new_deviance) / (std::fabs(deviance) + kDevianceChangeFloor) < tol;
}

namespace detail {

void form_penalized_hessian(linalg::MatrixView x, linalg::MatrixView s_lambda, PirlsWorkspace& ws) {
  linalg::multiply_into(ws.xtw, x, ws.hessian);
  const std::size_t p = x.cols;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) ws.hessian(a, b) += s_lambda(a, b);
}

Result<linalg::Matrix> fallback_factor(linalg::MatrixView x, linalg::VectorView prior_weights,
                                       linalg::MatrixView s_lambda, PirlsWorkspace& ws) {
  linalg::weighted_transpose_into(x, prior_weights, ws.xtw);
  form_penalized_hessian(x, s_lambda, ws);
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

Result<WorkingSolution> solve_working_system(const design::ReBlocks* blocks, const PirlsWorkspace& ws) {
  if (blocks != nullptr) {
    KAVRI_TRY(linalg::BlockSolution solved, linalg::block_solve_ridged(ws.block_hessian, blocks->partition, ws.rhs));
    return WorkingSolution{linalg::Matrix(), std::move(solved.factor), std::move(solved.solution)};
  }
  KAVRI_TRY(linalg::CholeskySolution solved, linalg::cholesky_solve_ridged(ws.hessian, ws.rhs));
  return WorkingSolution{std::move(solved.factor), std::nullopt, std::move(solved.solution)};
}

double pearson_statistic(const linalg::Vector& w, const linalg::Vector& z, const linalg::Vector& eta) {
  double sum = 0.0;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const double r = z[i] - eta[i];
    sum += w[i] * (r * r);
  }
  return sum;
}

}  // namespace detail

}  // namespace kavri::inner
