#include "inner/newton_loop.h"

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

double largest_change(const linalg::Vector& a, const linalg::Vector& b) {
  double change = 0.0;
  for (std::size_t j = 0; j < a.size(); ++j) change = common::floor_at(std::fabs(a[j] - b[j]), change);
  return change;
}

double pearson_statistic(const linalg::Vector& w, const linalg::Vector& z, const linalg::Vector& eta) {
  double sum = 0.0;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const double r = z[i] - eta[i];
    sum += w[i] * (r * r);
  }
  return sum;
}

}  // namespace kavri::inner
