#include "design/cr.h"

#include <cmath>
#include <utility>

#include "basis/cr.h"
#include "design/assembly.h"
#include "design/covariates.h"
#include "design/sizes.h"
#include "linalg/lapack.h"
#include "transform/centring.h"

namespace kavri::design {
namespace {

using linalg::Matrix;

// max_i Σ_j |A_ij|, from 0; a row whose sum is NaN does not count.
double max_abs_row_sum(const Matrix& a) {
  double best = 0.0;
  for (std::size_t i = 0; i < a.rows; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < a.cols; ++j) sum += std::fabs(a(i, j));
    if (sum > best) best = sum;
  }
  return best;
}

// Everything the two spline terms share: knots, centring, the centred basis
// and the centred, rescaled penalty.
struct CentredSpline {
  linalg::Vector knots;
  Matrix centring;
  Matrix basis;
  Matrix penalty;
};

Result<CentredSpline> centred_spline(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", k, k));
  KAVRI_TRY_VOID(require_matrix_fits("CR spline", x.rows, k));
  KAVRI_TRY_VOID(require_finite_column(x, col));
  KAVRI_TRY(basis::CrBasis knots, basis::place_cr_knots(column_vector(x, col), k));
  const Matrix b = basis::cr_basis_matrix(knots, column_matrix(x, col));
  Matrix s = std::move(basis::cr_penalty(knots.knots).back());

  const double b_norm = max_abs_row_sum(b);
  const double s_norm = max_abs_row_sum(s);
  if (s_norm > 0.0) {
    const double factor = b_norm * b_norm / s_norm;
    for (double& v : s.data) v *= factor;
  }

  Matrix z = transform::sum_to_zero_centring(b);

  Matrix centred = linalg::multiply(b, z);
  Matrix penalty = linalg::multiply(linalg::multiply(z.view().transposed(), s), z);
  return CentredSpline{std::move(knots.knots), std::move(z), std::move(centred), std::move(penalty)};
}

// Every matrix of a k-knot spline term, or of its single-smooth design, at
// n rows is at most k × k or n × k.
MatrixShape spline_shape(linalg::MatrixView x, std::uint64_t k) { return largest_shape({{k, k}, {x.rows, k}}); }

constexpr std::string_view kSplineContext = "CR spline";

}  // namespace

Result<CrTerm> build_cr_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    return CrTerm{.knots = std::move(t.knots),
                  .centring = std::move(t.centring),
                  .basis = std::move(t.basis),
                  .penalty = std::move(t.penalty)};
  });
}

Result<CrStableTerm> build_cr_stable_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k) {
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&]() -> Result<CrStableTerm> {
    KAVRI_TRY(CentredSpline t, centred_spline(x, col, k));
    auto eig = linalg::eigh(t.penalty);
    if (!eig) return linalg_error("eigh failed in StableReparam: " + eig.error().text());
    // Eigenvalues come ascending; reversing the columns puts the most
    // penalised direction first and the null direction last.
    const std::size_t m = eig->vectors.cols;
    Matrix v(m, m);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < m; ++j) v(i, j) = eig->vectors(i, m - 1 - j);

    Matrix basis = linalg::multiply(t.basis, v);
    Matrix penalty = linalg::multiply(linalg::multiply(v.view().transposed(), t.penalty), v);
    return CrStableTerm{.knots = std::move(t.knots),
                        .centring = std::move(t.centring),
                        .reparam_v = std::move(v),
                        .basis = std::move(basis),
                        .penalty = std::move(penalty)};
  });
}

Result<ModelDesign> build_single_cr_design(linalg::MatrixView x, std::uint64_t k) {
  KAVRI_TRY_VOID(require_a_column(x));
  KAVRI_TRY(CrTerm t, build_cr_term(x, 0, k));
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&] {
    return single_smooth_design(
        t.basis, t.penalty, Predictor{CrPredictor{.knots = std::move(t.knots), .centring = std::move(t.centring)}});
  });
}

Result<ModelDesign> build_single_cr_stable_design(linalg::MatrixView x, std::uint64_t k) {
  KAVRI_TRY_VOID(require_a_column(x));
  KAVRI_TRY(CrStableTerm t, build_cr_stable_term(x, 0, k));
  return naming_allocation_failure(kSplineContext, spline_shape(x, k), [&] {
    return single_smooth_design(t.basis, t.penalty,
                                Predictor{CrStablePredictor{.knots = std::move(t.knots),
                                                            .centring = std::move(t.centring),
                                                            .reparam_v = std::move(t.reparam_v)}});
  });
}

}  // namespace kavri::design
