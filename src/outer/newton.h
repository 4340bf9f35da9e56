// The outer Newton search over the smoothing (and shape) parameters.
//
// A damped Newton method on the Hessian the evaluation supplies (exact, or
// from differences of gradients where a family has no exact form):
// the Hessian is projected onto the positive-definite cone, the direction is
// capped in its largest entry and a halving line search with a small
// sufficient-decrease margin accepts the step. Written once, generic over the
// evaluation routine (a callable from the search vector to
// `Result<outer::OuterEval>`).
//
// A caller may add a value-only routine (search vector to `Result<double>`):
// line-search trials are then judged by their value alone, and the full
// evaluation, with its gradient and Hessian, runs only at a trial that
// passes. The value-only routine must return, bit for bit, the value the
// full evaluation would, so the search path does not depend on which
// routine judged a trial.
//
// Every tolerance is relative to 1 + M, M a units-free magnitude of the
// criterion that the caller supplies (the drivers pass the number of
// observations: V is a log-likelihood in nats of that order). V itself is
// no such measure: it carries constants that move with the units of y and
// of the prior weights, so tolerances relative to |V| would make the
// chosen smoothing depend on those units.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "linalg/error.h"
#include "linalg/matrix.h"
#include "outer/outer_eval.h"

namespace kavri::outer {

// Stop when gnorm < kGradientTolerance · (1 + M). Small enough that a step
// of 0.05 along any coordinate cannot lower V by more than about 1e-10 per
// observation, also along the flat directions where a smooth is penalized
// to its null space and V falls towards an asymptote.
inline constexpr double kGradientTolerance = 1e-10;
// Stop once k ≥ kMinStepsForValueTest when |f − f_prev| < kValueTolerance · (1 + M).
inline constexpr double kValueTolerance = 1e-11;
inline constexpr std::uint64_t kMinStepsForValueTest = 3;
// The direction is scaled so that its largest |entry| is at most this.
inline constexpr double kMaxStep = 5.0;
// A trial of step length a along d is accepted when f_t < f +
// kArmijoFraction·a·g'd; where g'd is not a finite negative number, when
// f_t < f − kSufficientDecrease · (1 + M).
inline constexpr double kArmijoFraction = 1e-4;
inline constexpr double kSufficientDecrease = 1e-12;
// Step lengths 1, 1/2, ...; the line search fails below kMinStepLength.
inline constexpr double kStepFactor = 0.5;
inline constexpr double kMinStepLength = 0.001;
inline constexpr std::uint64_t kMaxSteps = 50;
// After a failed line search the point counts as converged when
// gnorm < kLooseGradientTolerance · (1 + M).
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
linalg::Vector newton_direction(const outer::OuterEval& at);

// A point may count as an optimum only when the criterion there is a real
// value: finite, with a finite gradient, and not the criterion's guard.
bool usable_optimum(const outer::OuterEval& at);

// Every trial is a full evaluation.
template <class Evaluate>
[[nodiscard]] Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate,
                                                        double magnitude = 1.0);

// Trials by `value_at`; `evaluate` at the starting point and at each trial
// that passes. A trial whose full evaluation then fails, or gives a value
// that does not pass, is rejected like any other.
template <class Evaluate, class ValueAt>
[[nodiscard]] Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate,
                                                        ValueAt&& value_at, double magnitude);

// ---- Implementation details follow ----

namespace detail {

// Stands in for the value-only routine when the caller has none.
struct FullTrials {};

}  // namespace detail

template <class Evaluate>
Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate, double magnitude) {
  return outer_newton_minimize(std::move(start), evaluate, detail::FullTrials{}, magnitude);
}

template <class Evaluate, class ValueAt>
Result<OuterState> outer_newton_minimize(linalg::Vector start, Evaluate&& evaluate, ValueAt&& value_at,
                                         double magnitude) {
  constexpr bool kFullTrials = std::is_same_v<std::remove_cvref_t<ValueAt>, detail::FullTrials>;
  const double scale = 1.0 + magnitude;
  KAVRI_TRY(outer::OuterEval current, evaluate(start));
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
      if (kGradientTolerance * scale > gnorm) return result(true);
      if (k >= kMinStepsForValueTest && kValueTolerance * scale > std::fabs(f - f_prev)) return result(true);
    }

    const linalg::Vector d = newton_direction(current);
    ++k;

    // Line search. A failed evaluation or a non-finite trial value is
    // simply "not enough decrease": the step shrinks, the search goes on.
    // A trial must lower f by a fraction of the decrease its slope predicts
    // (near the optimum a fixed margin would refuse the last Newton step,
    // whose gain is quadratic in the gradient, while ρ is still off by
    // g/H), and by at least the margin when the slope says nothing.
    double slope = 0.0;  // g'd, negative along a descent direction
    for (std::size_t i = 0; i < d.size(); ++i) slope += current.gradient[i] * d[i];
    const bool descent = std::isfinite(slope) && slope < 0.0;
    bool accepted = false;
    // When even the full step promises less than the value tolerance, a
    // refused full step says only that V's own rounding (the inner fits'
    // tolerance) exceeds the gain: shorter steps promise less still, so
    // the search ends here as after a failed line search, without their
    // inner fits.
    const bool beyond_resolution = descent && -slope < kValueTolerance * scale;
    for (double a = 1.0; a >= kMinStepLength; a *= kStepFactor) {
      if (beyond_resolution && a < 1.0) break;
      const double threshold = descent ? f + kArmijoFraction * (a * slope) : f - kSufficientDecrease * scale;
      linalg::Vector trial(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) trial[i] = v[i] + (a * d[i]);
      if constexpr (!kFullTrials) {
        const Result<double> value = value_at(trial);
        if (!value.has_value() || !std::isfinite(*value) || !(*value < threshold)) continue;
      }
      auto eval = evaluate(trial);
      if (!eval.has_value() || !std::isfinite(eval->value) || !(eval->value < threshold)) continue;
      f_prev = f;
      v = std::move(trial);
      current = std::move(*eval);
      accepted = true;
      break;
    }
    if (!accepted) {
      const bool loose = usable_optimum(current) && kLooseGradientTolerance * scale > gnorm;
      return result(loose);
    }
    if (k == kMaxSteps) return not_converged(kMaxSteps, max_abs_ignoring_nan(current.gradient));
  }
}

}  // namespace kavri::outer
