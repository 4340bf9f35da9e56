#include "design/compact_forms.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <limits>
#include <utility>

#include "basis/cr.h"
#include "linalg/lapack.h"

namespace kavri::design {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

namespace {

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
    for (std::size_t b = a; b < terms.size(); ++b)
      entries += detail::local_dim(terms[a]) * detail::local_dim(terms[b]);
  if (entries > kMaxTableEntries) return std::nullopt;
  return CompactDesign{.rows = rows, .cols = cols, .terms = std::move(terms)};
}

namespace detail {

RunShape run_shape(const CompactTerm& t) {
  switch (t.kind) {
    case CompactTerm::Kind::Spline: return {1, 4};
    case CompactTerm::Kind::Tensor: return {4, 4};
    default: return {1, 1};
  }
}

void fill_runs(const CompactTerm& t, std::size_t first, std::size_t rows, std::uint32_t* pos, double* coef) {
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
      // Four runs of four: row q of a's run times b's run, at local entry
      // (pa + q)·width_b + pb.
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

}  // namespace detail
}  // namespace kavri::design
