// The fit driver of the seven plain families (Gaussian, Bernoulli, Poisson,
// QuasiPoisson, QuasiBinomial, Gamma, InverseGaussian): input checks, the
// fit problem, the outer Newton search over the log smoothing parameters
// from zero, the final inner fit, the summaries and the `FittedGam`.
//
// Written once over the family and instantiated seven times; the family
// decides the problem form, the response check, the scale rule and the
// link. The driver takes the design over: its model matrix and penalties
// move into the problem, its predictor into the result.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "design/records.h"
#include "family/binomial.h"
#include "family/family.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/fitted_gam.h"
#include "fit/problem.h"
#include "fit/summaries.h"
#include "inner/plain_fit.h"
#include "linalg/cholesky.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "outer/newton.h"
#include "score/envelope.h"
#include "score/finite_difference.h"

namespace kavri::fit {

// The Pearson scale's residual mean and variance are taken from the fitted
// mean floored here (binary means also capped), so that a mean at the edge
// of its range cannot divide by zero through the floor of its own family.
inline constexpr double kPearsonMeanFloor = 1e-300;
inline constexpr double kPearsonBinaryFloor = 1e-15;
inline constexpr double kPearsonBinaryCeiling = 0.999999999999999;

// The checks every instance makes before anything is fitted, in this order:
// the row count of y ("x and y must have the same number of rows; got
// x.nrows()={}, y.len()={}"), the length of the prior weights
// ("prior_weights length must match x rows; got weights.len()={},
// x.nrows()={}"), then each weight ("prior weights must be finite and
// non-negative; got w={} at row {}"). The response is checked after them.
[[nodiscard]] Result<void> check_rows_and_weights(std::uint64_t n, linalg::VectorView y,
                                                  const std::optional<linalg::VectorView>& prior_weights);

// The Gaussian family's response check: "y must be finite; got y={} at row
// {}" at the first row holding NaN or an infinity.
[[nodiscard]] Result<void> check_finite_response(linalg::VectorView y);

// The problem forms, with the design's model matrix and penalties moved in.
// The Gaussian form forms X'WX and X'Wy once here, and its deviance anchor
// at ρ = 0, the start of the search.
FitProblem make_fit_problem(design::ModelDesign& design, linalg::VectorView y,
                            const std::optional<linalg::VectorView>& prior_weights);
GaussianFitProblem make_gaussian_fit_problem(design::ModelDesign& design, linalg::VectorView y,
                                             const std::optional<linalg::VectorView>& prior_weights);

// The residual mean m and variance V of one observation in the Pearson
// scale Σ w·(y − m)²/V / (n − edf).
struct PearsonTerm {
  double mean;
  double variance;
};
template <family::Family F>
PearsonTerm pearson_term(double mu);

// Σ_i w_i·(y_i − m_i)²/V_i / (n − edf), NaN when n − edf is not positive.
template <family::Family F>
double pearson_scale(linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w, double edf);

template <family::Family F>
constexpr LinkKind link_kind_of();

// The fit. `on_inner_fit` sees every inner fit, those of the search and
// the final one; the instances below pass `score::IgnoreInnerFits`.
template <family::Family F, class OnInnerFit = score::IgnoreInnerFits>
[[nodiscard]] Result<FittedGam> fit_family(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                           std::optional<linalg::VectorView> prior_weights,
                                           OnInnerFit&& on_inner_fit = {});

[[nodiscard]] Result<FittedGam> fit_family_gaussian(design::ModelDesign design, std::uint64_t n,
                                                    linalg::VectorView y,
                                                    std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_bernoulli(design::ModelDesign design, std::uint64_t n,
                                                     linalg::VectorView y,
                                                     std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_poisson(design::ModelDesign design, std::uint64_t n,
                                                   linalg::VectorView y,
                                                   std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_quasipoisson(design::ModelDesign design, std::uint64_t n,
                                                        linalg::VectorView y,
                                                        std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_quasibinomial(design::ModelDesign design, std::uint64_t n,
                                                         linalg::VectorView y,
                                                         std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_gamma(design::ModelDesign design, std::uint64_t n,
                                                 linalg::VectorView y,
                                                 std::optional<linalg::VectorView> prior_weights);
[[nodiscard]] Result<FittedGam> fit_family_inverse_gaussian(design::ModelDesign design, std::uint64_t n,
                                                            linalg::VectorView y,
                                                            std::optional<linalg::VectorView> prior_weights);

// ---- Implementation details follow ----

template <family::Family F>
PearsonTerm pearson_term(double mu) {
  if constexpr (std::is_same_v<F, family::QuasiBinomial>) {
    const double m = common::floor_at(mu, kPearsonBinaryFloor);
    const double c = common::ceil_at(m, kPearsonBinaryCeiling);
    return {m, c * (1.0 - c)};
  } else {
    const double m = common::floor_at(mu, kPearsonMeanFloor);
    if constexpr (std::is_same_v<F, family::QuasiPoisson>) return {m, m};
    else if constexpr (std::is_same_v<F, family::Gamma>) return {m, m * m};
    else {
      static_assert(std::is_same_v<F, family::InverseGaussian>, "no Pearson scale for this family");
      return {m, m * m * m};
    }
  }
}

template <family::Family F>
double pearson_scale(linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w, double edf) {
  const double d = static_cast<double>(y.size) - edf;
  if (!(d > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const PearsonTerm t = pearson_term<F>(mu[i]);
    const double r = y[i] - t.mean;
    sum += w[i] * (r * r) / t.variance;
  }
  return sum / d;
}

template <family::Family F>
constexpr LinkKind link_kind_of() {
  if constexpr (std::is_same_v<F, family::Gaussian>) return LinkKind::Identity;
  else if constexpr (std::is_same_v<F, family::Bernoulli> || std::is_same_v<F, family::QuasiBinomial>)
    return LinkKind::Logit;
  else return LinkKind::Log;
}

template <family::Family F, class OnInnerFit>
Result<FittedGam> fit_family(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                             std::optional<linalg::VectorView> prior_weights, OnInnerFit&& on_inner_fit) {
  KAVRI_TRY_VOID(check_rows_and_weights(n, y, prior_weights));
  if constexpr (inner::kIsGaussian<F>) {
    KAVRI_TRY_VOID(check_finite_response(y));
  } else {
    KAVRI_TRY_VOID(F::check_response(y));
  }

  const inner::ProblemFor<F> problem = [&] {
    if constexpr (inner::kIsGaussian<F>) return make_gaussian_fit_problem(design, y, prior_weights);
    else return make_fit_problem(design, y, prior_weights);
  }();
  const std::size_t m = problem.penalties.size();

  KAVRI_TRY(outer::OuterState state,
            outer::outer_newton_minimize(linalg::Vector(m, 0.0), [&](const linalg::Vector& rho) {
              return score::outer_eval_fd<F>(problem, rho, on_inner_fit);
            }));
  KAVRI_TRY(inner::InnerFit fit, inner::plain_fit<F>(problem, state.rho));
  on_inner_fit(fit);

  const linalg::MatrixView x = problem.model_matrix;
  double edf_total = 0.0, scale = 1.0;
  if constexpr (inner::kIsGaussian<F>) {
    // W is the prior weights, so X'WX is the problem's own cross product.
    edf_total = linalg::trace_inverse_times(fit.factor, problem.xtwx);
    double penalty = 0.0;
    for (std::size_t j = 0; j < m; ++j)
      penalty += std::exp(state.rho[j]) * linalg::quadratic_form(problem.penalties[j], fit.beta);
    const double d = static_cast<double>(n) - static_cast<double>(problem.criterion.null_space_dim);
    scale = d > 0.0 ? (penalty + fit.pearson) / d : std::numeric_limits<double>::quiet_NaN();
  } else {
    edf_total = compute_edf_total(x, fit.working_weights, fit.factor);
    if constexpr (F::scale_rule() != family::ScaleRule::Fixed)
      scale = pearson_scale<F>(y, fit.mu, family::weights_or_ones(prior_weights, n), edf_total);
  }
  linalg::Matrix vcov = F::scale_rule() == family::ScaleRule::Fixed ? linalg::inverse_from_cholesky(fit.factor)
                                                                     : scaled_covariance(fit.factor, scale);

  linalg::Vector lambda(m);
  for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(state.rho[j]);
  linalg::Vector edf_per_term = compute_edf_per_term(problem.penalties, state.rho, x.cols, fit.factor);

  return FittedGam{.beta = std::move(fit.beta),
                   .rho = state.rho,
                   .lambda = std::move(lambda),
                   .scale = scale,
                   .edf_total = edf_total,
                   .edf_per_term = std::move(edf_per_term),
                   .n = n,
                   .n_iters = state.iterations,
                   .converged = state.converged && fit.converged,
                   .reml_value = state.value,
                   .predictor = std::move(design.predictor),
                   .vcov = std::move(vcov),
                   .link_kind = link_kind_of<F>(),
                   .shape_params = {}};
}

}  // namespace kavri::fit
