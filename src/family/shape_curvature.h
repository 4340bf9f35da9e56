// The second-order shape traits of a family: what the criterion's exact
// Hessian over (ρ, shape coordinates) reads per row besides the slopes of
// `HasShapeDerivatives`. β̂ follows a shape coordinate through ∂²d/∂η∂t,
// the criterion's row weight ω = ½w·∂²d/∂η² through ∂³d/∂η²∂t, and the
// second derivatives of both need one more order in η and in t.
#pragma once

#include <concepts>
#include <cstddef>

#include "family/family.h"

namespace kavri::family {

// Second derivatives of one row's unit deviance in shape coordinates t_c,
// t_e at fixed μ (clamps of the shape map left out), with its first two
// η-derivatives.
struct ShapeCurvature {
  double deviance;  // ∂²d/∂t_c∂t_e
  double eta;       // ∂³d/∂η∂t_c∂t_e
  double eta_eta;   // ∂⁴d/∂η²∂t_c∂t_e
};

// Families whose criterion has an exact Hessian over the shape: per row the
// above and the mixed slope ∂⁴d/∂η³∂t_c, and the Hessian of c(y). The
// η-curvature of the criterion's weight (w·½∂⁴d/∂η⁴) is the family's
// observed or working weight curvature.
template <class F>
concept HasShapeHessian = HasShapeDerivatives<F> && HasSaturatedShapeCurvature<F> &&
                          requires(const F& f, double x, std::size_t c) {
                            { f.deviance_shape_curvature_slopes(x, x, c, c) } -> std::same_as<ShapeCurvature>;
                            { f.deviance_shape_eta3_slope(x, x, c) } -> std::same_as<double>;
                          };

// A family whose criterion scale is one of its shape coordinates states
// which (0-based among the shape coordinates); that coordinate is ln φ.
template <class F>
concept HasScaleCoordinate = requires {
  { F::scale_coordinate() } -> std::same_as<std::size_t>;
};

}  // namespace kavri::family
