// The digamma ψ = (ln Γ)' and trigamma ψ₁ = (ln Γ)'' functions for x > 0,
// as the Gamma scale profile and the Tweedie shape gradient use them.
//
// Both shift x up to at least 6 by the recurrences ψ(x) = ψ(x + 1) − 1/x and
// ψ₁(x) = ψ₁(x + 1) + 1/x², then sum the asymptotic series up to x⁻⁸
// (ψ) and x⁻⁹ (ψ₁). The first omitted terms, 1/(132x¹⁰) and 5/(66x¹¹),
// bound the error by about 1.3e-10 and 2.1e-10 at x = 6; that accuracy is
// part of the results the scale profile reproduces, so the series is not
// extended. NaN passes through; x ≤ 0 is outside the contract.
#pragma once

namespace kavri::family {

// Below this argument the recurrence shifts x by one.
inline constexpr double kPolygammaShift = 6.0;

double digamma(double x);
double trigamma(double x);

}  // namespace kavri::family
