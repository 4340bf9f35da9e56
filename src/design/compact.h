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

// Buffers of the products, allocated at the first call and reused.
struct CompactWorkspace {
  std::vector<std::uint32_t> positions;  // per term, one block of rows of run starts
  linalg::Vector coefficients;           // per term, the same rows' run coefficients
  std::vector<linalg::Matrix> tables;    // per term pair (a ≤ b), local_dim_a × local_dim_b
  std::vector<linalg::Vector> locals;    // per term, local_dim
  linalg::Vector scratch;                // one block of per-row values
  linalg::Vector block_weights;          // one block of weights given with a stride other than 1
  linalg::Matrix product;                // table × G
  linalg::Matrix block;                  // a block of the p × p result
  std::vector<linalg::Vector> moments;   // per spline, per-segment moments or the polynomials they feed
};

// X'·diag(w)·X into `xtwx` (p × p, exactly symmetric) and, when `z` is
// given, X'·diag(w)·z into `xtwz`.
void compact_cross_products(const CompactDesign& d, linalg::VectorView w, std::optional<linalg::VectorView> z,
                            linalg::Matrix& xtwx, linalg::Vector* xtwz, CompactWorkspace& ws);

// A call made for each block of rows once its results are complete, so that
// a caller can read them while they are in cache: fn(context, first, rows,
// values), values[r] the result of row first + r.
struct BlockVisitor {
  void (*fn)(void* context, std::size_t first, std::size_t rows, const double* values) = nullptr;
  void* context = nullptr;
};

// η = X·β, visiting each block of η once it is formed.
void compact_linear_predictor(const CompactDesign& d, linalg::VectorView beta, linalg::Vector& eta,
                              CompactWorkspace& ws, BlockVisitor visit = {});

// The same blocks of η, each visited and then overwritten by the next: for
// a caller that needs only what it sums from them.
void compact_linear_predictor_blocks(const CompactDesign& d, linalg::VectorView beta, CompactWorkspace& ws,
                                     BlockVisitor visit);

// At β, the weighted residual sum of squares Σ w_i·(y_i − η_i)² and
// X'·(w ⊙ (y − η)), η = X·β, without an n-vector: with unit weights when
// `w` is absent.
struct ResidualProducts {
  double deviance = 0.0;
  linalg::Vector xtw_residual;  // p
};
ResidualProducts compact_residual_products(const CompactDesign& d, linalg::VectorView beta, linalg::VectorView y,
                                           std::optional<linalg::VectorView> w, CompactWorkspace& ws);

// X'·v for an n-vector v.
linalg::Vector compact_transpose_times(const CompactDesign& d, linalg::VectorView v, CompactWorkspace& ws);

// Σ_i s_i·q_i·x_i with q_i = x_i'·V·x_i (V symmetric p × p), as
// `linalg::weighted_row_form_sum`.
linalg::Vector compact_weighted_row_form_sum(const CompactDesign& d, linalg::MatrixView v, linalg::VectorView s,
                                             CompactWorkspace& ws);

}  // namespace kavri::design
