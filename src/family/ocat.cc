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

}  // namespace kavri::family
