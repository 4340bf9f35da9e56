#include "family/ocat.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/format.h"
#include "common/numeric.h"

namespace kavri::family {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// c_{k−1} and c_k, accumulated in the order of `ocat_cut_points` so that the
// two agree to the bit, without forming the whole vector.
std::pair<double, double> cut_pair(const Ocat& f, std::uint64_t k) {
  if (k == 1) return {-kInf, -1.0};
  double lower = -1.0;
  for (std::uint64_t i = 2; i < k; ++i) lower += std::exp(f.thresholds[i - 2]);
  if (k >= f.n_cats) return {lower, kInf};
  return {lower, lower + std::exp(f.thresholds[k - 2])};
}

double floored(double probability) { return common::floor_at(probability, kOcatProbabilityFloor); }

// The logistic density and its first two derivatives; 0 off the finite
// line, so the infinite end cut points contribute nothing.
double density(double x) {
  if (!std::isfinite(x)) return 0.0;
  const double e = std::exp(-std::fabs(x));
  return e / ((1.0 + e) * (1.0 + e));
}
double density_slope(double x) {
  if (!std::isfinite(x)) return 0.0;
  const double s = x > 0.0 ? -1.0 : 1.0;
  const double e = std::exp(s * x);
  return s * (e - e * e) / ((e + 1.0) * (e + 1.0) * (e + 1.0));
}
// f'' = f·(1 − 6f), since (1 − 2F)² = 1 − 4f.
double density_curvature(double x) {
  const double f = density(x);
  return f * (1.0 - 6.0 * f);
}

struct RowState {
  double a, b, probability;  // probability floored
};
RowState row_state(const Ocat& f, double y, double eta) {
  const auto [lower, upper] = cut_pair(f, ocat_category(y, f.n_cats));
  const double a = lower - eta, b = upper - eta;
  return {a, b, floored(ocat_category_probability(a, b))};
}

}  // namespace

Ocat ocat_new(Vector thresholds, std::uint64_t n_cats) {
  return Ocat{{}, std::move(thresholds), n_cats};
}

Ocat ocat_identity(std::uint64_t n_cats) { return ocat_new(Vector(n_cats - 2, 0.0), n_cats); }

Vector ocat_cut_points(const Ocat& family) {
  const std::uint64_t r = family.n_cats;
  Vector c(r + 1);
  c[0] = -kInf;
  c[1] = -1.0;
  for (std::uint64_t i = 2; i + 1 <= r; ++i) c[i] = c[i - 1] + std::exp(family.thresholds[i - 2]);
  c[r] = kInf;
  return c;
}

std::uint64_t ocat_category(double y, std::uint64_t n_cats) {
  const std::int64_t k = common::saturating_to_i64(common::round_half_away(y));
  if (k <= 0) return 1;
  if (static_cast<std::uint64_t>(k) >= n_cats) return n_cats;
  return static_cast<std::uint64_t>(k);
}

double ocat_category_probability(double a, double b) {
  if (a == -kInf && b == kInf) return 1.0;
  if (a == -kInf) return 1.0 / (std::exp(-b) + 1.0);
  if (b == kInf) return 1.0 / (std::exp(a) + 1.0);
  const double s = std::exp(-std::fabs(a));
  const double big_a = std::exp(-std::fabs(b));
  if (b < 0.0) return big_a / (big_a + 1.0) - s / (s + 1.0);
  if (a > 0.0) return (s - big_a) / ((s + 1.0) * (big_a + 1.0));
  return (1.0 - big_a * s) / ((s + 1.0) * (big_a + 1.0));
}

Result<void> Ocat::check_response(VectorView y) const {
  for (std::size_t i = 0; i < y.size; ++i) {
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
    // A non-integer y is refused, not rounded: 2.3 is no category.
    const double rounded = common::round_half_away(y[i]);
    const std::int64_t k = common::saturating_to_i64(rounded);
    if (rounded == y[i] && k >= 1 && static_cast<std::uint64_t>(k) <= n_cats) continue;
    return invalid_parameter("Ocat requires y to be an integer in 1..=" + common::format_count(n_cats) +
                             "; got y=" + common::format_double(y[i]) + " at row " + common::format_count(i));
  }
  return {};
}

double Ocat::unit_deviance(double y, double eta) const { return -2.0 * std::log(row_state(*this, y, eta).probability); }

double Ocat::weighted_deviance(VectorView y, VectorView eta, VectorView w) const {
  return ocat_deviance(y, *this, eta, w);
}

double ocat_bounded_deviance(OcatBounds bounds, double eta) {
  return -2.0 * std::log(floored(ocat_category_probability(bounds.lower - eta, bounds.upper - eta)));
}

OcatRowDerivatives ocat_bounded_derivatives(OcatBounds bounds, double eta) {
  const double a = bounds.lower - eta, b = bounds.upper - eta;
  const double p = floored(ocat_category_probability(a, b));
  const double slope = density(a) - density(b);
  return {(slope * -2.0) / p, ((slope * slope / p) + (density_slope(a) - density_slope(b))) * 2.0 / p};
}

double ocat_deviance(VectorView y, const Ocat& family, VectorView eta, VectorView w) {
  const Vector c = ocat_cut_points(family);
  double d = 0.0;
  for (std::size_t i = 0; i < eta.size; ++i) {
    const std::uint64_t k = ocat_category(y[i], family.n_cats);
    d += w[i] * ocat_bounded_deviance({c[k - 1], c[k]}, eta[i]);
  }
  return d;
}

OcatDerivatives ocat_eta_derivatives(VectorView y, const Ocat& family, VectorView eta) {
  const Vector c = ocat_cut_points(family);
  OcatDerivatives out{Vector(eta.size), Vector(eta.size)};
  for (std::size_t i = 0; i < eta.size; ++i) {
    const std::uint64_t k = ocat_category(y[i], family.n_cats);
    const OcatRowDerivatives d = ocat_bounded_derivatives({c[k - 1], c[k]}, eta[i]);
    out.d1[i] = d.d1;
    out.d2[i] = d.d2;
  }
  return out;
}

double Ocat::working_weight_slope(double prior_weight, double y, double eta) const {
  const RowState s = row_state(*this, y, eta);
  // P' = f(a) − f(b), P'' = f'(b) − f'(a), P''' = f''(a) − f''(b); the
  // third derivative of −2·ln P is −2·(P'''/P − 3P'P''/P² + 2P'³/P³).
  const double p = s.probability;
  const double d1 = (density(s.a) - density(s.b)) / p;
  const double d2 = (density_slope(s.b) - density_slope(s.a)) / p;
  const double d3 = (density_curvature(s.a) - density_curvature(s.b)) / p;
  const double third = -2.0 * (d3 - 3.0 * d1 * d2 + 2.0 * d1 * d1 * d1);
  return 0.5 * prior_weight * third;
}

namespace {

// ∂c_j/∂t_m = exp(t_m) for m ≤ j − 2 (finite c_j), else 0; ∂²c_j/∂t_m² is
// the same.
double cut_slope(const Ocat& f, std::uint64_t j, std::size_t m) {
  if (j < 2 || j >= f.n_cats || m + 2 > j) return 0.0;
  return std::exp(f.thresholds[m]);
}

}  // namespace

ShapeSlopes Ocat::deviance_shape_slopes(double y, double eta, std::size_t c) const {
  const std::uint64_t k = ocat_category(y, n_cats);
  const RowState s = row_state(*this, y, eta);
  const double sa = cut_slope(*this, k - 1, c), sb = cut_slope(*this, k, c);
  const double p = s.probability;
  const double fa = density(s.a), fb = density(s.b);
  const double f1a = density_slope(s.a), f1b = density_slope(s.b);
  // P's derivatives, each divided by P: in η (e, ee), in t_c (m) and mixed.
  const double m = (fb * sb - fa * sa) / p;
  const double e = (fa - fb) / p;
  const double em = (f1a * sa - f1b * sb) / p;
  const double ee = (f1b - f1a) / p;
  const double eem = (density_curvature(s.b) * sb - density_curvature(s.a) * sa) / p;
  return {.deviance = -2.0 * m,
          .eta = -2.0 * (em - e * m),
          .eta_eta = -2.0 * (eem - ee * m - 2.0 * e * em + 2.0 * e * e * m)};
}

double Ocat::deviance_shape_curvature(double y, double eta, std::size_t c, std::size_t e) const {
  const std::uint64_t k = ocat_category(y, n_cats);
  const RowState s = row_state(*this, y, eta);
  const double sa_c = cut_slope(*this, k - 1, c), sb_c = cut_slope(*this, k, c);
  const double sa_e = cut_slope(*this, k - 1, e), sb_e = cut_slope(*this, k, e);
  const double p = s.probability;
  const double fa = density(s.a), fb = density(s.b);
  const double mc = (fb * sb_c - fa * sa_c) / p, me = (fb * sb_e - fa * sa_e) / p;
  double mce = density_slope(s.b) * sb_c * sb_e - density_slope(s.a) * sa_c * sa_e;
  if (c == e) mce += fb * sb_c - fa * sa_c;
  return -2.0 * (mce / p - mc * me);
}

Vector Ocat::saturated_shape_gradient(VectorView /*y*/, VectorView /*w*/) const {
  return Vector(thresholds.size(), 0.0);
}

linalg::Matrix Ocat::saturated_shape_hessian(VectorView /*y*/, VectorView /*w*/) const {
  return linalg::Matrix(thresholds.size(), thresholds.size());
}

namespace {

// f^(k) at x for k = 0 … 3 from one exponential, f''' = f'·(1 − 12f)
// from f'' = f·(1 − 6f); zeros off the finite line.
struct DensityDerivatives {
  double d[4];
};
DensityDerivatives density_derivatives(double x) {
  if (!std::isfinite(x)) return {{0.0, 0.0, 0.0, 0.0}};
  const double e = std::exp(-std::fabs(x));
  const double f = e / ((1.0 + e) * (1.0 + e));
  const double f1 = (x > 0.0 ? -1.0 : 1.0) * (e - e * e) / ((e + 1.0) * (e + 1.0) * (e + 1.0));
  return {{f, f1, f * (1.0 - 6.0 * f), f1 * (1.0 - 12.0 * f)}};
}

// The derivatives of ln P in η (k times) and in at most two thresholds,
// for one row. With x ∈ {a, b} moving by −1 in η and by s_c in t_c (and
// ∂²x/∂t_c² = s_c), F(x) has ∂^k_η F = (−1)^k f^(k−1), ∂^k_η∂_c F =
// (−1)^k f^(k)·s_c and ∂^k_η∂_c∂_e F = (−1)^k (f^(k+1)·s_c·s_e + δ_ce
// f^(k)·s_c); r = (F(b) − F(a))_S / P, and ln P's derivatives are the
// cumulants of the r.
struct LogProbability {
  RowState s;
  double sa[2], sb[2];  // the cut slopes of the (up to) two thresholds
  bool same;            // the two thresholds are one
  DensityDerivatives fa, fb;

  // (F(b) − F(a)) differentiated k times in η and in the first `t` of the
  // thresholds, divided by P.
  double r(int k, int t) const {
    const double sign = (k % 2 == 0) ? 1.0 : -1.0;
    auto at = [&](const DensityDerivatives& f, const double* sl) {
      if (t == 0) return k == 0 ? 0.0 : f.d[k - 1];
      if (t == 1) return f.d[k] * sl[0];
      double v = f.d[k + 1] * sl[0] * sl[1];
      if (same) v += f.d[k] * sl[0];
      return v;
    };
    return sign * (at(fb, sb) - at(fa, sa)) / s.probability;
  }
};

LogProbability log_probability(const Ocat& f, double y, double eta, std::size_t c, std::size_t e) {
  const std::uint64_t k = ocat_category(y, f.n_cats);
  const RowState s = row_state(f, y, eta);
  return {s,
          {cut_slope(f, k - 1, c), cut_slope(f, k - 1, e)},
          {cut_slope(f, k, c), cut_slope(f, k, e)},
          c == e,
          density_derivatives(s.a),
          density_derivatives(s.b)};
}

// ∂⁴ln P/∂η⁴ from r_k = P^(k)/P: κ4 = r4 − 4r3r1 − 3r2² + 12r2r1² − 6r1⁴.
double fourth_in_eta(const LogProbability& l) {
  const double r1 = l.r(1, 0), r2 = l.r(2, 0), r3 = l.r(3, 0), r4 = l.r(4, 0);
  return r4 - 4.0 * r3 * r1 - 3.0 * r2 * r2 + 12.0 * r2 * r1 * r1 - 6.0 * r1 * r1 * r1 * r1;
}

}  // namespace

double Ocat::working_weight_curvature(double prior_weight, double y, double eta) const {
  return -prior_weight * fourth_in_eta(log_probability(*this, y, eta, 0, 0));
}

double Ocat::deviance_shape_eta3_slope(double y, double eta, std::size_t c) const {
  const LogProbability l = log_probability(*this, y, eta, c, c);
  // ∂⁴ln P/∂η³∂t from the r of η³t, η²t, ηt, t and η, η², η³.
  const double e1 = l.r(1, 0), e2 = l.r(2, 0), e3 = l.r(3, 0);
  const double t = l.r(0, 1), e1t = l.r(1, 1), e2t = l.r(2, 1), e3t = l.r(3, 1);
  const double k = e3t - e3 * t - 3.0 * e2t * e1 - 3.0 * e2 * e1t + 6.0 * e2 * e1 * t + 6.0 * e1t * e1 * e1 -
                   6.0 * e1 * e1 * e1 * t;
  return -2.0 * k;
}

ShapeCurvature Ocat::deviance_shape_curvature_slopes(double y, double eta, std::size_t c, std::size_t e) const {
  const LogProbability l = log_probability(*this, y, eta, c, e);
  // The r of the thresholds one at a time: swap the slopes into slot 0.
  LogProbability le = l;
  le.sa[0] = l.sa[1];
  le.sb[0] = l.sb[1];
  const double x = l.r(1, 0), xx = l.r(2, 0);
  const double c1 = l.r(0, 1), e1 = le.r(0, 1), ce = l.r(0, 2);
  const double xc = l.r(1, 1), xe = le.r(1, 1), xce = l.r(1, 2);
  const double xxc = l.r(2, 1), xxe = le.r(2, 1), xxce = l.r(2, 2);
  // Third cumulant κ(x, c, e) and fourth κ(x, x, c, e).
  const double k3 = xce - xc * e1 - xe * c1 - ce * x + 2.0 * x * c1 * e1;
  const double k4 = xxce - 2.0 * xce * x - xxc * e1 - xxe * c1 - xx * ce - 2.0 * xc * xe + 2.0 * xx * c1 * e1 +
                    4.0 * xc * x * e1 + 4.0 * xe * x * c1 + 2.0 * ce * x * x - 6.0 * x * x * c1 * e1;
  return {.deviance = deviance_shape_curvature(y, eta, c, e), .eta = -2.0 * k3, .eta_eta = -2.0 * k4};
}

}  // namespace kavri::family
