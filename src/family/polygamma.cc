#include "family/polygamma.h"

#include <cmath>

namespace kavri::family {

// The terms are added in the order of the series, the recurrence sum
// first; the Gamma scale profile's results depend on this order in their
// last bits.
double digamma(double x) {
  double a = 0.0;
  while (x < kPolygammaShift) {
    a -= 1.0 / x;
    x += 1.0;
  }
  const double x2 = x * x;
  const double x4 = x2 * x2;
  return a + std::log(x) - 1.0 / (2.0 * x) - 1.0 / (12.0 * x2) + 1.0 / (120.0 * x4) -
         1.0 / (252.0 * (x4 * x2)) + 1.0 / (240.0 * (x4 * x4));
}

double trigamma(double x) {
  double a = 0.0;
  while (x < kPolygammaShift) {
    a += 1.0 / (x * x);
    x += 1.0;
  }
  const double x2 = x * x;
  const double x3 = x2 * x;
  const double x5 = x3 * x2;
  const double x7 = x5 * x2;
  return a + 1.0 / x + 1.0 / (2.0 * x2) + 1.0 / (6.0 * x3) - 1.0 / (30.0 * x5) + 1.0 / (42.0 * x7) -
         1.0 / (30.0 * (x7 * x2));
}

}  // namespace kavri::family
