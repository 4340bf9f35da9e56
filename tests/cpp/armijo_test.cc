// The quantile (extended log-F) Newton fit with its line search: the
// optimum against the penalized score summed here from the family's
// operations, a row of weight 2 against the row given twice, the factor of
// the last accepted system, the exits and the parameter checks.
#include "inner/armijo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "family/elf.h"
#include "inner/fit_at.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::inner {
namespace {

using family::Elf;
using linalg::Matrix;
using linalg::Vector;
using testing::expect_matrix_close;
using testing::gram_of_factor;
using testing::naive_penalized_hessian;
using testing::naive_total_penalty;
using testing::TestProblem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kRows = 80;
const Vector kRho{-2.0};

TestProblem elf_problem(Vector y, std::optional<Vector> w = std::nullopt) {
  TestProblem p = testing::make_problem(testing::cr_design(kRows, 8), std::move(y), std::move(w));
  p.settings = inner::kElfInnerSettings;
  return p;
}

Vector normal_response() { return testing::draw_response(testing::Response::Normal, testing::covariate(kRows), 4); }

// The warm start a quantile fit is given: the penalized least-squares fit
// at λ = 1 with a 1e-7 ridge, moved along the intercept by the τ-quantile
// of its residuals.
Vector warm_start(const TestProblem& p, double tau) {
  const Matrix& x = p.model_matrix;
  Matrix a = naive_penalized_hessian(x, Vector(x.rows, 1.0), naive_total_penalty(p.penalties, Vector{0.0}));
  double diagonal = 1.0;
  for (std::size_t j = 0; j < a.rows; ++j) diagonal = std::max(diagonal, std::fabs(a(j, j)));
  for (std::size_t j = 0; j < a.rows; ++j) a(j, j) += 1e-7 * diagonal;
  Vector rhs(x.cols, 0.0);
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t j = 0; j < x.cols; ++j) rhs[j] += x(i, j) * p.y[i];
  Vector beta = testing::gauss_solve(a, rhs);
  Vector residuals(x.rows);
  for (std::size_t i = 0; i < x.rows; ++i) {
    double e = 0.0;
    for (std::size_t j = 0; j < x.cols; ++j) e += x(i, j) * beta[j];
    residuals[i] = p.y[i] - e;
  }
  std::sort(residuals.begin(), residuals.end());
  const double q = residuals[static_cast<std::size_t>(std::round((x.rows - 1) * tau))];
  Vector shift(x.cols, 0.0);
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t j = 0; j < x.cols; ++j) shift[j] += x(i, j) * q;
  const Vector delta = testing::gauss_solve(a, shift);
  for (std::size_t j = 0; j < x.cols; ++j) beta[j] += delta[j];
  return beta;
}

// H + δI, δ = 1e-7 of the largest diagonal entry of the data part H − S
// plus 1e-12 of the largest of H.
Matrix ridged(Matrix h, const Matrix& s) {
  double data = 0.0, whole = 0.0;
  for (std::size_t j = 0; j < h.rows; ++j) {
    data = std::max(data, std::fabs(h(j, j) - s(j, j)));
    whole = std::max(whole, std::fabs(h(j, j)));
  }
  for (std::size_t j = 0; j < h.rows; ++j) h(j, j) += 1e-7 * data + 1e-12 * whole;
  return h;
}

Result<InnerFit> run(const TestProblem& p, const Elf& f, std::optional<Vector> start, const Vector& rho = kRho) {
  inner::ElfProblem<Elf> problem{.fit = p.view(f), .beta_warm = std::nullopt};
  if (start) problem.beta_warm = linalg::VectorView(*start);
  return line_search_fit(problem, rho);
}

TEST(ElfFitArmijo, ReachesThePenalizedOptimumFromTheWarmStart) {
  // At the optimum X'g − S_λβ = 0, g_i = w_i·(p_i + τ − 1)/σ. Each entry
  // is a sum of terms whose magnitudes add up to `magnitude`; with the ridge on the step the
  // fixed point is the minimiser of J itself, and the last Newton step,
  // below 1e-7, leaves a score far below 1e-8 of that scale.
  struct Case {
    const char* name;
    double width;  // λ = σ
    bool weighted;
  } cases[] = {{"λ = σ = 0.03", 0.03, false}, {"λ = σ = 0.001", 0.001, false}, {"weighted, 0.03", 0.03, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Elf f = family::elf_identity(0.3, c.width, c.width);
    std::optional<Vector> w;
    if (c.weighted) w = testing::varied_weights(kRows);
    const TestProblem p = elf_problem(normal_response(), w);
    auto fit = run(p, f, warm_start(p, 0.3));
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_TRUE(fit->converged) << fit->iterations;

    const Matrix& x = p.model_matrix;
    const Matrix s = naive_total_penalty(p.penalties, kRho);
    const Vector wv = p.weights_or_ones();
    for (std::size_t j = 0; j < fit->p; ++j) {
      double score = 0.0, magnitude = 0.0;
      for (std::size_t i = 0; i < kRows; ++i) {
        double eta = 0.0;
        for (std::size_t k = 0; k < fit->p; ++k) eta += x(i, k) * fit->beta[k];
        const double term = x(i, j) * f.score(wv[i], p.y[i], eta);
        score += term;
        magnitude += std::fabs(term);
      }
      for (std::size_t k = 0; k < fit->p; ++k) {
        score -= s(j, k) * fit->beta[k];
        magnitude += std::fabs(s(j, k) * fit->beta[k]);
      }
      EXPECT_LE(std::fabs(score), 1e-8 * magnitude) << "entry " << j;
    }
  }
}

TEST(ElfFitArmijo, WeightTwoIsADuplicatedRow) {
  // Every row's deviance, weight and score carry its prior weight, so the
  // two problems have the same objective; both fits converge from the same
  // start, and their coefficients agree far inside the 1e-7 step tolerance.
  const Elf f = family::elf_identity(0.3, 0.1, 0.1);
  const TestProblem single = elf_problem(normal_response());
  Vector w(kRows, 1.0);
  const std::vector<std::size_t> doubled{3, 17, 42, 60};
  for (std::size_t i : doubled) w[i] = 2.0;
  TestProblem weighted = elf_problem(normal_response(), w);
  TestProblem repeated = elf_problem(normal_response());
  for (std::size_t i : doubled) {
    repeated.y.push_back(repeated.y[i]);
    Matrix& x = repeated.model_matrix;
    Vector row(x.row(i), x.row(i) + x.cols);
    x.data.insert(x.data.end(), row.begin(), row.end());
    ++x.rows;
  }
  const Vector start = warm_start(single, 0.3);
  auto a = run(weighted, f, start);
  auto b = run(repeated, f, start);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_TRUE(a->converged && b->converged);
  testing::expect_vector_near(a->beta, b->beta, 1e-9);
  EXPECT_NEAR(a->deviance, b->deviance, 1e-10 * b->deviance);
}

TEST(ElfFitArmijo, RecordHoldsTheFinalStateAndItsSystem) {
  // W and z are those at the final β, deviance and pearson the same
  // unpenalized deviance; the factor is that of X'diag(W)X + S_λ + δ_f·I
  // for the same W, δ_f = 1e-7·max_i H_ii: only a factor of the final
  // weights keeps tr(H⁻¹X'WX) below p.
  const Elf f = family::elf_identity(0.3, 0.03, 0.03);
  const TestProblem p = elf_problem(normal_response(), testing::varied_weights(kRows));
  const Vector start = warm_start(p, 0.3);
  auto fit = run(p, f, start);
  ASSERT_TRUE(fit.has_value());
  ASSERT_TRUE(fit->converged);
  ASSERT_GE(fit->iterations, 2u);

  const Matrix& x = p.model_matrix;
  const Vector w = p.weights_or_ones();
  double deviance = 0.0;
  Vector weights(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    const double eta = fit->eta[i];
    EXPECT_EQ(fit->mu[i], eta);
    const double u = (p.y[i] - eta) / f.lambda;
    const double prob = 1.0 / (1.0 + std::exp(-u));
    weights[i] = w[i] * prob * (1.0 - prob) / (f.lambda * f.sigma);
    EXPECT_NEAR(fit->working_weights[i], weights[i], 1e-12 * weights[i] + 1e-300) << i;
    if (prob * (1.0 - prob) > 1e-12) {
      const double z = eta + ((prob + f.tau - 1.0) / f.sigma) / (weights[i] / w[i]);
      EXPECT_NEAR(fit->working_response[i], z, 1e-9 * (1.0 + std::fabs(z))) << i;
    }
    deviance += w[i] * f.unit_deviance(p.y[i], eta);
  }
  EXPECT_NEAR(fit->deviance, deviance, 1e-12 * deviance);
  EXPECT_EQ(fit->pearson, fit->deviance);

  const Matrix s = naive_total_penalty(p.penalties, kRho);
  expect_matrix_close(gram_of_factor(fit->factor), ridged(naive_penalized_hessian(x, weights, s), s), 1e-12);
}

TEST(ElfFitArmijo, ExitStates) {
  const Vector y = normal_response();
  Vector y_nan = y;
  y_nan[9] = kNaN;
  const Elf f = family::elf_identity(0.3, 0.03, 0.03);
  const TestProblem p = elf_problem(y);
  const Vector warm = warm_start(p, 0.3);
  struct Case {
    const char* name;
    Vector y;
    inner::InnerSettings settings;
    std::optional<Vector> start;
    bool converged;
    std::uint64_t iterations;  // 0: not checked
    bool beta_is_start;
  } cases[] = {
      {"no iteration", y, {.max_iter = 0, .tol = 1e-7, .max_halvings = 20}, warm, false, 0, true},
      // The search is exhausted at once, without a trial.
      {"no step length", y, {.max_iter = 50, .tol = 1e-7, .max_halvings = 0}, warm, true, 1, true},
      // J(start) is infinite: no candidate can be judged, and the fit has
      // not reached a minimum.
      {"NaN response", y_nan, inner::kElfInnerSettings, warm, false, 1, true},
      // From β = 0 nearly every row lies hundreds of λ from its fit, its
      // weight close to 0: the Newton step is far too long, and even its
      // 2^-19 part raises J. The fit has not moved, and is not at a minimum.
      {"cold start", y, inner::kElfInnerSettings, std::nullopt, false, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestProblem problem = elf_problem(c.y);
    problem.settings = c.settings;
    auto fit = run(problem, f, c.start);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_EQ(fit->converged, c.converged);
    if (c.iterations != 0) {
      EXPECT_EQ(fit->iterations, c.iterations);
    }
    const Vector start = c.start ? *c.start : Vector(fit->p, 0.0);
    if (c.beta_is_start) {
      EXPECT_EQ(fit->beta, start);
    }
  }

  // Without an accepted step the factor is built at the start's weights.
  TestProblem none = elf_problem(y);
  none.settings.max_iter = 0;
  auto fit = run(none, f, warm);
  ASSERT_TRUE(fit.has_value());
  const Matrix s = naive_total_penalty(p.penalties, kRho);
  expect_matrix_close(gram_of_factor(fit->factor), ridged(naive_penalized_hessian(p.model_matrix, fit->working_weights, s), s),
                      1e-13);
}

TEST(ElfFitArmijo, RejectsParametersOutsideTheirRanges) {
  const TestProblem p = elf_problem(normal_response());
  struct Case {
    Elf family;
    std::string message;
  } cases[] = {
      {family::elf_identity(0.0, 1.0, 1.0), "ELF τ must be in (0, 1); got 0"},
      {family::elf_identity(1.0, 1.0, 1.0), "ELF τ must be in (0, 1); got 1"},
      {family::elf_identity(kNaN, 1.0, 1.0), "ELF τ must be in (0, 1); got NaN"},
      {family::elf_identity(0.5, 0.0, 0.25), "ELF σ and λ must be > 0; got σ=0 λ=0.25"},
      {family::elf_identity(0.5, 1.0, -1.0), "ELF σ and λ must be > 0; got σ=1 λ=-1"},
      {family::elf_identity(0.5, kInf, kInf), "ELF σ and λ must be finite; got σ=inf λ=inf"},
      {family::elf_identity(0.5, 0.5, kNaN), "ELF σ and λ must be finite; got σ=0.5 λ=NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto fit = run(p, c.family, std::nullopt);
    ASSERT_FALSE(fit.has_value());
    testing::expect_invalid_parameter(fit.error(), c.message);
  }
}

TEST(ElfFitArmijo, UnfactorableSystemsAreErrors) {
  // A negative penalty: the iteration's ridged system, or with no
  // iteration the final one, is not positive definite.
  const Elf f = family::elf_identity(0.3, 0.5, 0.5);
  for (std::uint64_t max_iter : {50u, 0u}) {
    SCOPED_TRACE(max_iter);
    TestProblem p = elf_problem(normal_response());
    p.settings.max_iter = max_iter;
    Matrix s = Matrix::identity(p.model_matrix.cols);
    for (double& v : s.data) v *= -1e6;
    p.penalties = {s};
    auto fit = run(p, f, std::nullopt, Vector{0.0});
    ASSERT_FALSE(fit.has_value());
    ASSERT_TRUE(fit.error().is<SingularSystem>());
    const std::string lapack = "Computational failure in LAPACK subroutine: return_code = 1";
    EXPECT_EQ(fit.error().message(), (max_iter == 0 ? "Cholesky failed: " : "ELF Cholesky: ") + lapack);
  }
}

TEST(ElfFitArmijo, CompactFormReachesTheSameOptimum) {
  // The structured products and X·β sum in another order than the dense
  // ones. Both fits stop once a step moves no coefficient by tol·σ = 3e-9,
  // and the steps shrink by orders of magnitude from one to the next near
  // the optimum (Newton with a ridge 1e-7 of the curvature), so the optima
  // agree well within 1e-7.
  const Elf f = family::elf_identity(0.3, 0.03, 0.03);
  const design::ModelDesign d = testing::cr_design(kRows, 8);
  ASSERT_TRUE(d.compact.has_value());
  const TestProblem p = elf_problem(normal_response(), testing::varied_weights(kRows));
  ASSERT_EQ(p.model_matrix, d.model_matrix);
  const Vector warm = warm_start(p, 0.3);
  inner::ElfProblem<Elf> dense{.fit = p.view(f), .beta_warm = linalg::VectorView(warm)};
  inner::ElfProblem<Elf> compact = dense;
  compact.fit.compact = &*d.compact;
  auto reference = line_search_fit(dense, kRho);
  auto fit = line_search_fit(compact, kRho);
  ASSERT_TRUE(reference.has_value() && fit.has_value());
  EXPECT_TRUE(reference->converged);
  EXPECT_TRUE(fit->converged);
  testing::expect_vector_near(fit->beta, reference->beta, 1e-7);
  testing::expect_close(fit->deviance, reference->deviance, 1e-8);
}

TEST(ElfFitArmijo, GenericFitReachesItThroughTheFamily) {
  const Elf f = family::elf_identity(0.3, 0.1, 0.1);
  const TestProblem p = elf_problem(normal_response());
  const Vector warm = warm_start(p, 0.3);
  inner::FitCounters counters;
  inner::ElfProblem<Elf> problem{.fit = p.view(f), .beta_warm = linalg::VectorView(warm)};
  auto warm_fit = fit_at(problem, kRho, {.counters = &counters});
  auto cold_fit = fit_at(problem.fit, kRho, {.counters = &counters});
  ASSERT_TRUE(warm_fit.has_value() && cold_fit.has_value());
  EXPECT_EQ(warm_fit->beta, line_search_fit(problem, kRho)->beta);
  EXPECT_EQ(cold_fit->beta, line_search_fit(problem.fit, std::nullopt, kRho)->beta);
  EXPECT_EQ(counters.inner_fits, 2u);
  EXPECT_EQ(counters.pirls_iterations, warm_fit->iterations + cold_fit->iterations);
}

}  // namespace
}  // namespace kavri::inner
