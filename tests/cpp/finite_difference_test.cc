#include "score/finite_difference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "family/gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;

// A criterion whose "gradient" is the linear field (ρ0 + 2ρ1, 4ρ0 + 3ρ1),
// not a true gradient, so the raw difference columns disagree off the
// diagonal; it records every point it is called at.
struct LinearField {
  std::vector<Vector> calls;
  std::size_t fail_at = 0;  // 1-based call that fails; 0 never
  bool degenerate_at_base = false;

  Result<ValueGrad> operator()(linalg::VectorView rho) {
    calls.push_back(rho.to_vector());
    if (calls.size() == fail_at) return singular_system("PIRLS factor: call " + std::to_string(fail_at));
    const double a = rho[0], b = rho[1];
    return ValueGrad{.value = a * a + b,
                     .gradient = {a + 2.0 * b, 4.0 * a + 3.0 * b},
                     .degenerate = degenerate_at_base && calls.size() == 1};
  }
};

TEST(OuterEvalFd, CentralDifferencesOfTheGradientSymmetrised) {
  LinearField field;
  const Vector rho{0.3, -1.2};
  auto eval = outer_eval_fd_with(field, rho);
  ASSERT_TRUE(eval.has_value());
  // The base call's value and gradient, bit for bit.
  EXPECT_EQ(eval->value, 0.3 * 0.3 + -1.2);
  EXPECT_EQ(eval->gradient, (Vector{0.3 + 2.0 * -1.2, 4.0 * 0.3 + 3.0 * -1.2}));
  EXPECT_FALSE(eval->degenerate);
  // Base, then ± along coordinate 0, then ± along coordinate 1.
  ASSERT_EQ(field.calls.size(), 5u);
  EXPECT_EQ(field.calls[1], (Vector{0.3 + 1e-5, -1.2}));
  EXPECT_EQ(field.calls[2], (Vector{0.3 - 1e-5, -1.2}));
  EXPECT_EQ(field.calls[3], (Vector{0.3, -1.2 + 1e-5}));
  EXPECT_EQ(field.calls[4], (Vector{0.3, -1.2 - 1e-5}));
  // The diagonal is the difference quotient itself, divided by the constant
  // 2e-5; the off-diagonal pair is the mean of 2 and 4. A step of 1e-5
  // around values of order one carries rounding of ε/1e-5 ≈ 2e-11.
  const Matrix& h = eval->hessian;
  ASSERT_EQ(h.rows, 2u);
  const Vector& up0 = field.calls[1];
  const Vector& down0 = field.calls[2];
  EXPECT_EQ(h(0, 0), ((up0[0] + 2.0 * up0[1]) - (down0[0] + 2.0 * down0[1])) / 2e-5);
  EXPECT_NEAR(h(0, 0), 1.0, 1e-10);
  EXPECT_NEAR(h(1, 1), 3.0, 1e-10);
  EXPECT_NEAR(h(0, 1), 3.0, 1e-10);
  EXPECT_EQ(h(0, 1), h(1, 0));
}

TEST(OuterEvalFd, FirstFailureEndsTheEvaluation) {
  // Call 5 is the − side of coordinate 1: four calls succeed before it.
  for (std::size_t fail_at : {1u, 2u, 5u}) {
    SCOPED_TRACE(fail_at);
    LinearField field{.calls = {}, .fail_at = fail_at, .degenerate_at_base = false};
    auto eval = outer_eval_fd_with(field, Vector{0.0, 0.0});
    ASSERT_FALSE(eval.has_value());
    ASSERT_TRUE(eval.error().is<SingularSystem>());
    EXPECT_EQ(eval.error().message(), "PIRLS factor: call " + std::to_string(fail_at));
    EXPECT_EQ(field.calls.size(), fail_at);
  }
}

TEST(OuterEvalFd, GuardValueAtTheBaseMarksTheEvaluation) {
  LinearField field{.calls = {}, .fail_at = 0, .degenerate_at_base = true};
  auto eval = outer_eval_fd_with(field, Vector{0.0, 0.0});
  ASSERT_TRUE(eval.has_value());
  EXPECT_TRUE(eval->degenerate);
}

TEST(OuterEvalFd, TakesTheStepItIsGiven) {
  // Gradient 4ρ³ of ρ⁴: its central difference with step h is 12ρ² + 4h²,
  // so the step shows in the result; at h = 1e-2 the rounding (ε/h ≈ 2e-14)
  // is far below the 4e-4 it adds.
  std::vector<double> points;
  auto quartic = [&](linalg::VectorView rho) -> Result<ValueGrad> {
    points.push_back(rho[0]);
    const double r = rho[0];
    return ValueGrad{.value = r * r * r * r, .gradient = {4.0 * r * r * r}, .degenerate = false};
  };
  auto eval = outer_eval_fd_with(quartic, Vector{1.0}, 1e-2);
  ASSERT_TRUE(eval.has_value());
  EXPECT_EQ(points, (std::vector<double>{1.0, 1.0 + 1e-2, 1.0 - 1e-2}));
  EXPECT_NEAR(eval->hessian(0, 0), 12.0 + 4e-4, 1e-12);
}

TEST(OuterEvalFd, GaussianHessianIsTheCurvatureOfTheValue) {
  // The Gaussian gradient is exact, so its differences match the second
  // difference of the value: with h = 1e-3 that has truncation h²·V''''/12
  // ~ 1e-7 and rounding ε·|V|/h² ~ 3e-8 against V'' of order one.
  design::ModelDesign d = testing::cr_design(60, 6);
  const Vector y = testing::draw_response(testing::Response::Normal, testing::covariate(60), 2);
  const auto problem = fit::make_fit_problem(family::gaussian_identity(), d, y, std::nullopt);
  const auto criterion = fit::make_criterion_view(family::gaussian_identity(), d, y, std::nullopt);
  const double rho = 1.1, h = 1e-3;
  auto eval = outer_eval_fd(problem, criterion, Vector{rho});
  auto v = [&](double r) { return envelope_score(problem, criterion, Vector{r})->value; };
  ASSERT_TRUE(eval.has_value());
  const double curvature = (v(rho + h) - 2.0 * v(rho) + v(rho - h)) / (h * h);
  testing::expect_close(eval->hessian(0, 0), curvature, 1e-6);
}

TEST(WarmSearch, ValuesAndEvaluationsAgreeWithColdFits) {
  // A trial valued and then evaluated keeps one fit: its value is the
  // evaluation's bit for bit, and the evaluation, with the exact Hessian,
  // adds no fit at all. Against fresh fits with the difference Hessian,
  // the warm ones differ only as far as the inner loop converged. V holds
  // ½ln|H| of a factor one update behind the coefficients, which moves with
  // the size of the last step: 1e-8 relative. The gradient (from H at the
  // fitted means) to 1e-7 of its scale; the difference Hessian divides that
  // noise by 2h = 2e-5: 1e-2 relative.
  design::ModelDesign d = testing::cr_design(60, 6);
  const Vector y = testing::draw_response(testing::Response::Counts, testing::covariate(60), 2);
  auto problem = fit::make_fit_problem(family::poisson_log(), d, y, std::nullopt);
  auto criterion = fit::make_criterion_view(family::poisson_log(), d, y, std::nullopt);
  inner::FitCounters counters;
  WarmSearch<family::Poisson> search(problem, criterion, &counters);
  ASSERT_TRUE(search.evaluate(Vector{0.0}).has_value());
  for (const double rho : {1.5, -1.0}) {
    SCOPED_TRACE(rho);
    auto value = search.value_at(Vector{rho});
    ASSERT_TRUE(value.has_value());
    const std::uint64_t fits_before = counters.inner_fits;
    auto eval = search.evaluate(Vector{rho});
    ASSERT_TRUE(eval.has_value());
    EXPECT_EQ(eval->value, *value);
    EXPECT_EQ(counters.inner_fits - fits_before, 0u);

    auto cold = outer_eval_fd(problem, criterion, Vector{rho});
    ASSERT_TRUE(cold.has_value());
    EXPECT_NEAR(eval->value, cold->value, 1e-8 * std::fabs(cold->value));
    EXPECT_NEAR(eval->gradient[0], cold->gradient[0], 1e-7 * (1.0 + std::fabs(cold->gradient[0])));
    EXPECT_NEAR(eval->hessian(0, 0), cold->hessian(0, 0), 1e-2 * std::fabs(cold->hessian(0, 0)));
  }
  const auto centre = search.take_centre_at(Vector{-1.0});
  ASSERT_TRUE(centre.has_value());
  EXPECT_TRUE(centre->converged);
}

}  // namespace
}  // namespace kavri::score
