#include "family/negbin.h"

#include <algorithm>
#include <cmath>

#include "common/format.h"

namespace kavri::family {

double NegBin::unit_deviance(double y, double mu) const {
  const double m = log_floor(mu);
  if (!(y > 0.0)) return 2.0 * theta * std::log1p(m / theta);
  const double delta = (y - m) / (m + theta);
  if (!(std::fabs(delta) < 0.25)) {
    const double a = y * std::log(y / m);
    const double b = (y + theta) * std::log((y + theta) / (m + theta));
    return 2.0 * (a - b);
  }
  // Near the Poisson limit (y + θ)·ln((y + θ)/(m + θ)) is (y − m) plus a
  // remainder of order (y − m)²/θ; taken from the ratio it would carry an
  // error of θ roundings. With (y + θ)·δ = (y − m) + (y − m)·δ the
  // remainder is formed on its own.
  // y·ln(y/m) − (y − m) = m·[(1 + ε)·(ln(1 + ε) − ε) + ε²], ε = (y − m)/m:
  // the logarithm of a ratio near 1 would carry an absolute error of one
  // rounding, far above this difference.
  const double eps = (y - m) / m;
  const double poisson = std::fabs(eps) < 0.25 ? m * ((1.0 + eps) * log1p_minus_identity(eps) + eps * eps)
                                               : y * std::log(y / m) - (y - m);
  const double rest = (y - m) * delta + (y + theta) * log1p_minus_identity(delta);
  return 2.0 * (poisson - rest);
}

double NegBin::saturated_loglik(VectorView y, double phi) const { return saturated_loglik(y, unit_weights(y.size), phi); }

double NegBin::saturated_loglik(VectorView y, VectorView w, double /*phi*/) const {
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    if (w[i] == 0.0) continue;  // a dropped row, whatever its response
    const double yi = y[i];
    // lnΓ(y + θ) − lnΓ(θ) = E + y·ln θ, and y·ln(y/(y + θ)) + θ·ln(θ/(y + θ))
    // = y·ln y − y·ln θ − (y + θ)·ln(1 + y/θ): the two y·ln θ cancel in
    // closed form, so no term grows with θ.
    const double excess = ln_gamma_ratio_excess(theta, yi);
    const double tail = (yi + theta) * std::log1p(yi / theta);
    c += w[i] * (yi > 0.0 ? (excess + yi * std::log(yi)) - tail : excess - tail);
  }
  return c;
}

namespace {

constexpr double kMinStartTheta = 1e-3;
constexpr double kMaxStartThetaPerMean = 1e4;

struct Moments {
  double mean;
  double variance;
};

Moments weighted_moments(VectorView y, VectorView w) {
  const double mean = weighted_mean(y, w);
  double sw = 0.0, ss = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    sw += w[i];
    ss += w[i] * (y[i] - mean) * (y[i] - mean);
  }
  return {mean, ss / sw};
}

double max_start_theta(double mean) { return kMaxStartThetaPerMean * std::max(mean, 1.0); }

}  // namespace

NegBin NegBin::with_scale_from_data(VectorView y, VectorView w) const {
  const Moments m = weighted_moments(y, w);
  const double excess = m.variance - m.mean;
  const double theta_m = excess > 0.0 ? m.mean * m.mean / excess : max_start_theta(m.mean);
  return NegBin{{}, std::isfinite(theta_m) && theta_m > 0.0 ? theta_m : 1.0};
}

Vector NegBin::search_start(VectorView y, VectorView w) const {
  const Moments m = weighted_moments(y, w);
  const double upper = std::isfinite(m.mean) ? max_start_theta(m.mean) : max_start_theta(1.0);
  return {0.0, std::clamp(std::log(theta), std::log(kMinStartTheta), std::log(upper))};
}

Result<void> NegBin::check_start() const {
  if (theta > 0.0 && std::isfinite(theta)) return {};
  return invalid_parameter(
      "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high variance, large θ → "
      "Poisson limit); got init_theta=" +
      common::format_double(theta));
}

}  // namespace kavri::family
