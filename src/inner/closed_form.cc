#include "inner/closed_form.h"

#include <optional>
#include <utility>

#include "design/penalty.h"
#include "family/gaussian.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"

namespace kavri::inner {

Result<InnerFit> closed_form_gaussian_fit(const fit::GaussianFitProblem& problem, linalg::VectorView rho) {
  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);
  linalg::Matrix h(p, p);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) h(a, b) = problem.xtwx(a, b) + s(a, b);

  KAVRI_TRY(linalg::CholeskySolution solved, linalg::cholesky_solve_ridged(h, problem.xtwy));
  linalg::Vector eta = linalg::multiply(x, solved.solution);
  linalg::Vector mu = eta;
  linalg::Vector weights = problem.prior_weights ? *problem.prior_weights : linalg::Vector(n, 1.0);
  // With unit weights (1·r)·r is r·r exactly: the unweighted sum of squares.
  const double deviance = family::Gaussian::weighted_deviance(problem.y, mu, weights);
  return InnerFit{.beta = std::move(solved.solution),
                  .eta = std::move(eta),
                  .mu = std::move(mu),
                  .working_weights = std::move(weights),
                  .working_response = problem.y,
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

}  // namespace kavri::inner
