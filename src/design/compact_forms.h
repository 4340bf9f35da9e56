// The per-row forms of the compact design's terms (see `compact.h`): what
// each term keeps per row, how its builders make it from the covariates, and
// how a block of its rows is unpacked into run starts and coefficients for
// the product kernels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.h"

namespace kavri::design {

// A cubic-spline margin at the data: per row the covariate in knot-index
// units, s = j + (x − t_j)/h_j in interval j (so j = ⌊s⌋ but for the last
// knot, and s − j is the fraction of the interval), below the knots
// (x − t_0)/h_0 < 0, above them k − 1 + (x − t_{k−1})/h_{k−2}. One number
// per row keeps the form small beside X.
struct CompactMargin {
  linalg::Vector spacing;   // k − 1 knot spacings h_j
  linalg::Vector position;  // per row, s
};

struct CompactTerm {
  enum class Kind : std::uint8_t { Intercept, Spline, Level, Tensor };
  Kind kind = Kind::Intercept;
  std::uint64_t start = 0;  // the term's first model-matrix column
  linalg::Matrix map;       // G, local_dim × width
  std::vector<CompactMargin> margins;  // one for a spline, two for a tensor (a, b)
  std::vector<std::uint32_t> level;    // per row, for a random effect
};

struct CompactDesign {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::vector<CompactTerm> terms;  // the intercept first, then in column order
};

// Term builders. A spline (below) over the margin of its column, with
// `knots`, whose dense block is B·transform (B the raw basis); a random effect whose row i is the
// indicator of x(i, col) among `levels` (absent when a row has none, or the
// levels do not fit the index type); a tensor of columns (col_a, col_b)
// whose block is (B_a ⊙ B_b)·centring.
CompactTerm compact_intercept();

// Places covariate values among a spline's k ≥ 3 increasing knots as a
// margin records them. `compact_spline_margin` places every row with it; a
// builder that visits the rows anyway can place them as it goes.
class MarginLocator {
 public:
  struct Place {
    double position;       // see `CompactMargin`
    bool inside;           // t_0 ≤ v ≤ t_{k−1} (or v is NaN)
    std::size_t interval;  // when inside: t_j ≤ v < t_{j+1}, j = k − 2 at v = t_{k−1}
  };

  explicit MarginLocator(linalg::VectorView knots);
  const linalg::Vector& spacing() const { return spacing_; }

  // The interval is counted without branches, as `basis::CrRowEvaluator`
  // counts it: a binary search mispredicts on unordered data.
  Place place(double v) const {
    const std::size_t k = knots_.size;
    const double first = knots_[0], last = knots_[k - 1];
    if (v < first) return {(v - first) * inverse_[0], false, 0};
    if (v > last) return {static_cast<double>(k - 1) + (v - last) * inverse_[k - 2], false, 0};
    std::size_t j = 0;
    for (std::size_t i = 1; i + 1 < k; ++i) j += static_cast<std::size_t>(v >= knots_[i]);
    return {static_cast<double>(j) + (v - knots_[j]) * inverse_[j], true, j};
  }

 private:
  linalg::VectorView knots_;
  linalg::Vector spacing_;  // h_j
  linalg::Vector inverse_;  // 1/h_j
};

// The margin of column `col` at `knots` (k ≥ 3, increasing), and the spline
// term over a margin made before the term's transform is known.
CompactMargin compact_spline_margin(linalg::MatrixView x, std::uint64_t col, linalg::VectorView knots);
CompactTerm compact_spline_term(CompactMargin margin, linalg::VectorView knots, linalg::MatrixView transform,
                                std::uint64_t start);

// The knot interval j of row i, whose covariate v lies in [t_0, t_{k−1}],
// as `basis::CrRowEvaluator` locates it (t_j ≤ v < t_{j+1}, j = k − 2 at
// v = t_{k−1}), read off the row's position instead of searched for. The
// position is j plus a rounded fraction that may round up to 1, so its
// integer part is j or j + 1, and v tells which.
inline std::size_t margin_interval(const CompactMargin& m, linalg::VectorView knots, std::size_t i, double v) {
  const std::size_t last = m.spacing.size() - 1;
  std::size_t j = static_cast<std::size_t>(m.position[i]);
  if (j > last) j = last;
  return v < knots[j] ? j - 1 : j;
}
std::optional<CompactTerm> compact_level_term(linalg::MatrixView x, std::uint64_t col, std::span<const double> levels,
                                              std::uint64_t start);
CompactTerm compact_tensor_term(linalg::MatrixView x, std::uint64_t col_a, std::uint64_t col_b,
                                linalg::VectorView knots_a, linalg::VectorView knots_b,
                                linalg::MatrixView centring, std::uint64_t start);

// The terms as a design of `rows` × `cols`, absent when the tables of its
// cross products would be too large to be worth keeping (many levels).
std::optional<CompactDesign> compact_design(std::uint64_t rows, std::uint64_t cols, std::vector<CompactTerm> terms);

namespace detail {

// A term's rows as the product kernels read them: per row `runs` runs of
// `length` contiguous local entries, each run a start and its coefficients.
struct RunShape {
  std::size_t runs, length;
};
RunShape run_shape(const CompactTerm& t);

// Rows [first, first + rows) of a term: run starts into `pos` (runs per
// row), coefficients into `coef` (runs × length per row).
void fill_runs(const CompactTerm& t, std::size_t first, std::size_t rows, std::uint32_t* pos, double* coef);

inline std::size_t local_dim(const CompactTerm& t) { return t.map.rows; }
inline std::size_t width(const CompactTerm& t) { return t.map.cols; }
inline bool is_spline(const CompactTerm& t) { return t.kind == CompactTerm::Kind::Spline; }
inline bool is_intercept(const CompactTerm& t) { return t.kind == CompactTerm::Kind::Intercept; }

}  // namespace detail
}  // namespace kavri::design
