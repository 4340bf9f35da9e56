// The outer evaluation of the plain families: the criterion's value and
// gradient at ρ, and a Hessian from central differences of the gradient.
//
// Each evaluation costs 1 + 2k criterion calls (k = length of ρ), one after
// another, and keeps nothing between calls. The Hessian is symmetrised but
// not made positive definite; the outer search projects it.
#pragma once

#include <utility>

#include "fit/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "score/envelope.h"
#include "score/outer_eval.h"

namespace kavri::score {

// Each coordinate moves by ±h; the quotient divides by the constant 2h
// (formed as h + h, exact), not by the difference of the stored
// coordinates. With the criterion's gradient smooth in ρ, the plain
// criterion's step 1e-5 gives a truncation error of O(h²) = 1e-10 against a
// rounding error of about ε/h = 1e-11.
inline constexpr double kDifferenceStep = 1e-5;

// The evaluation over any criterion callable (VectorView ρ → Result<ValueGrad>):
// the base call, then for each coordinate in order the + side and the −
// side. The first failure is returned and no later call is made.
template <class Criterion>
[[nodiscard]] Result<OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho,
                                                   double step = kDifferenceStep);

// The evaluation over `envelope_score` of the problem's family.
template <family::Family F>
[[nodiscard]] Result<OuterEval> outer_eval_fd(const fit::FitProblem<F>& problem, const linalg::Vector& rho);

// ---- Implementation details follow ----

template <class Criterion>
Result<OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho, double step) {
  const double divisor = step + step;
  KAVRI_TRY(ValueGrad base, criterion(linalg::VectorView(rho)));
  const std::size_t k = rho.size();
  linalg::Matrix h(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    linalg::Vector plus = rho, minus = rho;
    plus[i] = rho[i] + step;
    minus[i] = rho[i] - step;
    KAVRI_TRY(const ValueGrad up, criterion(linalg::VectorView(plus)));
    KAVRI_TRY(const ValueGrad down, criterion(linalg::VectorView(minus)));
    for (std::size_t r = 0; r < k; ++r) h(r, i) = (up.gradient[r] - down.gradient[r]) / divisor;
  }
  for (std::size_t r = 0; r < k; ++r)
    for (std::size_t c = r + 1; c < k; ++c) h(r, c) = h(c, r) = (h(r, c) + h(c, r)) * 0.5;
  return OuterEval{.value = base.value,
                   .gradient = std::move(base.gradient),
                   .hessian = std::move(h),
                   .degenerate = base.degenerate};
}

template <family::Family F>
Result<OuterEval> outer_eval_fd(const fit::FitProblem<F>& problem, const linalg::Vector& rho) {
  if (problem.counters) ++problem.counters->evaluations;
  return outer_eval_fd_with([&](linalg::VectorView at) { return envelope_score(problem, at); }, rho);
}

}  // namespace kavri::score
