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

// X·β into `eta`, reusing its storage, from the compact form when the
// problem has one.
void linear_predictor(const GaussianProblem& problem, const linalg::Vector& beta, linalg::Vector& eta) {
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    design::compact_linear_predictor(*problem.compact, beta, eta, ws);
  } else {
    linalg::multiply_into(problem.model_matrix, beta, eta);
  }
}

// Σ_i w_i·(y_i − η_i)², overwriting η_i with w_i·(y_i − η_i): the weighted
// residual a caller may still need, without a second n-vector. Each term
// is formed as `Gaussian::weighted_deviance` forms it; unit weights
// multiply out exactly.
double deviance_into_residual(const GaussianProblem& problem, linalg::Vector& eta) {
  double d = 0.0;
  if (problem.prior_weights) {
    const linalg::VectorView w = *problem.prior_weights;
    for (std::size_t i = 0; i < eta.size(); ++i) {
      const double r = problem.y[i] - eta[i];
      d += (w[i] * r) * r;
      eta[i] = w[i] * r;
    }
  } else {
    for (std::size_t i = 0; i < eta.size(); ++i) {
      const double r = problem.y[i] - eta[i];
      d += r * r;
      eta[i] = r;
    }
  }
  return d;
}

// The record of a solve whose per-observation vectors are left empty.
InnerFit closed_form_record(linalg::CholeskySolution solved, double deviance, std::size_t n) {
  const std::size_t p = solved.solution.size();
  return InnerFit{.beta = std::move(solved.solution),
                  .eta = {},
                  .mu = {},
                  .working_weights = {},
                  .working_response = {},
                  .factor = std::move(solved.factor),
                  .deviance = deviance,
                  .pearson = deviance,
                  .n = n,
                  .p = p,
                  .iterations = 1,
                  .converged = true};
}

}  // namespace

Result<InnerFit> closed_form_gaussian_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  const std::size_t n = problem.model_matrix.rows;
  KAVRI_TRY(linalg::CholeskySolution solved, solve_penalized(problem, rho));
  linalg::Vector eta;
  linear_predictor(problem, solved.solution, eta);
  linalg::Vector weights = problem.prior_weights ? problem.prior_weights->to_vector() : linalg::Vector(n, 1.0);
  // With unit weights (1·r)·r is r·r exactly: the unweighted sum of squares.
  const double deviance = family::Gaussian::weighted_deviance(problem.y, eta, weights);
  InnerFit fit = closed_form_record(std::move(solved), deviance, n);
  fit.mu = eta;
  fit.eta = std::move(eta);
  fit.working_weights = std::move(weights);
  fit.working_response = problem.y.to_vector();
  return fit;
}

Result<InnerFit> closed_form_gaussian_final_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  KAVRI_TRY(linalg::CholeskySolution solved, solve_penalized(problem, rho));
  double deviance = 0.0;
  if (problem.compact != nullptr) {
    // Only the sum is kept: η goes block by block, never whole, and each
    // term is formed as `deviance_into_residual` forms it, in row order.
    struct Sum {
      const GaussianProblem* problem;
      double deviance;
    } sum{&problem, 0.0};
    design::CompactWorkspace ws;
    design::compact_linear_predictor_blocks(
        *problem.compact, solved.solution, ws,
        {.fn =
             [](void* context, std::size_t first, std::size_t rows, const double* eta) {
               Sum& s = *static_cast<Sum*>(context);
               const linalg::VectorView y = s.problem->y;
               double d = s.deviance;
               if (s.problem->prior_weights) {
                 const linalg::VectorView w = *s.problem->prior_weights;
                 for (std::size_t r = 0; r < rows; ++r) {
                   const double res = y[first + r] - eta[r];
                   d += (w[first + r] * res) * res;
                 }
               } else {
                 for (std::size_t r = 0; r < rows; ++r) {
                   const double res = y[first + r] - eta[r];
                   d += res * res;
                 }
               }
               s.deviance = d;
             },
         .context = &sum});
    deviance = sum.deviance;
  } else {
    linalg::Vector eta;
    linear_predictor(problem, solved.solution, eta);
    deviance = deviance_into_residual(problem, eta);
  }
  return closed_form_record(std::move(solved), deviance, problem.model_matrix.rows);
}

namespace {

// The anchor: β, deviance and X'W(y − Xβ) at ρ.
std::optional<DevianceAnchor> deviance_anchor(const GaussianProblem& problem, linalg::VectorView rho) {
  auto solved = solve_penalized(problem, rho);
  if (!solved) return std::nullopt;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    design::ResidualProducts r =
        design::compact_residual_products(*problem.compact, solved->solution, problem.y, problem.prior_weights, ws);
    return DevianceAnchor{.beta = std::move(solved->solution),
                               .deviance = r.deviance,
                               .xtw_residual = std::move(r.xtw_residual)};
  }
  linalg::Vector residual;
  linear_predictor(problem, solved->solution, residual);
  const double deviance = deviance_into_residual(problem, residual);
  return DevianceAnchor{.beta = std::move(solved->solution),
                             .deviance = deviance,
                             .xtw_residual = linalg::multiply(problem.model_matrix.transposed(), residual)};
}

}  // namespace

std::optional<DevianceAnchor> gaussian_deviance_anchor(const GaussianProblem& problem,
                                                            linalg::VectorView rho) {
  return deviance_anchor(problem, rho);
}

Result<InnerFit> closed_form_gaussian_search_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  if (!problem.products.anchor) return closed_form_gaussian_fit(problem, rho);
  const DevianceAnchor& anchor = *problem.products.anchor;
  KAVRI_TRY(linalg::CholeskySolution solved, solve_penalized(problem, rho));
  const std::size_t p = solved.solution.size();
  linalg::Vector delta(p);
  double cross = 0.0;
  for (std::size_t j = 0; j < p; ++j) {
    delta[j] = solved.solution[j] - anchor.beta[j];
    cross += delta[j] * anchor.xtw_residual[j];
  }
  const double deviance = (anchor.deviance - 2.0 * cross) + linalg::quadratic_form(problem.products.xtwx, delta);
  return closed_form_record(std::move(solved), deviance, problem.model_matrix.rows);
}

void form_closed_form_products(GaussianProblem& problem) {
  const linalg::MatrixView x = problem.model_matrix;
  inner::ClosedFormProducts& products = problem.products;
  if (problem.compact != nullptr) {
    design::CompactWorkspace ws;
    const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, x.rows);
    design::compact_cross_products(*problem.compact, w, problem.y, products.xtwx, &products.xtwy, ws);
  } else if (problem.prior_weights) {
    const linalg::Matrix xtw = linalg::weighted_transpose(x, *problem.prior_weights);
    products.xtwx = linalg::multiply(xtw, x);
    products.xtwy = linalg::multiply(xtw, problem.y);
  } else {
    products.xtwx = linalg::multiply(x.transposed(), x);
    products.xtwy = linalg::multiply(x.transposed(), problem.y);
  }
  products.anchor = deviance_anchor(problem, linalg::Vector(problem.penalties.size(), 0.0));
}

}  // namespace kavri::inner
