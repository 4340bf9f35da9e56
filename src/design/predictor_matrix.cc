#include "design/predictor_matrix.h"

#include <string_view>
#include <utility>

#include "basis/cr.h"
#include "design/additive.h"
#include "design/assembly.h"
#include "design/covariates.h"
#include "design/re.h"
#include "design/sizes.h"
#include "design/tensor.h"
#include "linalg/products.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;

// Room for the n × w block and the n × (w + 1) result; w + 1 cannot wrap
// once w itself fits.
Result<void> require_block_fits(std::string_view record, std::uint64_t n, std::uint64_t w) {
  KAVRI_TRY_VOID(require_matrix_fits(record, n, w));
  return require_matrix_fits(record, n, w + 1);
}

// The checks both spline records share, before anything is evaluated.
Result<basis::CrBasis> checked_spline(std::string_view record, const linalg::Vector& knots, const Matrix& centring,
                                      MatrixView x_new) {
  KAVRI_TRY_VOID(require_a_column(x_new, "x_new"));
  KAVRI_TRY(basis::CrBasis basis, basis::validate_cr_knots(knots));
  KAVRI_TRY_VOID(require_stored_rows(record, "centring", centring, basis.k, "one per knot"));
  KAVRI_TRY_VOID(require_matrix_fits(record, x_new.rows, basis.k));
  KAVRI_TRY_VOID(require_block_fits(record, x_new.rows, centring.cols));
  return basis;
}

struct Rebuild {
  MatrixView x_new;

  Result<Matrix> operator()(const CrPredictor& p) const {
    KAVRI_TRY(const basis::CrBasis basis, checked_spline("CrPredictor", p.knots, p.centring, x_new));
    return prepend_intercept_column(linalg::multiply_by_rows(basis::cr_basis_matrix(basis, x_new), p.centring));
  }
  Result<Matrix> operator()(const CrStablePredictor& p) const {
    constexpr std::string_view kRecord = "CrStablePredictor";
    KAVRI_TRY(const basis::CrBasis basis, checked_spline(kRecord, p.knots, p.centring, x_new));
    KAVRI_TRY_VOID(require_stored_rows(kRecord, "reparam_v", p.reparam_v, p.centring.cols,
                                       "one per column of centring"));
    KAVRI_TRY_VOID(require_block_fits(kRecord, x_new.rows, p.reparam_v.cols));
    const Matrix c = linalg::multiply_by_rows(basis::cr_basis_matrix(basis, x_new), p.centring);
    return prepend_intercept_column(linalg::multiply_by_rows(c, p.reparam_v));
  }
  Result<Matrix> operator()(const RePredictor& p) const {
    KAVRI_TRY_VOID(require_a_column(x_new, "x_new"));
    KAVRI_TRY_VOID(require_block_fits("RePredictor", x_new.rows, p.levels.size()));
    return prepend_intercept_column(re_indicator_matrix(p.levels, x_new));
  }
  Result<Matrix> operator()(const AdditivePredictor& p) const { return additive_predictor_matrix(p, x_new); }
  Result<Matrix> operator()(const TensorPredictor& p) const { return tensor_predictor_matrix(p, x_new); }
};

}  // namespace

Result<Matrix> predictor_design_matrix(const Predictor& predictor, MatrixView x_new) {
  return std::visit(Rebuild{x_new}, predictor.payload);
}

}  // namespace kavri::design
