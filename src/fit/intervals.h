// Predictions of a fitted model at new covariates: the model matrix rebuilt
// from the stored predictor, the linear predictor η = Xβ, the mean on the
// response scale, and Wald intervals for η and for contrasts of η.
//
// A model read back from bytes can hold arrays of any size, so the model's
// own shapes are checked before they are used: `beta` against the width of
// the rebuilt model matrix, `vcov` against `beta`. Every interval is on the
// link scale; the caller maps it through the inverse link when it wants the
// response scale. Results are fresh allocations; arguments are never
// changed except by `to_response_scale`. Errors are InvalidParameter values.
#pragma once

#include <cstddef>

#include "fit/fitted_gam.h"
#include "linalg/error.h"
#include "linalg/lapack.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// Rows of X multiplied by the covariance in one product; the working memory
// of an interval stays at this many rows of p values, whatever n_new is.
inline constexpr std::size_t kIntervalBlockRows = linalg::kQuadraticFormBlockRows;

// Point values and bounds of one interval call, n values each.
struct Interval {
  linalg::Vector mean;
  linalg::Vector lo;
  linalg::Vector hi;
};

// The model matrix at x_new. The model's shapes are checked first (`vcov`
// p × p for the p entries of `beta`), then the matrix's width against p
// ("FittedGam: beta has {} entries but the model matrix has {} columns"),
// so that a matrix returned here can be combined with `beta` and `vcov`.
// Errors of rebuilding the matrix from the predictor pass through.
[[nodiscard]] Result<linalg::Matrix> model_matrix_at(const FittedGam& model, linalg::MatrixView x_new);

// η = Xβ; X has as many columns as β has entries.
linalg::Vector linear_predictor(const linalg::Matrix& x, const linalg::Vector& beta);

// Applies the model's inverse link to every element, in place.
void to_response_scale(LinkKind link, linalg::Vector& values);

// The two-sided standard normal quantile of a level in (0, 1): the quantile
// of (level + 1)·0.5, with the accuracy of `normal_quantile`. A level so
// close to 1 that (level + 1)·0.5 rounds to 1 has no finite quantile and
// fails ("level is too close to 1 for a normal quantile; got level={}").
// The range (0, 1) itself is the caller's check.
[[nodiscard]] Result<double> interval_quantile(double level);

// η_i ± z·se_i with se_i² = x_i'·V·x_i (a negative form gives se 0, a NaN
// form NaN bounds); X comes from `model_matrix_at` of the same model.
Interval wald_interval(const linalg::Matrix& x, const FittedGam& model, double z);

// Δ_k = (x_a,i − x_b,j)'β ± z·se_k, rows paired one to one or a single row
// reused against every row of the other matrix; both matrices come from
// `model_matrix_at` of the same model. Identical rows give exactly zero,
// bounds included, whatever V holds. Fails on matrices of different widths
// ("predict_diff: design width mismatch (a={}, b={})"), then on row counts
// that neither match nor are 1 ("predict_diff: row counts must match or one
// must be 1 (broadcast); got a={}, b={}").
[[nodiscard]] Result<Interval> difference_interval(const linalg::Matrix& x_a, const linalg::Matrix& x_b,
                                                   const FittedGam& model, double z);

}  // namespace kavri::fit
