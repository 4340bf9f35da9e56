// The segment-polynomial algebra of a spline margin. A margin's rows fall
// in segments: below the knots (g = 0), knot interval j (g = j + 1), above
// them (g = k). On each segment a row's four coefficients are cubics in one
// local variable u (s itself below, s − j in an interval, s − (k − 1)
// above), so every product of a spline's rows with itself and with the
// intercept is a sum over segments of weighted moments Σ a·u^m: a row then
// costs a few moment updates instead of the sixteen table updates of its
// coefficients, and its share of η or of a quadratic form is one polynomial
// of its segment evaluated at u.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "design/compact_forms.h"
#include "linalg/matrix.h"

namespace kavri::design {

// Per segment, Degree + 1 numbers: the moments Σ a·u^m (m ≤ Degree) of
// some per-row a, or the coefficients of a polynomial of that degree in u.
template <std::size_t Degree>
struct SegmentSums {
  static constexpr std::size_t kStride = Degree + 1;
  linalg::Vector values;  // segment g at [kStride·g, kStride·(g + 1))

  void reset(std::size_t segments) { values.assign(segments * kStride, 0.0); }
  double* segment(std::size_t g) { return values.data() + g * kStride; }
  const double* segment(std::size_t g) const { return values.data() + g * kStride; }
};

namespace detail {

struct SplineSegments {
  std::size_t count = 0;
  std::vector<double> poly;          // count × 4 × 4: coefficient l of segment g is Σ_m poly[16g + 4l + m]·u^m
  std::vector<std::uint32_t> start;  // count: the segment's first local entry
};

SplineSegments spline_segments(const CompactMargin& m);

inline std::size_t segment_count(const CompactMargin& m) { return m.spacing.size() + 2; }

// The segment of position s and its local variable, as the margin's rows
// split (see `fill_runs`).
inline std::size_t segment_of(const CompactMargin& m, double s, double& u) {
  const std::size_t intervals = m.spacing.size();
  const double end = static_cast<double>(intervals);
  if (s >= 0.0 && s <= end) {
    const std::size_t j = std::min(static_cast<std::size_t>(s), intervals - 1);
    u = s - static_cast<double>(j);
    return j + 1;
  }
  if (s < 0.0) {
    u = s;
    return 0;
  }
  u = s - end;
  return intervals + 1;
}

// Σ_k c_k·u^k for k < N.
template <std::size_t N>
inline double horner(const double* c, double u) {
  double v = c[N - 1];
  for (std::size_t k = N - 1; k-- > 0;) v = v * u + c[k];
  return v;
}

// The moments of a_r over the block's rows [first, first + rows).
template <std::size_t Degree>
void accumulate_moments(const CompactMargin& m, std::size_t first, std::size_t rows, const double* a,
                        SegmentSums<Degree>& moments) {
  double* const sums = moments.values.data();
  for (std::size_t r = 0; r < rows; ++r) {
    double u = 0.0;
    const std::size_t g = segment_of(m, m.position[first + r], u);
    double* at = sums + g * SegmentSums<Degree>::kStride;
    double term = a[r];
    at[0] += term;
    for (std::size_t k = 1; k <= Degree; ++k) {
      term *= u;
      at[k] += term;
    }
  }
}

// The moments of w to degree six and of w·z to degree three in one pass.
void accumulate_weighted_moments(const CompactMargin& m, std::size_t first, std::size_t rows, const double* w,
                                 const double* wz, SegmentSums<6>& moments_w, SegmentSums<3>& moments_wz);

// Σ_r a_r·c_l(u_r)·c_l'(u_r), l ≤ l', from the moments of a: into the upper
// triangle of the spline's own table.
void add_moment_products(const SplineSegments& seg, const SegmentSums<6>& moments, linalg::Matrix& own);

// Σ_r a_r·c_l(u_r) from the first four moments of a (of any degree ≥ 3):
// into local entries local[start_g + l].
template <std::size_t Degree>
void add_moment_sums(const SplineSegments& seg, const SegmentSums<Degree>& moments, double* local) {
  for (std::size_t g = 0; g < seg.count; ++g) {
    const double* c = seg.poly.data() + 16 * g;
    const double* mo = moments.segment(g);
    for (std::size_t l = 0; l < 4; ++l) {
      double v = 0.0;
      for (std::size_t i = 0; i < 4; ++i) v += c[4 * l + i] * mo[i];
      local[seg.start[g] + l] += v;
    }
  }
}

// Σ_l γ[start_g + l]·c_l(u): a spline's share of η as a cubic per segment.
void segment_cubics(const SplineSegments& seg, const linalg::Vector& gamma, SegmentSums<3>& cubics);

// c(u)'·A·c(u) with A the spline's own table, plus 2·a'c(u) with a row 0 of
// its table with the intercept when there is one: its share of a quadratic
// form x'Vx as a polynomial of degree six per segment.
void segment_forms(const SplineSegments& seg, const linalg::Matrix& own, const linalg::Matrix* with_intercept,
                   SegmentSums<6>& forms);

}  // namespace detail
}  // namespace kavri::design
