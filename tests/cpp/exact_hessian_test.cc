#include "score/exact_hessian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "design/additive.h"
#include "design_fixtures.h"
#include "family/binomial.h"
#include "family/elf.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "inner/fit_at.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::Response;

constexpr std::size_t kRows = 90;

// A fit converged far below its usual tolerance, so that differences of
// gradients at ρ ± h see the criterion, not the loop; the quantile family's
// from zero coefficients, a start that does not move with ρ.
template <class F>
Result<inner::InnerFit> tight_fit(inner::FitProblem<F> problem, const Vector& rho) {
  problem.settings.tol = 1e-14;
  problem.settings.max_iter = 200;
  if constexpr (F::inner_fit_kind() == family::InnerFitKind::BacktrackingNewton) {
    problem.settings.max_halvings = 60;
    return inner::fit_at(inner::ElfProblem<F>{.fit = problem, .beta_warm = std::nullopt}, linalg::VectorView(rho));
  } else {
    return inner::search_fit_at(problem, linalg::VectorView(rho));
  }
}

// The gradient at ρ of such a fit.
template <class F>
Vector tight_gradient(const inner::FitProblem<F>& problem, const CriterionView& criterion, const Vector& rho) {
  auto fit = tight_fit(problem, rho);
  EXPECT_TRUE(fit.has_value());
  auto eval = exact_outer_eval_from_fit(problem.family, criterion, problem.model_matrix,
                                        linalg::VectorView(rho), *fit, problem.compact);
  EXPECT_TRUE(eval.has_value());
  return eval->gradient;
}

// The exact Hessian against central differences of the exact gradient,
// h = 1e-5: truncation h²·|∂⁴V| and the gradient's rounding ε·|g|/h (with
// the inner fits converged to 1e-14) both near 1e-9 of the entries, so 1e-5
// relative (1e-7 absolute near zero) leaves room for the conditioning of
// H at ρ = 4, and exactly symmetric.
template <class F>
void expect_exact_hessian(const F& family, Response kind, bool additive, bool weighted) {
  const Vector xs = testing::covariate(kRows);
  Vector y = testing::draw_response(kind, xs, 11);
  if (kind == Response::Binary)
    for (std::size_t i = 0; i < kRows; i += 7) y[i] = 0.3;  // proportions too
  design::ModelDesign d;
  if (additive) {
    // A spline of column 0, a tensor of two other smooth columns and a
    // random effect of four levels.
    Matrix x(kRows, 4);
    for (std::size_t i = 0; i < kRows; ++i) {
      const double t = static_cast<double>(i) / static_cast<double>(kRows - 1);
      x(i, 0) = xs[i];
      x(i, 1) = std::cos(11.0 * t) + 0.25 * t;
      x(i, 2) = std::fmod(0.6180339887 * static_cast<double>(i), 1.0);
      x(i, 3) = static_cast<double>(i % 4);
    }
    auto built = design::build_additive_design(
        x, std::vector<design::TermSpec>{testing::cr_term(0, 6), testing::te_term(1, 2, 4, 4), testing::re_term(3)});
    ASSERT_TRUE(built.has_value()) << built.error().display();
    d = std::move(*built);
  } else {
    d = testing::cr_design(kRows, 8);
  }
  const Vector w = weighted ? testing::varied_weights(kRows) : Vector(kRows, 1.0);
  std::optional<linalg::VectorView> wv;
  if (weighted) wv = linalg::VectorView(w);
  const inner::FitProblem<F> problem = fit::make_fit_problem(family, d, y, wv);
  const auto criterion = fit::make_criterion_view(family, d, y, wv);
  const std::size_t m = d.penalties.size();
  for (const double level : {-3.0, 0.0, 4.0}) {
    SCOPED_TRACE("rho " + std::to_string(level));
    Vector rho(m, level);
    for (std::size_t j = 0; j < m; ++j) rho[j] += 0.3 * static_cast<double>(j);  // not all equal
    auto fit = tight_fit(problem, rho);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    auto eval = exact_outer_eval_from_fit(family, criterion, problem.model_matrix, linalg::VectorView(rho),
                                          *fit, problem.compact);
    ASSERT_TRUE(eval.has_value()) << eval.error().display();
    if (eval->degenerate) continue;
    // The envelope criterion forms the same gradient its own way: through
    // H⁻¹S_jβ̂ and the leverages in one row-form sum.
    auto envelope = envelope_from_fit(family, criterion, problem.model_matrix, linalg::VectorView(rho), *fit,
                                      problem.compact);
    ASSERT_TRUE(envelope.has_value());
    EXPECT_EQ(envelope->value, eval->value);
    for (std::size_t j = 0; j < m; ++j)
      EXPECT_NEAR(eval->gradient[j], envelope->gradient[j], 1e-9 * (1.0 + std::fabs(envelope->gradient[j])));
    const double h = 1e-5;
    for (std::size_t c = 0; c < m; ++c) {
      Vector plus = rho, minus = rho;
      plus[c] += h;
      minus[c] -= h;
      const Vector gp = tight_gradient(problem, criterion, plus), gm = tight_gradient(problem, criterion, minus);
      for (std::size_t r = 0; r < m; ++r) {
        const double central = (gp[r] - gm[r]) / (2.0 * h);
        EXPECT_NEAR(eval->hessian(r, c), central, 1e-5 * std::fabs(central) + 1e-7) << r << "," << c;
        EXPECT_EQ(eval->hessian(r, c), eval->hessian(c, r));
      }
    }
  }
}

template <class F>
void each_design(const F& family, Response kind) {
  for (const bool additive : {false, true})
    for (const bool weighted : {false, true}) {
      SCOPED_TRACE(std::string(additive ? "cr + te + re" : "cr") + (weighted ? ", weighted" : ""));
      expect_exact_hessian(family, kind, additive, weighted);
    }
}

TEST(ExactHessian, EqualsDifferencesOfTheExactGradient) {
  {
    SCOPED_TRACE("gaussian");
    each_design(family::gaussian_identity(), Response::Normal);
  }
  {
    SCOPED_TRACE("bernoulli");
    each_design(family::bernoulli_logit(), Response::Binary);
  }
  {
    SCOPED_TRACE("quasibinomial");
    each_design(family::quasibinomial_logit(), Response::Binary);
  }
  {
    SCOPED_TRACE("poisson");
    each_design(family::poisson_log(), Response::Counts);
  }
  {
    SCOPED_TRACE("quasipoisson");
    each_design(family::quasipoisson_log(), Response::Counts);
  }
  {
    SCOPED_TRACE("gamma");
    each_design(family::gamma_log(), Response::GammaLike);
  }
  {
    SCOPED_TRACE("inverse gaussian");
    each_design(family::inverse_gaussian_log(), Response::InverseGaussianLike);
  }
  {
    SCOPED_TRACE("quantile");
    each_design(family::elf_identity(0.3, 0.5, 0.4), Response::Normal);
  }
}

// The criterion's row weights: dω/dη against a central difference of ω
// and d²ω/dη² against one of dω/dη, each along η through the family's own
// link. With h = 1e-5 the truncation error is h²/6·|ω'''| ≈ 1e-11 of the
// weights and rounding ε·|ω|/h ≈ 1e-11; 1e-7 relative leaves a margin.
template <class F>
void expect_row_weight_derivatives(const F& family, const std::vector<std::pair<double, double>>& rows) {
  for (const auto& [y, eta] : rows)
    for (const double w : {1.0, 2.5}) {
      SCOPED_TRACE("y=" + std::to_string(y) + " eta=" + std::to_string(eta) + " w=" + std::to_string(w));
      auto at = [&](double e) { return criterion_row_weights(family, w, y, family.link_inverse(e)); };
      const double h = 1e-5;
      const RowWeights centre = at(eta);
      const double slope = (at(eta + h).weight - at(eta - h).weight) / (2.0 * h);
      const double curvature = (at(eta + h).slope - at(eta - h).slope) / (2.0 * h);
      EXPECT_NEAR(centre.slope, slope, 1e-7 * (std::fabs(slope) + std::fabs(centre.weight)));
      EXPECT_NEAR(centre.curvature, curvature, 1e-7 * (std::fabs(curvature) + std::fabs(centre.weight)));
    }
}

TEST(ExactHessian, RowWeightDerivativesFollowTheWeights) {
  const std::vector<std::pair<double, double>> counts{{0.0, -1.5}, {3.0, 0.4}, {12.0, 2.2}};
  const std::vector<std::pair<double, double>> binary{{0.0, -2.0}, {1.0, 0.3}, {0.3, 1.7}};
  const std::vector<std::pair<double, double>> positive{{0.2, -0.5}, {1.5, 0.1}, {7.0, 1.2}};
  const std::vector<std::pair<double, double>> any{{-1.0, 0.2}, {0.0, 0.0}, {2.0, 1.1}, {0.45, 0.5}};
  expect_row_weight_derivatives(family::poisson_log(), counts);
  expect_row_weight_derivatives(family::quasipoisson_log(), counts);
  expect_row_weight_derivatives(family::bernoulli_logit(), binary);
  expect_row_weight_derivatives(family::quasibinomial_logit(), binary);
  expect_row_weight_derivatives(family::gamma_log(), positive);
  expect_row_weight_derivatives(family::inverse_gaussian_log(), positive);
  for (const family::Elf& elf : {family::elf_identity(0.5, 1.0, 1.0), family::elf_identity(0.3, 1.3, 0.7),
                                 family::elf_identity(0.9, 0.4, 0.2)})
    expect_row_weight_derivatives(elf, any);
}

// The exact gradient is the derivative of the value it comes with, and
// the value is the envelope criterion's bit for bit (a trial valued alone
// and the full evaluation at its point agree). Central differences of V
// with h = 1e-5: truncation ~h² and rounding ε·|V|/h ~ 1e-9 of |V|; the
// criterion's own ½ln|H| uses the loop's factor one update behind the
// coefficients, which moves V by the inner tolerance: 1e-6 relative.
TEST(ExactHessian, GradientIsTheDerivativeOfTheValue) {
  const Vector xs = testing::covariate(kRows);
  const Vector y = testing::draw_response(Response::Counts, xs, 5);
  design::ModelDesign d = testing::cr_design(kRows, 8);
  inner::FitProblem<family::Poisson> problem = fit::make_fit_problem(family::poisson_log(), d, y, std::nullopt);
  auto criterion = fit::make_criterion_view(family::poisson_log(), d, y, std::nullopt);
  problem.settings.tol = 1e-14;
  problem.settings.max_iter = 200;
  auto value = [&](double r) {
    auto fit = inner::fit_at(problem, Vector{r});
    return envelope_value_from_fit(problem.family, criterion, problem.model_matrix, Vector{r}, *fit)->value;
  };
  for (const double r : {-2.0, 1.0, 5.0}) {
    auto fit = inner::fit_at(problem, Vector{r});
    ASSERT_TRUE(fit.has_value());
    auto eval = exact_outer_eval_from_fit(problem.family, criterion, problem.model_matrix, Vector{r}, *fit);
    ASSERT_TRUE(eval.has_value());
    EXPECT_EQ(eval->value, value(r));
    const double h = 1e-5;
    const double central = (value(r + h) - value(r - h)) / (2.0 * h);
    EXPECT_NEAR(eval->gradient[0], central, 1e-6 * (1.0 + std::fabs(central)));
  }
}

}  // namespace
}  // namespace kavri::score
