#include "family/tdist.h"

#include <cmath>

#include "common/format.h"

namespace kavri::family {

double TDist::weighted_deviance(VectorView y, VectorView mu, VectorView w) const {
  const double scale = nu * sigma2;
  double d = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double r = y[i] - mu[i];
    d += w[i] * (std::log(r * r / scale + 1.0) * (1.0 + nu));
  }
  return d;
}

Vector TDist::initial_mu(VectorView y) {
  double sum = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) sum += y[i];
  const double mean = sum / static_cast<double>(y.size);
  Vector out(y.size);
  for (std::size_t i = 0; i < y.size; ++i) out[i] = (y[i] + mean) * 0.5;
  return out;
}

double TDist::saturated_loglik(VectorView y, double /*phi*/) const {
  const double per_row = ln_gamma_ratio_excess(0.5 * nu, 0.5) - 0.5 * std::log(kTwoPi * sigma2);
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) c += per_row;
  return c;
}

double TDist::saturated_loglik(VectorView y, VectorView w, double /*phi*/) const {
  const double per_row = ln_gamma_ratio_excess(0.5 * nu, 0.5) - 0.5 * std::log(kTwoPi * sigma2);
  double total_weight = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) total_weight += w[i];
  return total_weight * per_row;
}

Result<void> TDist::check_start() const {
  if (!(nu > 2.0 && std::isfinite(nu)))
    return invalid_parameter("scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=" +
                             common::format_double(nu));
  if (!(sigma2 > 0.0 && std::isfinite(sigma2)))
    return invalid_parameter("scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=" +
                             common::format_double(sigma2));
  return {};
}

}  // namespace kavri::family
