// The inner fit of a problem at fixed log smoothing parameters ρ, chosen by
// the family's inner-fit kind: the closed form, or a rule of the one Newton
// loop (the re-weighted fit, with Newton steps on the observed information
// where the family asks for them; the full Newton fit; the Newton fit with
// a line search). Each fit is counted in the workspace's counters when they
// are attached; the closed form reads nothing else of the workspace.
#pragma once

#include "design/penalty.h"
#include "family/family.h"
#include "inner/armijo.h"
#include "inner/closed_form.h"
#include "inner/full_newton.h"
#include "inner/inner_fit.h"
#include "inner/pirls.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

namespace detail {

inline Result<InnerFit> counted(const FitWorkspace& work, Result<InnerFit> fit) {
  if (fit && work.counters) {
    ++work.counters->inner_fits;
    work.counters->pirls_iterations += fit->iterations;
  }
  return fit;
}

}  // namespace detail

// The complete fit at ρ, every per-observation vector filled.
template <family::Family F>
[[nodiscard]] Result<InnerFit> fit_at(const FitProblem<F>& problem, linalg::VectorView rho,
                                      const FitWorkspace& work = {}) {
  using family::InnerFitKind;
  constexpr InnerFitKind kind = F::inner_fit_kind();
  if constexpr (kind == InnerFitKind::ClosedForm) {
    return detail::counted(work, closed_form_gaussian_fit(problem, rho));
  } else if constexpr (kind == InnerFitKind::FullNewton) {
    return detail::counted(work, full_newton_fit(problem, rho, work));
  } else if constexpr (kind == InnerFitKind::BacktrackingNewton) {
    // From β = 0; the fits of a search start from the warm start of their
    // `ElfProblem` (below).
    return detail::counted(work, line_search_fit(problem, std::nullopt, rho, work));
  } else {
    static_assert(kind == InnerFitKind::Pirls || kind == InnerFitKind::PirlsObservedInfo,
                  "no inner fit of this kind yet");
    return detail::counted(work, pirls_fit(problem, rho, work));
  }
}

// A fit that starts from given coefficients, from the problem's warm start.
template <family::Family F>
[[nodiscard]] Result<InnerFit> fit_at(const ElfProblem<F>& problem, linalg::VectorView rho,
                                      const FitWorkspace& work = {}) {
  static_assert(F::inner_fit_kind() == family::InnerFitKind::BacktrackingNewton,
                "only the line-search fit starts from coefficients");
  return detail::counted(work, line_search_fit(problem, rho, work));
}

// The fit a criterion evaluation runs: `fit_at`, except that the closed form
// takes the O(p³) form that leaves the per-observation vectors empty.
template <family::Family F>
[[nodiscard]] Result<InnerFit> search_fit_at(const FitProblem<F>& problem, linalg::VectorView rho,
                                             const FitWorkspace& work = {}) {
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::ClosedForm) {
    return detail::counted(work, closed_form_gaussian_search_fit(problem, rho));
  } else {
    return fit_at(problem, rho, work);
  }
}

// The fits that can start from an earlier fit of the same problem: the
// re-weighted and the full Newton ones. The others have no use for such a
// start (the closed form) or keep their own (the line-search fit).
template <family::Family F>
inline constexpr bool kWarmStartable = F::inner_fit_kind() == family::InnerFitKind::Pirls ||
                                       F::inner_fit_kind() == family::InnerFitKind::PirlsObservedInfo ||
                                       F::inner_fit_kind() == family::InnerFitKind::FullNewton;

// `search_fit_at`, started from `start` (a fit of the same problem at
// another ρ) where the family's fit can be; from the family's start when
// `start` is null. The workspace's own warm start is not read.
template <family::Family F>
[[nodiscard]] Result<InnerFit> search_fit_from(const FitProblem<F>& problem, linalg::VectorView rho,
                                               const InnerFit* start, FitWorkspace work = {}) {
  work.warm.reset();
  if constexpr (kWarmStartable<F>) {
    if (start != nullptr)
      work.warm = WarmStart{.beta = linalg::VectorView(start->beta),
                            .eta = linalg::VectorView(start->eta),
                            .mu = linalg::VectorView(start->mu),
                            .deviance = start->deviance};
  }
  return search_fit_at(problem, rho, work);
}

}  // namespace kavri::inner
