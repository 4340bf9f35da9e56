// The shape derivatives of the shape-managed families (deviance slopes and
// curvature in each shape coordinate, mixed with η, and the gradient and
// Hessian of the log-density constant) against central differences of the
// families' own functions, the coordinates moved through the shape maps
// written out here without their clamps; and the negative binomial constant
// against the digamma sums of integer counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

#include "family/family.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/shape_curvature.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "linalg/ln_gamma.h"
#include "linalg/matrix.h"

namespace kavri::family {
namespace {

constexpr double kEps = 2.220446049250313e-16;

struct Row {
  double y;
  double eta;
  double w;
};

// The value with shape coordinate c moved by dt, each map as the search
// coordinates define it, never clamped.
NegBin moved(const NegBin& f, std::size_t /*c*/, double dt) { return negbin_log(f.theta * std::exp(dt)); }
TDist moved(const TDist& f, std::size_t c, double dt) {
  return c == 0 ? tdist_identity(f.nu, f.sigma2 * std::exp(dt)) : tdist_identity(2.0 + (f.nu - 2.0) * std::exp(dt), f.sigma2);
}
Tweedie moved(const Tweedie& f, std::size_t c, double dt) {
  if (c == 0) return tweedie_log(f.p, f.phi * std::exp(dt));
  const double t2 = std::log((f.p - 1.0) / (2.0 - f.p)) + dt;
  return tweedie_log(1.0 + 1.0 / (1.0 + std::exp(-t2)), f.phi);
}
Ocat moved(const Ocat& f, std::size_t c, double dt) {
  Vector t = f.thresholds;
  t[c] += dt;
  return ocat_new(t, f.n_cats);
}

// ½∂²d/∂η² per unit prior weight: the observed weight of a re-weighted
// family, half the Newton fit's d2 for the ordered categories.
template <class F>
double half_curvature(const F& f, double y, double eta) {
  if constexpr (PirlsFamily<F>) {
    return observed_weight(f, 1.0, y, f.link_inverse(eta));
  } else {
    const Vector yy{y}, e{eta};
    return 0.5 * ocat_eta_derivatives(yy, f, e).d2[0];
  }
}

// The rounding error of one evaluation of d(y, μ), in units of eps: the
// sizes of the terms it is formed from. The scaled t takes the logarithm of
// 1 + z (one rounding, times 1 + ν); the Tweedie deviance is a sum of three
// power terms that cancel near y = μ; an ordered category's P = F(b) − F(a)
// carries a rounding relative to P of 1/P = exp(d/2), and so does ½∂²d/∂η².
double deviance_rounding(const NegBin& f, double y, double mu) { return std::fabs(f.unit_deviance(y, mu)) + 1.0; }
double deviance_rounding(const TDist& f, double y, double mu) { return std::fabs(f.unit_deviance(y, mu)) + 1.0 + f.nu; }
double deviance_rounding(const Tweedie& f, double y, double mu) {
  const double m = std::max(mu, 1e-300);
  const double q = 1.0 / (1.0 - f.p), r = 1.0 / (2.0 - f.p);
  const double yt = y > 0.0 ? std::fabs(std::pow(y, 2.0 - f.p) * q * r) + std::fabs(y * std::pow(m, 1.0 - f.p) * q) : 0.0;
  return 2.0 * (yt + std::pow(m, 2.0 - f.p) * r) + 1.0;
}
double deviance_rounding(const Ocat& f, double y, double eta) {
  const double d = f.unit_deviance(y, eta);
  return d + 2.0 * std::exp(0.5 * d);
}
// The deviance's slope in a shape coordinate, likewise: for the Tweedie
// family the sizes of the six terms of ∂d/∂p times dp/dt2.
template <class F>
double curvature_rounding(const F& f, double y, double eta, double value) {
  if constexpr (std::is_same_v<F, Tweedie>) {
    const double m = std::max(f.link_inverse(eta), 1e-300), lm = std::fabs(std::log(m));
    const double q = 1.0 / (1.0 - f.p), r = 1.0 / (2.0 - f.p);
    double s = std::pow(m, 2.0 - f.p) * (r * r + r * lm);
    if (y > 0.0) {
      const double y2p = std::pow(y, 2.0 - f.p), ym = y * std::pow(m, 1.0 - f.p);
      s += y2p * (q * q + r * r + std::fabs((q - r) * std::log(y))) + ym * (q * q + std::fabs(q) * lm);
    }
    return std::fabs(value) + 2.0 * (f.p - 1.0) * (2.0 - f.p) * s;
  } else if constexpr (std::is_same_v<F, Ocat>) {
    return std::fabs(value) * std::exp(0.5 * f.unit_deviance(y, eta)) + 1e-300;
  } else {
    return std::fabs(value);
  }
}

template <class F>
std::size_t shape_count(const F& f) {
  return f.theta_from_family().size();
}

// Sample values, the edges of the maps among them, and rows inside each
// family's domain.
template <class F>
struct Case;

template <>
struct Case<NegBin> {
  // θ → 0 and θ → ∞ (the Poisson limit), either side of the Stirling switch at 10.
  static std::vector<NegBin> values() {
    return {negbin_log(0.05), negbin_log(0.8), negbin_log(9.5), negbin_log(12.0), negbin_log(300.0), negbin_log(1e6)};
  }
  static std::vector<Row> rows() { return {{0.0, 0.3, 1.0}, {3.0, 1.1, 2.0}, {40.0, 2.0, 0.5}, {1.0, -4.0, 1.0}}; }
};

template <>
struct Case<TDist> {
  // ν → 2 (ν − 2 = 1e-6) and ν → ∞, either side of the Stirling switch at ν/2 = 10.
  static std::vector<TDist> values() {
    return {tdist_identity(2.000001, 1.0), tdist_identity(3.0, 0.2), tdist_identity(19.0, 4.0),
            tdist_identity(21.0, 1.5), tdist_identity(1e4, 0.7)};
  }
  // The last row a far outlier (z = r²/(νσ²) of order 1e12).
  static std::vector<Row> rows() {
    return {{0.4, 0.1, 1.0}, {-2.0, 1.0, 3.0}, {8.0, -0.5, 1.0}, {1.0, 1.0, 0.25}, {1e6, 0.2, 1.0}};
  }
};

template <>
struct Case<Tweedie> {
  // p at both clamps, φ from small (a long series window) to large.
  static std::vector<Tweedie> values() {
    return {tweedie_log(1.05, 0.4), tweedie_log(1.5, 1.0), tweedie_log(1.95, 2.5), tweedie_log(1.3, 1e-3)};
  }
  static std::vector<Row> rows() { return {{0.0, 0.2, 1.0}, {2.5, 0.7, 2.0}, {40.0, 3.0, 1.0}, {0.1, -2.0, 0.5}}; }
};

template <>
struct Case<Ocat> {
  // A nearly empty second category (gap e^-12) beside ordinary ones.
  static std::vector<Ocat> values() { return {ocat_new({0.0}, 3), ocat_new({0.4, -0.7, 1.2}, 5), ocat_new({-12.0, 0.5}, 4)}; }
  static std::vector<Row> rows() {
    return {{1.0, 0.3, 1.0}, {2.0, -0.4, 2.0}, {3.0, 1.5, 1.0}, {2.0, 2.5, 0.5}, {4.0, -1.0, 1.0}, {5.0, 0.2, 1.0}};
  }
};

template <class F>
class ShapeDerivativesTest : public ::testing::Test {};
using Families = ::testing::Types<NegBin, TDist, Tweedie, Ocat>;
TYPED_TEST_SUITE(ShapeDerivativesTest, Families);

// A central difference (f(x + h) − f(x − h))/2h carries a truncation error
// h²/6·|f'''| and a rounding error of about eps·|f|/h. With h = 1e-5 the
// first is below 1e-7 of the derivative for these functions (their third
// derivatives are within two orders of their first, even at the edges),
// the second is stated by `scale` ≈ |f|.
constexpr double kStep = 1e-5;
void expect_slope(double analytic, double numeric, double scale, const std::string& what) {
  EXPECT_NEAR(analytic, numeric, 1e-7 * std::fabs(numeric) + 20.0 * kEps * scale / kStep) << what;
}

TYPED_TEST(ShapeDerivativesTest, DevianceSlopesAreDifferencesOfTheDeviance) {
  for (const TypeParam& f : Case<TypeParam>::values())
    for (std::size_t c = 0; c < shape_count(f); ++c)
      for (const Row& r : Case<TypeParam>::rows()) {
        const std::string what = "c=" + std::to_string(c) + " y=" + std::to_string(r.y) + " eta=" + std::to_string(r.eta) +
                                 " shape0=" + std::to_string(f.theta_from_family()[0]);
        const double mu = f.link_inverse(r.eta);
        const ShapeSlopes s = f.deviance_shape_slopes(r.y, mu, c);
        auto d = [&](double dt, double de) {
          const TypeParam g = moved(f, c, dt);
          return g.unit_deviance(r.y, g.link_inverse(r.eta + de));
        };
        const double d0 = deviance_rounding(f, r.y, mu);
        expect_slope(s.deviance, (d(kStep, 0.0) - d(-kStep, 0.0)) / (2.0 * kStep), d0, what + " dt");
        // Mixed in (t, η) with h = 1e-4 on both: rounding eps·|d|/h²,
        // truncation h²·|∂⁴d| below 1e-6 of the derivative.
        const double h = 1e-4;
        const double mixed = (d(h, h) - d(h, -h) - d(-h, h) + d(-h, -h)) / (4.0 * h * h);
        EXPECT_NEAR(s.eta, mixed, 1e-6 * std::fabs(mixed) + 20.0 * kEps * d0 / (h * h)) << what << " d eta dt";
        // ∂³d/∂η²∂t = 2·∂(½∂²d/∂η²)/∂t, the half curvature the family states.
        auto w = [&](double dt) { return half_curvature(moved(f, c, dt), r.y, r.eta); };
        expect_slope(s.eta_eta, 2.0 * (w(kStep) - w(-kStep)) / (2.0 * kStep),
                     2.0 * curvature_rounding(f, r.y, r.eta, w(0.0)), what + " d eta eta dt");
        for (std::size_t e = 0; e < shape_count(f); ++e) {
          auto slope = [&](double dt) { return moved(f, e, dt).deviance_shape_slopes(r.y, mu, c).deviance; };
          expect_slope(f.deviance_shape_curvature(r.y, mu, c, e), (slope(kStep) - slope(-kStep)) / (2.0 * kStep),
                       curvature_rounding(f, r.y, r.eta, slope(0.0)), what + " e=" + std::to_string(e));
        }
      }
}

// The second-order traits the exact Hessian reads, each against a central
// difference of a first-order trait: ∂²/∂t_c∂t_e of ∂d/∂η and ∂²d/∂η² in
// t_e of the slopes in t_c; ∂⁴d/∂η³∂t_c = 2·∂(dω/dη)/∂t_c per unit weight;
// d²ω/dη² in η of dω/dη. The differenced functions are rational, formed to
// a few roundings of their own size, or of the sizes `term_size` states
// where their terms cancel: the negative binomial's θ-differences of
// products with θ, the Tweedie family's two power terms. (For the scaled
// t's far outlier that leaves the mixed entries, of size 1e-15 and below,
// within the rounding of the differences.)
double term_size(const NegBin& f, double y, double mu) {
  const double s = f.theta + mu;
  return 8.0 * mu * (f.theta + mu + y) * (f.theta + mu + y) * f.theta / (s * s * s) + 1e-300;
}
double term_size(const TDist&, double, double) { return 0.0; }
// P carries a rounding relative to itself of 1/P = exp(d/2); the derivatives
// of ln P are cumulants of ratios of order 1 to P.
double term_size(const Ocat& f, double y, double eta) { return std::exp(0.5 * f.unit_deviance(y, eta)); }
double term_size(const Tweedie& f, double y, double mu) {
  const double lm = std::fabs(std::log(mu)) + 3.0;
  return 2.0 * (std::pow(mu, 2.0 - f.p) + y * std::pow(mu, 1.0 - f.p)) * lm * lm;
}

// dω/dη and d²ω/dη² of the criterion's weight per unit prior weight: the
// observed one of a re-weighted family, the Newton fit's own for the
// ordered categories.
template <class F>
double weight_slope(const F& f, double y, double mu) {
  if constexpr (PirlsFamily<F>) {
    return f.observed_weight_slope(1.0, y, mu);
  } else {
    return f.working_weight_slope(1.0, y, mu);
  }
}
template <class F>
double weight_curvature(const F& f, double y, double mu) {
  if constexpr (PirlsFamily<F>) {
    return f.observed_weight_curvature(1.0, y, mu);
  } else {
    return f.working_weight_curvature(1.0, y, mu);
  }
}

TYPED_TEST(ShapeDerivativesTest, SecondOrderSlopesAreDifferencesOfTheFirst) {
  if constexpr (HasShapeHessian<TypeParam>) {
    for (const TypeParam& f : Case<TypeParam>::values())
      for (const Row& r : Case<TypeParam>::rows()) {
        const std::string at = " y=" + std::to_string(r.y) + " eta=" + std::to_string(r.eta) +
                               " shape0=" + std::to_string(f.theta_from_family()[0]);
        const double mu = f.link_inverse(r.eta);
        const double size = term_size(f, r.y, mu);
        auto slope_at = [&](double de) { return weight_slope(f, r.y, f.link_inverse(r.eta + de)); };
        expect_slope(weight_curvature(f, r.y, mu), (slope_at(kStep) - slope_at(-kStep)) / (2.0 * kStep),
                     size + std::fabs(slope_at(0.0)), "d2 omega" + at);
        for (std::size_t c = 0; c < shape_count(f); ++c) {
          const std::string what = "c=" + std::to_string(c) + at;
          auto w1 = [&](double dt) { return weight_slope(moved(f, c, dt), r.y, mu); };
          expect_slope(f.deviance_shape_eta3_slope(r.y, mu, c), (w1(kStep) - w1(-kStep)) / kStep,
                       2.0 * (size + std::fabs(w1(0.0))), what + " d eta3 dt");
          for (std::size_t e = 0; e < shape_count(f); ++e) {
            const std::string pair = what + " e=" + std::to_string(e);
            auto s = [&](double dt) { return moved(f, e, dt).deviance_shape_slopes(r.y, mu, c); };
            const ShapeCurvature k = f.deviance_shape_curvature_slopes(r.y, mu, c, e);
            EXPECT_EQ(k.deviance, f.deviance_shape_curvature(r.y, mu, c, e)) << pair;
            expect_slope(k.eta, (s(kStep).eta - s(-kStep).eta) / (2.0 * kStep), size + std::fabs(s(0.0).eta),
                         pair + " eta");
            expect_slope(k.eta_eta, (s(kStep).eta_eta - s(-kStep).eta_eta) / (2.0 * kStep),
                         size + std::fabs(s(0.0).eta_eta), pair + " eta eta");
          }
        }
      }
  }
}

// c(y) counts row i w_i times; a weight of 0 drops the row.
TYPED_TEST(ShapeDerivativesTest, SaturatedGradientAndHessianAreDifferencesOfTheConstant) {
  std::vector<double> ys, ws;
  for (const Row& r : Case<TypeParam>::rows()) {
    ys.push_back(r.y);
    ws.push_back(r.w);
  }
  ws.back() = 0.0;
  const Vector y(ys.begin(), ys.end()), w(ws.begin(), ws.end());
  for (const TypeParam& f : Case<TypeParam>::values()) {
    const Vector g = f.saturated_shape_gradient(y, w);
    ASSERT_EQ(g.size(), shape_count(f));
    for (std::size_t c = 0; c < shape_count(f); ++c) {
      const std::string what = "c=" + std::to_string(c) + " shape0=" + std::to_string(f.theta_from_family()[0]);
      auto value = [&](double dt) {
        const TypeParam m = moved(f, c, dt);
        if constexpr (std::is_same_v<TypeParam, Ocat>) {
          return 0.0;
        } else if constexpr (std::is_same_v<TypeParam, Tweedie>) {
          return m.saturated_loglik(y, w, m.phi);
        } else {
          return m.saturated_loglik(y, w, 1.0);
        }
      };
      // The Tweedie log-density is t − ln y + ln W with t and the window's
      // leading log-term of size |t| each, cancelling to O(1).
      double scale = std::fabs(value(0.0)) + 1.0;
      if constexpr (std::is_same_v<TypeParam, Tweedie>)
        for (std::size_t i = 0; i < y.size(); ++i)
          if (y[i] > 0.0) scale += 2.0 * w[i] * std::fabs(std::pow(y[i], 2.0 - f.p) / ((1.0 - f.p) * (2.0 - f.p) * f.phi));
      expect_slope(g[c], (value(kStep) - value(-kStep)) / (2.0 * kStep), scale, what);
      if constexpr (HasSaturatedShapeCurvature<TypeParam>) {
        const linalg::Matrix hess = f.saturated_shape_hessian(y, w);
        for (std::size_t e = 0; e < shape_count(f); ++e) {
          auto grad = [&](double dt) { return moved(f, e, dt).saturated_shape_gradient(y, w)[c]; };
          expect_slope(hess(c, e), (grad(kStep) - grad(-kStep)) / (2.0 * kStep), std::fabs(grad(0.0)) + scale,
                       what + " e=" + std::to_string(e));
        }
      }
    }
  }
}

// For an integer count y, ψ(y + θ) − ψ(θ) = Σ_{j<y} 1/(θ + j) and ψ₁(y + θ) −
// ψ₁(θ) = −Σ_{j<y} 1/(θ + j)²: per row ∂c/∂θ = Σ 1/(θ + j) − ln(1 + y/θ) and
// ∂²c/∂θ² = −Σ 1/(θ + j)² + y/(θ(θ + y)), summed in long double. Far in the
// Poisson limit the two terms of ∂c/∂θ agree to all but y/(2θ²), so the
// reference carries a relative error of about θ/y·1e-19; 1e-9 covers the
// Lanczos derivative's own error below θ = 10.
TEST(ShapeDerivatives, NegativeBinomialConstantAgainstDigammaSumsOfCounts) {
  const Vector y{0.0, 1.0, 4.0, 17.0, 60.0};
  const Vector w{1.0, 2.0, 1.0, 0.5, 1.0};
  for (double theta : {0.05, 0.7, 3.0, 9.99, 10.0, 250.0, 1e5, 1e8}) {
    long double first = 0.0L, second = 0.0L;
    for (std::size_t i = 0; i < y.size(); ++i) {
      long double s1 = 0.0L, s2 = 0.0L;
      for (int j = 0; j < static_cast<int>(y[i]); ++j) {
        const long double d = static_cast<long double>(theta) + j;
        s1 += 1.0L / d;
        s2 += 1.0L / (d * d);
      }
      const long double t = theta, yi = y[i];
      first += w[i] * (s1 - std::log1p(yi / t));
      second += w[i] * (-s2 + yi / (t * (t + yi)));
    }
    const NegBin f = negbin_log(theta);
    // In t = ln θ: θ·c_θ and θ²·c_θθ + θ·c_θ.
    const double g = static_cast<double>(theta * first);
    const double h = static_cast<double>(static_cast<long double>(theta) * theta * second + theta * first);
    EXPECT_NEAR(f.saturated_shape_gradient(y, w)[0], g, 1e-9 * std::fabs(g)) << "theta=" << theta;
    EXPECT_NEAR(f.saturated_shape_hessian(y, w)(0, 0), h, 1e-9 * std::fabs(h) + 1e-12 * std::fabs(g))
        << "theta=" << theta;
  }
}

// The derivatives of the Lanczos log-gamma against differences of it,
// across the reflection at ½; ψ(1) = −γ and ψ₁(1) = π²/6 as a check that
// they are the digamma and trigamma, not only self-consistent.
TEST(ShapeDerivatives, LanczosLogGammaSlopes) {
  for (double x : {0.01, 0.3, 0.7, 1.0, 2.5, 9.0, 40.0, 1e3}) {
    const double h = 1e-5 * std::max(1.0, x) * (x < 0.1 ? 0.1 : 1.0);
    const linalg::LnGammaSlopes s = linalg::ln_gamma_slopes(x);
    const double first = (linalg::ln_gamma(x + h) - linalg::ln_gamma(x - h)) / (2.0 * h);
    const double second = (linalg::ln_gamma_slopes(x + h).first - linalg::ln_gamma_slopes(x - h).first) / (2.0 * h);
    const double scale = std::fabs(linalg::ln_gamma(x)) + 1.0;
    EXPECT_NEAR(s.first, first, 1e-8 * std::fabs(first) + 20.0 * kEps * scale / h) << x;
    EXPECT_NEAR(s.second, second, 1e-7 * std::fabs(second) + 20.0 * kEps * std::fabs(s.first) / h) << x;
  }
  EXPECT_NEAR(linalg::ln_gamma_slopes(1.0).first, -0.5772156649015329, 1e-13);
  EXPECT_NEAR(linalg::ln_gamma_slopes(1.0).second, 1.6449340668482264, 1e-13);
}

}  // namespace
}  // namespace kavri::family
