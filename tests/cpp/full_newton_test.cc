// The ordered categorical Newton fit: its optimum against the penalized
// score summed here from the family's derivatives, rows of weight 0 and 2
// against the data without or with a repeated row, the start at the
// category midpoints and the exits of the loop.
#include "inner/full_newton.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "family/ocat.h"
#include "inner/fit_at.h"
#include "inner_fixture.h"
#include "linalg/vector_pool.h"
#include "test_util.h"

namespace kavri::inner {
namespace {

using family::Ocat;
using linalg::Matrix;
using linalg::Vector;
using testing::expect_matrix_close;
using testing::gram_of_factor;
using testing::naive_penalized_hessian;
using testing::naive_total_penalty;
using testing::TestProblem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Vector kRho{0.0};
// L·L' against X'WX + S summed by plain loops (see the PIRLS tests).
constexpr double kGramTol = 1e-13;

// Categories 1 … R from a latent curve plus logistic noise of the given
// size, cut at the family's cut points; without noise the categories are a
// function of x, the data separated.
Vector draw_categories(const Ocat& family, const Vector& x, double noise, std::uint32_t seed) {
  const Vector c = family::ocat_cut_points(family);
  const double span = c[family.n_cats - 1] - c[1];
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(1e-9, 1.0 - 1e-9);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = u(gen);
    const double latent = c[1] - 0.5 + (span + 1.0) * (0.5 + 0.5 * std::sin(4.0 * x[i] - 0.5)) +
                          noise * std::log(v / (1.0 - v));
    std::uint64_t k = 1;
    while (k < family.n_cats && latent > c[k]) ++k;
    y[i] = static_cast<double>(k);
  }
  return y;
}

TestProblem ocat_problem(std::size_t rows, const Vector& y, std::optional<Vector> w = std::nullopt,
                         std::uint64_t max_iter = 50) {
  return testing::make_problem(testing::cr_design(rows, 6), y, std::move(w), max_iter);
}

// W = max(½·w·d2, 1e-12) and its z at η, from the family's derivatives.
void working_quantities(const Ocat& f, const TestProblem& p, const Vector& eta, Vector& weights, Vector& response) {
  const family::OcatDerivatives d = family::ocat_eta_derivatives(p.y, f, eta);
  const Vector w = p.weights_or_ones();
  weights.assign(eta.size(), 0.0);
  response.assign(eta.size(), 0.0);
  for (std::size_t i = 0; i < eta.size(); ++i) {
    const double h = 0.5 * d.d2[i] * w[i];
    if (h > 1e-12) {
      weights[i] = h;
      response[i] = eta[i] - d.d1[i] / std::max(d.d2[i], 1e-12);
    } else {
      weights[i] = 1e-12;
      response[i] = eta[i] - 0.5 * w[i] * d.d1[i] / 1e-12;
    }
  }
}

struct OptimumCase {
  const char* name;
  Ocat family;
  double noise;
  std::vector<std::size_t> flipped;
  bool weighted;
};

TEST(FullNewtonOcat, ReachesThePenalizedOptimum) {
  // At the optimum ½X'(w∘d1) + S_λβ = 0. Each entry is a sum of terms
  // whose magnitudes add up to `magnitude`; Newton converges quadratically,
  // so once a step falls below 1e-9 the score left is far below 1e-8 of
  // that. The nearly separated fixtures have a few rows moved up one
  // category, so that the optimum is finite but steep.
  const std::size_t rows = 60;
  const Vector x = testing::covariate(rows);
  const OptimumCase cases[] = {
      {"three categories", family::ocat_identity(3), 1.0, {}, false},
      {"five categories, weighted", family::ocat_new({0.4, -0.7, 1.2}, 5), 1.0, {}, true},
      {"three categories nearly separated", family::ocat_identity(3), 0.0, {9, 40}, false},
      {"five categories nearly separated", family::ocat_identity(5), 0.0, {5, 20, 33, 50}, false},
  };
  for (const OptimumCase& c : cases) {
    SCOPED_TRACE(c.name);
    Vector y = draw_categories(c.family, x, c.noise, 3);
    for (std::size_t i : c.flipped) y[i] = std::min<double>(y[i] + 1.0, static_cast<double>(c.family.n_cats));
    std::optional<Vector> w;
    if (c.weighted) w = testing::varied_weights(rows);
    const TestProblem problem = ocat_problem(rows, y, w);
    auto fit = full_newton_fit(problem.view(c.family), kRho);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_TRUE(fit->converged);
    EXPECT_GE(fit->iterations, 2u);

    const Matrix& xm = problem.model_matrix;
    const Matrix s = naive_total_penalty(problem.penalties, kRho);
    const Vector wv = problem.weights_or_ones();
    const family::OcatDerivatives d = family::ocat_eta_derivatives(y, c.family, fit->eta);
    for (std::size_t j = 0; j < fit->p; ++j) {
      double score = 0.0, magnitude = 0.0;
      for (std::size_t i = 0; i < rows; ++i) {
        const double term = 0.5 * xm(i, j) * wv[i] * d.d1[i];
        score += term;
        magnitude += std::fabs(term);
      }
      for (std::size_t k = 0; k < fit->p; ++k) {
        score += s(j, k) * fit->beta[k];
        magnitude += std::fabs(s(j, k) * fit->beta[k]);
      }
      EXPECT_LE(std::fabs(score), 1e-8 * magnitude) << "entry " << j;
    }
    // η = Xβ to rounding; μ is η; the deviance is the family's at η.
    for (std::size_t i = 0; i < rows; ++i) {
      double e = 0.0;
      for (std::size_t j = 0; j < fit->p; ++j) e += xm(i, j) * fit->beta[j];
      EXPECT_NEAR(fit->eta[i], e, 1e-12 * (1.0 + std::fabs(e)));
    }
    EXPECT_EQ(fit->mu, fit->eta);
    EXPECT_EQ(fit->deviance, family::ocat_deviance(y, c.family, fit->eta, wv));

    // W, z and Pearson at the final η; the factor that of the state the
    // last step started from (the fit stopped one iteration earlier).
    Vector weights, response;
    working_quantities(c.family, problem, fit->eta, weights, response);
    double pearson = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      EXPECT_NEAR(fit->working_weights[i], weights[i], 1e-14 * weights[i]) << i;
      EXPECT_NEAR(fit->working_response[i], response[i], 1e-13 * (1.0 + std::fabs(response[i]))) << i;
      pearson += weights[i] * (response[i] - fit->eta[i]) * (response[i] - fit->eta[i]);
    }
    EXPECT_NEAR(fit->pearson, pearson, 1e-12 * pearson + 1e-300);
    auto before = full_newton_fit(ocat_problem(rows, y, w, fit->iterations - 1).view(c.family), kRho);
    ASSERT_TRUE(before.has_value());
    working_quantities(c.family, problem, before->eta, weights, response);
    expect_matrix_close(gram_of_factor(fit->factor), naive_penalized_hessian(xm, weights, s), kGramTol);
  }
}

// A cubic polynomial in x on [−1, 1] with a ridge on the two highest
// powers: a design where a row far out along x lies many logits away from
// its category.
TestProblem polynomial_problem(const Vector& xs, const Vector& y, std::optional<Vector> w) {
  Matrix x(xs.size(), 4);
  for (std::size_t i = 0; i < xs.size(); ++i)
    for (std::size_t j = 0; j < 4; ++j) x(i, j) = std::pow(xs[i], static_cast<double>(j));
  Matrix s(4, 4);
  s(2, 2) = 0.5;
  s(3, 3) = 0.5;
  return TestProblem{.penalties = {s},
                     .model_matrix = x,
                     .y = y,
                     .prior_weights = std::move(w),
                     .start_eta = std::nullopt,
                     .settings = inner::kPirlsInnerSettings};
}

TEST(FullNewtonOcat, RowWeightsActAsRowCounts) {
  // A row of weight 0 is a row left out, a row of weight 2 a row given
  // twice. The zero-weight row's working weight is floored at 1e-12, so its
  // pull on the Newton step must come from ½·w·d1 = 0, not from d1: far
  // outside its category d1 ≈ ±2 would move every step. Both fits converge
  // quadratically; 1e-10 is far above what is left after the last step.
  const Ocat f = family::ocat_identity(4);
  const std::size_t rows = 40;
  Vector xs(rows);
  for (std::size_t i = 0; i < rows; ++i) xs[i] = -1.0 + 2.0 * static_cast<double>(i) / (rows - 1);
  const Vector y = draw_categories(f, testing::covariate(rows), 0.8, 11);

  struct Case {
    const char* name;
    double extra_x, extra_y, extra_w;
    bool far_out;  // the row lies over 40 logits beyond its category
  } cases[] = {
      {"weight 0 inside the data", 0.3, 4.0, 0.0, false},
      {"weight 0, 40 logits out", 6.0, 1.0, 0.0, true},
      {"weight 0, 40 logits out on the other side", -6.0, 4.0, 0.0, true},
      {"weight 2", 0.3, 4.0, 2.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vector x_with = xs, y_with = y, w_with(rows, 1.0);
    x_with.push_back(c.extra_x);
    y_with.push_back(c.extra_y);
    w_with.push_back(c.extra_w);
    Vector x_ref = xs, y_ref = y;
    for (int copy = 0; copy < static_cast<int>(c.extra_w); ++copy) {
      x_ref.push_back(c.extra_x);
      y_ref.push_back(c.extra_y);
    }
    const TestProblem with = polynomial_problem(x_with, y_with, w_with);
    const TestProblem reference = polynomial_problem(x_ref, y_ref, std::nullopt);
    auto fit = full_newton_fit(with.view(f), kRho);
    auto ref = full_newton_fit(reference.view(f), kRho);
    ASSERT_TRUE(fit.has_value() && ref.has_value());
    EXPECT_TRUE(fit->converged);
    EXPECT_TRUE(ref->converged);
    testing::expect_vector_near(fit->beta, ref->beta, 1e-10);
    if (c.far_out) {
      double eta = 0.0;
      for (std::size_t j = 0; j < 4; ++j) eta += std::pow(c.extra_x, static_cast<double>(j)) * ref->beta[j];
      const Vector cuts = family::ocat_cut_points(f);
      const double distance = c.extra_y == 1.0 ? eta - cuts[1] : cuts[3] - eta;
      EXPECT_GT(distance, 40.0) << distance;
    }
  }
}

TEST(FullNewtonOcat, StartsAtTheMiddleOfEachCategory) {
  // Cut points −∞, −1, 0, 1, +∞: categories 1 … 4 start at −1.5, −0.5,
  // 0.5 and 1.5, the open ends closed at −2 and c_3 + 1 = 2. With no
  // iteration the record is that start: β = 0 although Xβ is not η, the
  // deviance there, W and z there and the factor of X'WX + S_λ without a
  // ridge.
  const Ocat f = family::ocat_identity(4);
  const std::size_t rows = 40;
  const Vector y = draw_categories(f, testing::covariate(rows), 0.8, 5);
  const Vector w = testing::varied_weights(rows);
  const TestProblem problem = ocat_problem(rows, y, w, 0);
  auto fit = full_newton_fit(problem.view(f), kRho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_FALSE(fit->converged);
  EXPECT_EQ(fit->iterations, 0u);
  EXPECT_EQ(fit->beta, Vector(fit->p, 0.0));
  const double midpoints[] = {-1.5, -0.5, 0.5, 1.5};
  for (std::size_t i = 0; i < rows; ++i) EXPECT_EQ(fit->eta[i], midpoints[static_cast<int>(y[i]) - 1]) << i;
  EXPECT_EQ(fit->mu, fit->eta);
  double deviance = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    const Vector c = family::ocat_cut_points(f);
    const int k = static_cast<int>(y[i]);
    const double upper = k == 4 ? 1.0 : 1.0 / (1.0 + std::exp(-(c[k] - fit->eta[i])));
    const double lower = k == 1 ? 0.0 : 1.0 / (1.0 + std::exp(-(c[k - 1] - fit->eta[i])));
    deviance += w[i] * -2.0 * std::log(upper - lower);
  }
  EXPECT_NEAR(fit->deviance, deviance, 1e-13 * deviance);
  Vector weights, response;
  working_quantities(f, problem, fit->eta, weights, response);
  EXPECT_EQ(fit->working_weights, weights);
  EXPECT_EQ(fit->working_response, response);
  expect_matrix_close(gram_of_factor(fit->factor),
                      naive_penalized_hessian(problem.model_matrix, weights, naive_total_penalty(problem.penalties, kRho)),
                      kGramTol);
}

TEST(FullNewtonOcat, ExitStates) {
  const Ocat f = family::ocat_identity(3);
  const std::size_t rows = 40;
  const Vector y = draw_categories(f, testing::covariate(rows), 1.0, 8);
  Vector nan_weight(rows, 1.0);
  nan_weight[7] = kNaN;
  auto start_of = [&](const TestProblem& p) { return full_newton_fit(p.view(f), kRho); };

  // A NaN weight makes that row's working response, and so every
  // candidate, NaN: iteration 0 fails after its last halving and the record
  // is the start with one iteration begun.
  {
    SCOPED_TRACE("halving failure in iteration 0");
    auto fit = full_newton_fit(ocat_problem(rows, y, nan_weight).view(f), kRho);
    auto start = start_of(ocat_problem(rows, y, nan_weight, 0));
    ASSERT_TRUE(fit.has_value() && start.has_value());
    EXPECT_FALSE(fit->converged);
    EXPECT_EQ(fit->iterations, 1u);
    EXPECT_EQ(fit->beta, start->beta);
    EXPECT_EQ(fit->eta, start->eta);
    EXPECT_TRUE(std::isnan(fit->deviance));
    EXPECT_EQ(fit->working_weights, start->working_weights);
    EXPECT_EQ(fit->factor, start->factor);
  }
  // One intercept with a tiny penalty. Row 0 (category 1, weight 1e300)
  // starts deep inside its category, 100 rows of category 3 start at 730;
  // every working weight is floored, and the first step moves the intercept
  // to about 715. There row 0 lies 716 logits beyond its cut point, its
  // probability floored: its weight stays floored while ½·w·d1/1e-12
  // overflows, so every candidate of the second iteration is infinite. The
  // record is the state after the first step, with that step's factor.
  {
    SCOPED_TRACE("halving failure in iteration 1");
    auto problem = [](std::uint64_t max_iter) {
      Vector y(101, 3.0), w(101, 1.0), start(101, 730.0);
      y[0] = 1.0;
      w[0] = 1e300;
      start[0] = -800.0;
      TestProblem p{.penalties = {Matrix(1, 1, 1e-14)},
                    .model_matrix = Matrix(101, 1, 1.0),
                    .y = y,
                    .prior_weights = w,
                    .start_eta = start,
                    .settings = {.max_iter = max_iter, .tol = 1e-9}};
      return p;
    };
    auto fit = full_newton_fit(problem(50).view(f), kRho);
    auto first = full_newton_fit(problem(1).view(f), kRho);
    ASSERT_TRUE(fit.has_value() && first.has_value());
    EXPECT_FALSE(fit->converged);
    EXPECT_EQ(fit->iterations, 2u);
    EXPECT_GT(first->beta[0], 708.0);
    EXPECT_EQ(fit->beta, first->beta);
    EXPECT_EQ(fit->eta, first->eta);
    EXPECT_EQ(fit->deviance, first->deviance);
    EXPECT_EQ(fit->factor, first->factor);
    EXPECT_EQ(fit->working_weights, first->working_weights);
    EXPECT_EQ(fit->working_response[0], -std::numeric_limits<double>::infinity());
  }
  // The first iteration never tests convergence; with one iteration the
  // fit ends by exhaustion, its factor that of the system at its final η.
  {
    SCOPED_TRACE("exhaustion after one iteration");
    const TestProblem one = ocat_problem(rows, y, std::nullopt, 1);
    auto fit = full_newton_fit(one.view(f), kRho);
    auto start = start_of(ocat_problem(rows, y, std::nullopt, 0));
    ASSERT_TRUE(fit.has_value() && start.has_value());
    EXPECT_FALSE(fit->converged);
    EXPECT_EQ(fit->iterations, 1u);
    EXPECT_NE(fit->beta, start->beta);
    Vector weights, response;
    working_quantities(f, one, fit->eta, weights, response);
    expect_matrix_close(gram_of_factor(fit->factor),
                        naive_penalized_hessian(one.model_matrix, weights, naive_total_penalty(one.penalties, kRho)),
                        kGramTol);
  }
  // A negative penalty leaves no system positive definite: the error of
  // the first iteration, or of the fresh factor when none runs.
  for (std::uint64_t max_iter : {50u, 0u}) {
    SCOPED_TRACE(max_iter);
    TestProblem problem = ocat_problem(rows, y, std::nullopt, max_iter);
    Matrix s = Matrix::identity(problem.model_matrix.cols);
    for (double& v : s.data) v *= -1e6;
    problem.penalties = {s};
    auto fit = full_newton_fit(problem.view(f), kRho);
    ASSERT_FALSE(fit.has_value());
    ASSERT_TRUE(fit.error().is<SingularSystem>());
    EXPECT_EQ(fit.error().message(), "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1");
  }
}

TEST(FullNewtonOcat, CompactFormAndWarmStartsReachTheSameOptimum) {
  // The structured products sum in another order than the dense ones, and
  // a warm start takes another path. Each fit stops once a step moves no
  // coefficient by 1e-9, and Newton converges quadratically, so the optima
  // (coefficients of order 1) agree far closer than 1e-8. A start at
  // another ρ and other thresholds is how the joint search's side refits
  // start; a start at the optimum itself proves convergence at once.
  const Ocat f = family::ocat_new({0.3, -0.2}, 4);
  const std::size_t rows = 300;
  const design::ModelDesign d = testing::cr_design(rows, 8);
  ASSERT_TRUE(d.compact.has_value());
  const TestProblem problem =
      testing::make_problem(d, draw_categories(f, testing::covariate(rows), 0.8, 21), testing::varied_weights(rows));
  const FitProblem<Ocat> dense = problem.view(f);
  FitProblem<Ocat> compact = dense;
  compact.compact = &*d.compact;
  auto reference = full_newton_fit(dense, kRho);
  auto neighbour = full_newton_fit(problem.view(family::ocat_new({0.6, -0.5}, 4)), Vector{kRho[0] + 1.0});
  ASSERT_TRUE(reference.has_value() && neighbour.has_value());
  ASSERT_TRUE(reference->converged);
  auto from = [](const InnerFit& fit) {
    return FitWorkspace{.warm = WarmStart{.beta = linalg::VectorView(fit.beta), .eta = linalg::VectorView(fit.eta)}};
  };
  struct Case {
    const char* name;
    const FitProblem<Ocat>* problem;
    FitWorkspace work;
    bool at_optimum;
  } cases[] = {
      {"compact X", &compact, {}, false},
      {"warm from a neighbour", &dense, from(*neighbour), false},
      {"warm from a neighbour, compact X", &compact, from(*neighbour), false},
      {"warm from the optimum", &dense, from(*reference), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fit = full_newton_fit(*c.problem, kRho, c.work);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_TRUE(fit->converged);
    if (c.at_optimum) {
      EXPECT_EQ(fit->iterations, 1u);
    }
    testing::expect_vector_near(fit->beta, reference->beta, 1e-8);
    testing::expect_close(fit->deviance, reference->deviance, 1e-10);
  }
}

TEST(FullNewtonOcat, APoolOnlySuppliesTheBuffers) {
  // The pool hands out vectors filled with NaN; every one must be written
  // before it is read, so the fit is the one without a pool, bit for bit.
  const Ocat f = family::ocat_identity(4);
  const std::size_t rows = 60;
  const TestProblem problem = ocat_problem(rows, draw_categories(f, testing::covariate(rows), 0.8, 4));
  linalg::VectorPool pool;
  for (int k = 0; k < 8; ++k) pool.give(Vector(rows, kNaN));
  auto own = full_newton_fit(problem.view(f), kRho);
  auto pooled = full_newton_fit(problem.view(f), kRho, {.pool = &pool});
  ASSERT_TRUE(own.has_value() && pooled.has_value());
  EXPECT_EQ(pooled->beta, own->beta);
  EXPECT_EQ(pooled->eta, own->eta);
  EXPECT_EQ(pooled->deviance, own->deviance);
  EXPECT_EQ(pooled->working_weights, own->working_weights);
  EXPECT_EQ(pooled->working_response, own->working_response);
  EXPECT_EQ(pooled->factor, own->factor);
}

TEST(FullNewtonOcat, GenericFitReachesItThroughTheFamily) {
  const Ocat f = family::ocat_identity(3);
  const TestProblem problem = ocat_problem(40, draw_categories(f, testing::covariate(40), 1.0, 8));
  inner::FitCounters counters;
  inner::FitProblem<Ocat> view = problem.view(f);
  auto generic = fit_at(view, kRho, {.counters = &counters});
  auto direct = full_newton_fit(view, kRho);
  ASSERT_TRUE(generic.has_value() && direct.has_value());
  EXPECT_EQ(generic->beta, direct->beta);
  EXPECT_EQ(counters.inner_fits, 1u);
  EXPECT_EQ(counters.pirls_iterations, direct->iterations);
}

}  // namespace
}  // namespace kavri::inner
