#include "design/cr.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

#include "basis/cr.h"
#include "design/assembly.h"
#include "design/compact.h"
#include "design/covariates.h"
#include "design/penalty.h"
#include "design/sizes.h"
#include "linalg/lapack.h"
#include "linalg/products.h"
#include "transform/centring.h"

namespace kavri::design {
namespace {

using linalg::Matrix;

// Everything the two spline terms share: knots, the compact form's margin
// (each row's place among the knots), centring and the centred, rescaled
// penalty; the basis is written by `centred_basis`.
struct CentredSpline {
  basis::CrBasis knots;
  CompactMargin margin;
  Matrix centring;
  Matrix penalty;
};

// Rows [first, first + rows) of the raw basis into `raw`, their covariates
// finite, each row's knot interval read off the margin.
void raw_block(const basis::CrRowEvaluator& evaluator, const CentredSpline& t, linalg::MatrixView x,
               std::uint64_t col, std::size_t first, std::size_t rows, Matrix& raw) {
  const linalg::VectorView knots = t.knots.knots;
  const double lowest = knots[0], highest = knots[knots.size - 1];
  raw.rows = rows;
  raw.cols = evaluator.k();
  raw.data.resize(rows * raw.cols);
  for (std::size_t r = 0; r < rows; ++r) {
    const double v = x(first + r, col);
    if (v < lowest || v > highest) {
      evaluator.row(v, raw.row(r));
    } else {
      evaluator.row_in_interval(v, margin_interval(t.margin, knots, first + r, v), raw.row(r));
    }
  }
}

// Rows of the raw basis held at a time while it is centred: the block and
// its product stay in cache on their way into the model matrix.
constexpr std::size_t kBasisBlockRows = 2048;

// Knots, then one pass over the column: each row's place among the knots
// for the margin, the raw basis row by row, summed by column in row order
// for the centring, and the largest absolute row sum (a row whose sum is
// NaN does not count) for the penalty's scale. No n × k matrix is kept.
Result<CentredSpline> centred_spline(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", k, k));
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", x.rows, k));
  KAVRI_TRY_VOID(require_finite_column(x, col));
  // The margin's positions take over the sort's n doubles: fresh pages
  // cost about as much as a pass that fills them.
  linalg::Vector storage;
  KAVRI_TRY(basis::CrBasis knots, basis::place_cr_knots(column_vector(x, col), k, storage));
  Matrix s = std::move(basis::cr_penalty(knots.knots).back());
  CentredSpline t{.knots = std::move(knots), .margin = {}, .centring = {}, .penalty = {}};
  const MarginLocator locator(t.knots.knots);
  storage.resize(x.rows);
  t.margin = CompactMargin{locator.spacing(), std::move(storage)};

  // Each row is placed among the knots here, where its basis row needs its
  // interval, and the margin keeps the place for the second pass and the
  // compact form. By blocks of rows, so that the column sums, each still
  // added in row order, and the rows' absolute sums are separate loops: the
  // first is vectorised across columns, and neither waits on the other.
  const basis::CrRowEvaluator evaluator(t.knots);
  linalg::Vector column_sums(k, 0.0);
  Matrix raw(std::min(x.rows, kBasisBlockRows), k);
  double b_norm = 0.0;
  for (std::size_t first = 0; first < x.rows; first += kBasisBlockRows) {
    const std::size_t rows = std::min(kBasisBlockRows, x.rows - first);
    for (std::size_t r = 0; r < rows; ++r) {
      const double v = x(first + r, col);
      const MarginLocator::Place place = locator.place(v);
      t.margin.position[first + r] = place.position;
      if (place.inside) {
        evaluator.row_in_interval(v, place.interval, raw.row(r));
      } else {
        evaluator.row(v, raw.row(r));
      }
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double* row = raw.row(r);
      for (std::size_t j = 0; j < k; ++j) column_sums[j] += row[j];
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double* row = raw.row(r);
      double abs_sum = 0.0;
      for (std::size_t j = 0; j < k; ++j) abs_sum += std::fabs(row[j]);
      if (abs_sum > b_norm) b_norm = abs_sum;
    }
  }

  double s_norm = 0.0;
  for (std::size_t i = 0; i < s.rows; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < s.cols; ++j) sum += std::fabs(s(i, j));
    if (sum > s_norm) s_norm = sum;
  }
  if (s_norm > 0.0) {
    const double factor = b_norm * b_norm / s_norm;
    for (double& v : s.data) v *= factor;
  }

  t.centring = transform::constraint_null_space(column_sums);
  t.penalty = linalg::multiply(linalg::multiply(t.centring.view().transposed(), s), t.centring);
  return t;
}

// [1 | B·Z] when `intercept` is set, B·Z otherwise, with (B·Z)·V in place of
// B·Z when `v` is given: the raw basis block by block, each block's
// products appended to reserved storage. Every entry is written once; a
// matrix made at its size would first be zero-filled, which at a million
// rows costs as much memory traffic as writing the basis itself.
Matrix centred_basis(linalg::MatrixView x, std::uint64_t col, const CentredSpline& t, const Matrix* v,
                     bool intercept) {
  const basis::CrRowEvaluator evaluator(t.knots);
  const std::size_t width = t.centring.cols, cols = width + (intercept ? 1 : 0);
  Matrix out;
  out.rows = x.rows;
  out.cols = cols;
  out.data.reserve(x.rows * cols);
  Matrix raw, centred, rotated;
  for (std::size_t first = 0; first < x.rows; first += kBasisBlockRows) {
    const std::size_t rows = std::min(kBasisBlockRows, x.rows - first);
    raw_block(evaluator, t, x, col, first, rows, raw);
    linalg::multiply_by_rows_into(raw, t.centring, centred);
    const Matrix* block = &centred;
    if (v != nullptr) {
      linalg::multiply_by_rows_into(centred, *v, rotated);
      block = &rotated;
    }
    if (!intercept) {
      out.data.insert(out.data.end(), block->data.begin(), block->data.end());
      continue;
    }
    for (std::size_t r = 0; r < rows; ++r) {
      out.data.push_back(1.0);
      out.data.insert(out.data.end(), block->row(r), block->row(r) + width);
    }
  }
  assert(out.data.size() == x.rows * cols);
  return out;
}

// The stable reparametrisation of a centred penalty P: V, P's eigenvectors
// in descending eigenvalue order, and V'PV, the diagonal of those
// eigenvalues with the ones below the rank tolerance exactly zero. Formed
// as the products V'·P·V, the penalty kept rounding of order 1e-16 in its
// null row and column, which a smoothing parameter of 1e16 turns into
// entries of order one: H lost definiteness there and the criterion fell
// without bound along that parameter.
struct StableRotation {
  Matrix v;
  Matrix penalty;
};

Result<StableRotation> stable_rotation(const Matrix& penalty) {
  auto eig = linalg::eigh(penalty);
  if (!eig) return linalg_error("eigh failed in StableReparam: " + eig.error().text());
  // Eigenvalues come ascending; reversing the columns puts the most
  // penalised direction first and the null direction last.
  const std::size_t m = eig->vectors.cols;
  StableRotation out{Matrix(m, m), Matrix(m, m, 0.0)};
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) out.v(i, j) = eig->vectors(i, m - 1 - j);
  const double threshold = penalty_rank_threshold(eig->values);
  for (std::size_t j = 0; j < m; ++j) {
    const double value = eig->values[m - 1 - j];
    out.penalty(j, j) = value > threshold ? value : 0.0;
  }
  return out;
}

// Every matrix of a k-knot spline term, or of its single-smooth design, at
// n rows is at most k × k or n × k.
MatrixShape spline_shape(linalg::MatrixView x, std::uint64_t k) { return largest_shape({{k, k}, {x.rows, k}}); }

constexpr std::string_view kSplineContext = "CR spline";

// Intercept and spline of column 0, whose block is B·transform, taking
// over the spline's margin.
std::optional<CompactDesign> single_spline_compact(linalg::MatrixView x, CentredSpline& t, const Matrix& transform) {
  std::vector<CompactTerm> terms;
  terms.push_back(compact_intercept());
  terms.push_back(compact_spline_term(std::move(t.margin), t.knots.knots, transform, 1));
  return compact_design(x.rows, transform.cols + 1, std::move(terms));
}

}  // namespace

Result<CrTerm> build_cr_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    Matrix basis = centred_basis(x, col, t, nullptr, false);
    return CrTerm{.knots = std::move(t.knots.knots),
                  .centring = std::move(t.centring),
                  .basis = std::move(basis),
                  .penalty = std::move(t.penalty),
                  .margin = std::move(t.margin)};
  });
}

Result<CrStableTerm> build_cr_stable_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrStableTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    KAVRI_TRY(StableRotation r, stable_rotation(t.penalty));
    Matrix basis = centred_basis(x, col, t, &r.v, false);
    return CrStableTerm{.knots = std::move(t.knots.knots),
                        .centring = std::move(t.centring),
                        .reparam_v = std::move(r.v),
                        .basis = std::move(basis),
                        .penalty = std::move(r.penalty),
                        .margin = std::move(t.margin)};
  });
}

// The single-smooth designs write the centred basis straight into the model
// matrix, behind its intercept column: one pass over the rows.
Result<ModelDesign> build_single_cr_design(linalg::MatrixView x, std::uint64_t k) {
  KAVRI_TRY_VOID(require_a_column(x));
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<ModelDesign> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, 0, k));
    Matrix model = centred_basis(x, 0, t, nullptr, true);
    std::optional<CompactDesign> compact = single_spline_compact(x, t, t.centring);
    Result<ModelDesign> design = smooth_design_over(std::move(model), t.penalty,
                                                     Predictor{CrPredictor{.knots = std::move(t.knots.knots),
                                                                           .centring = std::move(t.centring)}});
    if (design) design->compact = std::move(compact);
    return design;
  });
}

Result<ModelDesign> build_single_cr_stable_design(linalg::MatrixView x, std::uint64_t k) {
  KAVRI_TRY_VOID(require_a_column(x));
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<ModelDesign> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, 0, k));
    KAVRI_TRY(StableRotation r, stable_rotation(t.penalty));
    Matrix model = centred_basis(x, 0, t, &r.v, true);
    std::optional<CompactDesign> compact = single_spline_compact(x, t, linalg::multiply(t.centring, r.v));
    Result<ModelDesign> design = smooth_design_over(std::move(model), r.penalty,
                                                     Predictor{CrStablePredictor{.knots = std::move(t.knots.knots),
                                                                                 .centring = std::move(t.centring),
                                                                                 .reparam_v = std::move(r.v)}});
    if (design) design->compact = std::move(compact);
    return design;
  });
}

}  // namespace kavri::design
