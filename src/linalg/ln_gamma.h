// ln Γ(x) by the Lanczos approximation (g = 7, nine coefficients) for
// x ≥ 0.5 and the reflection formula below, which keeps every family's
// log-likelihood on one fixed operation order rather than on the platform's
// lgamma.
#pragma once

namespace kavri::linalg {

double ln_gamma(double x);

}  // namespace kavri::linalg
