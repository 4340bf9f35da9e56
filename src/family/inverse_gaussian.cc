#include "family/inverse_gaussian.h"

#include <cmath>

namespace kavri::family {

double InverseGaussian::saturated_loglik(VectorView y, double phi) {
  const double h = std::log(kTwoPi * phi) * -0.5;
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) c += h - 1.5 * std::log(log_floor(y[i]));
  return c;
}

double InverseGaussian::observed_weight_slope(double prior_weight, double y, double mu) {
  const double g = link_derivative(mu);  // 1/m
  if (g < kFlatLinkDerivative) return 0.0;
  const double m = log_floor(mu);
  const double v = variance(mu);         // max(μ³, 1e-300)
  const double a = 3.0 * mu * mu / v;    // V'/V, V' = 3μ² at the raw μ
  const double b = (-1.0 / (m * m)) / g;  // g''/g'
  const double alpha = observed_weight_factor(y, mu);
  const double e = 1.0 / (v * g * g);  // the expected weight 1/(V·g'²)
  // dα/dμ = (V''/V − a² + g'''/g' − b²)·(y − μ) − (a + b), and
  // d(α·e)/dμ = e·(dα/dμ − α·(a + 2b)); dμ/dη = 1/g'.
  const double second = 6.0 * mu / v - a * a + (2.0 / (m * m * m)) / g - b * b;
  const double alpha_prime = second * (y - mu) - (a + b);
  return prior_weight * (e * (alpha_prime - alpha * (a + 2.0 * b)) / g);
}

}  // namespace kavri::family
