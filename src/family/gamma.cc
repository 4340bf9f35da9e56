#include "family/gamma.h"

#include <cmath>
#include <utility>

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

double Gamma::saturated_loglik(VectorView y, VectorView w, double phi) {
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double wi = w[i];
    if (!(wi > 0.0)) continue;
    const double nu = wi / phi;
    const double k = -linalg::ln_gamma(nu) - std::log(phi / wi) * nu - nu;
    c += k - std::log(log_floor(y[i]));
  }
  return c;
}

namespace {

// The safeguarded Newton solve of f(φ) = 0 from `start`; `f_and_slope`
// returns {f, f'} at φ.
template <class FAndSlope>
double profile_newton(double start, double tol, double floor, FAndSlope&& f_and_slope) {
  double phi = start;
  // Every comparison below is false for NaN, so a NaN f or f' does not stop
  // the solve and a NaN step is cut to the smallest one.
  for (int step = 0; step < kGammaProfileMaxSteps; ++step) {
    const auto [f, slope] = f_and_slope(phi);
    if (std::fabs(f) < tol) break;
    if (std::fabs(slope) < kGammaProfileSlopeFloor) break;
    double next = phi - f / slope;
    next = common::floor_at(next, kGammaProfileStepDown * phi);
    next = common::ceil_at(next, kGammaProfileStepUp * phi);
    next = common::floor_at(next, floor);
    // Only an infinite φ can step to infinity; it is kept as it is.
    if (std::isinf(next)) break;
    if (std::fabs(next - phi) < kGammaProfileRelativeStep * phi) {
      phi = next;
      break;
    }
    phi = next;
  }
  return common::floor_at(phi, floor);
}

}  // namespace

double Gamma::profile_slope(double phi, std::uint64_t n, std::uint64_t m_p) {
  const double nd = static_cast<double>(n);
  return static_cast<double>(m_p) + (2.0 * nd / phi) * (1.0 - trigamma(1.0 / phi) / phi);
}

double Gamma::profile_slope(double phi, VectorView w, std::uint64_t m_p) {
  double slope_sum = 0.0;
  for (std::size_t i = 0; i < w.size; ++i) {
    const double wi = w[i];
    if (!(wi > 0.0)) continue;
    const double nu = wi / phi;
    slope_sum += wi * (1.0 - trigamma(nu) * nu) / phi;
  }
  return static_cast<double>(m_p) + 2.0 * slope_sum;
}

double gamma_profile_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p, double floor) {
  const double s = penalized_deviance;
  const double nd = static_cast<double>(n);
  const double md = static_cast<double>(m_p);
  // No lower bound 1 on the divisor: the criterion has checked n > M_p.
  const double start = common::floor_at(s / (nd - md), floor);
  const double tol = kGammaProfileTolerance * (std::fabs(s) + md + 1.0);
  return profile_newton(start, tol, floor, [&](double phi) {
    const double f = md * phi + 2.0 * nd * (std::log(phi) + digamma(1.0 / phi)) + s;
    const double slope = md + (2.0 * nd / phi) * (1.0 - trigamma(1.0 / phi) / phi);
    return std::pair{f, slope};
  });
}

double gamma_profile_scale(double penalized_deviance, VectorView w, std::uint64_t m_p, double floor) {
  const double s = penalized_deviance;
  const double md = static_cast<double>(m_p);
  double rows = 0.0, total = 0.0;
  for (std::size_t i = 0; i < w.size; ++i)
    if (w[i] > 0.0) {
      rows += 1.0;
      total += w[i];
    }
  const double start = common::floor_at(s / (rows - md), floor);
  // Every term of f carries the weights' units; so does the tolerance (at
  // unit weights it is the unweighted one).
  const double tol = kGammaProfileTolerance * (std::fabs(s) + (md + 1.0) * (total / rows));
  return profile_newton(start, tol, floor, [&](double phi) {
    double sum = 0.0, slope_sum = 0.0;
    for (std::size_t i = 0; i < w.size; ++i) {
      const double wi = w[i];
      if (!(wi > 0.0)) continue;
      const double nu = wi / phi;
      sum += wi * (std::log(phi / wi) + digamma(nu));
      slope_sum += wi * (1.0 - trigamma(nu) * nu) / phi;
    }
    return std::pair{md * phi + 2.0 * sum + s, md + 2.0 * slope_sum};
  });
}

double Gamma::profile_newton_scale(double penalized_deviance, std::uint64_t n, std::uint64_t m_p, double floor) {
  return gamma_profile_scale(penalized_deviance, n, m_p, floor);
}

double Gamma::profile_newton_scale(double penalized_deviance, VectorView w, std::uint64_t m_p, double floor) {
  return gamma_profile_scale(penalized_deviance, w, m_p, floor);
}

}  // namespace kavri::family
