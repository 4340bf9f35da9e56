#include "score/shape_aware.h"

namespace kavri::score::detail {

namespace {

// The round trip through the family value is exact to a few roundings
// inside the range; a clamped coordinate sits far from its bound.
bool is_held(double coordinate, double held) {
  return std::fabs(coordinate - held) > 1e-9 * std::fmax(1.0, std::fabs(held));
}

}  // namespace

std::vector<bool> clamped_coordinates(linalg::VectorView theta, const linalg::Vector& held) {
  std::vector<bool> out(theta.size > 0 ? theta.size - 1 : 0, false);
  for (std::size_t c = 1; c < theta.size && c - 1 < held.size(); ++c) out[c - 1] = is_held(theta[c], held[c - 1]);
  return out;
}

void apply_shape_clamps(linalg::VectorView theta, const linalg::Vector& clamped, linalg::Vector& gradient) {
  for (std::size_t c = 1; c < theta.size && c < gradient.size(); ++c) {
    const double held = clamped[c - 1];
    if (!is_held(theta[c], held)) continue;
    const double gap = theta[c] - held;
    const bool below = gap < 0.0;  // held at the lower bound: inward is up
    if (below ? !(gradient[c] < 0.0) : !(gradient[c] > 0.0)) gradient[c] = 0.0;
  }
}

}  // namespace kavri::score::detail
