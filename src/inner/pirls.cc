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
