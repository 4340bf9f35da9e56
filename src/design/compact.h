// The compact per-row form of a model matrix, kept beside the dense X for
// the inner loops: the products X'WX, X'Wz, X·β and the leverage sums in
// O(n·(small tables)) + O(p³) instead of O(n·p²).
//
// Every term's rows are X_t = S_t·G_t: S_t is sparse with a few nonzeros per
// row in short contiguous runs of a "local" space, G_t a dense local_dim ×
// width map. A spline row is a combination of four local entries (two
// values and two second derivatives at the ends of its knot interval, see
// `basis::cr_second_derivative_map`), a random-effect row one (its level),
// a tensor row the row Kronecker product of its margins (four runs of four)
// and the intercept a single entry of one. Centring and reparametrisation
// are folded into G_t. Cross products of two terms accumulate in O(n) into
// local_dim_a × local_dim_b tables and map to the p × p result through
// the two G's.
//
// Each term is built from the same knots, levels and transforms as its
// dense block, so the compact products equal the dense ones up to rounding.
//
// `compact_forms.h` holds the terms and their builders, `segment_poly.h`
// the spline's segment polynomials, `compact_products.h` the products.
#pragma once

#include "design/compact_forms.h"     // IWYU pragma: export
#include "design/compact_products.h"  // IWYU pragma: export
