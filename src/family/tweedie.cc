#include "family/tweedie.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/format.h"
#include "common/numeric.h"
#include "linalg/ln_gamma.h"

namespace kavri::family {
namespace {

// The parts of the log-terms ℓ_j = c0·j − lnΓ(j + 1) − lnΓ(−j·α) − j·α·ln y
// that depend on p and φ only.
struct Series {
  double p;
  double phi;    // floored
  double alpha;  // (2 − p)/(1 − p), negative
  double c0;     // ln φ/(1 − p) + α·ln(p − 1) − ln(2 − p)

  Series(double power, double dispersion)
      : p(power),
        phi(common::floor_at(dispersion, kTweediePhiFloor)),
        alpha((2.0 - power) / (1.0 - power)),
        c0(std::log(phi) / (1.0 - power) + alpha * std::log(power - 1.0) - std::log(2.0 - power)) {}

  double base(std::int64_t j) const {
    const double x = static_cast<double>(j);
    return c0 * x - linalg::ln_gamma(x + 1.0) - linalg::ln_gamma(-x * alpha);
  }
  // The index of the largest term, at least 1; saturating, so a response
  // far beyond the series range cannot wrap the index.
  std::int64_t start(double y) const {
    const double v = std::floor(std::pow(y, 2.0 - p) / ((2.0 - p) * phi));
    return std::max<std::int64_t>(1, common::saturating_to_i64(v));
  }
};

// The last index the upward walk may add.
std::int64_t upward_cap(std::int64_t j0) {
  const double spread = std::ceil(kTweedieUpwardSpread * std::sqrt(static_cast<double>(j0)));
  const std::int64_t extra = std::max(kTweedieMinUpwardTerms, common::saturating_to_i64(spread));
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  return j0 > kMax - extra ? kMax : j0 + extra;
}

// Visits j0, j0 + 1, … and then j0 − 1, … 1; `term(j)` adds term j and
// returns ℓ_j. Each direction stops after the first term below the
// threshold (which is still added); a NaN term never stops the walk.
template <class Term>
void walk_window(std::int64_t j0, double threshold, Term&& term) {
  const std::int64_t cap = upward_cap(j0);
  for (std::int64_t j = j0;; ++j) {
    const double l = term(j);
    if (j >= cap || l < threshold) break;
  }
  for (std::int64_t j = j0 - 1; j >= 1; --j)
    if (term(j) < threshold) break;
}

// The expansion that replaces the series from `kTweedieAsymptoticStart` on.
double asymptotic_log_density(double y, double p, double phi) {
  return -0.5 * (std::log(kTwoPi * phi) + p * std::log(y)) + p * (p - 3.0) * phi * std::pow(y, p - 2.0) / 24.0;
}

}  // namespace

double Tweedie::unit_deviance(double y, double mu) const {
  const double m = log_floor(mu);
  const double m2p = std::pow(m, 2.0 - p);
  if (!(y > 0.0)) return 2.0 * m2p / (2.0 - p);
  return 2.0 * (std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p)) - y * std::pow(m, 1.0 - p) / (1.0 - p) +
                m2p / (2.0 - p));
}

namespace {

// The y-free parts of ℓ_j (and with `order` ≥ 1 of ℓ_j,p, with 2 the
// digamma and trigamma of −jα), once per call, up to the largest start
// index of a series row plus a margin; indices the upward walks reach
// beyond it are computed directly, by the same functions.
struct SeriesTable {
  const Series& series;
  double q2;
  double c1;  // dc0/dp
  std::size_t size;
  Vector base, dbase, psi, trigamma;

  SeriesTable(const Series& s, VectorView y, int order)
      : series(s),
        q2((1.0 / (1.0 - s.p)) * (1.0 / (1.0 - s.p))),
        c1(1.0 / (2.0 - s.p) + (std::log(s.p - 1.0) + std::log(s.phi)) * q2 - s.alpha * (1.0 / (1.0 - s.p))) {
    std::int64_t j_max = 1;
    for (std::size_t i = 0; i < y.size; ++i) {
      if (!(y[i] > 0.0)) continue;
      const std::int64_t j0 = series.start(y[i]);
      if (j0 < kTweedieAsymptoticStart) j_max = std::max(j_max, j0);
    }
    size = static_cast<std::size_t>(j_max) + 64;
    base.resize(size + 1);
    if (order >= 1) dbase.resize(size + 1);
    if (order >= 2) {
      psi.resize(size + 1);
      trigamma.resize(size + 1);
    }
    for (std::size_t j = 1; j <= size; ++j) {
      const std::int64_t jj = static_cast<std::int64_t>(j);
      base[j] = series.base(jj);
      if (order < 1) continue;
      const linalg::LnGammaSlopes g = slopes(jj);
      dbase[j] = derivative(jj, g.first);
      if (order < 2) continue;
      psi[j] = g.first;
      trigamma[j] = g.second;
    }
  }
  bool in(std::int64_t j) const { return j <= static_cast<std::int64_t>(size); }
  double base_at(std::int64_t j) const { return in(j) ? base[static_cast<std::size_t>(j)] : series.base(j); }
  linalg::LnGammaSlopes slopes(std::int64_t j) const {
    return linalg::ln_gamma_slopes(-static_cast<double>(j) * series.alpha);
  }
  double derivative(std::int64_t j, double digamma) const {
    const double x = static_cast<double>(j);
    return x * c1 + x * digamma * q2;
  }
};

// acc + ln f(y; μ = y, p, φ) of one row, the y-free parts of the
// log-terms from `table` when given: the same numbers either way.
double saturated_row(const Series& series, const SeriesTable* table, double acc, double y) {
  if (y <= 0.0) return acc + 0.0;
  const double p = series.p;
  const std::int64_t j0 = series.start(y);
  if (j0 >= kTweedieAsymptoticStart) return acc + asymptotic_log_density(y, p, series.phi);
  const double log_y = std::log(y);
  const double t = std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p) * series.phi);
  auto log_term = [&](std::int64_t j) {
    const double b = table != nullptr ? table->base_at(j) : series.base(j);
    return b - static_cast<double>(j) * series.alpha * log_y;
  };
  const double e = log_term(j0);
  double sum = 0.0;
  walk_window(j0, e - kTweedieWindowDrop, [&](std::int64_t j) {
    const double l = log_term(j);
    sum += std::exp(l - e);
    return l;
  });
  return acc + ((t - log_y) + (e + std::log(sum)));
}

}  // namespace

double tweedie_saturated_loglik(double p, double phi, double acc, double y) {
  return saturated_row(Series(p, phi), nullptr, acc, y);
}

double Tweedie::saturated_loglik(VectorView y, double dispersion) const {
  const Series series(p, dispersion);
  const SeriesTable table(series, y, 0);
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i) c = saturated_row(series, &table, c, y[i]);
  return c;
}

double Tweedie::saturated_loglik(VectorView y, VectorView w, double dispersion) const {
  const Series series(p, dispersion);
  const SeriesTable table(series, y, 0);
  double c = -0.0;
  for (std::size_t i = 0; i < y.size; ++i)
    if (w[i] != 0.0) c += w[i] * saturated_row(series, &table, 0.0, y[i]);
  return c;
}

Tweedie Tweedie::family_from_theta(std::span<const double> shape) const {
  const double power = common::ceil_at(common::floor_at(1.0 + 1.0 / (1.0 + std::exp(-shape[1])), kTweedieMinPower),
                                       kTweedieMaxPower);
  return Tweedie{{}, power, common::floor_at(std::exp(shape[0]), kTweedieMinPhi)};
}

namespace {

// The derivatives of Σ_i w_i·s_i, s_i the per-row log-densities of
// `saturated_loglik`, in u = ln φ and p, from the series window (or its
// expansion): the first, and with `second` the second. On the window, with
// ω_j the terms' weights, ∂ln W/∂x = E[ℓ_x] and ∂²ln W/∂x∂z = E[ℓ_xz] +
// Cov(ℓ_x, ℓ_z), where ∂ℓ_j/∂u = j·q, ∂²ℓ_j/∂u∂p = j·q², ℓ_j,p = j·c0' +
// j·q²·(ψ(−jα) − ln y) and ℓ_j,pp = j·c0'' + 2j·q³·(ψ(−jα) − ln y) −
// j²·q⁴·ψ₁(−jα), since dα/dp = q². The digamma and trigamma are those of
// the Lanczos log-gamma the terms are formed with: smooth in p, where the
// shifted asymptotic series jumps by its error each time an argument
// crosses its shift point. One walk serves both orders.
struct SaturatedDerivatives {
  double log_phi;  // first
  double power;
  double uu;  // second, with `second`
  double up;
  double pp;
};

// The window's weighted sums over its terms (relative to the start term).
struct WindowSums {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0;  // ω, ω·j, ω·ℓ_p
  double sjj = 0.0, sjd = 0.0, sdd = 0.0, spp = 0.0;  // ω·j², ω·j·ℓ_p, ω·ℓ_p², ω·ℓ_pp
};

WindowSums window_sums(const SeriesTable& table, double ly, std::int64_t j0, bool second, double c2, double q3) {
  const Series& series = table.series;
  const double a_ly = series.alpha * ly;
  const double ly_q2 = ly * table.q2;
  auto log_term = [&](std::int64_t j) {
    return table.base_at(j) - static_cast<double>(j) * a_ly;
  };
  const double e = log_term(j0);
  WindowSums s;
  walk_window(j0, e - kTweedieWindowDrop, [&](std::int64_t j) {
    const double l = log_term(j);
    const double omega = std::exp(l - e);
    const double x = static_cast<double>(j);
    const std::size_t at = static_cast<std::size_t>(j);
    const double db = table.in(j) ? table.dbase[at] : table.derivative(j, table.slopes(j).first);
    const double d = db - x * ly_q2;
    s.s0 += omega;
    s.s1 += omega * x;
    s.s2 += omega * d;
    if (second) {
      const linalg::LnGammaSlopes g =
          table.in(j) ? linalg::LnGammaSlopes{table.psi[at], table.trigamma[at]} : table.slopes(j);
      const double dd = x * c2 + 2.0 * x * q3 * (g.first - ly) - x * x * (table.q2 * table.q2) * g.second;
      s.sjj += omega * x * x;
      s.sjd += omega * x * d;
      s.sdd += omega * d * d;
      s.spp += omega * dd;
    }
    return l;
  });
  return s;
}

SaturatedDerivatives saturated_derivatives(double p, double dispersion, VectorView y, VectorView w, bool second) {
  const Series series(p, dispersion);
  const double q = 1.0 / (1.0 - p), r = 1.0 / (2.0 - p);
  const double q2 = q * q, q3 = q2 * q;
  const SeriesTable table(series, y, second ? 2 : 1);
  const double c2 = r * r + 2.0 * q3 * (std::log(p - 1.0) + std::log(series.phi)) - 2.0 * q3 - series.alpha * q2;
  // t = y^(2−p)·qr/φ with qr = q − r, (qr)' = q² − r², (qr)'' = 2(q³ − r³).
  const double hq = q - r, h1 = q2 - r * r, h2 = 2.0 * (q3 - r * r * r);
  SaturatedDerivatives out{0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < y.size; ++i) {
    const double yi = y[i];
    if (!(yi > 0.0) || w[i] == 0.0) continue;
    const double ly = std::log(yi);
    const double y2p = std::pow(yi, 2.0 - p);
    const std::int64_t j0 = series.start(yi);
    if (j0 >= kTweedieAsymptoticStart) {
      const double h = series.phi * std::pow(yi, p - 2.0) / 24.0;
      const double a = p * (p - 3.0), b = 2.0 * p - 3.0;
      out.log_phi += w[i] * (-0.5 + a * h);
      out.power += w[i] * (-0.5 * ly + (b + a * ly) * h);
      out.uu += w[i] * (a * h);
      out.up += w[i] * (b * h + a * h * ly);
      out.pp += w[i] * (2.0 * h + 2.0 * b * h * ly + a * h * ly * ly);
      continue;
    }
    const WindowSums s = window_sums(table, ly, j0, second, c2, q3);
    // s = t − ln y + ln W: ∂s/∂u = −t + q·E[j], ∂s/∂p = t' + E[ℓ_p];
    // ∂²t/∂u² = t, ∂²t/∂u∂p = −t'.
    const double t = y2p * q * r / series.phi;
    const double t_slope = (y2p / series.phi) * (q2 - r * r - ly * (q - r));
    out.log_phi += w[i] * ((s.s1 * q) / s.s0 - t);
    out.power += w[i] * (t_slope + s.s2 / s.s0);
    if (!second) continue;
    const double yt = y2p / series.phi;
    const double t_p = yt * (h1 - hq * ly);
    const double t_pp = yt * (h2 - 2.0 * h1 * ly + hq * ly * ly);
    const double mj = s.s1 / s.s0, md = s.s2 / s.s0;
    out.uu += w[i] * (yt * hq + q2 * (s.sjj / s.s0 - mj * mj));
    out.up += w[i] * (-t_p + q2 * mj + q * (s.sjd / s.s0 - mj * md));
    out.pp += w[i] * (t_pp + s.spp / s.s0 + (s.sdd / s.s0 - md * md));
  }
  return out;
}

// ∂d/∂p, ∂²d/∂p², ∂²d/∂η∂p and ∂³d/∂η²∂p of one row. Each power term
// f = b^(k−p)·h(p) has f' = b^(k−p)·(h' − h·ln b) and f'' =
// b^(k−p)·(h'' − 2h'·ln b + h·ln²b); with q = 1/(1 − p), r = 1/(2 − p),
// q' = q², r' = r².
struct PowerSlopes {
  double d_p;
  double d_pp;
  double d_eta_p;
  double d_eta_eta_p;
};

PowerSlopes power_slopes(double p, double y, double mu) {
  const double m = log_floor(mu);
  const double lm = std::log(m);
  const double q = 1.0 / (1.0 - p), r = 1.0 / (2.0 - p);
  const double m1p = std::pow(m, 1.0 - p), m2p = std::pow(m, 2.0 - p);
  // m^(2−p)·r and m^(2−p) (the second of ∂d/∂η = 2·[m^(2−p) − y·m^(1−p)]).
  double d_p = m2p * (r * r - r * lm);
  double d_pp = m2p * (2.0 * r * r * r - 2.0 * r * r * lm + r * lm * lm);
  const double lead = m2p * lm;  // −∂m^(2−p)/∂p
  double d_eta_p = -lead;
  double d_eta_eta_p = -m2p - (2.0 - p) * lead;
  if (y > 0.0) {
    const double ly = std::log(y);
    const double y2p = std::pow(y, 2.0 - p);
    // y^(2−p)·qr with qr = q − r, (qr)' = q² − r², (qr)'' = 2(q³ − r³).
    const double h = q - r, h1 = q * q - r * r, h2 = 2.0 * (q * q * q - r * r * r);
    d_p += y2p * (h1 - h * ly);
    d_pp += y2p * (h2 - 2.0 * h1 * ly + h * ly * ly);
    // −y·m^(1−p)·q.
    const double ym = y * m1p;
    d_p -= ym * (q * q - q * lm);
    d_pp -= ym * (2.0 * q * q * q - 2.0 * q * q * lm + q * lm * lm);
    // ∂d/∂η's −y·m^(1−p) and ∂²d/∂η²'s (p − 1)·y·m^(1−p).
    d_eta_p += ym * lm;
    d_eta_eta_p += ym - (p - 1.0) * ym * lm;
  }
  return {2.0 * d_p, 2.0 * d_pp, 2.0 * d_eta_p, 2.0 * d_eta_eta_p};
}

// The η-derivatives of d are D_k = ∂^k d/∂η^k = 2·[(2 − p)^(k−1)·m^(2−p) −
// y·(1 − p)^(k−1)·m^(1−p)] for k ≥ 1. One term s^j·m^(c−p) (s = c − p)
// with its first two p-derivatives, L = ln m.
struct PowerTerm {
  double value;
  double p;
  double pp;
};
PowerTerm power_term(double s, int j, double m_cp, double lm) {
  double sj = 1.0, sj1 = 0.0, sj2 = 0.0;  // s^j, s^(j−1), s^(j−2), integer powers of a signed s
  for (int k = 0; k < j; ++k) {
    sj2 = sj1;
    sj1 = sj;
    sj *= s;
  }
  const double jd = static_cast<double>(j);
  return {sj * m_cp, m_cp * (-jd * sj1 - lm * sj),
          m_cp * (jd * (jd - 1.0) * sj2 + 2.0 * jd * lm * sj1 + lm * lm * sj)};
}
// D_k with its p-slopes.
PowerTerm eta_derivative(double p, double y, double mu, int k) {
  const double m = log_floor(mu);
  const double lm = std::log(m);
  const PowerTerm a = power_term(2.0 - p, k - 1, std::pow(m, 2.0 - p), lm);
  if (!(y > 0.0)) return {2.0 * a.value, 2.0 * a.p, 2.0 * a.pp};
  const PowerTerm b = power_term(1.0 - p, k - 1, std::pow(m, 1.0 - p), lm);
  return {2.0 * (a.value - y * b.value), 2.0 * (a.p - y * b.p), 2.0 * (a.pp - y * b.pp)};
}

}  // namespace

ShapeCurvature Tweedie::deviance_shape_curvature_slopes(double y, double mu, std::size_t c, std::size_t e) const {
  if (c == 0 || e == 0) return {0.0, 0.0, 0.0};
  const double g = (p - 1.0) * (2.0 - p);
  const double g1 = g * (3.0 - 2.0 * p);
  const PowerTerm d1 = eta_derivative(p, y, mu, 1), d2 = eta_derivative(p, y, mu, 2);
  return {.deviance = deviance_shape_curvature(y, mu, c, e),
          .eta = g * g * d1.pp + g1 * d1.p,
          .eta_eta = g * g * d2.pp + g1 * d2.p};
}

double Tweedie::deviance_shape_eta3_slope(double y, double mu, std::size_t c) const {
  if (c == 0) return 0.0;
  return (p - 1.0) * (2.0 - p) * eta_derivative(p, y, mu, 3).p;
}

ShapeSlopes Tweedie::deviance_shape_slopes(double y, double mu, std::size_t c) const {
  if (c == 0) return {0.0, 0.0, 0.0};  // the deviance does not read φ
  const double g = (p - 1.0) * (2.0 - p);  // dp/dt2
  const PowerSlopes s = power_slopes(p, y, mu);
  return {g * s.d_p, g * s.d_eta_p, g * s.d_eta_eta_p};
}

double Tweedie::deviance_shape_curvature(double y, double mu, std::size_t c, std::size_t e) const {
  if (c == 0 || e == 0) return 0.0;
  const double g = (p - 1.0) * (2.0 - p);
  const PowerSlopes s = power_slopes(p, y, mu);
  return g * g * s.d_pp + g * (3.0 - 2.0 * p) * s.d_p;  // d²p/dt2² = g·(3 − 2p)
}

Vector Tweedie::saturated_shape_gradient(VectorView y, VectorView w) const {
  const SaturatedDerivatives s = saturated_derivatives(p, phi, y, w, /*second=*/false);
  return {s.log_phi, (p - 1.0) * (2.0 - p) * s.power};
}

linalg::Matrix Tweedie::saturated_shape_hessian(VectorView y, VectorView w) const {
  const SaturatedDerivatives s = saturated_derivatives(p, phi, y, w, /*second=*/true);
  const double g = (p - 1.0) * (2.0 - p);  // dp/dt2, whose own slope is g·(3 − 2p)
  linalg::Matrix out(2, 2);
  out(0, 0) = s.uu;
  out(0, 1) = out(1, 0) = g * s.up;
  out(1, 1) = g * g * s.pp + g * (3.0 - 2.0 * p) * s.power;
  return out;
}

std::optional<Vector> Tweedie::analytic_shape_score_gradient(VectorView y, VectorView mu, VectorView w,
                                                             double penalized_deviance, double count,
                                                             double dispersion) const {
  const double phi_floored = common::floor_at(dispersion, kTweediePhiFloor);
  const double q = 1.0 / (1.0 - p);
  const double q2 = q * q;
  const double r = 1.0 / (2.0 - p);
  double dev_slope = 0.0;  // Σ w_i·δ_i
  for (std::size_t i = 0; i < y.size; ++i) {
    const double yi = y[i];
    const double m = log_floor(mu[i]);
    const double lm = std::log(m);
    const double m1p = std::pow(m, 1.0 - p), m2p = std::pow(m, 2.0 - p);
    const bool positive = yi > 0.0;
    const double ly = positive ? std::log(yi) : 0.0;
    const double y2p = positive ? std::pow(yi, 2.0 - p) : 0.0;
    const double y2pl = y2p * ly;
    const double delta = 2.0 * ((yi * m1p * lm - y2pl) * q + (y2pl - m2p * lm) * r + (y2p - yi * m1p) * q2 -
                                (y2p - m2p) * (r * r));
    dev_slope += w[i] * delta;
  }
  const SaturatedDerivatives s = saturated_derivatives(p, dispersion, y, w, /*second=*/false);
  const double n = static_cast<double>(y.size);
  const double g1 = -s.log_phi - (n - count) / 2.0 - penalized_deviance / (2.0 * phi_floored);
  const double g2 = (p - 1.0) * (2.0 - p) * (dev_slope / (2.0 * phi_floored) - s.power);
  return Vector{g1, g2};
}

Result<void> Tweedie::check_start() const {
  if (!(p > 1.0 && p < 2.0))
    return invalid_parameter("tweedie p must be in (1, 2); got tweedie_p=" + common::format_double(p));
  if (!(phi > 0.0 && std::isfinite(phi)))
    return invalid_parameter("Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=" +
                             common::format_double(phi));
  return {};
}

namespace {

double data_dispersion(double p, VectorView y, VectorView w) {
  const double mean = weighted_mean(y, w);
  // Relative to the mean, so that one huge response cannot overflow.
  double sw = 0.0, ss = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double r = y[i] / mean - 1.0;
    sw += w[i];
    ss += w[i] * r * r;
  }
  const double phi = std::pow(mean, 2.0 - p) * (ss / sw);
  return std::isfinite(phi) && phi > 0.0 ? phi : 1.0;
}

}  // namespace

double Tweedie::response_unit(VectorView y, VectorView w) {
  const double mean = weighted_mean(y, w);
  return std::isfinite(mean) && mean > 0.0 ? mean : 1.0;
}

Vector Tweedie::search_vector_from_unit(double s, VectorView v) const {
  const double shape[] = {v[1], v[2]};
  const double power = family_from_theta(shape).p;
  const double shift = (2.0 - power) * std::log(s);
  return {v[0] + shift, v[1] + shift, v[2]};
}

Tweedie Tweedie::with_scale_from_data(VectorView y, VectorView w) const {
  return Tweedie{{}, p, data_dispersion(p, y, w)};
}

Vector Tweedie::search_start(VectorView y, VectorView w) const {
  const double data = std::log(data_dispersion(p, y, w));
  Vector v = start_theta();
  v[0] = std::clamp(v[0], std::max(data - kStartLogSpread, std::log(kTweedieMinPhi)), std::max(data + kStartLogSpread, std::log(kTweedieMinPhi)));
  return {v[0], v[0], v[1]};
}

Vector Tweedie::start_theta() const {
  // ln 19 is the power coordinate of p = 1.95, −ln 19 that of p = 1.05.
  const double power_bound = std::log((kTweedieMaxPower - 1.0) / (2.0 - kTweedieMaxPower));
  Vector v = theta_from_family();
  v[0] = std::max(v[0], std::log(kTweedieMinPhi));
  v[1] = std::clamp(v[1], -power_bound, power_bound);
  return v;
}

}  // namespace kavri::family
