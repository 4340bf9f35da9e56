#include "fit/plain_driver.h"

#include <cmath>
#include <string>

#include "common/format.h"
#include "inner/closed_form.h"
#include "linalg/lapack.h"

namespace kavri::fit {
namespace {

using common::format_count;
using common::format_double;

CriterionInputs criterion_inputs(const design::ModelDesign& design, linalg::VectorView y) {
  return CriterionInputs{.penalties = design.penalties,
                         .penalty_ranks = design.penalty_ranks,
                         .penalty_log_pdets = design.penalty_log_pdets,
                         .y = y.to_vector(),
                         .null_space_dim = design.null_space_dim};
}

std::optional<linalg::Vector> copy_of(const std::optional<linalg::VectorView>& v) {
  if (!v) return std::nullopt;
  return v->to_vector();
}

}  // namespace

Result<void> check_rows_and_weights(std::uint64_t n, linalg::VectorView y,
                                    const std::optional<linalg::VectorView>& prior_weights) {
  if (y.size != n)
    return invalid_parameter("x and y must have the same number of rows; got x.nrows()=" + format_count(n) +
                             ", y.len()=" + format_count(y.size));
  if (!prior_weights) return {};
  const linalg::VectorView w = *prior_weights;
  if (w.size != n)
    return invalid_parameter("prior_weights length must match x rows; got weights.len()=" + format_count(w.size) +
                             ", x.nrows()=" + format_count(n));
  for (std::size_t i = 0; i < w.size; ++i)
    if (!(std::isfinite(w[i]) && w[i] >= 0.0))
      return invalid_parameter("prior weights must be finite and non-negative; got w=" + format_double(w[i]) +
                               " at row " + format_count(i));
  return {};
}

Result<void> check_finite_response(linalg::VectorView y) {
  for (std::size_t i = 0; i < y.size; ++i)
    if (!std::isfinite(y[i]))
      return invalid_parameter("y must be finite; got y=" + format_double(y[i]) + " at row " + format_count(i));
  return {};
}

FitProblem make_fit_problem(design::ModelDesign& design, linalg::VectorView y,
                            const std::optional<linalg::VectorView>& prior_weights) {
  CriterionInputs criterion = criterion_inputs(design, y);
  return FitProblem{.penalties = std::move(design.penalties),
                    .model_matrix = std::move(design.model_matrix),
                    .y = y.to_vector(),
                    .prior_weights = copy_of(prior_weights),
                    .start_eta = std::nullopt,
                    .settings = InnerSettings{.max_iter = 50, .tol = 1e-9, .max_halvings = 10},
                    .criterion = std::move(criterion)};
}

GaussianFitProblem make_gaussian_fit_problem(design::ModelDesign& design, linalg::VectorView y,
                                             const std::optional<linalg::VectorView>& prior_weights) {
  CriterionInputs criterion = criterion_inputs(design, y);
  GaussianFitProblem problem{.penalties = std::move(design.penalties),
                             .model_matrix = std::move(design.model_matrix),
                             .y = y.to_vector(),
                             .xtwx = {},
                             .xtwy = {},
                             .prior_weights = copy_of(prior_weights),
                             .criterion = std::move(criterion),
                             .anchor = std::nullopt};
  const linalg::MatrixView x = problem.model_matrix;
  if (problem.prior_weights) {
    const linalg::Matrix xtw = linalg::weighted_transpose(x, *problem.prior_weights);
    problem.xtwx = linalg::multiply(xtw, x);
    problem.xtwy = linalg::multiply(xtw, problem.y);
  } else {
    // The transposed view is X in column-major order: no copy of X.
    problem.xtwx = linalg::multiply(x.transposed(), x);
    problem.xtwy = linalg::multiply(x.transposed(), problem.y);
  }
  problem.anchor = inner::gaussian_deviance_anchor(problem, linalg::Vector(problem.penalties.size(), 0.0));
  return problem;
}

Result<FittedGam> fit_family_gaussian(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                      std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::Gaussian>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_bernoulli(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                       std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::Bernoulli>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_poisson(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                     std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::Poisson>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_quasipoisson(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                          std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::QuasiPoisson>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_quasibinomial(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                           std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::QuasiBinomial>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_gamma(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                   std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::Gamma>(std::move(design), n, y, prior_weights);
}
Result<FittedGam> fit_family_inverse_gaussian(design::ModelDesign design, std::uint64_t n, linalg::VectorView y,
                                              std::optional<linalg::VectorView> prior_weights) {
  return fit_family<family::InverseGaussian>(std::move(design), n, y, prior_weights);
}

}  // namespace kavri::fit
