#include "inner/full_newton.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "common/numeric.h"
#include "design/penalty.h"
#include "family/family.h"
#include "inner/pirls.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner {

Result<InnerFit> full_newton_ocat(const FitProblem<family::Ocat>& problem, linalg::VectorView rho) {
  using linalg::Vector;
  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  const linalg::VectorView y = problem.y;
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);
  const InnerSettings& settings = problem.settings;
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);

  // Each row's category bounds, once; the start in the middle of them.
  const Vector cuts = family::ocat_cut_points(problem.family);
  const std::uint64_t r = problem.family.n_cats;
  std::vector<family::OcatBounds> bounds(n);
  Vector eta(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = family::ocat_category(y[i], r);
    bounds[i] = {cuts[k - 1], cuts[k]};
    const double lower = k == 1 ? -2.0 : cuts[k - 1];
    const double upper = k == r ? cuts[r - 1] + 1.0 : cuts[k];
    eta[i] = (lower + upper) * 0.5;
  }
  if (problem.start_eta)
    for (std::size_t i = 0; i < n; ++i) eta[i] = (*problem.start_eta)[i];

  auto deviance_at = [&](const Vector& e) {
    double d = 0.0;
    for (std::size_t i = 0; i < n; ++i) d += w[i] * family::ocat_bounded_deviance(bounds[i], e[i]);
    return d;
  };
  Vector beta(p, 0.0);
  double deviance = deviance_at(eta);
  double objective = deviance + linalg::quadratic_form(s, beta);

  // W = ½·w·d2 and z with W·(z − η) = −½·w·d1, the Newton step's share of
  // the row. Where W is floored, z = η − d1/max(d2, 1e-12) would put the
  // whole −d1 into X'Wz, so that a row of weight 0 lying far outside its
  // category would still pull the fit; there the Newton share is kept.
  auto row_rule = [&](std::size_t i, double eta_i) {
    const family::OcatRowDerivatives d = family::ocat_bounded_derivatives(bounds[i], eta_i);
    const double half_curvature = 0.5 * d.d2 * w[i];
    if (half_curvature > kOcatWeightFloor)
      return std::pair{half_curvature, eta_i - d.d1 / common::floor_at(d.d2, kOcatWeightFloor)};
    return std::pair{kOcatWeightFloor, eta_i - 0.5 * w[i] * d.d1 / kOcatWeightFloor};
  };

  Vector weights(n), response(n);
  detail::PirlsWorkspace ws;
  ws.candidate_eta.resize(n);
  std::optional<linalg::Matrix> factor;
  std::uint64_t iterations = 0;
  bool converged = false;

  double candidate_deviance = 0.0, candidate_objective = 0.0;
  bool candidate_finite = true;
  auto evaluate_candidate = [&](const Vector& candidate) {
    double d = 0.0;
    bool finite = true;
    linear_predictor_pass(x, candidate, ws.candidate_eta, [&](std::size_t i, double e) {
      finite &= std::isfinite(e);
      d += w[i] * family::ocat_bounded_deviance(bounds[i], e);
    });
    candidate_deviance = d;
    candidate_finite = finite;
    candidate_objective = linalg::quadratic_form(s, candidate) + d;
  };

  for (std::uint64_t t = 0; t < settings.max_iter; ++t) {
    assemble_working_system(x, s, [&](std::size_t i) { return row_rule(i, eta[i]); }, weights, response, ws);
    auto l = linalg::cholesky_lower(ws.hessian);
    if (!l) return singular_system("Cholesky failed: " + l.error().text());
    Vector candidate = linalg::back_substitute_transposed(*l, linalg::forward_substitute(*l, ws.rhs));

    const bool first = t == 0;
    const double tolerance = halving_tolerance(objective);
    auto rejected = [&] {
      return pirls_halving_check(candidate_objective, candidate_finite, first, objective, tolerance);
    };
    iterations = t + 1;
    if (!accept_by_halving(beta, candidate, kMaxStepHalvings, evaluate_candidate, rejected)) break;

    double change = 0.0;
    for (std::size_t j = 0; j < p; ++j) change = common::floor_at(std::fabs(candidate[j] - beta[j]), change);
    std::swap(beta, candidate);
    std::swap(eta, ws.candidate_eta);
    deviance = candidate_deviance;
    objective = candidate_objective;
    factor = std::move(*l);
    if (t >= 1 && change < settings.tol) {
      converged = true;
      break;
    }
  }

  // W and z at the final η. A converged fit keeps the factor of its last
  // step, which moved no coefficient by tol. Any other exit forms the
  // system at the final η: the criterion's ½ln|H| and the summaries' edf
  // read it together with the final W, and only the same W keeps
  // tr(H⁻¹X'WX) within [0, p] (the last step's system, one update behind a
  // fit that did not settle, gave edf 35.9 with p = 10).
  if (converged) {
    for (std::size_t i = 0; i < n; ++i) std::tie(weights[i], response[i]) = row_rule(i, eta[i]);
  } else {
    assemble_working_system(x, s, [&](std::size_t i) { return row_rule(i, eta[i]); }, weights, response, ws);
    auto l = linalg::cholesky_lower(ws.hessian);
    if (!l) return singular_system("Cholesky failed: " + l.error().text());
    factor = std::move(*l);
  }
  const double pearson = detail::pearson_statistic(weights, response, eta);
  Vector mu = eta;
  return iterative_fit_record(std::move(beta), std::move(eta), std::move(mu), std::move(weights),
                              std::move(response), std::move(*factor), deviance, pearson, iterations, converged);
}

}  // namespace kavri::inner
