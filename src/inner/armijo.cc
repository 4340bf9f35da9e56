#include "inner/armijo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "common/format.h"
#include "common/numeric.h"
#include "design/penalty.h"
#include "family/family.h"
#include "inner/pirls.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"

namespace kavri::inner {
namespace {

// H + δI into `ridged`, δ = 1e-7·max_i |(X'WX)_ii| (NaN entries skipped),
// or 1e-7·max_i |H_ii| where X'WX has a zero diagonal. Relative to the
// data's share only: H scales as 1/(λσ), so an absolute floor would
// outweigh the data where y is measured in large units, and a ridge of the
// penalty's size would shrink the unpenalized directions at large λ
// (edf 1.97 with M_p = 2 on pure noise).
void ridge_into(const linalg::Matrix& h, const linalg::Matrix& s, linalg::Matrix& ridged) {
  double diagonal = 0.0, whole = 0.0;
  for (std::size_t i = 0; i < h.rows; ++i) {
    diagonal = common::floor_at(std::fabs(h(i, i) - s(i, i)), diagonal);
    whole = common::floor_at(std::fabs(h(i, i)), whole);
  }
  const double delta = kElfRidgeScale * diagonal + kElfConditionCap * whole;
  ridged = h;
  for (std::size_t i = 0; i < h.rows; ++i) ridged(i, i) += delta;
}

}  // namespace

Result<InnerFit> elf_fit_armijo(const FitProblem<family::Elf>& problem,
                                std::optional<linalg::VectorView> beta_warm, linalg::VectorView rho) {
  using linalg::Vector;
  const linalg::Matrix s = design::total_penalty(problem.penalties, rho);
  const family::Elf& elf = problem.family;
  KAVRI_TRY_VOID(elf.check_parameters());

  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  const linalg::VectorView y = problem.y;
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);
  const InnerSettings& settings = problem.settings;

  Vector beta = beta_warm ? beta_warm->to_vector() : Vector(p, 0.0);
  auto objective_at = [&](const Vector& b) { return family::elf_objective(elf, x, y, w, b, s, 1.0); };
  double objective = objective_at(beta);

  Vector eta(n), weights(n), response(n), score(n), gradient(p), candidate(p);
  detail::PirlsWorkspace ws;
  linalg::Matrix ridged;
  std::uint64_t iterations = 0;
  bool converged = false;

  auto eta_into = [&](const Vector& b) { linear_predictor_pass(x, b, eta, [](std::size_t, double) {}); };
  // Coefficients are in the units of y, and so is σ: the step test reads
  // them in units of σ.
  const double step_tolerance = settings.tol * elf.sigma;

  while (iterations < settings.max_iter) {
    // H = X'WX + S_λ and the score X'g − S_λβ, g_i the halved negative
    // η-slope of row i's weighted deviance. The working response has no
    // part in the step, so the assembly's X'Wz is left at zero.
    eta_into(beta);
    assemble_working_system(
        x, s,
        [&](std::size_t i) {
          score[i] = elf.score(w[i], y[i], eta[i]);
          return std::pair{elf.working_weight(w[i], y[i], eta[i]), 0.0};
        },
        weights, response, ws);
    for (std::size_t j = 0; j < p; ++j) {
      double sb = 0.0;
      for (std::size_t k = 0; k < p; ++k) sb += s(j, k) * beta[k];
      gradient[j] = -sb;
    }
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j) gradient[j] += x(i, j) * score[i];

    ridge_into(ws.hessian, s, ridged);
    auto l = linalg::cholesky_lower(ridged);
    if (!l)
      return singular_system(std::string(elf.display_name()) + " Cholesky: " + l.error().text());
    const Vector direction = linalg::back_substitute_transposed(*l, linalg::forward_substitute(*l, gradient));
    ++iterations;

    // Step lengths 1, 1/2, ...: each trial halves the step towards β.
    const double threshold = objective + kElfIncreaseAllowance;
    double candidate_objective = 0.0;
    bool accepted = false;
    if (settings.max_halvings > 0) {
      for (std::size_t j = 0; j < p; ++j) candidate[j] = beta[j] + direction[j];
      accepted = accept_by_halving(
          beta, candidate, settings.max_halvings - 1, [&](const Vector& c) { candidate_objective = objective_at(c); },
          [&] { return !(std::isfinite(candidate_objective) && candidate_objective <= threshold); });
    }
    if (!accepted) {
      // Converged only when the shortest step tried is already below tol
      // from a finite J: an infinite J, or a direction still long at its
      // shortest, is a fit that could not move, not one at its minimum.
      if (settings.max_halvings == 0) {
        converged = true;
      } else {
        double longest = 0.0;
        bool nan = false;
        for (double d : direction) {
          nan |= std::isnan(d);
          longest = common::floor_at(std::fabs(d), longest);
        }
        const double shortest = std::ldexp(longest, -static_cast<int>(std::min<std::uint64_t>(
                                                        settings.max_halvings - 1, 2000)));
        converged = !nan && std::isfinite(objective) && shortest < step_tolerance;
      }
      break;
    }

    double change = 0.0;
    for (std::size_t j = 0; j < p; ++j) change = common::floor_at(std::fabs(candidate[j] - beta[j]), change);
    objective = candidate_objective;
    std::swap(beta, candidate);
    if (change < step_tolerance) {
      converged = true;
      break;
    }
  }

  // The system at the final β: the criterion's ½ln|H| and the summaries'
  // edf and covariance read it together with the final weights, and only
  // the same W keeps tr(H⁻¹X'WX) within [0, p]. (The system of the last
  // step, one update behind, gave edf 681 of p = 10 at λ = 1e-8.)
  eta_into(beta);
  assemble_working_system(
      x, s,
      [&](std::size_t i) {
        return std::pair{elf.working_weight(w[i], y[i], eta[i]), elf.working_response(y[i], eta[i])};
      },
      weights, response, ws);
  const double deviance = elf.weighted_deviance(y, eta, w);
  ridge_into(ws.hessian, s, ridged);
  auto factor = linalg::cholesky_lower(ridged);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());

  Vector mu = eta;
  return iterative_fit_record(std::move(beta), std::move(eta), std::move(mu), std::move(weights),
                              std::move(response), std::move(*factor), deviance, deviance, iterations, converged);
}

}  // namespace kavri::inner
