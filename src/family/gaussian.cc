#include "family/gaussian.h"

namespace kavri::family {

double Gaussian::weighted_deviance(VectorView y, VectorView mu, VectorView w) {
  double d = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double r = y[i] - mu[i];
    d += (w[i] * r) * r;
  }
  return d;
}

}  // namespace kavri::family
