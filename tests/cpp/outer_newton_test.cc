#include "outer/newton.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "test_util.h"

namespace kavri::outer {
namespace {

using linalg::Matrix;
using linalg::Vector;
using outer::OuterEval;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// An evaluation routine from closed-form value, gradient and Hessian that
// records every point it is asked for.
struct Recorder {
  std::vector<Vector> points;
};

OuterEval quadratic(const Vector& v, const Vector& centre, const Vector& curvature) {
  OuterEval e;
  e.value = 0.0;
  e.gradient.resize(v.size());
  e.hessian = Matrix(v.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = v[i] - centre[i];
    e.value += 0.5 * curvature[i] * d * d;
    e.gradient[i] = curvature[i] * d;
    e.hessian(i, i) = curvature[i];
  }
  return e;
}

TEST(MakePositiveDefinite, DocumentedExamples) {
  Matrix a(2, 2);
  a(0, 0) = 2.0, a(0, 1) = 1.0, a(1, 0) = 3.0, a(1, 1) = 2.0;
  const Matrix pd = make_positive_definite(a);
  // Symmetrised [[2, 2], [2, 2]]: eigenvalues 0 -> 1e-8 and 4, with
  // u1 = (1, -1)/√2 and u2 = (1, 1)/√2.
  EXPECT_NEAR(pd(0, 0), 2.0 + 5e-9, 1e-15);
  EXPECT_NEAR(pd(1, 1), 2.0 + 5e-9, 1e-15);
  EXPECT_NEAR(pd(0, 1), 2.0 - 5e-9, 1e-15);
  EXPECT_NEAR(pd(1, 0), 2.0 - 5e-9, 1e-15);

  EXPECT_EQ(make_positive_definite(Matrix(1, 1, -3.0))(0, 0), 1e-8);
  EXPECT_EQ(make_positive_definite(Matrix(1, 1, 0.5))(0, 0), 0.5);
  EXPECT_TRUE(std::isnan(make_positive_definite(Matrix(1, 1, kNaN))(0, 0)));
  EXPECT_EQ(make_positive_definite(Matrix(0, 0)).rows, 0u);
}

TEST(MakePositiveDefinite, KeepsPositiveDefiniteMatricesAndFloorsNegativeEigenvalues) {
  const Matrix spd = testing::random_spd(4, 3);
  testing::expect_matrix_near(make_positive_definite(spd), spd, 1e-12);
  Matrix indefinite = Matrix::identity(3);
  indefinite(2, 2) = -5.0;
  const Matrix pd = make_positive_definite(indefinite);
  EXPECT_NEAR(pd(0, 0), 1.0, 1e-15);
  EXPECT_NEAR(pd(2, 2), 1e-8, 1e-15);
}

TEST(OuterNewton, QuadraticIsSolvedInOneNewtonStep) {
  const Vector centre{1.0, -2.0, 0.5}, curv{2.0, 10.0, 0.5};
  int calls = 0;
  auto state = outer_newton_minimize(Vector{0.0, 0.0, 0.0}, [&](const Vector& v) -> Result<OuterEval> {
    ++calls;
    return quadratic(v, centre, curv);
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->converged);
  EXPECT_EQ(state->iterations, 1u);
  EXPECT_EQ(calls, 2);
  testing::expect_vector_near(state->rho, centre, 1e-12);
}

TEST(OuterNewton, ConvergedStartIsReturnedAfterOneEvaluation) {
  int calls = 0;
  auto state = outer_newton_minimize(Vector{3.0}, [&](const Vector& v) -> Result<OuterEval> {
    ++calls;
    return quadratic(v, Vector{3.0}, Vector{1.0});
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->converged);
  EXPECT_EQ(state->iterations, 0u);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(state->rho, Vector{3.0});
}

TEST(OuterNewton, StepIsCappedAtFiveInTheLargestEntry) {
  // Centre 8 away along x, 4 along y: the Newton step (8, 4) is scaled by
  // 5/8 to (5, 2.5); a step of exactly 5 is not scaled.
  std::vector<Vector> points;
  auto run = [&](Vector centre) {
    points.clear();
    return outer_newton_minimize(Vector{0.0, 0.0}, [&](const Vector& v) -> Result<OuterEval> {
      points.push_back(v);
      return quadratic(v, centre, Vector{1.0, 1.0});
    });
  };
  ASSERT_TRUE(run(Vector{8.0, 4.0}).has_value());
  ASSERT_GE(points.size(), 2u);
  EXPECT_EQ(points[1], (Vector{5.0, 2.5}));
  ASSERT_TRUE(run(Vector{5.0, 1.0}).has_value());
  EXPECT_EQ(points[1], (Vector{5.0, 1.0}));
}

TEST(OuterNewton, NonConvexFunctionReachesALocalMinimum) {
  // f(x, y) = x⁴ − 2x² + y² + 0.5xy: indefinite Hessian at the start 0.1,
  // minima near x = ±1.
  auto f = [](const Vector& v) -> Result<OuterEval> {
    const double x = v[0], y = v[1];
    OuterEval e;
    e.value = x * x * x * x - 2 * x * x + y * y + 0.5 * x * y;
    e.gradient = {4 * x * x * x - 4 * x + 0.5 * y, 2 * y + 0.5 * x};
    e.hessian = Matrix(2, 2);
    e.hessian(0, 0) = 12 * x * x - 4;
    e.hessian(0, 1) = e.hessian(1, 0) = 0.5;
    e.hessian(1, 1) = 2;
    return e;
  };
  auto state = outer_newton_minimize(Vector{0.1, 0.0}, f);
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->converged);
  auto at = f(state->rho);
  EXPECT_LT(max_abs_ignoring_nan(at->gradient), 5e-7 * (1 + std::fabs(at->value)) * 10);
  EXPECT_GT(at->hessian(0, 0), 0.0);
  EXPECT_LT(at->value, -0.9);
}

TEST(OuterNewton, NanStartValueEndsAfterTenRejectedTrials) {
  int calls = 0;
  auto state = outer_newton_minimize(Vector{0.0}, [&](const Vector& v) -> Result<OuterEval> {
    ++calls;
    OuterEval e = quadratic(v, Vector{1.0}, Vector{1.0});
    if (calls == 1) e.value = kNaN;
    return e;
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->converged);
  EXPECT_EQ(state->iterations, 1u);
  EXPECT_EQ(calls, 11);
  EXPECT_EQ(state->rho, Vector{0.0});
}

TEST(OuterNewton, AcceptsTheSmallestStepLengthButNoSmaller) {
  // The value only decreases within 1/512 of the start along the direction.
  for (const double cutoff : {1.0 / 512, 1.0 / 1024}) {
    SCOPED_TRACE(cutoff);
    int calls = 0;
    auto state = outer_newton_minimize(Vector{0.0}, [&](const Vector& v) -> Result<OuterEval> {
      ++calls;
      OuterEval e = quadratic(v, Vector{1.0}, Vector{1.0});
      if (v[0] > cutoff * 1.0000001) e.value = 10.0;  // direction is +1
      return e;
    });
    ASSERT_TRUE(state.has_value());
    if (cutoff == 1.0 / 512) {
      EXPECT_GE(state->iterations, 1u);
      EXPECT_EQ(state->rho.size(), 1u);
      EXPECT_GT(state->rho[0], 0.0);
    } else {
      EXPECT_EQ(state->iterations, 1u);
      EXPECT_EQ(calls, 11);
      EXPECT_EQ(state->rho, Vector{0.0});
      EXPECT_FALSE(state->converged);  // gnorm 1 is not below 1e-3·(1 + 1)
    }
  }
}

TEST(OuterNewton, AStepPromisingLessThanTheValueToleranceIsNotHalved) {
  // V = ½(ρ − c)² with its value carried at the resolution of a criterion
  // of magnitude M = 1e6: every trial reads 1e-7 above the start, as when
  // the inner fits' rounding exceeds the gain. The value tolerance is
  // 1e-11·(1 + M) ≈ 1e-5.
  struct Case {
    double offset;  // c: the Newton step from ρ = 0, and the gradient's size
    int trials;     // value-only trials the search makes
  };
  const Case cases[] = {
      {1e-3, 1},   // predicted decrease g'd = 1e-6: the search ends after the full step
      {1e-2, 10},  // 1e-4: beyond the tolerance, every halving is tried
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    int trials = 0;
    auto evaluate = [&](const Vector& v) -> Result<OuterEval> { return quadratic(v, Vector{c.offset}, Vector{1.0}); };
    auto value_at = [&](const Vector&) -> Result<double> {
      ++trials;
      return quadratic(Vector{0.0}, Vector{c.offset}, Vector{1.0}).value + 1e-7;
    };
    auto state = outer_newton_minimize(Vector{0.0}, evaluate, value_at, 1e6);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(trials, c.trials);
    EXPECT_EQ(state->rho, Vector{0.0});
    EXPECT_EQ(state->iterations, 1u);
    // Both stop as a failed line search does: converged under the loose
    // gradient tolerance 1e-3·(1 + M).
    EXPECT_TRUE(state->converged);
  }
}

TEST(OuterNewton, FailedTrialEvaluationsAreRejectionsNotErrors) {
  int calls = 0;
  auto state = outer_newton_minimize(Vector{0.0}, [&](const Vector& v) -> Result<OuterEval> {
    if (++calls > 1) return singular_system("PIRLS factor: boom");
    return quadratic(v, Vector{1.0}, Vector{1.0});
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(calls, 11);
  EXPECT_FALSE(state->converged);
}

TEST(OuterNewton, FirstEvaluationErrorIsReturnedUnchanged) {
  auto state = outer_newton_minimize(Vector{0.0}, [](const Vector&) -> Result<OuterEval> {
    return singular_system("PIRLS factor: Cholesky failed: x");
  });
  ASSERT_FALSE(state.has_value());
  ASSERT_TRUE(state.error().is<SingularSystem>());
  EXPECT_EQ(state.error().message(), "PIRLS factor: Cholesky failed: x");
}

// A criterion that keeps decreasing slowly forever: each Newton step of the
// quadratic model lands on a point whose value drops by a constant.
Result<OuterEval> endless_descent(const Vector& v) {
  OuterEval e;
  e.value = -v[0];  // decreasing along +x
  e.gradient = {-1.0};
  e.hessian = Matrix(1, 1, 1.0);  // Newton step +1
  return e;
}

TEST(OuterNewton, FiftiethAcceptedStepIsNotConverged) {
  auto state = outer_newton_minimize(Vector{0.0}, endless_descent);
  ASSERT_FALSE(state.has_value());
  ASSERT_TRUE(state.error().is<NotConverged>());
  EXPECT_EQ(state.error().as<NotConverged>().iters, 50u);
  EXPECT_EQ(state.error().as<NotConverged>().grad_norm, 1.0);
}

TEST(OuterNewton, LineSearchFailureOnTheFiftiethStepIsAResult) {
  auto state = outer_newton_minimize(Vector{0.0}, [](const Vector& v) -> Result<OuterEval> {
    auto e = endless_descent(v);
    if (v[0] > 49.0 + 1e-9) e->value = 1e9;  // the 50th step is rejected at every length
    return e;
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->iterations, 50u);
  EXPECT_FALSE(state->converged);
  EXPECT_EQ(state->rho, Vector{49.0});
}

TEST(OuterNewton, ValueTestStartsAfterThreeSteps) {
  // A gradient of 1e-9 (above the gradient tolerance 1e-10·(1 + 1)) on a
  // curvature at the eigenvalue floor 1e-8: each Newton step of 0.1 lowers
  // f by 1e-12, enough for the line search (1e-4 of the predicted 1e-10)
  // and below the value tolerance 1e-11·(1 + 1). Before k = 3 such steps
  // must not stop the search.
  std::vector<Vector> points;
  auto state = outer_newton_minimize(Vector{0.0}, [&](const Vector& v) -> Result<OuterEval> {
    points.push_back(v);
    OuterEval e;
    e.value = 1.0 - 1e-11 * v[0];
    e.gradient = {-1e-9};
    e.hessian = Matrix(1, 1, 1e-8);
    return e;
  });
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->converged);
  EXPECT_EQ(state->iterations, 3u);
  ASSERT_EQ(state->rho.size(), 1u);
  EXPECT_NEAR(state->rho[0], 0.3, 1e-15);
}

TEST(OuterNewton, StopDoesNotDependOnConstantsInTheValue) {
  // A criterion's value carries constants that move with the units of the
  // data; the steps, the stop and the point reached must not. Starting
  // 1e-4 from the centre of a quadratic with curvature 0.2, the one Newton
  // step gains only 1e-9 (f resolves 2e-12 at |f| = 1e4), which a margin
  // relative to |f| (1e-10·1e4) would refuse; it is taken, and the centre
  // is reached to rounding.
  for (const double offset : {0.0, 1e4, -1e4}) {
    SCOPED_TRACE(offset);
    auto state = outer_newton_minimize(
        Vector{2.0001},
        [&](const Vector& v) -> Result<OuterEval> {
          OuterEval e = quadratic(v, Vector{2.0}, Vector{0.2});
          e.value += offset;
          return e;
        },
        100.0);
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->converged);
    EXPECT_EQ(state->iterations, 1u);
    EXPECT_NEAR(state->rho[0], 2.0, 1e-15);
  }
}

TEST(OuterNewton, GuardValueAndNanGradientsAreNeverConverged) {
  struct Case {
    const char* name;
    OuterEval at;
  } cases[] = {
      {"guard value with zero gradient", OuterEval{1e12, {0.0}, Matrix(1, 1, 0.0), true}},
      {"all-NaN gradient", OuterEval{2.0, {kNaN}, Matrix(1, 1, 1.0), false}},
      {"infinite value", OuterEval{std::numeric_limits<double>::infinity(), {0.0}, Matrix(1, 1, 1.0), false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto state = outer_newton_minimize(Vector{0.0}, [&](const Vector&) -> Result<OuterEval> { return c.at; });
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->converged);
    EXPECT_EQ(state->iterations, 1u);
  }
}

// The value-only trials change which routine judges a trial, never the
// path: on functions whose line searches reject some trials (a capped step
// that overshoots, an indefinite start, a region where evaluation fails),
// the points fully evaluated with value-only trials are exactly the points
// accepted by the search that evaluates every trial, and the end state is
// the same bit for bit.
TEST(OuterNewton, ValueOnlyTrialsFollowTheFullTrialPath) {
  using Fn = std::function<Result<OuterEval>(const Vector&)>;
  const Fn nonconvex = [](const Vector& v) -> Result<OuterEval> {
    const double x = v[0], y = v[1];
    OuterEval e;
    e.value = x * x * x * x - 2 * x * x + y * y + 0.5 * x * y;
    e.gradient = {4 * x * x * x - 4 * x + 0.5 * y, 2 * y + 0.5 * x};
    e.hessian = Matrix(2, 2);
    e.hessian(0, 0) = 12 * x * x - 4;
    e.hessian(0, 1) = e.hessian(1, 0) = 0.5;
    e.hessian(1, 1) = 2;
    return e;
  };
  // exp(x) − 2x with a Hessian that underestimates the curvature ten-fold:
  // every full Newton step overshoots and is halved.
  const Fn overshoot = [](const Vector& v) -> Result<OuterEval> {
    OuterEval e;
    e.value = std::exp(v[0]) - 2.0 * v[0];
    e.gradient = {std::exp(v[0]) - 2.0};
    e.hessian = Matrix(1, 1, 0.1 * std::exp(v[0]));
    return e;
  };
  // The quadratic about 4 cannot be evaluated beyond 3: trials there fail.
  const Fn walled = [](const Vector& v) -> Result<OuterEval> {
    if (v[0] > 3.0) return not_converged(1, 0.0);
    return quadratic(v, Vector{4.0}, Vector{1.0});
  };
  struct Case {
    const char* name;
    Vector start;
    Fn f;
  } cases[] = {{"indefinite start", {0.1, 0.0}, nonconvex},
               {"halved steps", {-3.0}, overshoot},
               {"failing region", {0.0}, walled}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Vector> tried;  // every point of the full-trial search, the start first
    auto full = outer_newton_minimize(
        c.start,
        [&](const Vector& v) {
          tried.push_back(v);
          return c.f(v);
        },
        1.0);
    ASSERT_TRUE(full.has_value());

    std::vector<Vector> evaluated, valued;
    auto staged = outer_newton_minimize(
        c.start,
        [&](const Vector& v) {
          evaluated.push_back(v);
          return c.f(v);
        },
        [&](const Vector& v) -> Result<double> {
          valued.push_back(v);
          KAVRI_TRY(const OuterEval e, c.f(v));
          return e.value;
        },
        1.0);
    ASSERT_TRUE(staged.has_value());
    EXPECT_EQ(staged->rho, full->rho);
    EXPECT_EQ(staged->value, full->value);
    EXPECT_EQ(staged->grad_norm, full->grad_norm);
    EXPECT_EQ(staged->iterations, full->iterations);
    EXPECT_EQ(staged->converged, full->converged);
    // The same trials in the same order; a full evaluation only at the
    // start and at trials that passed, which ended their line search.
    ASSERT_FALSE(tried.empty());
    EXPECT_EQ(valued, std::vector<Vector>(tried.begin() + 1, tried.end()));
    ASSERT_FALSE(evaluated.empty());
    EXPECT_EQ(evaluated.front(), c.start);
    EXPECT_LT(evaluated.size(), tried.size());
    std::size_t next = 0;
    for (std::size_t e = 1; e < evaluated.size(); ++e) {
      while (next < valued.size() && valued[next] != evaluated[e]) ++next;
      EXPECT_LT(next, valued.size()) << "evaluated a point never valued";
    }
    EXPECT_EQ(evaluated.back(), staged->rho);
  }
}

// A trial whose value passes but whose full evaluation fails is rejected,
// and the search goes on with a shorter step.
TEST(OuterNewton, FailedFullEvaluationRejectsAValuedTrial) {
  std::vector<Vector> evaluated;
  auto state = outer_newton_minimize(
      Vector{0.0},
      [&](const Vector& v) -> Result<OuterEval> {
        evaluated.push_back(v);
        if (v[0] == 2.0) return not_converged(1, 0.0);
        return quadratic(v, Vector{2.0}, Vector{1.0});
      },
      [&](const Vector& v) -> Result<double> { return quadratic(v, Vector{2.0}, Vector{1.0}).value; }, 1.0);
  ASSERT_TRUE(state.has_value());
  ASSERT_GE(evaluated.size(), 3u);
  EXPECT_EQ(evaluated[1], Vector{2.0});  // passed on value, failed in full
  EXPECT_EQ(evaluated[2], Vector{1.0});  // the halved step
}

}  // namespace
}  // namespace kavri::outer
