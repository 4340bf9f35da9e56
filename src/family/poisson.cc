#include "family/poisson.h"

#include <cmath>

namespace kavri::family {

double Poisson::saturated_loglik(VectorView y, double /*phi*/) {
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double yi = y[i];
    if (yi > 0.0) c += std::log(yi) * yi - yi;
  }
  return c;
}

}  // namespace kavri::family
