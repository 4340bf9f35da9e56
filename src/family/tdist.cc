#include "family/tdist.h"

#include <algorithm>
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
  // The median, not the mean: one far outlier, which a heavy-tailed fit is
  // for, would otherwise start every row near it.
  Vector sorted = y.to_vector();
  const double centre = median_in_place(sorted);
  Vector out(y.size);
  for (std::size_t i = 0; i < y.size; ++i) out[i] = (y[i] + centre) * 0.5;
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

namespace {

// The bounds of ν − 2 for a start (see `search_start`).
constexpr double kMinStartNuGap = 0.01;
constexpr double kMaxStartNuGap = 1000.0;

double data_variance(VectorView y, VectorView w) {
  const double s = robust_scale(y, w);
  const double v = s * s;
  return v > 0.0 && std::isfinite(v) ? v : 1.0;
}

}  // namespace

TDist TDist::with_scale_from_data(VectorView y, VectorView w) const { return TDist{{}, nu, data_variance(y, w)}; }

Vector TDist::search_start(VectorView y, VectorView w) const {
  const double data = std::log(data_variance(y, w));
  const double log_sigma2 = std::clamp(std::log(sigma2), data - kStartLogSpread, data + kStartLogSpread);
  const double log_gap = std::clamp(std::log(nu - 2.0), std::log(kMinStartNuGap), std::log(kMaxStartNuGap));
  return {-log_sigma2, log_sigma2, log_gap};
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
