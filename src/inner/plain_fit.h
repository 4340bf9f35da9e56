// The inner fit of each of the seven plain families on its problem form:
// the closed form on a `GaussianFitProblem`, the re-weighted loop on a
// `FitProblem` for the other six, the inverse Gaussian one with its total
// penalty formed here and its observed-information step.
//
// `ProblemFor<F>` names the problem form of a family, so that the criterion
// and the driver are written once over the family.
#pragma once

#include <type_traits>

#include "design/penalty.h"
#include "family/family.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "fit/problem.h"
#include "inner/closed_form.h"
#include "inner/inner_fit.h"
#include "inner/observed_info.h"
#include "inner/pirls.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::inner {

template <class F>
inline constexpr bool kIsGaussian = std::is_same_v<F, family::Gaussian>;

template <class F>
using ProblemFor = std::conditional_t<kIsGaussian<F>, fit::GaussianFitProblem, fit::FitProblem>;

// The complete fit at ρ, every per-observation vector filled.
template <family::Family F>
[[nodiscard]] Result<InnerFit> plain_fit(const ProblemFor<F>& problem, linalg::VectorView rho) {
  if constexpr (kIsGaussian<F>) {
    return closed_form_gaussian_fit(problem, rho);
  } else if constexpr (std::is_same_v<F, family::InverseGaussian>) {
    return pirls_fit_inverse_gaussian(problem, design::total_penalty(problem.penalties, rho));
  } else {
    return pirls_fit<F>(problem, rho);
  }
}

// The fit a criterion evaluation runs: `plain_fit`, except that the Gaussian
// family takes the O(p³) form that leaves the per-observation vectors empty.
template <family::Family F>
[[nodiscard]] Result<InnerFit> plain_search_fit(const ProblemFor<F>& problem, linalg::VectorView rho) {
  if constexpr (kIsGaussian<F>) {
    return closed_form_gaussian_search_fit(problem, rho);
  } else {
    return plain_fit<F>(problem, rho);
  }
}

}  // namespace kavri::inner
