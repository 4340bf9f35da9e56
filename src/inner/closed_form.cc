#include "inner/closed_form.h"

#include <optional>
#include <utility>

#include "design/compact.h"
#include "design/penalty.h"
#include "design/re_blocks.h"
#include "family/gaussian.h"
#include "linalg/block_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner {
namespace {

// The solution of the penalized normal equations with the factor of
// X'WX + S_λ, dense or in block form.
struct Solved {
  linalg::Vector beta;
  linalg::Matrix factor;  // empty with a block factor
  std::optional<linalg::BlockFactor> blocks;
};

// (X'WX + S_λ + δI)·β = X'Wy with the factor of X'WX + S_λ: in blocks
// where the problem has X's random-effect block form.
Result<Solved> solve_penalized(const GaussianProblem& problem, linalg::VectorView rho) {
  if (problem.re_blocks != nullptr) {
    linalg::BlockSystem h = design::block_total_penalty(*problem.re_blocks, rho);
    linalg::add_scaled(h, problem.products.xtwx_blocks, 1.0);
    KAVRI_TRY(linalg::BlockSolution solved,
              linalg::block_solve_ridged(h, problem.re_blocks->partition, problem.products.xtwy));
    return Solved{std::move(solved.solution), linalg::Matrix(), std::move(solved.factor)};
  }
  const std::size_t p = problem.model_matrix.cols;
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);
  linalg::Matrix h(p, p);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) h(a, b) = problem.products.xtwx(a, b) + s(a, b);
  KAVRI_TRY(linalg::CholeskySolution solved, linalg::cholesky_solve_ridged(h, problem.products.xtwy));
  return Solved{std::move(solved.solution), std::move(solved.factor), std::nullopt};
}

// δ'·X'WX·δ.
double gram_form(const GaussianProblem& problem, const linalg::Vector& delta) {
  if (problem.re_blocks != nullptr)
    return linalg::block_quadratic_form(problem.re_blocks->partition, problem.products.xtwx_blocks, delta);
  return linalg::quadratic_form(problem.products.xtwx, delta);
}

// X'·v.
linalg::Vector transpose_times(const GaussianProblem& problem, const linalg::Vector& v) {
  if (problem.re_blocks != nullptr) return design::re_transpose_times(*problem.re_blocks, v);
  return linalg::multiply(problem.model_matrix.transposed(), v);
}

// X·β into `eta`, reusing its storage, from the compact form when the
// problem has one.
void linear_predictor(const GaussianProblem& problem, const linalg::Vector& beta, linalg::Vector& eta) {
  if (problem.re_blocks != nullptr) {
    eta = design::re_times(*problem.re_blocks, beta);
  } else if (problem.compact != nullptr) {
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
InnerFit closed_form_record(Solved solved, double deviance, std::size_t n) {
  const std::size_t p = solved.beta.size();
  return InnerFit{.beta = std::move(solved.beta),
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
                  .converged = true,
                  .block_factor = std::move(solved.blocks)};
}

}  // namespace

Result<InnerFit> closed_form_gaussian_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  const std::size_t n = problem.model_matrix.rows;
  KAVRI_TRY(Solved solved, solve_penalized(problem, rho));
  linalg::Vector eta;
  linear_predictor(problem, solved.beta, eta);
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
  KAVRI_TRY(Solved solved, solve_penalized(problem, rho));
  double deviance = 0.0;
  if (problem.compact != nullptr && problem.re_blocks == nullptr) {
    // Only the sum is kept: η goes block by block, never whole, and each
    // term is formed as `deviance_into_residual` forms it, in row order.
    struct Sum {
      const GaussianProblem* problem;
      double deviance;
    } sum{&problem, 0.0};
    design::CompactWorkspace ws;
    design::compact_linear_predictor_blocks(
        *problem.compact, solved.beta, ws,
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
    linear_predictor(problem, solved.beta, eta);
    deviance = deviance_into_residual(problem, eta);
  }
  return closed_form_record(std::move(solved), deviance, problem.model_matrix.rows);
}

namespace {

// The anchor: β, deviance and X'W(y − Xβ) at ρ.
std::optional<DevianceAnchor> deviance_anchor(const GaussianProblem& problem, linalg::VectorView rho) {
  auto solved = solve_penalized(problem, rho);
  if (!solved) return std::nullopt;
  if (problem.compact != nullptr && problem.re_blocks == nullptr) {
    design::CompactWorkspace ws;
    design::ResidualProducts r =
        design::compact_residual_products(*problem.compact, solved->beta, problem.y, problem.prior_weights, ws);
    return DevianceAnchor{.beta = std::move(solved->beta),
                               .deviance = r.deviance,
                               .xtw_residual = std::move(r.xtw_residual)};
  }
  linalg::Vector residual;
  linear_predictor(problem, solved->beta, residual);
  const double deviance = deviance_into_residual(problem, residual);
  return DevianceAnchor{.beta = std::move(solved->beta),
                             .deviance = deviance,
                             .xtw_residual = transpose_times(problem, residual)};
}

}  // namespace

std::optional<DevianceAnchor> gaussian_deviance_anchor(const GaussianProblem& problem,
                                                            linalg::VectorView rho) {
  return deviance_anchor(problem, rho);
}

Result<InnerFit> closed_form_gaussian_search_fit(const GaussianProblem& problem, linalg::VectorView rho) {
  if (!problem.products.anchor) return closed_form_gaussian_fit(problem, rho);
  const DevianceAnchor& anchor = *problem.products.anchor;
  KAVRI_TRY(Solved solved, solve_penalized(problem, rho));
  const std::size_t p = solved.beta.size();
  linalg::Vector delta(p);
  double cross = 0.0;
  for (std::size_t j = 0; j < p; ++j) {
    delta[j] = solved.beta[j] - anchor.beta[j];
    cross += delta[j] * anchor.xtw_residual[j];
  }
  const double deviance = (anchor.deviance - 2.0 * cross) + gram_form(problem, delta);
  return closed_form_record(std::move(solved), deviance, problem.model_matrix.rows);
}

void form_closed_form_products(GaussianProblem& problem) {
  const linalg::MatrixView x = problem.model_matrix;
  inner::ClosedFormProducts& products = problem.products;
  if (problem.re_blocks != nullptr) {
    // O(n·k²): the dense part's Gram matrix and each level's sums.
    const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, x.rows);
    products.xtwx_blocks = design::re_weighted_gram(*problem.re_blocks, w);
    linalg::Vector wy(x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) wy[i] = w[i] * problem.y[i];
    products.xtwy = design::re_transpose_times(*problem.re_blocks, wy);
  } else if (problem.compact != nullptr) {
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
