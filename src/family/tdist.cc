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

// ∂d/∂ν = ln(1 + z) − (1 + ν)z/(ν(1 + z)). For small z (every row as
// ν → ∞) it is of order z² and formed as [ln(1 + z) − z] + z²/(1 + z) −
// z/(ν(1 + z)), whose terms do not cancel; for large z (a far outlier) that
// form would subtract two terms of size z, so the direct one is taken.
double nu_slope(double z, double nu) {
  if (z < 1.0) return log1p_minus_identity(z) + z * z / (1.0 + z) - z / (nu * (1.0 + z));
  return std::log1p(z) - (1.0 + nu) * z / (nu * (1.0 + z));
}

}  // namespace

ShapeSlopes TDist::deviance_shape_slopes(double y, double mu, std::size_t c) const {
  const double r = y - mu;
  const double a = nu * sigma2;
  const double q = a + r * r;
  const double z = r * r / a;
  const double v = 1.0 + nu;
  if (c == 0) {
    // a moves as a in t1: ∂d/∂η = −2(1 + ν)r/q, ∂²d/∂η² = 2(1 + ν)(a − r²)/q².
    return {.deviance = -v * z / (1.0 + z),
            .eta = 2.0 * v * r * a / (q * q),
            .eta_eta = 2.0 * v * a * (3.0 * r * r - a) / (q * q * q)};
  }
  const double g = nu - 2.0;  // dν/dt2
  // ∂a/∂ν = σ², and (1 + ν) moves by one.
  return {.deviance = g * nu_slope(z, nu),
          .eta = g * (2.0 * r * (sigma2 - r * r) / (q * q)),
          .eta_eta = g * (2.0 * (3.0 * (a + sigma2) * r * r - r * r * r * r - sigma2 * a) / (q * q * q))};
}

double TDist::deviance_shape_curvature(double y, double mu, std::size_t c, std::size_t e) const {
  const double r = y - mu;
  const double z = r * r / (nu * sigma2);
  const double v = 1.0 + nu;
  const double g = nu - 2.0;
  const double z1 = 1.0 + z;
  if (c == 0 && e == 0) return v * z / (z1 * z1);
  if (c != e) return g * (z / z1) * (1.0 - nu * z) / (nu * z1);
  const double d_nu = nu_slope(z, nu);
  const double d_nu_nu = z / (nu * nu * z1) * ((2.0 + z * (1.0 - nu)) / z1);
  return g * g * d_nu_nu + g * d_nu;
}

namespace {

// A row function X(a, v) of a = νσ² and v = 1 + ν, proportional to v,
// with its a-slopes at fixed v: X_v = X/v, X_av = X_a/v, X_vv = 0.
struct APartials {
  double x;
  double xa;
  double xaa;
};

// The coordinates move a and v: ∂a/∂t1 = a; dν/dt2 = g = ν − 2 (whose own
// slope is g), ∂a/∂ν = σ², ∂v/∂ν = 1.
struct TCoordinates {
  double a;
  double sigma2;
  double v;
  double g;

  double slope(const APartials& d, std::size_t c) const {
    return c == 0 ? a * d.xa : g * (sigma2 * d.xa + d.x / v);
  }
  double curvature(const APartials& d, std::size_t c, std::size_t e) const {
    if (c == 0 && e == 0) return a * a * d.xaa + a * d.xa;
    if (c != e) return g * (sigma2 * d.xa + a * sigma2 * d.xaa + a * d.xa / v);
    return g * g * (sigma2 * sigma2 * d.xaa + 2.0 * sigma2 * d.xa / v) + slope(d, 1);
  }
};

}  // namespace

ShapeCurvature TDist::deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const {
  const double r = y - mu;
  const double a = nu * sigma2;
  const double q = a + r * r;
  const double v = 1.0 + nu;
  const TCoordinates t{a, sigma2, v, nu - 2.0};
  // ∂d/∂η = −2vr/q and ∂²d/∂η² = 2v(a − r²)/q², q = a + r².
  const APartials d1{-2.0 * v * r / q, 2.0 * v * r / (q * q), -4.0 * v * r / (q * q * q)};
  const APartials d2{2.0 * v * (a - r * r) / (q * q), 2.0 * v * (3.0 * r * r - a) / (q * q * q),
                     4.0 * v * (a - 5.0 * r * r) / ((q * q) * (q * q))};
  return {.deviance = deviance_shape_curvature(y, mu, c, e), .eta = t.curvature(d1, c, e), .eta_eta = t.curvature(d2, c, e)};
}

double TDist::deviance_shape_eta3_slope(double y, double mu, std::size_t c) const {
  const double r = y - mu;
  const double a = nu * sigma2;
  const double q = a + r * r;
  const double v = 1.0 + nu;
  const TCoordinates t{a, sigma2, v, nu - 2.0};
  // ∂³d/∂η³ = 4vr(3a − r²)/q³.
  const APartials d3{4.0 * v * r * (3.0 * a - r * r) / (q * q * q), 24.0 * v * r * (r * r - a) / ((q * q) * (q * q)), 0.0};
  return t.slope(d3, c);
}

Vector TDist::saturated_shape_gradient(VectorView y, VectorView w) const {
  double total_weight = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) total_weight += w[i];
  const GammaRatioSlopes e = ln_gamma_ratio_excess_slopes(0.5 * nu, 0.5);
  return {-0.5 * total_weight, total_weight * ((nu - 2.0) * 0.5 * e.first)};
}

linalg::Matrix TDist::saturated_shape_hessian(VectorView y, VectorView w) const {
  double total_weight = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) total_weight += w[i];
  const GammaRatioSlopes e = ln_gamma_ratio_excess_slopes(0.5 * nu, 0.5);
  const double g = nu - 2.0;
  linalg::Matrix out(2, 2);
  out(1, 1) = total_weight * (g * g * 0.25 * e.second + g * 0.5 * e.first);
  return out;
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
