#include "inner/closed_form.h"

#include <optional>
#include <utility>

#include "design/compact.h"
#include "design/penalty.h"
#include "family/gaussian.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner {
namespace {

// (X'WX + S_λ + δI)·β = X'Wy with the factor of X'WX + S_λ.
Result<linalg::CholeskySolution> solve_penalized(const GaussianProblem& problem, linalg::VectorView rho) {
  const std::size_t p = problem.model_matrix.cols;
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);
  linalg::Matrix h(p, p);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) h(a, b) = problem.products.xtwx(a, b) + s(a, b);
  return linalg::cholesky_solve_ridged(h, problem.products.xtwy);
}

}  // namespace

Result<InnerFit> closed_form_gaussian_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  KAVRI_TRY(linalg::CholeskySolution solved, solve_penalized(problem, rho));
  linalg::Vector eta;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    design::compact_linear_predictor(*problem.compact, solved.solution, eta, ws);
  } else {
    eta = linalg::multiply(x, solved.solution);
  }
  linalg::Vector mu = eta;
  linalg::Vector weights = problem.prior_weights ? problem.prior_weights->to_vector() : linalg::Vector(n, 1.0);
  // With unit weights (1·r)·r is r·r exactly: the unweighted sum of squares.
  const double deviance = family::Gaussian::weighted_deviance(problem.y, mu, weights);
  return InnerFit{.beta = std::move(solved.solution),
                  .eta = std::move(eta),
                  .mu = std::move(mu),
                  .working_weights = std::move(weights),
                  .working_response = problem.y.to_vector(),
                  .factor = std::move(solved.factor),
                  .deviance = deviance,
                  .pearson = deviance,
                  .n = n,
                  .p = p,
                  .iterations = 1,
                  .stored_log_det = std::nullopt,
                  .observed_info = std::nullopt,
                  .converged = true};
}

std::optional<fit::DevianceAnchor> gaussian_deviance_anchor(const GaussianProblem& problem,
                                                            linalg::VectorView rho) {
  auto fit = closed_form_gaussian_fit(problem, rho);
  if (!fit) return std::nullopt;
  linalg::Vector weighted_residual(fit->n);
  for (std::size_t i = 0; i < fit->n; ++i)
    weighted_residual[i] = fit->working_weights[i] * (problem.y[i] - fit->eta[i]);
  linalg::Vector xtw_residual;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    xtw_residual = design::compact_transpose_times(*problem.compact, weighted_residual, ws);
  } else {
    xtw_residual = linalg::multiply(problem.model_matrix.transposed(), weighted_residual);
  }
  return fit::DevianceAnchor{.beta = std::move(fit->beta),
                             .deviance = fit->deviance,
                             .xtw_residual = std::move(xtw_residual)};
}

Result<InnerFit> closed_form_gaussian_search_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  if (!problem.products.anchor) return closed_form_gaussian_fit(problem, rho);
  const fit::DevianceAnchor& anchor = *problem.products.anchor;
  KAVRI_TRY(linalg::CholeskySolution solved, solve_penalized(problem, rho));
  const std::size_t p = solved.solution.size();
  linalg::Vector delta(p);
  double cross = 0.0;
  for (std::size_t j = 0; j < p; ++j) {
    delta[j] = solved.solution[j] - anchor.beta[j];
    cross += delta[j] * anchor.xtw_residual[j];
  }
  const double deviance = (anchor.deviance - 2.0 * cross) + linalg::quadratic_form(problem.products.xtwx, delta);
  return InnerFit{.beta = std::move(solved.solution),
                  .eta = {},
                  .mu = {},
                  .working_weights = {},
                  .working_response = {},
                  .factor = std::move(solved.factor),
                  .deviance = deviance,
                  .pearson = deviance,
                  .n = problem.model_matrix.rows,
                  .p = p,
                  .iterations = 1,
                  .stored_log_det = std::nullopt,
                  .observed_info = std::nullopt,
                  .converged = true};
}

void form_closed_form_products(GaussianProblem& problem) {
  const linalg::MatrixView x = problem.model_matrix;
  fit::ClosedFormProducts& products = problem.products;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    const linalg::Vector ones = problem.prior_weights ? linalg::Vector() : linalg::Vector(x.rows, 1.0);
    const linalg::VectorView w = problem.prior_weights ? *problem.prior_weights : linalg::VectorView(ones);
    design::compact_cross_products(*problem.compact, w, problem.y, products.xtwx, &products.xtwy, ws);
  } else if (problem.prior_weights) {
    const linalg::Matrix xtw = linalg::weighted_transpose(x, *problem.prior_weights);
    products.xtwx = linalg::multiply(xtw, x);
    products.xtwy = linalg::multiply(xtw, problem.y);
  } else {
    products.xtwx = linalg::multiply(x.transposed(), x);
    products.xtwy = linalg::multiply(x.transposed(), problem.y);
  }
  products.anchor = gaussian_deviance_anchor(problem, linalg::Vector(problem.penalties.size(), 0.0));
}

}  // namespace kavri::inner
