#include "family/binomial.h"

namespace kavri::family {

Vector detail::BinaryResponse::initial_mu(VectorView y) {
  Vector mu(y.size);
  for (std::size_t i = 0; i < y.size; ++i) mu[i] = (y[i] + 0.5) * 0.5;
  return mu;
}

double Bernoulli::saturated_loglik(VectorView y, double /*phi*/) {
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    if (!(y[i] > 0.0 && y[i] < 1.0)) continue;
    const double v = logit_clamp(y[i]);
    c += std::log(1.0 - v) * (1.0 - v) + std::log(v) * v;
  }
  return c;
}

}  // namespace kavri::family
