#include "design/tensor.h"

#include <cassert>
#include <optional>
#include <string>
#include <utility>

#include "basis/cr.h"
#include "common/format.h"
#include "common/numeric.h"
#include "design/assembly.h"
#include "design/covariates.h"
#include "design/sizes.h"
#include "linalg/lapack.h"
#include "linalg/products.h"
#include "transform/centring.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;

// A ⊗ B: entry (r·B.rows + i, c·B.cols + j) = A(r, c)·B(i, j). With an
// identity factor, S_a ⊗ I acts on every margin-b slice and I ⊗ S_b is block
// diagonal.
Matrix kronecker(const Matrix& a, const Matrix& b) {
  Matrix out(a.rows * b.rows, a.cols * b.cols);
  for (std::size_t r = 0; r < a.rows; ++r)
    for (std::size_t c = 0; c < a.cols; ++c)
      for (std::size_t i = 0; i < b.rows; ++i)
        for (std::size_t j = 0; j < b.cols; ++j) out(r * b.rows + i, c * b.cols + j) = a(r, c) * b(i, j);
  return out;
}

Matrix centred_penalty(const Matrix& z, const Matrix& p) {
  return linalg::multiply(linalg::multiply(z.view().transposed(), p), z);
}

}  // namespace

Result<Matrix> rescale_tensor_penalty(Matrix s) {
  auto eig = linalg::eigh(s);
  if (!eig) return linalg_error("eigh failed in tensor penalty rescale: " + eig.error().text());
  const double lambda_max = common::nan_ignoring_max(eig->values, 0.0);
  if (lambda_max > 0.0)
    for (double& v : s.data) v /= lambda_max;
  return s;
}

Matrix row_kronecker(MatrixView a, MatrixView b) {
  assert(b.rows >= a.rows);
  const std::size_t m_a = a.cols, m_b = b.cols;
  Matrix out(a.rows, m_a * m_b);
  for (std::size_t i = 0; i < a.rows; ++i) {
    double* row = out.row(i);
    for (std::size_t ia = 0; ia < m_a; ++ia) {
      const double va = a(i, ia);
      for (std::size_t ib = 0; ib < m_b; ++ib) row[ia * m_b + ib] = va * b(i, ib);
    }
  }
  return out;
}

Result<TensorTerm> build_tensor_term(MatrixView x, std::uint64_t col_a, std::uint64_t col_b, std::uint64_t k_a,
                                     std::uint64_t k_b) {
  if (col_a == col_b)
    return invalid_parameter("Tensor term must have distinct margin columns (got col_a == col_b == " +
                             common::format_count(col_a) + ")");
  const std::optional<std::uint64_t> k_total = common::checked_mul(k_a, k_b);
  if (!k_total)
    return invalid_parameter("Tensor term: k_a = " + common::format_count(k_a) + " and k_b = " +
                             common::format_count(k_b) + " give too many basis functions");
  const std::uint64_t k = *k_total, n = x.rows;
  // Every matrix the term allocates, margins included (k_b = 0 leaves K = 0
  // and says nothing about k_a).
  const std::initializer_list<MatrixShape> shapes = {{k_a, k_a}, {k_b, k_b}, {n, k_a}, {n, k_b}, {k, k}, {n, k}};
  for (const MatrixShape& s : shapes) KAVRI_TRY_VOID(require_matrix_fits("Tensor term", s.rows, s.cols));
  KAVRI_TRY_VOID(require_finite_column(x, col_a));
  KAVRI_TRY_VOID(require_finite_column(x, col_b));

  return naming_allocation_failure("Tensor term", largest_shape(shapes), [&]() -> Result<TensorTerm> {
    KAVRI_TRY(basis::CrBasis knots_a, basis::place_cr_knots(column_vector(x, col_a), k_a));
    KAVRI_TRY(basis::CrBasis knots_b, basis::place_cr_knots(column_vector(x, col_b), k_b));
    KAVRI_TRY(const Matrix s_a, rescale_tensor_penalty(std::move(basis::cr_penalty(knots_a.knots).back())));
    KAVRI_TRY(const Matrix s_b, rescale_tensor_penalty(std::move(basis::cr_penalty(knots_b.knots).back())));

    const Matrix raw = row_kronecker(basis::cr_basis_matrix(knots_a, column_matrix(x, col_a)),
                                     basis::cr_basis_matrix(knots_b, column_matrix(x, col_b)));
    Matrix z = transform::sum_to_zero_centring(raw);
    Matrix block = linalg::multiply_by_rows(raw, z);
    std::array<Matrix, 2> penalties{centred_penalty(z, kronecker(s_a, Matrix::identity(k_b))),
                                    centred_penalty(z, kronecker(Matrix::identity(k_a), s_b))};
    return TensorTerm{
        .basis = std::move(block),
        .penalties = std::move(penalties),
        .predictor = TensorPredictor{.col_a = col_a,
                                     .col_b = col_b,
                                     .bs_a = MarginBasis::Cr,
                                     .bs_b = MarginBasis::Cr,
                                     .knots_a = std::move(knots_a.knots),
                                     .knots_b = std::move(knots_b.knots),
                                     .xp_a = Matrix::identity(k_a),
                                     .xp_b = Matrix::identity(k_b),
                                     .centring = std::move(z)},
    };
  });
}

Result<Matrix> tensor_predictor_matrix(const TensorPredictor& predictor, MatrixView x_new) {
  constexpr const char* kRecord = "TensorPredictor";
  const std::uint64_t n = x_new.rows, d = x_new.cols;
  if (predictor.col_a >= d || predictor.col_b >= d)
    return invalid_parameter("TensorPredictor: term reads columns (" + common::format_count(predictor.col_a) + ", " +
                             common::format_count(predictor.col_b) + ") but x has only " + common::format_count(d) +
                             " columns");
  KAVRI_TRY(const basis::CrBasis knots_a, basis::validate_cr_knots(predictor.knots_a));
  KAVRI_TRY(const basis::CrBasis knots_b, basis::validate_cr_knots(predictor.knots_b));
  const std::uint64_t k_a = knots_a.k, k_b = knots_b.k;
  KAVRI_TRY_VOID(
      require_stored_shape(kRecord, "xp_a", predictor.xp_a, k_a, k_a, "one row and column per knot of margin a"));
  KAVRI_TRY_VOID(
      require_stored_shape(kRecord, "xp_b", predictor.xp_b, k_b, k_b, "one row and column per knot of margin b"));
  KAVRI_TRY_VOID(require_matrix_fits(kRecord, n, k_a));
  KAVRI_TRY_VOID(require_matrix_fits(kRecord, n, k_b));
  // Both factors are at most kMaxMatrixDimension now, so the product fits.
  const std::uint64_t k = k_a * k_b;
  KAVRI_TRY_VOID(
      require_stored_rows(kRecord, "centring", predictor.centring, k, "one per tensor basis function"));
  const std::uint64_t width = predictor.centring.cols;
  KAVRI_TRY_VOID(require_matrix_fits(kRecord, n, k));
  KAVRI_TRY_VOID(require_matrix_fits(kRecord, n, width));
  // width + 1 cannot wrap once width fits.
  KAVRI_TRY_VOID(require_matrix_fits(kRecord, n, width + 1));

  const Matrix a = linalg::multiply_by_rows(
      basis::cr_basis_matrix(knots_a, column_matrix(x_new, predictor.col_a)), predictor.xp_a);
  const Matrix b = linalg::multiply_by_rows(
      basis::cr_basis_matrix(knots_b, column_matrix(x_new, predictor.col_b)), predictor.xp_b);
  return prepend_intercept_column(linalg::multiply_by_rows(row_kronecker(a, b), predictor.centring));
}

}  // namespace kavri::design
