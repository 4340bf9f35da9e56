// The outer Newton search over the smoothing (and shape) parameters.
//
// A damped Newton method on the finite-difference Hessian of the criterion:
// the Hessian is projected onto the positive-definite cone, the direction is
// capped in its largest entry and a halving line search with a small
// sufficient-decrease margin accepts the step. Written once, generic over the
// evaluation routine (a callable from the search vector to
// `Result<score::OuterEval>`).
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

#include "linalg/error.h"
#include "linalg/matrix.h"
#include "score/outer_eval.h"

namespace kavri::outer {

// Stop when gnorm < kGradientTolerance · (1 + |f|).
inline constexpr double kGradientTolerance = 1e-8;
// Stop once k ≥ kMinStepsForValueTest when |f − f_prev| / max(|f|, 1) < kValueTolerance.
inline constexpr double kValueTolerance = 1e-9;
inline constexpr std::uint64_t kMinStepsForValueTest = 3;
// The direction is scaled so that its largest |entry| is at most this.
inline constexpr double kMaxStep = 5.0;
// A trial is accepted when f_t < f − kSufficientDecrease · |f|.
inline constexpr double kSufficientDecrease = 1e-10;
// Step lengths 1, 1/2, ...; the line search fails below kMinStepLength.
inline constexpr double kStepFactor = 0.5;
inline constexpr double kMinStepLength = 0.001;
inline constexpr std::uint64_t kMaxSteps = 50;
// After a failed line search the point counts as converged when
// gnorm < kLooseGradientTolerance · (1 + |f|).
inline constexpr double kLooseGradientTolerance = 1e-3;
// Eigenvalue floor of the positive-definite projection.
inline constexpr double kEigenFloor = 1e-8;

// The outcome of the search.
struct OuterState {
  linalg::Vector rho;        // the final search vector
  double value = 0.0;        // criterion value there
  double grad_norm = 0.0;    // largest non-NaN |gradient entry| there
  std::uint64_t iterations = 0;  // Newton steps begun
  bool converged = false;
};

// Largest |v_i| over the non-NaN entries, from 0.0.
double max_abs_ignoring_nan(const linalg::Vector& v);

// Σ_a max(w_a, 1e-8)·u_a·u_a' of the symmetrised A; on an eigensolver
// failure the symmetrised A with its diagonal floored.
linalg::Matrix make_positive_definite(const linalg::Matrix& a);

// The capped Newton direction −H⁺⁻¹·g (steepest descent when the LU solve
// fails).
linalg::Vector newton_direction(const score::OuterEval& at);

// A point may count as an optimum only when the criterion there is a real
// value: finite, with a finite gradient, and not the criterion's guard.
bool usable_optimum(const score::OuterEval& at);

template <class Evaluate>
[[nodiscard]] Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate);

// ---- Implementation details follow ----

template <class Evaluate>
Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate) {
  KAVRI_TRY(score::OuterEval current, evaluate(start));
  linalg::Vector v = std::move(start);
  double f_prev = 0.0;
  std::uint64_t k = 0;

  auto result = [&](bool converged) {
    return OuterState{std::move(v), current.value, max_abs_ignoring_nan(current.gradient), k, converged};
  };

  for (;;) {
    const double f = current.value;
    const double gnorm = max_abs_ignoring_nan(current.gradient);
    if (usable_optimum(current)) {
      if (kGradientTolerance * (1.0 + std::fabs(f)) > gnorm) return result(true);
      if (k >= kMinStepsForValueTest) {
        const double denom = std::fmax(std::fabs(f), 1.0);  // fmax ignores a NaN |f|
        if (kValueTolerance > std::fabs(f - f_prev) / denom) return result(true);
      }
    }

    const linalg::Vector d = newton_direction(current);
    ++k;

    // Line search. A failed evaluation or a non-finite trial value is
    // simply "not enough decrease": the step shrinks, the search goes on.
    const double threshold = f - kSufficientDecrease * std::fabs(f);
    bool accepted = false;
    for (double a = 1.0; a >= kMinStepLength; a *= kStepFactor) {
      linalg::Vector trial(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) trial[i] = v[i] + (a * d[i]);
      auto eval = evaluate(trial);
      if (!eval.has_value() || !std::isfinite(eval->value) || !(eval->value < threshold)) continue;
      f_prev = f;
      v = std::move(trial);
      current = std::move(*eval);
      accepted = true;
      break;
    }
    if (!accepted) {
      const bool loose = usable_optimum(current) && kLooseGradientTolerance * (1.0 + std::fabs(f)) > gnorm;
      return result(loose);
    }
    if (k == kMaxSteps) return not_converged(kMaxSteps, max_abs_ignoring_nan(current.gradient));
  }
}

}  // namespace kavri::outer
