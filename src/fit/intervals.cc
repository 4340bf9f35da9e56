#include "fit/intervals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "common/format.h"
#include "design/predictor_matrix.h"
#include "design/sizes.h"
#include "fit/summaries.h"
#include "linalg/lapack.h"

namespace kavri::fit {

namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;

std::string count(std::uint64_t v) { return common::format_count(v); }

// A quadratic form that rounding pushed below zero means a variance of
// zero. A NaN form stays NaN: it comes from a covariance whose scale could
// not be estimated, and a zero width would claim a certainty the model does
// not have.
double standard_error(double q) {
  if (std::isnan(q)) return q;
  return q > 0.0 ? std::sqrt(q) : 0.0;
}

Interval interval_around(Vector centre, const Vector& q, double z) {
  Interval out{.mean = std::move(centre), .lo = Vector(q.size()), .hi = Vector(q.size())};
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double half_width = z * standard_error(q[i]);
    out.lo[i] = out.mean[i] - half_width;
    out.hi[i] = out.mean[i] + half_width;
  }
  return out;
}

}  // namespace

Result<Matrix> model_matrix_at(const FittedGam& model, MatrixView x_new) {
  const std::uint64_t p = model.beta.size();
  KAVRI_TRY_VOID(
      design::require_stored_shape("FittedGam", "vcov", model.vcov, p, p, "one row and column per entry of beta"));
  KAVRI_TRY(Matrix x, design::predictor_design_matrix(model.predictor, x_new));
  if (x.cols != model.beta.size())
    return invalid_parameter("FittedGam: beta has " + count(model.beta.size()) + " entries but the model matrix has " +
                             count(x.cols) + " columns");
  return x;
}

Vector linear_predictor(const Matrix& x, const Vector& beta) { return linalg::multiply(x, beta); }

void to_response_scale(LinkKind link, Vector& values) {
  for (double& v : values) v = inverse_link(link, v);
}

Result<double> interval_quantile(double level) {
  const double prob = (level + 1.0) * 0.5;
  if (!(prob < 1.0))
    return invalid_parameter("level is too close to 1 for a normal quantile; got level=" +
                             common::format_double(level));
  return normal_quantile(prob);
}

Interval wald_interval(const Matrix& x, const FittedGam& model, double z) {
  return interval_around(linear_predictor(x, model.beta), linalg::row_quadratic_forms(x, model.vcov), z);
}

Result<Interval> difference_interval(const Matrix& x_a, const Matrix& x_b, const FittedGam& model, double z) {
  if (x_a.cols != x_b.cols)
    return invalid_parameter("predict_diff: design width mismatch (a=" + count(x_a.cols) + ", b=" + count(x_b.cols) +
                             ")");
  const std::size_t n_a = x_a.rows, n_b = x_b.rows;
  if (n_a != n_b && n_a != 1 && n_b != 1)
    return invalid_parameter("predict_diff: row counts must match or one must be 1 (broadcast); got a=" + count(n_a) +
                             ", b=" + count(n_b));
  const std::size_t n_out = n_a == n_b ? n_a : (n_a == 1 ? n_b : n_a);
  const std::size_t p = x_a.cols;
  // The rows are subtracted before β and V are applied, so the intercept
  // cancels exactly and identical rows give exactly zero.
  Matrix d(n_out, p);
  for (std::size_t k = 0; k < n_out; ++k) {
    const double* a = x_a.row(n_a == 1 ? 0 : k);
    const double* b = x_b.row(n_b == 1 ? 0 : k);
    double* out = d.row(k);
    for (std::size_t j = 0; j < p; ++j) out[j] = a[j] - b[j];
  }
  Vector q = linalg::row_quadratic_forms(d, model.vcov);
  // A contrast of identical rows is exactly zero whatever the covariance
  // holds, even NaN.
  for (std::size_t k = 0; k < n_out; ++k) {
    const double* row = d.row(k);
    if (std::all_of(row, row + p, [](double v) { return v == 0.0; })) q[k] = 0.0;
  }
  return interval_around(linear_predictor(d, model.beta), q, z);
}

}  // namespace kavri::fit
