// The context of the joint search over smoothing and shape parameters of a
// shape-managed family, built by its driver and read by the joint criterion.
#pragma once

#include "family/family.h"
#include "inner/problem.h"
#include "score/criterion_view.h"

namespace kavri::score {

// The joint search over [ρ, shape coordinates] of a shape-managed family.
// `fit.family` records the start of the search; each refit builds its own
// value from the search vector (of an ordered-categorical start only the
// number of categories is read) and borrows everything else.
template <family::Family F>
struct ShapeProblem {
  inner::FitProblem<F> fit;
  CriterionView criterion;
};

}  // namespace kavri::score
