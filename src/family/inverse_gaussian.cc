#include "family/inverse_gaussian.h"

#include <cmath>

namespace kavri::family {

double InverseGaussian::saturated_loglik(VectorView y, double phi) {
  const double h = std::log(kTwoPi * phi) * -0.5;
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) c += h - 1.5 * std::log(log_floor(y[i]));
  return c;
}

}  // namespace kavri::family
