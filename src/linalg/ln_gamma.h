// ln Γ(x) by the Lanczos approximation (g = 7, nine coefficients) for
// x ≥ 0.5 and the reflection formula below, which keeps every family's
// log-likelihood on one fixed operation order rather than on the platform's
// lgamma.
#pragma once

namespace kavri::linalg {

double ln_gamma(double x);

// The first and second derivatives of `ln_gamma` itself, Lanczos sum and
// reflection differentiated term by term: the digamma and trigamma of this
// approximation, so that a derivative of a log-likelihood built on
// `ln_gamma` is that of the very function the criterion evaluates.
struct LnGammaSlopes {
  double first;
  double second;
};
LnGammaSlopes ln_gamma_slopes(double x);

}  // namespace kavri::linalg
