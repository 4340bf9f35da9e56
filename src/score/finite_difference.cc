#include "score/finite_difference.h"

#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"

namespace kavri::score {

Result<OuterEval> outer_eval_fd_gaussian(const fit::GaussianFitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::Gaussian>(problem, rho);
}
Result<OuterEval> outer_eval_fd_bernoulli(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::Bernoulli>(problem, rho);
}
Result<OuterEval> outer_eval_fd_quasibinomial(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::QuasiBinomial>(problem, rho);
}
Result<OuterEval> outer_eval_fd_poisson(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::Poisson>(problem, rho);
}
Result<OuterEval> outer_eval_fd_quasipoisson(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::QuasiPoisson>(problem, rho);
}
Result<OuterEval> outer_eval_fd_gamma(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::Gamma>(problem, rho);
}
Result<OuterEval> outer_eval_fd_inverse_gaussian(const fit::FitProblem& problem, const linalg::Vector& rho) {
  return outer_eval_fd<family::InverseGaussian>(problem, rho);
}

}  // namespace kavri::score
