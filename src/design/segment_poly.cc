#include "design/segment_poly.h"

#include <initializer_list>

namespace kavri::design::detail {

SplineSegments spline_segments(const CompactMargin& m) {
  const std::size_t intervals = m.spacing.size();
  SplineSegments out{intervals + 2, std::vector<double>((intervals + 2) * 16, 0.0),
                     std::vector<std::uint32_t>(intervals + 2, 0)};
  auto set = [&](std::size_t g, std::size_t l, std::initializer_list<double> c) {
    std::size_t k = 0;
    for (double v : c) out.poly[16 * g + 4 * l + k++] = v;
  };
  const double h0 = m.spacing[0];
  set(0, 0, {1.0, -1.0});
  set(0, 1, {0.0, -h0 * h0 / 3.0});
  set(0, 2, {0.0, 1.0});
  set(0, 3, {0.0, -h0 * h0 / 6.0});
  for (std::size_t j = 0; j < intervals; ++j) {
    const double h = m.spacing[j];
    const double f = h * h / 6.0;
    const std::size_t g = j + 1;
    out.start[g] = static_cast<std::uint32_t>(2 * j);
    // v = 1 − u; −f·u·v·(1 + v) and −f·u·v·(1 + u) expanded.
    set(g, 0, {1.0, -1.0});
    set(g, 1, {0.0, -2.0 * f, 3.0 * f, -f});
    set(g, 2, {0.0, 1.0});
    set(g, 3, {0.0, -f, 0.0, f});
  }
  const double hl = m.spacing[intervals - 1];
  const std::size_t g = intervals + 1;
  out.start[g] = static_cast<std::uint32_t>(2 * (intervals - 1));
  set(g, 0, {0.0, -1.0});
  set(g, 1, {0.0, hl * hl / 6.0});
  set(g, 2, {1.0, 1.0});
  set(g, 3, {0.0, hl * hl / 3.0});
  return out;
}

void accumulate_weighted_moments(const CompactMargin& m, std::size_t first, std::size_t rows, const double* w,
                                 const double* wz, SegmentSums<6>& moments_w, SegmentSums<3>& moments_wz) {
  for (std::size_t r = 0; r < rows; ++r) {
    double u = 0.0;
    const std::size_t g = segment_of(m, m.position[first + r], u);
    double* at = moments_w.segment(g);
    double* az = moments_wz.segment(g);
    double term = w[r], tz = wz[r];
    at[0] += term;
    az[0] += tz;
    for (std::size_t k = 1; k <= 3; ++k) {
      term *= u;
      tz *= u;
      at[k] += term;
      az[k] += tz;
    }
    for (std::size_t k = 4; k <= 6; ++k) {
      term *= u;
      at[k] += term;
    }
  }
}

void add_moment_products(const SplineSegments& seg, const SegmentSums<6>& moments, linalg::Matrix& own) {
  for (std::size_t g = 0; g < seg.count; ++g) {
    const double* c = seg.poly.data() + 16 * g;
    const double* mo = moments.segment(g);
    const std::size_t st = seg.start[g];
    for (std::size_t l = 0; l < 4; ++l)
      for (std::size_t l2 = l; l2 < 4; ++l2) {
        double v = 0.0;
        for (std::size_t i = 0; i < 4; ++i)
          for (std::size_t j = 0; j < 4; ++j) v += c[4 * l + i] * c[4 * l2 + j] * mo[i + j];
        own(st + l, st + l2) += v;
      }
  }
}

void segment_cubics(const SplineSegments& seg, const linalg::Vector& gamma, SegmentSums<3>& cubics) {
  cubics.reset(seg.count);
  for (std::size_t g = 0; g < seg.count; ++g) {
    double* out = cubics.segment(g);
    for (std::size_t l = 0; l < 4; ++l)
      for (std::size_t k = 0; k < 4; ++k) out[k] += seg.poly[16 * g + 4 * l + k] * gamma[seg.start[g] + l];
  }
}

void segment_forms(const SplineSegments& seg, const linalg::Matrix& own, const linalg::Matrix* with_intercept,
                   SegmentSums<6>& forms) {
  forms.reset(seg.count);
  for (std::size_t g = 0; g < seg.count; ++g) {
    const double* c = seg.poly.data() + 16 * g;
    const std::size_t st = seg.start[g];
    double* out = forms.segment(g);
    for (std::size_t l = 0; l < 4; ++l)
      for (std::size_t l2 = 0; l2 < 4; ++l2) {
        const double a = own(st + l, st + l2);
        for (std::size_t i = 0; i < 4; ++i)
          for (std::size_t j = 0; j < 4; ++j) out[i + j] += (c[4 * l + i] * c[4 * l2 + j]) * a;
      }
    if (with_intercept == nullptr) continue;
    for (std::size_t l = 0; l < 4; ++l)
      for (std::size_t i = 0; i < 4; ++i) out[i] += 2.0 * (c[4 * l + i] * (*with_intercept)(0, st + l));
  }
}

}  // namespace kavri::design::detail
