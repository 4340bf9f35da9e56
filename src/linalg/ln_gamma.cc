#include "linalg/ln_gamma.h"

#include <cmath>

namespace kavri::linalg {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfLnTwoPi = 0.9189385332046727;
constexpr double kLanczos[9] = {
    0.9999999999998099,  676.5203681218851,     -1259.1392167224028,
    771.3234287776531,   -176.6150291621406,    12.507343278686905,
    -0.13857109526572012, 9.984369578019572e-06, 1.5056327351493116e-07,
};

}  // namespace

double ln_gamma(double x) {
  // Reflection: Γ(x)Γ(1 − x) = π / sin(πx). The logarithm is of the quotient
  // itself, so where it is negative the result is NaN. NaN fails x < 0.5.
  if (x < 0.5) return std::log(kPi / std::sin(kPi * x)) - ln_gamma(1.0 - x);
  const double xm = x - 1.0;
  double a = kLanczos[0];
  for (int k = 1; k < 9; ++k) a += kLanczos[k] / (xm + static_cast<double>(k));
  const double t = (xm + 7.0) + 0.5;
  return (std::log(t) * (xm + 0.5) + kHalfLnTwoPi - t) + std::log(a);
}

LnGammaSlopes ln_gamma_slopes(double x) {
  if (x < 0.5) {
    // d/dx ln(π/sin πx) = −π·cot πx, d²/dx² = π²/sin² πx.
    const LnGammaSlopes r = ln_gamma_slopes(1.0 - x);
    const double s = std::sin(kPi * x);
    return {-kPi * std::cos(kPi * x) / s + r.first, kPi * kPi / (s * s) - r.second};
  }
  const double xm = x - 1.0;
  double a = kLanczos[0], a1 = 0.0, a2 = 0.0;
  for (int k = 1; k < 9; ++k) {
    const double u = 1.0 / (xm + static_cast<double>(k));
    a += kLanczos[k] * u;
    a1 -= kLanczos[k] * u * u;
    a2 += 2.0 * kLanczos[k] * u * u * u;
  }
  const double t = (xm + 7.0) + 0.5;
  const double ra = a1 / a;
  // (ln t·(x − ½) − t)' = ln t + (x − ½)/t − 1; its derivative 1/t + 7/t².
  return {std::log(t) + (xm + 0.5) / t - 1.0 + ra, 1.0 / t + 7.0 / (t * t) + a2 / a - ra * ra};
}

}  // namespace kavri::linalg
