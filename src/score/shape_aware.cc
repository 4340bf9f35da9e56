#include "score/shape_aware.h"

namespace kavri::score::detail {

void apply_shape_clamps(linalg::VectorView theta, const linalg::Vector& clamped, linalg::Vector& gradient) {
  for (std::size_t c = 1; c < theta.size && c < gradient.size(); ++c) {
    const double held = clamped[c - 1];
    // The round trip through the family value is exact to a few roundings
    // inside the range; a clamped coordinate sits far from its bound.
    const double gap = theta[c] - held;
    if (!(std::fabs(gap) > 1e-9 * std::fmax(1.0, std::fabs(held)))) continue;
    const bool below = gap < 0.0;  // held at the lower bound: inward is up
    if (below ? !(gradient[c] < 0.0) : !(gradient[c] > 0.0)) gradient[c] = 0.0;
  }
}

}  // namespace kavri::score::detail
