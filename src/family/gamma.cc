#include "family/gamma.h"

#include <cmath>

#include "family/polygamma.h"
#include "linalg/ln_gamma.h"

namespace kavri::family {

double Gamma::saturated_loglik(VectorView y, double phi) {
  const double inv_phi = 1.0 / phi;
  const double k = -linalg::ln_gamma(inv_phi) - std::log(phi) * inv_phi - inv_phi;
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) c += k - std::log(log_floor(y[i]));
  return c;
}

double gamma_profile_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p) {
  const double s = penalized_deviance;
  const double nd = static_cast<double>(n);
  const double md = static_cast<double>(m_p);
  // No lower bound 1 on the divisor: the criterion has checked n > M_p.
  double phi = common::floor_at(s / (nd - md), kScaleFloor);
  const double tol = kGammaProfileTolerance * (std::fabs(s) + md + 1.0);
  // Every comparison below is false for NaN, so a NaN f or f' does not stop
  // the solve and a NaN step is cut to the smallest one.
  for (int step = 0; step < kGammaProfileMaxSteps; ++step) {
    const double f = md * phi + 2.0 * nd * (std::log(phi) + digamma(1.0 / phi)) + s;
    if (std::fabs(f) < tol) break;
    const double slope = md + (2.0 * nd / phi) * (1.0 - trigamma(1.0 / phi) / phi);
    if (std::fabs(slope) < kGammaProfileSlopeFloor) break;
    double next = phi - f / slope;
    next = common::floor_at(next, kGammaProfileStepDown * phi);
    next = common::ceil_at(next, kGammaProfileStepUp * phi);
    next = common::floor_at(next, kScaleFloor);
    // Only an infinite φ can step to infinity; it is kept as it is.
    if (std::isinf(next)) break;
    if (std::fabs(next - phi) < kGammaProfileRelativeStep * phi) {
      phi = next;
      break;
    }
    phi = next;
  }
  return common::floor_at(phi, kScaleFloor);
}

double Gamma::profile_newton_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p) {
  return gamma_profile_scale(penalized_deviance, n, m_p);
}

}  // namespace kavri::family
