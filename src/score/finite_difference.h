// The outer evaluation of the plain families: the criterion's value and
// gradient at ρ, and a Hessian from central differences of the gradient.
//
// Each evaluation costs 1 + 2k criterion calls (k = length of ρ), one after
// another, and keeps nothing between calls. The Hessian is symmetrised but
// not made positive definite; the outer search projects it.
#pragma once

#include <utility>

#include "inner/plain_fit.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "score/envelope.h"
#include "score/outer_eval.h"

namespace kavri::score {

// Each coordinate moves by ±kDifferenceStep; the quotient divides by the
// constant kDifferenceDivisor, not by the difference of the stored
// coordinates. With the criterion's gradient smooth in ρ, the truncation
// error is O(h²) = 1e-10 against a rounding error of about ε/h = 1e-11.
inline constexpr double kDifferenceStep = 1e-5;
inline constexpr double kDifferenceDivisor = 2e-5;

// The evaluation over any criterion callable (VectorView ρ → Result<ValueGrad>):
// the base call, then for each coordinate in order the + side and the −
// side. The first failure is returned and no later call is made.
template <class Criterion>
[[nodiscard]] Result<OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho);

// The evaluation over `envelope_score` of the family.
template <family::Family F, class OnInnerFit = IgnoreInnerFits>
[[nodiscard]] Result<OuterEval> outer_eval_fd(const inner::ProblemFor<F>& problem, const linalg::Vector& rho,
                                              OnInnerFit&& on_inner_fit = {});

[[nodiscard]] Result<OuterEval> outer_eval_fd_gaussian(const fit::GaussianFitProblem& problem,
                                                       const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_bernoulli(const fit::FitProblem& problem, const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_quasibinomial(const fit::FitProblem& problem,
                                                            const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_poisson(const fit::FitProblem& problem, const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_quasipoisson(const fit::FitProblem& problem,
                                                           const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_gamma(const fit::FitProblem& problem, const linalg::Vector& rho);
[[nodiscard]] Result<OuterEval> outer_eval_fd_inverse_gaussian(const fit::FitProblem& problem,
                                                               const linalg::Vector& rho);

// ---- Implementation details follow ----

template <class Criterion>
Result<OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho) {
  KAVRI_TRY(ValueGrad base, criterion(linalg::VectorView(rho)));
  const std::size_t k = rho.size();
  linalg::Matrix h(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    linalg::Vector plus = rho, minus = rho;
    plus[i] = rho[i] + kDifferenceStep;
    minus[i] = rho[i] - kDifferenceStep;
    KAVRI_TRY(const ValueGrad up, criterion(linalg::VectorView(plus)));
    KAVRI_TRY(const ValueGrad down, criterion(linalg::VectorView(minus)));
    for (std::size_t r = 0; r < k; ++r) h(r, i) = (up.gradient[r] - down.gradient[r]) / kDifferenceDivisor;
  }
  for (std::size_t r = 0; r < k; ++r)
    for (std::size_t c = r + 1; c < k; ++c) h(r, c) = h(c, r) = (h(r, c) + h(c, r)) * 0.5;
  return OuterEval{.value = base.value,
                   .gradient = std::move(base.gradient),
                   .hessian = std::move(h),
                   .degenerate = base.degenerate};
}

template <family::Family F, class OnInnerFit>
Result<OuterEval> outer_eval_fd(const inner::ProblemFor<F>& problem, const linalg::Vector& rho,
                                OnInnerFit&& on_inner_fit) {
  return outer_eval_fd_with(
      [&](linalg::VectorView at) { return envelope_score<F>(problem, at, on_inner_fit); }, rho);
}

}  // namespace kavri::score
