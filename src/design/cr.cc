#include "design/cr.h"

#include <cmath>
#include <utility>

#include "basis/cr.h"
#include "design/assembly.h"
#include "design/compact.h"
#include "design/covariates.h"
#include "design/sizes.h"
#include "linalg/lapack.h"
#include "transform/centring.h"

namespace kavri::design {
namespace {

using linalg::Matrix;

// Everything the two spline terms share: knots, centring and the centred,
// rescaled penalty; the basis is written by `write_centred_basis`.
struct CentredSpline {
  basis::CrBasis knots;
  Matrix centring;
  Matrix penalty;
};

// Rows of the raw basis held at a time while it is centred: the block and
// its product stay in cache on their way into the model matrix.
constexpr std::size_t kBasisBlockRows = 2048;

// One pass over the column: the raw basis row by row, summed by column in
// row order for the centring, and the largest absolute row sum (a row whose
// sum is NaN does not count) for the penalty's scale. No n × k matrix is
// kept.
Result<CentredSpline> centred_spline(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", k, k));
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", x.rows, k));
  KAVRI_TRY_VOID(require_finite_column(x, col));
  KAVRI_TRY(basis::CrBasis knots, basis::place_cr_knots(column_vector(x, col), k));
  Matrix s = std::move(basis::cr_penalty(knots.knots).back());

  const basis::CrRowEvaluator evaluator(knots);
  linalg::Vector column_sums(k, 0.0), row(k);
  double b_norm = 0.0;
  for (std::size_t i = 0; i < x.rows; ++i) {
    evaluator.row(x(i, col), row.data());
    double abs_sum = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      column_sums[j] += row[j];
      abs_sum += std::fabs(row[j]);
    }
    if (abs_sum > b_norm) b_norm = abs_sum;
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

  Matrix z = transform::constraint_null_space(column_sums);
  Matrix penalty = linalg::multiply(linalg::multiply(z.view().transposed(), s), z);
  return CentredSpline{std::move(knots), std::move(z), std::move(penalty)};
}

// B·Z, or (B·Z)·V when `v` is given, into columns [offset, offset + k − 1)
// of every row of `out`, and 1.0 into column 0 when `intercept` is set (then
// offset is 1): the raw basis block by block, each block's products written
// straight into place, so every row of `out` is written in one visit.
void write_centred_basis(linalg::MatrixView x, std::uint64_t col, const CentredSpline& t, const Matrix* v,
                         Matrix& out, std::size_t offset, bool intercept) {
  const basis::CrRowEvaluator evaluator(t.knots);
  const std::size_t k = evaluator.k(), width = t.centring.cols;
  Matrix raw(std::min(x.rows, kBasisBlockRows), k), centred, rotated;
  for (std::size_t first = 0; first < x.rows; first += kBasisBlockRows) {
    const std::size_t rows = std::min(kBasisBlockRows, x.rows - first);
    raw.rows = rows;
    raw.data.resize(rows * k);
    for (std::size_t r = 0; r < rows; ++r) evaluator.row(x(first + r, col), raw.row(r));
    linalg::multiply_into(raw, t.centring, centred);
    const Matrix* block = &centred;
    if (v != nullptr) {
      linalg::multiply_into(centred, *v, rotated);
      block = &rotated;
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double* from = block->row(r);
      double* to = out.row(first + r);
      if (intercept) to[0] = 1.0;
      to += offset;
      for (std::size_t j = 0; j < width; ++j) to[j] = from[j];
    }
  }
}

// The eigenvectors of a centred penalty, largest eigenvalue first.
Result<Matrix> stable_rotation(const Matrix& penalty) {
  auto eig = linalg::eigh(penalty);
  if (!eig) return linalg_error("eigh failed in StableReparam: " + eig.error().text());
  // Eigenvalues come ascending; reversing the columns puts the most
  // penalised direction first and the null direction last.
  const std::size_t m = eig->vectors.cols;
  Matrix v(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) v(i, j) = eig->vectors(i, m - 1 - j);
  return v;
}

// Every matrix of a k-knot spline term, or of its single-smooth design, at
// n rows is at most k × k or n × k.
MatrixShape spline_shape(linalg::MatrixView x, std::uint64_t k) { return largest_shape({{k, k}, {x.rows, k}}); }

constexpr std::string_view kSplineContext = "CR spline";

// Intercept and spline of column 0, whose block is B·transform.
std::optional<CompactDesign> single_spline_compact(linalg::MatrixView x, const CentredSpline& t,
                                                   const Matrix& transform) {
  std::vector<CompactTerm> terms;
  terms.push_back(compact_intercept());
  terms.push_back(compact_spline_term(x, 0, t.knots.knots, transform, 1));
  return compact_design(x.rows, transform.cols + 1, std::move(terms));
}

}  // namespace

Result<CrTerm> build_cr_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    Matrix basis(x.rows, t.centring.cols);
    write_centred_basis(x, col, t, nullptr, basis, 0, false);
    return CrTerm{.knots = std::move(t.knots.knots),
                  .centring = std::move(t.centring),
                  .basis = std::move(basis),
                  .penalty = std::move(t.penalty)};
  });
}

Result<CrStableTerm> build_cr_stable_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrStableTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    KAVRI_TRY(Matrix v, stable_rotation(t.penalty));
    Matrix basis(x.rows, t.centring.cols);
    write_centred_basis(x, col, t, &v, basis, 0, false);
    Matrix penalty = linalg::multiply(linalg::multiply(v.view().transposed(), t.penalty), v);
    return CrStableTerm{.knots = std::move(t.knots.knots),
                        .centring = std::move(t.centring),
                        .reparam_v = std::move(v),
                        .basis = std::move(basis),
                        .penalty = std::move(penalty)};
  });
}

// The single-smooth designs write the centred basis straight into the model
// matrix, behind its intercept column: one pass over the rows.
Result<ModelDesign> build_single_cr_design(linalg::MatrixView x, std::uint64_t k) {
  KAVRI_TRY_VOID(require_a_column(x));
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<ModelDesign> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, 0, k));
    Matrix model(x.rows, t.centring.cols + 1);
    write_centred_basis(x, 0, t, nullptr, model, 1, true);
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
    KAVRI_TRY(Matrix v, stable_rotation(t.penalty));
    Matrix model(x.rows, t.centring.cols + 1);
    write_centred_basis(x, 0, t, &v, model, 1, true);
    const Matrix penalty = linalg::multiply(linalg::multiply(v.view().transposed(), t.penalty), v);
    std::optional<CompactDesign> compact = single_spline_compact(x, t, linalg::multiply(t.centring, v));
    Result<ModelDesign> design = smooth_design_over(std::move(model), penalty,
                                                     Predictor{CrStablePredictor{.knots = std::move(t.knots.knots),
                                                                                 .centring = std::move(t.centring),
                                                                                 .reparam_v = std::move(v)}});
    if (design) design->compact = std::move(compact);
    return design;
  });
}

}  // namespace kavri::design
