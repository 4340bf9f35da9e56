#include "design/compact.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <utility>

#include "basis/cr.h"
#include "linalg/lapack.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Rows whose run starts and coefficients are held at a time: every term's
// share of a block stays in cache while the pairs of terms read it.
constexpr std::size_t kBlockRows = 1024;

// Beyond this many table entries over all pairs of terms the dense path is
// cheaper to keep (a random effect with very many levels).
constexpr std::size_t kMaxTableEntries = std::size_t{1} << 22;

// The local space of a spline: entry 2i is the value at knot i, entry 2i + 1
// the second derivative there, so the four entries of a knot interval are
// contiguous. Row 2i of the map is e_i, row 2i + 1 row i of F.
Matrix spline_local_map(VectorView knots) {
  const std::size_t k = knots.size;
  const Matrix f = basis::cr_second_derivative_map(knots);
  Matrix g(2 * k, k);
  for (std::size_t i = 0; i < k; ++i) {
    g(2 * i, i) = 1.0;
    for (std::size_t j = 0; j < k; ++j) g(2 * i + 1, j) = f(i, j);
  }
  return g;
}

// The first local entry of row i of a margin and its four coefficients.
inline std::uint32_t margin_row(const CompactMargin& m, std::size_t i, double* c) {
  const double s = m.position[i];
  const std::size_t segments = m.spacing.size();
  const double end = static_cast<double>(segments);
  if (s >= 0.0 && s <= end) {
    const std::size_t j = std::min(static_cast<std::size_t>(s), segments - 1);
    const double h = m.spacing[j];
    // s − j is exact: s lies in [j, j + 1].
    const double u = s - static_cast<double>(j), v = 1.0 - u;
    const double f = h * h / 6.0;
    c[0] = v;
    c[1] = -f * (u * v) * (1.0 + v);
    c[2] = u;
    c[3] = -f * (u * v) * (1.0 + u);
    return static_cast<std::uint32_t>(2 * j);
  }
  if (s < 0.0) {  // below the knots: the line through t_0 with the first interval's slope
    const double h = m.spacing[0];
    c[0] = 1.0 - s;
    c[1] = -h * h * s / 3.0;
    c[2] = s;
    c[3] = -h * h * s / 6.0;
    return 0;
  }
  const double h = m.spacing[segments - 1];  // above: the line through t_{k−1}
  const double t = s - end;
  c[0] = -t;
  c[1] = h * h * t / 6.0;
  c[2] = 1.0 + t;
  c[3] = h * h * t / 3.0;
  return static_cast<std::uint32_t>(2 * (segments - 1));
}

// A spline margin's rows by segment: below the knots (g = 0), knot
// interval j (g = j + 1), above them (g = k). On each segment a row's four
// coefficients are cubics in one local variable u (s itself below, s − j in
// an interval, s − (k − 1) above), so every product of a spline's rows with
// itself and with the intercept is a sum over segments of weighted moments
// Σ w·u^m: a row then costs a few moment updates instead of the sixteen
// table updates of its coefficients.
struct SplineSegments {
  std::size_t count = 0;
  std::vector<double> poly;          // count × 4 × 4: coefficient l of segment g is Σ_m poly[16g + 4l + m]·u^m
  std::vector<std::uint32_t> start;  // count: the segment's first local entry
};

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

// The segment of position s and its local variable, as `margin_row` splits.
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

// Moments Σ a_r·u_r^m (m ≤ degree) per segment of the block's rows.
template <std::size_t Degree>
void accumulate_moments(const CompactMargin& m, std::size_t first, std::size_t rows, const double* a,
                        double* moments) {
  constexpr std::size_t kStride = Degree + 1;
  for (std::size_t r = 0; r < rows; ++r) {
    double u = 0.0;
    const std::size_t g = segment_of(m, m.position[first + r], u);
    double* at = moments + g * kStride;
    double term = a[r];
    at[0] += term;
    for (std::size_t k = 1; k <= Degree; ++k) {
      term *= u;
      at[k] += term;
    }
  }
}

// accumulate_moments<6> of w and accumulate_moments<3> of w·z in one pass.
void accumulate_weighted_moments(const CompactMargin& m, std::size_t first, std::size_t rows, const double* w,
                                 const double* wz, double* moments_w, double* moments_wz) {
  for (std::size_t r = 0; r < rows; ++r) {
    double u = 0.0;
    const std::size_t g = segment_of(m, m.position[first + r], u);
    double* at = moments_w + g * 7;
    double* az = moments_wz + g * 4;
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

// Runs per row and entries per run of a term's rows.
struct Shape {
  std::size_t runs, length;
};
Shape shape_of(const CompactTerm& t) {
  switch (t.kind) {
    case CompactTerm::Kind::Spline: return {1, 4};
    case CompactTerm::Kind::Tensor: return {4, 4};
    default: return {1, 1};
  }
}

// Rows [first, first + rows) of a term: run starts and coefficients.
void fill_block(const CompactTerm& t, std::size_t first, std::size_t rows, std::uint32_t* pos, double* coef) {
  switch (t.kind) {
    case CompactTerm::Kind::Intercept:
      for (std::size_t r = 0; r < rows; ++r) {
        pos[r] = 0;
        coef[r] = 1.0;
      }
      return;
    case CompactTerm::Kind::Level:
      for (std::size_t r = 0; r < rows; ++r) {
        pos[r] = t.level[first + r];
        coef[r] = 1.0;
      }
      return;
    case CompactTerm::Kind::Spline:
      for (std::size_t r = 0; r < rows; ++r) pos[r] = margin_row(t.margins[0], first + r, coef + 4 * r);
      return;
    case CompactTerm::Kind::Tensor: {
      const std::uint32_t width_b = static_cast<std::uint32_t>(2 * (t.margins[1].spacing.size() + 1));
      double ca[4], cb[4];
      for (std::size_t r = 0; r < rows; ++r) {
        const std::uint32_t pa = margin_row(t.margins[0], first + r, ca);
        const std::uint32_t pb = margin_row(t.margins[1], first + r, cb);
        for (std::size_t q = 0; q < 4; ++q) {
          pos[4 * r + q] = (pa + static_cast<std::uint32_t>(q)) * width_b + pb;
          for (std::size_t v = 0; v < 4; ++v) coef[16 * r + 4 * q + v] = ca[q] * cb[v];
        }
      }
      return;
    }
  }
}

// Calls f(runs, length) with both as compile-time constants.
template <class F>
void with_shape(Shape s, F&& f) {
  if (s.runs == 4) f(std::integral_constant<std::size_t, 4>{}, std::integral_constant<std::size_t, 4>{});
  else if (s.length == 4) f(std::integral_constant<std::size_t, 1>{}, std::integral_constant<std::size_t, 4>{});
  else f(std::integral_constant<std::size_t, 1>{}, std::integral_constant<std::size_t, 1>{});
}

// table[pa + u][pb + v] += w_r·ca[u]·cb[v] over every run pair of every row.
template <std::size_t RA, std::size_t LA, std::size_t RB, std::size_t LB>
void accumulate_pair(std::size_t rows, const std::uint32_t* pos_a, const double* coef_a, const std::uint32_t* pos_b,
                     const double* coef_b, const double* w, double* table, std::size_t ld) {
  for (std::size_t r = 0; r < rows; ++r) {
    const double wr = w[r];
    for (std::size_t qa = 0; qa < RA; ++qa) {
      const double* ca = coef_a + (r * RA + qa) * LA;
      double wc[LA];
      for (std::size_t u = 0; u < LA; ++u) wc[u] = wr * ca[u];
      const std::size_t pa = pos_a[r * RA + qa];
      for (std::size_t qb = 0; qb < RB; ++qb) {
        const double* cb = coef_b + (r * RB + qb) * LB;
        double* at = table + pa * ld + pos_b[r * RB + qb];
        for (std::size_t u = 0; u < LA; ++u)
          for (std::size_t v = 0; v < LB; ++v) at[u * ld + v] += wc[u] * cb[v];
      }
    }
  }
}

// The same for a single-run term with itself, on and above the diagonal
// only: its rows touch (p + u, p + v) for one p, so the table's upper
// triangle is complete and the lower one its mirror.
template <std::size_t L>
void accumulate_upper(std::size_t rows, const std::uint32_t* pos, const double* coef, const double* w, double* table,
                      std::size_t ld) {
  for (std::size_t r = 0; r < rows; ++r) {
    const double* c = coef + r * L;
    double* at = table + static_cast<std::size_t>(pos[r]) * (ld + 1);
    for (std::size_t u = 0; u < L; ++u) {
      const double wc = w[r] * c[u];
      for (std::size_t v = u; v < L; ++v) at[u * ld + v] += wc * c[v];
    }
  }
}

// q_r += factor·Σ ca[u]·table[pa + u][pb + v]·cb[v] over every run pair.
template <std::size_t RA, std::size_t LA, std::size_t RB, std::size_t LB>
void pair_forms(std::size_t rows, const std::uint32_t* pos_a, const double* coef_a, const std::uint32_t* pos_b,
                const double* coef_b, const double* table, std::size_t ld, double factor, double* q) {
  for (std::size_t r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (std::size_t qa = 0; qa < RA; ++qa) {
      const double* ca = coef_a + (r * RA + qa) * LA;
      const std::size_t pa = pos_a[r * RA + qa];
      for (std::size_t qb = 0; qb < RB; ++qb) {
        const double* cb = coef_b + (r * RB + qb) * LB;
        const double* at = table + pa * ld + pos_b[r * RB + qb];
        for (std::size_t u = 0; u < LA; ++u) {
          double row = 0.0;
          for (std::size_t v = 0; v < LB; ++v) row += at[u * ld + v] * cb[v];
          sum += ca[u] * row;
        }
      }
    }
    q[r] += factor * sum;
  }
}

// pair_forms of the intercept with itself, two runs of one entry 1.0 at 0:
// the same value for every row, in the same roundings.
inline double intercept_form(const Matrix& table) { return 1.0 * (0.0 + 1.0 * (0.0 + table.data[0] * 1.0)); }

// Σ v_r over a block, in four interleaved partial sums: added into one
// table entry row after row, the sum would wait on its own store each time.
inline double block_sum(std::size_t rows, const double* v) {
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4)
    for (std::size_t k = 0; k < 4; ++k) part[k] += v[r + k];
  for (; r < rows; ++r) part[0] += v[r];
  return (part[0] + part[1]) + (part[2] + part[3]);
}

// local[p + u] += s_r·c[u].
template <std::size_t R, std::size_t L>
void accumulate_local(std::size_t rows, const std::uint32_t* pos, const double* coef, const double* s, double* local) {
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t q = 0; q < R; ++q) {
      const double* c = coef + (r * R + q) * L;
      double* at = local + pos[r * R + q];
      for (std::size_t u = 0; u < L; ++u) at[u] += s[r] * c[u];
    }
}

// accumulate_local for a term's rows; the intercept's single entry sums in
// registers.
void accumulate_term_local(const CompactTerm& t, std::size_t rows, const std::uint32_t* pos, const double* coef,
                           const double* s, double* local) {
  if (t.kind == CompactTerm::Kind::Intercept) {
    local[0] += block_sum(rows, s);
    return;
  }
  with_shape(shape_of(t), [&](auto r, auto l) {
    accumulate_local<decltype(r)::value, decltype(l)::value>(rows, pos, coef, s, local);
  });
}

// out_r += Σ c[u]·gamma[p + u].
template <std::size_t R, std::size_t L>
void add_predictions(std::size_t rows, const std::uint32_t* pos, const double* coef, const double* gamma, double* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (std::size_t q = 0; q < R; ++q) {
      const double* c = coef + (r * R + q) * L;
      const double* at = gamma + pos[r * R + q];
      for (std::size_t u = 0; u < L; ++u) sum += c[u] * at[u];
    }
    out[r] += sum;
  }
}

std::size_t local_dim(const CompactTerm& t) { return t.map.rows; }
std::size_t width(const CompactTerm& t) { return t.map.cols; }

// Where each term's share of a block starts in the workspace buffers.
struct BlockLayout {
  std::vector<std::size_t> pos, coef;
};

BlockLayout prepare_block(const CompactDesign& d, CompactWorkspace& ws) {
  BlockLayout layout;
  std::size_t p = 0, c = 0;
  for (const CompactTerm& t : d.terms) {
    const Shape s = shape_of(t);
    layout.pos.push_back(p);
    layout.coef.push_back(c);
    p += kBlockRows * s.runs;
    c += kBlockRows * s.runs * s.length;
  }
  ws.positions.resize(p);
  ws.coefficients.resize(c);
  return layout;
}

// Calls body(first, rows) for each block after filling the runs of every
// term (of every term t with needed[t], when given).
template <class Body>
void for_each_block(const CompactDesign& d, CompactWorkspace& ws, const BlockLayout& layout, Body&& body,
                    const std::vector<char>* needed = nullptr) {
  const std::size_t n = d.rows;
  for (std::size_t first = 0; first < n; first += kBlockRows) {
    const std::size_t rows = std::min(kBlockRows, n - first);
    for (std::size_t t = 0; t < d.terms.size(); ++t)
      if (needed == nullptr || (*needed)[t])
        fill_block(d.terms[t], first, rows, ws.positions.data() + layout.pos[t],
                   ws.coefficients.data() + layout.coef[t]);
    body(first, rows);
  }
}

bool is_spline(const CompactTerm& t) { return t.kind == CompactTerm::Kind::Spline; }
bool is_intercept(const CompactTerm& t) { return t.kind == CompactTerm::Kind::Intercept; }

// The pairs (a ≤ b) whose products come from b's segment moments: a spline
// with itself and with the intercept.
bool by_moments(const CompactDesign& d, std::size_t a, std::size_t b) {
  return is_spline(d.terms[b]) && (a == b || is_intercept(d.terms[a]));
}

// The terms whose runs some pair still reads: all but the splines whose
// every pair goes by moments, and the intercept when its only partners are
// itself (a constant) and splines (moments).
std::vector<char> runs_needed(const CompactDesign& d) {
  std::vector<char> needed(d.terms.size(), 1);
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    if (is_intercept(d.terms[t])) {
      bool only_splines = true;
      for (std::size_t o = 0; o < d.terms.size(); ++o)
        if (!is_intercept(d.terms[o]) && !is_spline(d.terms[o])) only_splines = false;
      needed[t] = only_splines ? 0 : 1;
      continue;
    }
    if (!is_spline(d.terms[t])) continue;
    bool alone = true;
    for (std::size_t o = 0; o < d.terms.size(); ++o)
      if (o != t && !is_intercept(d.terms[o])) alone = false;
    needed[t] = alone ? 0 : 1;
  }
  return needed;
}

// The index of pair (a, b), a ≤ b, among the m(m + 1)/2 tables.
std::size_t pair_index(std::size_t m, std::size_t a, std::size_t b) { return a * (2 * m - a + 1) / 2 + (b - a); }

// Σ_k c_k·u^k for k < N.
template <std::size_t N>
inline double horner(const double* c, double u) {
  double v = c[N - 1];
  for (std::size_t k = N - 1; k-- > 0;) v = v * u + c[k];
  return v;
}

// The terms' local vectors mapped to p: out[start_t + j] = (G_t'·local_t)_j.
Vector map_locals(const CompactDesign& d, const std::vector<Vector>& locals) {
  Vector out(d.cols, 0.0);
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    const CompactTerm& term = d.terms[t];
    for (std::size_t l = 0; l < local_dim(term); ++l) {
      const double v = locals[t][l];
      if (v == 0.0) continue;
      const double* g = term.map.row(l);
      for (std::size_t j = 0; j < width(term); ++j) out[term.start + j] += g[j] * v;
    }
  }
  return out;
}

// Each spline's moments Σ a·u^m (m ≤ 3) by segment, `moments[2t + 1]`,
// added into its local vector: on a segment the row's four coefficients
// are cubics in u.
void add_spline_moments_to_locals(const CompactDesign& d, const std::vector<Vector>& moments,
                                  std::vector<Vector>& locals) {
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    if (!is_spline(d.terms[t])) continue;
    const SplineSegments seg = spline_segments(d.terms[t].margins[0]);
    const Vector& mq = moments[2 * t + 1];
    for (std::size_t g = 0; g < seg.count; ++g)
      for (std::size_t l = 0; l < 4; ++l) {
        double v = 0.0;
        for (std::size_t i = 0; i < 4; ++i) v += seg.poly[16 * g + 4 * l + i] * mq[4 * g + i];
        locals[t][seg.start[g] + l] += v;
      }
  }
}

// X'·v: S'v per term (a spline's from its segment moments, the
// intercept's as one sum), then G'.
Vector transpose_times(const CompactDesign& d, const double* v, CompactWorkspace& ws) {
  const std::size_t m = d.terms.size();
  const BlockLayout layout = prepare_block(d, ws);
  ws.locals.resize(m);
  ws.moments.resize(2 * m);
  std::vector<char> needed(m, 1);
  for (std::size_t t = 0; t < m; ++t) {
    ws.locals[t].assign(local_dim(d.terms[t]), 0.0);
    if (is_spline(d.terms[t])) ws.moments[2 * t + 1].assign(4 * (d.terms[t].margins[0].spacing.size() + 2), 0.0);
    if (is_spline(d.terms[t]) || is_intercept(d.terms[t])) needed[t] = 0;
  }
  for_each_block(
      d, ws, layout,
      [&](std::size_t first, std::size_t rows) {
        for (std::size_t t = 0; t < m; ++t) {
          if (is_spline(d.terms[t])) {
            accumulate_moments<3>(d.terms[t].margins[0], first, rows, v + first, ws.moments[2 * t + 1].data());
            continue;
          }
          accumulate_term_local(d.terms[t], rows, ws.positions.data() + layout.pos[t],
                                ws.coefficients.data() + layout.coef[t], v + first, ws.locals[t].data());
        }
      },
      &needed);
  add_spline_moments_to_locals(d, ws.moments, ws.locals);
  return map_locals(d, ws.locals);
}

}  // namespace

MarginLocator::MarginLocator(VectorView knots) : knots_(knots), spacing_(knots.size - 1), inverse_(knots.size - 1) {
  assert(knots.size >= 3);
  for (std::size_t j = 0; j + 1 < knots.size; ++j) {
    spacing_[j] = knots[j + 1] - knots[j];
    inverse_[j] = 1.0 / spacing_[j];
  }
}

CompactTerm compact_intercept() {
  return CompactTerm{.kind = CompactTerm::Kind::Intercept, .start = 0, .map = Matrix(1, 1, 1.0), .margins = {},
                     .level = {}};
}

CompactMargin compact_spline_margin(MatrixView x, std::uint64_t col, VectorView knots) {
  const MarginLocator locator(knots);
  CompactMargin m{locator.spacing(), Vector(x.rows)};
  for (std::size_t i = 0; i < x.rows; ++i) m.position[i] = locator.place(x(i, col)).position;
  return m;
}

CompactTerm compact_spline_term(CompactMargin margin, VectorView knots, MatrixView transform, std::uint64_t start) {
  std::vector<CompactMargin> margins;
  margins.push_back(std::move(margin));
  return CompactTerm{.kind = CompactTerm::Kind::Spline,
                     .start = start,
                     .map = linalg::multiply(spline_local_map(knots), transform),
                     .margins = std::move(margins),
                     .level = {}};
}

std::optional<CompactTerm> compact_level_term(MatrixView x, std::uint64_t col, std::span<const double> levels,
                                              std::uint64_t start) {
  const std::size_t n_levels = levels.size();
  if (n_levels == 0 || n_levels > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  std::vector<std::uint32_t> level(x.rows);
  const auto same_bits = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  for (std::size_t i = 0; i < x.rows; ++i) {
    const double v = x(i, col);
    // The level whose indicator the dense row holds: bit-equal, −0.0 and 0.0
    // apart.
    std::size_t l = static_cast<std::size_t>(std::lower_bound(levels.begin(), levels.end(), v) - levels.begin());
    while (l < n_levels && levels[l] == v && !same_bits(levels[l], v)) ++l;
    if (l == n_levels || !same_bits(levels[l], v)) return std::nullopt;
    level[i] = static_cast<std::uint32_t>(l);
  }
  return CompactTerm{.kind = CompactTerm::Kind::Level,
                     .start = start,
                     .map = Matrix::identity(n_levels),
                     .margins = {},
                     .level = std::move(level)};
}

CompactTerm compact_tensor_term(MatrixView x, std::uint64_t col_a, std::uint64_t col_b, VectorView knots_a,
                                VectorView knots_b, MatrixView centring, std::uint64_t start) {
  const Matrix ga = spline_local_map(knots_a), gb = spline_local_map(knots_b);
  // (G_a ⊗ G_b): local entry (la, lb) at la·rows(G_b) + lb, raw column
  // (ia, ib) at ia·k_b + ib, as the dense row Kronecker product orders them.
  Matrix kron(ga.rows * gb.rows, ga.cols * gb.cols);
  for (std::size_t la = 0; la < ga.rows; ++la)
    for (std::size_t ia = 0; ia < ga.cols; ++ia) {
      const double va = ga(la, ia);
      if (va == 0.0) continue;
      for (std::size_t lb = 0; lb < gb.rows; ++lb)
        for (std::size_t ib = 0; ib < gb.cols; ++ib) kron(la * gb.rows + lb, ia * gb.cols + ib) = va * gb(lb, ib);
    }
  std::vector<CompactMargin> margins;
  margins.push_back(compact_spline_margin(x, col_a, knots_a));
  margins.push_back(compact_spline_margin(x, col_b, knots_b));
  return CompactTerm{.kind = CompactTerm::Kind::Tensor,
                     .start = start,
                     .map = linalg::multiply(kron, centring),
                     .margins = std::move(margins),
                     .level = {}};
}

std::optional<CompactDesign> compact_design(std::uint64_t rows, std::uint64_t cols, std::vector<CompactTerm> terms) {
  std::size_t entries = 0;
  for (std::size_t a = 0; a < terms.size(); ++a)
    for (std::size_t b = a; b < terms.size(); ++b) entries += local_dim(terms[a]) * local_dim(terms[b]);
  if (entries > kMaxTableEntries) return std::nullopt;
  return CompactDesign{.rows = rows, .cols = cols, .terms = std::move(terms)};
}

void compact_cross_products(const CompactDesign& d, VectorView w, std::optional<VectorView> z, Matrix& xtwx,
                            Vector* xtwz, CompactWorkspace& ws) {
  const std::size_t m = d.terms.size(), p = d.cols;
  const BlockLayout layout = prepare_block(d, ws);
  const std::vector<char> needed = runs_needed(d);
  ws.tables.resize(m * (m + 1) / 2);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      Matrix& table = ws.tables[k];
      table.rows = local_dim(d.terms[a]);
      table.cols = local_dim(d.terms[b]);
      table.data.assign(table.rows * table.cols, 0.0);
    }
  if (z) {
    ws.scratch.resize(std::min<std::size_t>(d.rows, kBlockRows));
    ws.locals.resize(m);
    for (std::size_t t = 0; t < m; ++t) ws.locals[t].assign(local_dim(d.terms[t]), 0.0);
  }
  // Per spline, Σ w·u^m (m ≤ 6) and Σ w·z·u^m (m ≤ 3) by segment.
  ws.moments.resize(2 * m);
  for (std::size_t t = 0; t < m; ++t) {
    if (!is_spline(d.terms[t])) continue;
    const std::size_t segments = d.terms[t].margins[0].spacing.size() + 2;
    ws.moments[2 * t].assign(segments * 7, 0.0);
    ws.moments[2 * t + 1].assign(z ? segments * 4 : 0, 0.0);
  }
  for_each_block(
      d, ws, layout,
      [&](std::size_t first, std::size_t rows) {
        const double* wr = w.data + first;
        if (w.stride != 1) {
          // Weights given with another stride (unit weights: stride 0) are
          // gathered for the block, which the kernels read contiguously.
          ws.block_weights.resize(rows);
          for (std::size_t r = 0; r < rows; ++r) ws.block_weights[r] = w[first + r];
          wr = ws.block_weights.data();
        }
        if (z)
          for (std::size_t r = 0; r < rows; ++r) ws.scratch[r] = wr[r] * (*z)[first + r];
        for (std::size_t a = 0, k = 0; a < m; ++a) {
          const std::uint32_t* pa = ws.positions.data() + layout.pos[a];
          const double* ca = ws.coefficients.data() + layout.coef[a];
          with_shape(shape_of(d.terms[a]), [&](auto ra, auto la) {
            for (std::size_t b = a; b < m; ++b, ++k) {
              const std::uint32_t* pb = ws.positions.data() + layout.pos[b];
              const double* cb = ws.coefficients.data() + layout.coef[b];
              Matrix& table = ws.tables[k];
              if (is_intercept(d.terms[a]) && is_intercept(d.terms[b])) {
                table.data[0] += block_sum(rows, wr);
                continue;
              }
              if (by_moments(d, a, b)) continue;
              if (b == a && decltype(ra)::value == 1) {
                accumulate_upper<decltype(la)::value>(rows, pa, ca, wr, table.data.data(), table.cols);
                continue;
              }
              with_shape(shape_of(d.terms[b]), [&](auto rb, auto lb) {
                accumulate_pair<decltype(ra)::value, decltype(la)::value, decltype(rb)::value,
                                decltype(lb)::value>(rows, pa, ca, pb, cb, wr, table.data.data(), table.cols);
              });
            }
          });
          if (is_spline(d.terms[a])) {
            const CompactMargin& margin = d.terms[a].margins[0];
            if (z) {
              accumulate_weighted_moments(margin, first, rows, wr, ws.scratch.data(), ws.moments[2 * a].data(),
                                          ws.moments[2 * a + 1].data());
            } else {
              accumulate_moments<6>(margin, first, rows, wr, ws.moments[2 * a].data());
            }
          } else if (z) {
            accumulate_term_local(d.terms[a], rows, pa, ca, ws.scratch.data(), ws.locals[a].data());
          }
        }
      },
      &needed);

  // The splines' moments into their tables: coefficient products are
  // polynomials in u whose moments were summed.
  for (std::size_t t = 0; t < m; ++t) {
    if (!is_spline(d.terms[t])) continue;
    const SplineSegments seg = spline_segments(d.terms[t].margins[0]);
    const Vector& mw = ws.moments[2 * t];
    Matrix& own = ws.tables[pair_index(m, t, t)];
    for (std::size_t g = 0; g < seg.count; ++g) {
      const double* c = seg.poly.data() + 16 * g;
      const double* mo = mw.data() + 7 * g;
      const std::size_t st = seg.start[g];
      for (std::size_t l = 0; l < 4; ++l)
        for (std::size_t l2 = l; l2 < 4; ++l2) {
          double v = 0.0;
          for (std::size_t i = 0; i < 4; ++i)
            for (std::size_t j = 0; j < 4; ++j) v += c[4 * l + i] * c[4 * l2 + j] * mo[i + j];
          own(st + l, st + l2) += v;
        }
      for (std::size_t a = 0; a < t; ++a) {
        if (!is_intercept(d.terms[a])) continue;
        Matrix& cross = ws.tables[pair_index(m, a, t)];
        for (std::size_t l = 0; l < 4; ++l) {
          double v = 0.0;
          for (std::size_t i = 0; i < 4; ++i) v += c[4 * l + i] * mo[i];
          cross(0, st + l) += v;
        }
      }
      if (z) {
        const double* mz = ws.moments[2 * t + 1].data() + 4 * g;
        for (std::size_t l = 0; l < 4; ++l) {
          double v = 0.0;
          for (std::size_t i = 0; i < 4; ++i) v += c[4 * l + i] * mz[i];
          ws.locals[t][st + l] += v;
        }
      }
    }
  }

  for (std::size_t a = 0, k = 0; a < m; k += m - a, ++a) {
    if (shape_of(d.terms[a]).runs != 1) continue;
    Matrix& table = ws.tables[k];
    for (std::size_t i = 0; i < table.rows; ++i)
      for (std::size_t j = 0; j < i; ++j) table(i, j) = table(j, i);
  }

  xtwx.rows = p;
  xtwx.cols = p;
  xtwx.data.assign(p * p, 0.0);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      const CompactTerm& ta = d.terms[a];
      const CompactTerm& tb = d.terms[b];
      linalg::multiply_into(ws.tables[k], tb.map, ws.product);
      linalg::multiply_into(ta.map.view().transposed(), ws.product, ws.block);
      const std::size_t wa = width(ta), wb = width(tb);
      for (std::size_t i = 0; i < wa; ++i)
        for (std::size_t j = 0; j < wb; ++j) {
          // A diagonal block is symmetric up to rounding: its two halves are
          // averaged so that the whole matrix is exactly symmetric.
          const double v = a == b ? (ws.block(i, j) + ws.block(j, i)) * 0.5 : ws.block(i, j);
          xtwx(ta.start + i, tb.start + j) = v;
          xtwx(tb.start + j, ta.start + i) = v;
        }
    }
  if (z && xtwz != nullptr) *xtwz = map_locals(d, ws.locals);
}

namespace {

// η block by block into `eta` at the block's rows, or, without `eta`, into
// one block of scratch; `visit` sees each block once it is complete.
template <class Visit>
void linear_predictor_blocks(const CompactDesign& d, VectorView beta, Vector* eta, CompactWorkspace& ws,
                             Visit&& visit) {
  const std::size_t m = d.terms.size();
  // γ_t = G_t·β_t: the coefficients in each term's local space.
  ws.locals.resize(m);
  for (std::size_t t = 0; t < m; ++t) {
    const CompactTerm& term = d.terms[t];
    Vector& gamma = ws.locals[t];
    gamma.assign(local_dim(term), 0.0);
    for (std::size_t l = 0; l < local_dim(term); ++l) {
      const double* g = term.map.row(l);
      double sum = 0.0;
      for (std::size_t j = 0; j < width(term); ++j) sum += g[j] * beta[term.start + j];
      gamma[l] = sum;
    }
  }
  // A spline's share of η is a cubic in u on each segment.
  ws.moments.resize(m);
  std::vector<char> needed(m, 1);
  for (std::size_t t = 0; t < m; ++t) {
    if (is_intercept(d.terms[t])) needed[t] = 0;
    if (!is_spline(d.terms[t])) continue;
    needed[t] = 0;
    const SplineSegments seg = spline_segments(d.terms[t].margins[0]);
    Vector& cubic = ws.moments[t];
    cubic.assign(4 * seg.count, 0.0);
    for (std::size_t g = 0; g < seg.count; ++g)
      for (std::size_t l = 0; l < 4; ++l)
        for (std::size_t k = 0; k < 4; ++k)
          cubic[4 * g + k] += seg.poly[16 * g + 4 * l + k] * ws.locals[t][seg.start[g] + l];
  }
  if (eta != nullptr) {
    eta->resize(d.rows);
  } else {
    ws.scratch.resize(std::min<std::size_t>(d.rows, kBlockRows));
  }
  const BlockLayout layout = prepare_block(d, ws);
  for_each_block(
      d, ws, layout,
      [&](std::size_t first, std::size_t rows) {
        double* const out = eta != nullptr ? eta->data() + first : ws.scratch.data();
        // Each block's sums start from 0.0 while the block is in cache.
        std::fill(out, out + rows, 0.0);
        for (std::size_t t = 0; t < m; ++t) {
          if (is_intercept(d.terms[t])) {
            // Every row's run is one entry 1.0 at 0: the same sum for all.
            const double share = 0.0 + 1.0 * ws.locals[t][0];
            for (std::size_t r = 0; r < rows; ++r) out[r] += share;
            continue;
          }
          if (is_spline(d.terms[t])) {
            const CompactMargin& margin = d.terms[t].margins[0];
            const double* cubic = ws.moments[t].data();
            for (std::size_t r = 0; r < rows; ++r) {
              double u = 0.0;
              const std::size_t g = segment_of(margin, margin.position[first + r], u);
              out[r] += horner<4>(cubic + 4 * g, u);
            }
            continue;
          }
          with_shape(shape_of(d.terms[t]), [&](auto r, auto l) {
            add_predictions<decltype(r)::value, decltype(l)::value>(rows, ws.positions.data() + layout.pos[t],
                                                                    ws.coefficients.data() + layout.coef[t],
                                                                    ws.locals[t].data(), out);
          });
        }
        visit(first, rows, static_cast<const double*>(out), layout);
      },
      &needed);
}

}  // namespace

void compact_linear_predictor(const CompactDesign& d, VectorView beta, Vector& eta, CompactWorkspace& ws,
                              BlockVisitor visit) {
  linear_predictor_blocks(d, beta, &eta, ws, [&](std::size_t first, std::size_t rows, const double* values, auto&) {
    if (visit.fn != nullptr) visit.fn(visit.context, first, rows, values);
  });
}

void compact_linear_predictor_blocks(const CompactDesign& d, VectorView beta, CompactWorkspace& ws,
                                     BlockVisitor visit) {
  linear_predictor_blocks(d, beta, nullptr, ws, [&](std::size_t first, std::size_t rows, const double* values,
                                                    auto&) { visit.fn(visit.context, first, rows, values); });
}

ResidualProducts compact_residual_products(const CompactDesign& d, VectorView beta, VectorView y,
                                           std::optional<VectorView> w, CompactWorkspace& ws) {
  const std::size_t m = d.terms.size();
  // The per-term sums of X'r, kept apart from the locals that hold γ.
  std::vector<Vector> sums(m);
  std::vector<Vector> moments(2 * m);
  for (std::size_t t = 0; t < m; ++t) {
    sums[t].assign(local_dim(d.terms[t]), 0.0);
    if (is_spline(d.terms[t])) moments[2 * t + 1].assign(4 * (d.terms[t].margins[0].spacing.size() + 2), 0.0);
  }
  Vector residual(std::min<std::size_t>(d.rows, kBlockRows));
  double deviance = 0.0;
  linear_predictor_blocks(
      d, beta, nullptr, ws, [&](std::size_t first, std::size_t rows, const double* eta, const BlockLayout& layout) {
        // Each row as the dense path forms it: r = y − η, then w·r, adding
        // (w·r)·r (or r·r) to the deviance in row order.
        double* wr = residual.data();
        for (std::size_t r = 0; r < rows; ++r) {
          const double res = y[first + r] - eta[r];
          if (w) {
            const double weighted = (*w)[first + r] * res;
            deviance += weighted * res;
            wr[r] = weighted;
          } else {
            deviance += res * res;
            wr[r] = res;
          }
        }
        for (std::size_t t = 0; t < m; ++t) {
          if (is_spline(d.terms[t])) {
            accumulate_moments<3>(d.terms[t].margins[0], first, rows, wr, moments[2 * t + 1].data());
            continue;
          }
          accumulate_term_local(d.terms[t], rows, ws.positions.data() + layout.pos[t],
                                ws.coefficients.data() + layout.coef[t], wr, sums[t].data());
        }
      });
  add_spline_moments_to_locals(d, moments, sums);
  return {.deviance = deviance, .xtw_residual = map_locals(d, sums)};
}

Vector compact_transpose_times(const CompactDesign& d, VectorView v, CompactWorkspace& ws) {
  if (v.stride == 1) return transpose_times(d, v.data, ws);
  const Vector copy = v.to_vector();
  return transpose_times(d, copy.data(), ws);
}

Vector compact_weighted_row_form_sum(const CompactDesign& d, MatrixView v, VectorView s, CompactWorkspace& ws) {
  const std::size_t m = d.terms.size();
  // A_ab = G_a·V_ab·G_b' in the local spaces, a ≤ b.
  ws.tables.resize(m * (m + 1) / 2);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      const CompactTerm& ta = d.terms[a];
      const CompactTerm& tb = d.terms[b];
      const MatrixView block(v.data + static_cast<std::ptrdiff_t>(ta.start) * v.row_stride +
                                 static_cast<std::ptrdiff_t>(tb.start) * v.col_stride,
                             width(ta), width(tb), v.row_stride, v.col_stride);
      linalg::multiply_into(block, tb.map.view().transposed(), ws.product);
      linalg::multiply_into(ta.map, ws.product, ws.tables[k]);
    }
  // On each segment a spline's share of q, with itself and with the
  // intercept, is a polynomial of degree six in u.
  ws.moments.resize(2 * m);
  std::vector<char> needed = runs_needed(d);
  for (std::size_t t = 0; t < m; ++t) {
    if (!is_spline(d.terms[t])) continue;
    const SplineSegments seg = spline_segments(d.terms[t].margins[0]);
    Vector& poly = ws.moments[2 * t];
    poly.assign(7 * seg.count, 0.0);
    ws.moments[2 * t + 1].assign(4 * seg.count, 0.0);
    const Matrix& own = ws.tables[pair_index(m, t, t)];
    for (std::size_t g = 0; g < seg.count; ++g) {
      const double* c = seg.poly.data() + 16 * g;
      const std::size_t st = seg.start[g];
      double* out = poly.data() + 7 * g;
      for (std::size_t l = 0; l < 4; ++l)
        for (std::size_t l2 = 0; l2 < 4; ++l2) {
          const double a = own(st + l, st + l2);
          for (std::size_t i = 0; i < 4; ++i)
            for (std::size_t j = 0; j < 4; ++j) out[i + j] += (c[4 * l + i] * c[4 * l2 + j]) * a;
        }
      for (std::size_t a = 0; a < t; ++a) {
        if (!is_intercept(d.terms[a])) continue;
        const Matrix& cross = ws.tables[pair_index(m, a, t)];
        for (std::size_t l = 0; l < 4; ++l)
          for (std::size_t i = 0; i < 4; ++i) out[i] += 2.0 * (c[4 * l + i] * cross(0, st + l));
      }
    }
  }
  // q and its weighted sum block by block, while the block's runs are in
  // cache.
  ws.scratch.resize(std::min<std::size_t>(d.rows, kBlockRows));
  ws.locals.resize(m);
  for (std::size_t t = 0; t < m; ++t) ws.locals[t].assign(local_dim(d.terms[t]), 0.0);
  const BlockLayout layout = prepare_block(d, ws);
  if (m == 2 && is_intercept(d.terms[0]) && is_spline(d.terms[1])) {
    // One smooth: each row's segment is found once for its form and its
    // share of the sum, in the roundings of the general path below.
    const double form = intercept_form(ws.tables[0]);
    const CompactMargin& margin = d.terms[1].margins[0];
    const double* poly = ws.moments[2].data();
    double* moments = ws.moments[3].data();
    for (std::size_t first = 0; first < d.rows; first += kBlockRows) {
      const std::size_t rows = std::min(kBlockRows, d.rows - first);
      double* q = ws.scratch.data();
      for (std::size_t r = 0; r < rows; ++r) {
        double u = 0.0;
        const std::size_t g = segment_of(margin, margin.position[first + r], u);
        double v = 0.0 + form;
        v += horner<7>(poly + 7 * g, u);
        v *= s[first + r];
        q[r] = v;
        double* at = moments + 4 * g;
        at[0] += v;
        for (std::size_t k = 1; k <= 3; ++k) {
          v *= u;
          at[k] += v;
        }
      }
      ws.locals[0][0] += block_sum(rows, q);
    }
  } else {
    for_each_block(
        d, ws, layout,
        [&](std::size_t first, std::size_t rows) {
          double* q = ws.scratch.data();
          std::fill(q, q + rows, 0.0);
          for (std::size_t a = 0, k = 0; a < m; ++a) {
            const std::uint32_t* pa = ws.positions.data() + layout.pos[a];
            const double* ca = ws.coefficients.data() + layout.coef[a];
            with_shape(shape_of(d.terms[a]), [&](auto ra, auto la) {
              for (std::size_t b = a; b < m; ++b, ++k) {
                if (by_moments(d, a, b)) continue;
                const Matrix& table = ws.tables[k];
                if (is_intercept(d.terms[a]) && is_intercept(d.terms[b])) {
                  const double form = intercept_form(table);
                  for (std::size_t r = 0; r < rows; ++r) q[r] += form;
                  continue;
                }
                const std::uint32_t* pb = ws.positions.data() + layout.pos[b];
                const double* cb = ws.coefficients.data() + layout.coef[b];
                with_shape(shape_of(d.terms[b]), [&](auto rb, auto lb) {
                  pair_forms<decltype(ra)::value, decltype(la)::value, decltype(rb)::value, decltype(lb)::value>(
                      rows, pa, ca, pb, cb, table.data.data(), table.cols, a == b ? 1.0 : 2.0, q);
                });
              }
            });
          }
          for (std::size_t t = 0; t < m; ++t) {
            if (!is_spline(d.terms[t])) continue;
            const CompactMargin& margin = d.terms[t].margins[0];
            const double* poly = ws.moments[2 * t].data();
            for (std::size_t r = 0; r < rows; ++r) {
              double u = 0.0;
              const std::size_t g = segment_of(margin, margin.position[first + r], u);
              q[r] += horner<7>(poly + 7 * g, u);
            }
          }
          for (std::size_t r = 0; r < rows; ++r) q[r] *= s[first + r];
          for (std::size_t t = 0; t < m; ++t) {
            if (is_spline(d.terms[t])) {
              accumulate_moments<3>(d.terms[t].margins[0], first, rows, q, ws.moments[2 * t + 1].data());
              continue;
            }
            accumulate_term_local(d.terms[t], rows, ws.positions.data() + layout.pos[t],
                                  ws.coefficients.data() + layout.coef[t], q, ws.locals[t].data());
          }
        },
        &needed);
  }
  add_spline_moments_to_locals(d, ws.moments, ws.locals);
  return map_locals(d, ws.locals);
}

}  // namespace kavri::design
