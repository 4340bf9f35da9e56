// What one evaluation of the outer criterion returns: its value, gradient
// and Hessian (exact, or from differences of gradients) over the search
// vector.
//
// `degenerate` marks the criterion's guard value (a fit the estimated-scale
// criterion cannot use, reported as a large finite value with a zero
// gradient): the outer search may compare it like any value but must never
// take it for an optimum.
#pragma once

#include "linalg/matrix.h"

namespace kavri::outer {

struct OuterEval {
  double value = 0.0;
  linalg::Vector gradient;
  linalg::Matrix hessian;  // k × k, exactly symmetric
  bool degenerate = false;
};

}  // namespace kavri::outer
