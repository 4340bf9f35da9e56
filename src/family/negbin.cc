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

ShapeSlopes NegBin::deviance_shape_slopes(double y, double mu, std::size_t /*c*/) const {
  const double m = log_floor(mu);
  const double yy = y > 0.0 ? y : 0.0;  // the second branch of the deviance is the first at y = 0
  const double delta = (yy - m) / (m + theta);
  const double s = m + theta;
  // ∂d/∂η = 2θ(m − y)/(m + θ), ∂²d/∂η² = 2θm(θ + y)/(m + θ)², each
  // differentiated in θ and multiplied by dθ/dt = θ.
  return {.deviance = theta * (-2.0 * log1p_minus_identity(delta)),
          .eta = theta * (2.0 * m * (m - yy) / (s * s)),
          .eta_eta = theta * (2.0 * m * (2.0 * theta * m + yy * m - theta * yy) / (s * s * s))};
}

double NegBin::deviance_shape_curvature(double y, double mu, std::size_t /*c*/, std::size_t /*e*/) const {
  const double m = log_floor(mu);
  const double yy = y > 0.0 ? y : 0.0;
  const double delta = (yy - m) / (m + theta);
  return theta * theta * (-2.0 * delta * delta / (yy + theta)) + theta * (-2.0 * log1p_minus_identity(delta));
}

ShapeCurvature NegBin::deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const {
  const double m = log_floor(mu);
  const double yy = y > 0.0 ? y : 0.0;
  const double s = m + theta;
  const double s3 = s * s * s;
  // In θ: ∂d/∂η = 2θ(m − y)/s has slopes 2m(m − y)/s² and −4m(m − y)/s³;
  // ∂²d/∂η² = 2θm(θ + y)/s² has 2m(2θm + ym − θy)/s³ and
  // 4m(m² − 2θm − 2ym + θy)/s⁴. In t = ln θ: θ²·f'' + θ·f'.
  const double d1_t = 2.0 * m * (m - yy) / (s * s);
  const double d1_tt = -4.0 * m * (m - yy) / s3;
  const double d2_t = 2.0 * m * (2.0 * theta * m + yy * m - theta * yy) / s3;
  const double d2_tt = 4.0 * m * (m * m - 2.0 * theta * m - 2.0 * yy * m + theta * yy) / (s3 * s);
  return {.deviance = deviance_shape_curvature(y, mu, c, e),
          .eta = theta * theta * d1_tt + theta * d1_t,
          .eta_eta = theta * theta * d2_tt + theta * d2_t};
}

double NegBin::deviance_shape_eta3_slope(double y, double mu, std::size_t /*c*/) const {
  // ∂³d/∂η³ = 2θ(θ + y)m(θ − m)/s³, whose θ-slope is
  // 2m(4θ²m − 2θm² − yθ² + 4yθm − ym²)/s⁴.
  const double m = log_floor(mu);
  const double yy = y > 0.0 ? y : 0.0;
  const double s = m + theta;
  const double num = 4.0 * theta * theta * m - 2.0 * theta * m * m - yy * theta * theta + 4.0 * yy * theta * m - yy * m * m;
  return theta * (2.0 * m * num / ((s * s) * (s * s)));
}

namespace {

// ∂c_i/∂θ and ∂²c_i/∂θ² of one row's term of `saturated_loglik`.
struct ThetaSlopes {
  double first;
  double second;
};
ThetaSlopes saturated_row_slopes(double theta, double y) {
  const GammaRatioSlopes e = ln_gamma_ratio_excess_slopes(theta, y);
  if (theta >= kLnGammaRatioSeriesStart) {
    // c_i = y·ln y − y − ½·ln(1 + y/θ) + the Stirling remainder.
    const double s = theta + y;
    return {y / (2.0 * theta * s) + e.remainder_first,
            -y * (theta + s) / (2.0 * theta * theta * (s * s)) + e.remainder_second};
  }
  return {e.first + y / theta - std::log1p(y / theta), e.second - y * y / (theta * theta * (theta + y))};
}

}  // namespace

Vector NegBin::saturated_shape_gradient(VectorView y, VectorView w) const {
  double g = 0.0;
  for (std::size_t i = 0; i < y.size; ++i)
    if (w[i] != 0.0) g += w[i] * saturated_row_slopes(theta, y[i]).first;
  return {theta * g};
}

linalg::Matrix NegBin::saturated_shape_hessian(VectorView y, VectorView w) const {
  double g = 0.0, h = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    if (w[i] == 0.0) continue;
    const ThetaSlopes s = saturated_row_slopes(theta, y[i]);
    g += w[i] * s.first;
    h += w[i] * s.second;
  }
  linalg::Matrix out(1, 1);
  out(0, 0) = theta * theta * h + theta * g;
  return out;
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
