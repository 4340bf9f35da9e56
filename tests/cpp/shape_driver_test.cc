// The drivers of the shape-managed, quantile and ordered categorical
// families: the warm start and automatic scale of the quantile fit, the
// work a fit does per evaluation, the covariance each driver stores against
// a refit at the chosen point, and the Tweedie search at its bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <type_traits>
#include <vector>

#include "family/elf.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/ocat_driver.h"
#include "fit/quantile.h"
#include "fit/shape_driver.h"
#include "inner/fit_at.h"
#include "linalg/cholesky.h"
#include "outer/newton.h"
#include "score/shape_aware.h"
#include "inner_fixture.h"
#include "shape_draws.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

// ---------------------------------------------------------------------------
// Quantile warm start and scale.

TEST(ElfWarmStart, QuantileIndexRoundsHalfAwayAndStaysInRange) {
  struct Case {
    std::uint64_t n;
    double tau;
    std::uint64_t index;
  };
  const Case cases[] = {
      {5, 0.5, 2},   {4, 0.5, 2},    // 1.5 rounds up: the upper middle value
      {10, 0.95, 9}, {10, 0.05, 0},  // 8.55 and 0.45
      {1, 0.9, 0},   {1, 0.1, 0},
      {7, std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(elf_quantile_index(c.n, c.tau), c.index) << c.n << " " << c.tau;
}

// σ = s·τ(1 − τ)/φ(Φ⁻¹(τ)) and λ = s·φ(Φ⁻¹(τ)): φ(0) = 1/√(2π) and
// φ(Φ⁻¹(0.1)) = φ(1.2815515655446004) = 0.17549833193248685; the normal
// quantile is good to 1.15e-9 relative.
TEST(ElfWarmStart, DefaultSigmaAndWidthValues) {
  constexpr double kPhi0 = 0.3989422804014327, kPhi10 = 0.17549833193248685;
  EXPECT_NEAR(elf_default_sigma(1.0, 5.0, 0.5), 0.25 / kPhi0, 1e-15);
  EXPECT_NEAR(elf_default_sigma(3.0, 5.0, 0.5), 0.75 / kPhi0, 1e-15);
  EXPECT_NEAR(elf_default_sigma(0.0, 5.0, 0.5), 5e-6 * 0.25 / kPhi0, 1e-20);  // the floor, 1e-6 of the spread
  EXPECT_NEAR(elf_default_sigma(std::numeric_limits<double>::quiet_NaN(), 5.0, 0.5), 5e-6 * 0.25 / kPhi0, 1e-20);
  EXPECT_NEAR(elf_default_sigma(1.0, 5.0, 0.1), 0.09 / kPhi10, 1e-9);
  EXPECT_NEAR(elf_default_sigma(1.0, 5.0, 0.1), elf_default_sigma(1.0, 5.0, 0.9), 1e-12);  // symmetric in τ
  EXPECT_NEAR(elf_default_width(1.0, 5.0, 0.5), kPhi0, 1e-15);
  EXPECT_NEAR(elf_default_width(2.0, 5.0, 0.1), 2.0 * kPhi10, 1e-9);
  EXPECT_NEAR(elf_default_width(0.0, 5.0, 0.5), 5e-6 * kPhi0, 1e-20);
}

// The warm start solves (X'X + S_0 + dI)·β = X'(y + q·1), q the τ-quantile
// of the ridge fit's residuals: checked by forming the residuals, their
// quantile and the system here.
TEST(ElfWarmStart, SolvesTheShiftedRidgeSystem) {
  const std::size_t n = 30;
  const design::ModelDesign d = testing::cr_design(n, 5);
  const Vector x = testing::covariate(n);
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = testing::true_eta(x[i]) + 0.3 * std::sin(17.0 * x[i]);
  const double tau = 0.25;
  auto warm = elf_warm_start(d.model_matrix, y, d.penalties, tau);
  ASSERT_TRUE(warm.has_value());

  const std::size_t p = d.model_matrix.cols;
  Matrix a = testing::naive_product(testing::transpose(d.model_matrix), d.model_matrix);
  double largest = 1.0;
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < p; ++j) a(i, j) += d.penalties[0](i, j);
    largest = std::max(largest, std::fabs(a(i, i)));
  }
  for (std::size_t i = 0; i < p; ++i) a(i, i) += 1e-7 * largest;
  Vector xty(p, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < p; ++j) xty[j] += d.model_matrix(i, j) * y[i];
  const Vector beta0 = testing::gauss_solve(a, xty);
  Vector r(n);
  for (std::size_t i = 0; i < n; ++i) {
    double fitted = 0.0;
    for (std::size_t j = 0; j < p; ++j) fitted += d.model_matrix(i, j) * beta0[j];
    r[i] = y[i] - fitted;
  }
  Vector sorted = r;
  std::sort(sorted.begin(), sorted.end());
  // The scaled median absolute deviation: 30 values, so medians of the
  // middle two.
  const double centre = 0.5 * (sorted[14] + sorted[15]);
  Vector deviations(n);
  for (std::size_t i = 0; i < n; ++i) deviations[i] = std::fabs(r[i] - centre);
  std::sort(deviations.begin(), deviations.end());
  EXPECT_NEAR(warm->residual_scale, 1.482602218505602 * 0.5 * (deviations[14] + deviations[15]),
              1e-12 * deviations[15]);
  const double q = sorted[7];  // (30 − 1)·0.25 = 7.25
  Vector shifted = xty;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < p; ++j) shifted[j] += d.model_matrix(i, j) * q;
  testing::expect_vector_near(warm->beta, testing::gauss_solve(a, shifted), 1e-9);
}

TEST(ElfWarmStart, Errors) {
  const design::ModelDesign d = testing::cr_design(12, 4);
  const Matrix empty(0, d.model_matrix.cols);
  auto none = elf_warm_start(empty, linalg::VectorView(nullptr, 0), d.penalties, 0.5);
  ASSERT_FALSE(none.has_value());
  testing::expect_invalid_parameter(none.error(), "ELF warm start needs at least one row");

  // A penalty that makes the system indefinite: the factorisation rejects it.
  std::vector<Matrix> negative = d.penalties;
  for (std::size_t i = 0; i < negative[0].rows; ++i) negative[0](i, i) -= 1e6;
  const Vector y(12, 1.0);
  auto singular = elf_warm_start(d.model_matrix, y, negative, 0.5);
  ASSERT_FALSE(singular.has_value());
  ASSERT_TRUE(singular.error().is<SingularSystem>());
  EXPECT_EQ(singular.error().message().rfind("ELF warm-start Cholesky: Computational failure in LAPACK subroutine", 0),
            0u)
      << singular.error().message();
}

// ---------------------------------------------------------------------------
// Fits through the drivers.

// Every fit: one refit per trial judged by its value alone; an evaluation
// makes `per_evaluation` refits, but every evaluation after the first runs
// at the trial valued last and takes that trial's refit as its base, one
// refit fewer; plus the final fit. So
// inner fits = E·per_evaluation − (E − 1) + values + 1.
template <class Fit>
void expect_inner_fits(const char* name, std::uint64_t per_evaluation, Fit&& fit) {
  SCOPED_TRACE(name);
  inner::FitCounters counters;
  auto model = fit(&counters);
  ASSERT_TRUE(model.has_value()) << model.error().message();
  EXPECT_GT(counters.evaluations, 0u);
  EXPECT_EQ(counters.inner_fits,
            counters.evaluations * per_evaluation - (counters.evaluations - 1) + counters.values + 1);
  // Every evaluation after the first follows a trial that passed on its value.
  EXPECT_GE(counters.values, counters.evaluations - 1);
}

TEST(ShapeDrivers, InnerFitsPerEvaluation) {
  const std::size_t n = 120;
  const Vector x = testing::covariate(n);
  const Matrix column = testing::column_of(x);
  auto design = [&] { return testing::cr_design(n, 6); };
  const Vector nb = testing::negbin_draws(x, 3), td = testing::tdist_draws(x, 4),
               tw = testing::tweedie_draws(x, 1.5, 1.0, 5), oc = testing::ocat_draws(x, 3, 6);
  // The exact Hessian from the base refit alone: one refit.
  expect_inner_fits("negbin", 1, [&](inner::FitCounters* c) {
    return fit_shape_aware(family::negbin_log(2.0), design(), n, nb, std::nullopt, c);
  });
  expect_inner_fits("tdist", 1, [&](inner::FitCounters* c) {
    return fit_shape_aware(family::tdist_identity(5.0, 1.0), design(), n, td, std::nullopt, c);
  });
  expect_inner_fits("tweedie", 1, [&](inner::FitCounters* c) {
    return fit_shape_aware(family::tweedie_log(1.5, 1.0), design(), n, tw, std::nullopt, c);
  });
  expect_inner_fits("ocat", 1, [&](inner::FitCounters* c) {
    return fit_ocat(family::ocat_new(Vector{0.0}, 3), column, oc, std::nullopt, "cr", 6, c);
  });
  // The quantile evaluation differentiates its one fit exactly, and every
  // fit after the first is a trial's: the evaluation at a trial that passed
  // and the final fit take the fit made there.
  inner::FitCounters elf;
  auto model = fit_elf(0.5, 0.0, 0.0, design(), n, td, std::nullopt, &elf);
  ASSERT_TRUE(model.has_value()) << model.error().message();
  EXPECT_GT(elf.evaluations, 1u);
  EXPECT_GE(elf.values, elf.evaluations - 1);
  EXPECT_EQ(elf.inner_fits, elf.values + 1);
}

// Judging a trial by its value alone gives the search path of full
// evaluations, bit for bit: the value is the same refit's. So does the
// search that hands a trial's refit to the evaluation there, whose
// evaluation is the one made afresh.
TEST(ShapeDrivers, TrialsJudgedByTheirValueTakeTheSamePath) {
  const std::size_t n = 200;
  const Vector x = testing::covariate(n);
  const design::ModelDesign d = testing::cr_design(n, 6);
  const Vector y = testing::tweedie_draws(x, 1.4, 1.3, 17);
  const score::ShapeProblem<family::Tweedie> problem =
      make_shape_problem(family::tweedie_log(1.5, 1.0), d, y, std::nullopt);
  auto evaluate = [&](const Vector& v) { return score::shape_outer_eval(problem, v); };
  const Vector start{0.0, 0.0, 0.0};
  auto full = outer::outer_newton_minimize(start, evaluate, static_cast<double>(n));
  auto cheap = outer::outer_newton_minimize(
      start, evaluate, [&](const Vector& v) { return score::shape_value(problem, linalg::VectorView(v)); },
      static_cast<double>(n));
  score::ShapeSearch search(problem);
  auto reused = outer::outer_newton_minimize(
      start, [&](const Vector& v) { return search.evaluate(v); },
      [&](const Vector& v) { return search.value_at(v); }, static_cast<double>(n));
  ASSERT_TRUE(full.has_value() && cheap.has_value() && reused.has_value());
  for (const auto* other : {&*cheap, &*reused}) {
    EXPECT_EQ(full->rho, other->rho);
    EXPECT_EQ(full->value, other->value);
    EXPECT_EQ(full->iterations, other->iterations);
    EXPECT_EQ(full->converged, other->converged);
  }

  const Vector at{0.3, 0.1, -0.2};
  score::ShapeSearch fresh(problem);
  auto value = fresh.value_at(at);
  auto from_trial = fresh.evaluate(at);
  auto afresh = score::shape_outer_eval(problem, at);
  ASSERT_TRUE(value.has_value() && from_trial.has_value() && afresh.has_value());
  EXPECT_EQ(*value, afresh->value);
  EXPECT_EQ(from_trial->value, afresh->value);
  EXPECT_EQ(from_trial->gradient, afresh->gradient);
  EXPECT_EQ(from_trial->hessian.data, afresh->hessian.data);
}

// The stored covariance against H of a refit at the chosen point: H⁻¹ for
// the families whose weights carry their scale or that have none, φ·H⁻¹
// for the Tweedie dispersion. The scale is the family's own.
TEST(ShapeDrivers, CovarianceAndScaleAgainstARefitAtTheChosenPoint) {
  const std::size_t n = 150;
  const Vector x = testing::covariate(n);
  const Matrix column = testing::column_of(x);
  const design::ModelDesign d = testing::cr_design(n, 6);

  // The covariance is the inverse of X'·diag(W_F)·X + λS with the expected
  // information W_F at the refit's means, written out per family (`fisher`
  // of the family value and μ; none: the Newton fit's own factor). The
  // inverse by an independent elimination of a well-conditioned 6 × 6
  // system: 1e-9 relative to its largest entry.
  auto check = [&](const auto& start, const Vector& y, double expected_scale_of_shape0, bool dispersion,
                   const FittedGam& model, auto&& fisher) {
    using F = std::decay_t<decltype(start)>;
    const score::ShapeProblem<F> problem = make_shape_problem(start, d, y, std::nullopt);
    Vector theta{model.rho[0]};
    theta.insert(theta.end(), model.shape_params.begin(), model.shape_params.end());
    auto refit = score::shape_refit(problem, theta);
    ASSERT_TRUE(refit.has_value());
    Matrix expected = linalg::inverse_from_cholesky(refit->fit.factor);
    if constexpr (!std::is_same_v<std::decay_t<decltype(fisher)>, std::nullptr_t>) {
      Vector wf(n);
      for (std::size_t i = 0; i < n; ++i) wf[i] = fisher(refit->family, refit->fit.mu[i]);
      Matrix s = d.penalties[0];
      for (double& v : s.data) v *= std::exp(model.rho[0]);
      expected = testing::gauss_inverse(testing::naive_penalized_hessian(d.model_matrix, wf, s));
    }
    const double factor = dispersion ? model.scale : 1.0;
    for (double& v : expected.data) v *= factor;
    testing::expect_matrix_near(model.vcov, expected, 1e-9 * testing::max_abs(expected));
    EXPECT_EQ(model.scale, expected_scale_of_shape0);
    testing::expect_vector_near(model.beta, refit->fit.beta, 1e-9);
  };

  const Vector nb = testing::negbin_draws(x, 7);
  auto negbin = fit_shape_aware(family::negbin_log(2.0), testing::cr_design(n, 6), n, nb, std::nullopt);
  ASSERT_TRUE(negbin.has_value());
  check(family::negbin_log(2.0), nb, std::exp(negbin->shape_params[0]), false, *negbin,
        [](const family::NegBin& f, double mu) { return mu * f.theta / (f.theta + mu); });

  const Vector td = testing::tdist_draws(x, 8);
  auto tdist = fit_shape_aware(family::tdist_identity(5.0, 1.0), testing::cr_design(n, 6), n, td, std::nullopt);
  ASSERT_TRUE(tdist.has_value());
  check(family::tdist_identity(5.0, 1.0), td, std::exp(tdist->shape_params[0]), false, *tdist,
        [](const family::TDist& f, double) { return (f.nu + 1.0) / ((f.nu + 3.0) * f.sigma2); });

  const Vector tw = testing::tweedie_draws(x, 1.5, 1.0, 9);
  auto tweedie = fit_shape_aware(family::tweedie_log(1.5, 1.0), testing::cr_design(n, 6), n, tw, std::nullopt);
  ASSERT_TRUE(tweedie.has_value());
  check(family::tweedie_log(1.5, 1.0), tw, std::max(std::exp(tweedie->shape_params[0]), 1e-6), true, *tweedie,
        [](const family::Tweedie& f, double mu) { return std::pow(mu, 2.0 - f.p); });

  const Vector oc = testing::ocat_draws(x, 4, 10);
  auto ocat = fit_ocat(family::ocat_new(Vector{0.0, 0.0}, 4), column, oc, std::nullopt, "cr", 6);
  ASSERT_TRUE(ocat.has_value());
  EXPECT_EQ(ocat->shape_params.size(), 2u);
  check(family::ocat_identity(4), oc, 1.0, false, *ocat, nullptr);
}

// The quantile fit's covariance is H⁻¹ of its final fit, its scale σ.
TEST(ShapeDrivers, QuantileCovarianceIsTheInverseOfTheFinalSystem) {
  const std::size_t n = 150;
  const Vector x = testing::covariate(n);
  const Vector y = testing::tdist_draws(x, 11);
  const design::ModelDesign d = testing::cr_design(n, 6);
  auto model = fit_elf(0.3, 0.2, 0.0, testing::cr_design(n, 6), n, y, std::nullopt);
  ASSERT_TRUE(model.has_value());
  EXPECT_EQ(model->scale, 0.2);
  EXPECT_TRUE(model->shape_params.empty());

  auto warm = elf_warm_start(d.model_matrix, y, d.penalties, 0.3);
  ASSERT_TRUE(warm.has_value());
  inner::ElfProblem<family::Elf> problem{.fit = make_fit_problem(family::elf_identity(0.3, 0.2, 0.2), d, y, std::nullopt),
                                  .beta_warm = linalg::VectorView(warm->beta)};
  problem.fit.settings = inner::kElfInnerSettings;
  auto refit = inner::fit_at(problem, linalg::VectorView(model->rho));
  ASSERT_TRUE(refit.has_value());
  testing::expect_matrix_near(model->vcov, scaled_covariance(refit->factor, 1.0), 0.0);
}

// Where the Tweedie power is clamped the criterion is flat in it; the
// search still leaves the bound when the data ask for an interior power,
// and stops on it, converged, when they ask for one beyond it. The search
// starts at p = 1.018 (clamped to 1.05), deeper than a driver would.
TEST(ShapeDrivers, TweedieSearchFromAClampedPower) {
  const std::size_t n = 2000;
  const Vector x = testing::covariate(n);
  const design::ModelDesign d = testing::cr_design(n, 8);
  for (double power : {1.5, 1.02}) {
    SCOPED_TRACE(power);
    const Vector y = testing::tweedie_draws(x, power, 1.0, 21);
    const score::ShapeProblem<family::Tweedie> problem =
        make_shape_problem(family::tweedie_log(1.5, 1.0), d, y, std::nullopt);
    auto state = outer::outer_newton_minimize(
        Vector{0.0, 0.0, -4.0}, [&](const Vector& v) { return score::shape_outer_eval(problem, v); },
        static_cast<double>(n));
    ASSERT_TRUE(state.has_value());
    const double fitted = score::family_at(problem.fit.family, linalg::VectorView(state->rho)).p;
    if (power == 1.5) {
      EXPECT_LE(std::fabs(fitted - 1.5), 0.06);
    } else {
      EXPECT_EQ(fitted, family::kTweedieMinPower);
      EXPECT_TRUE(state->converged);
    }
  }
}

// A start deep in the clamped range begins the search on its edge.
TEST(ShapeDrivers, TweedieStartMovesInsideTheClamps) {
  const Vector v = shape_search_start(family::tweedie_log(1.0000001, 1e-9));
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], std::log(1e-6));
  EXPECT_NEAR(v[2], -std::log(19.0), 1e-12);
  const Vector inside = shape_search_start(family::tdist_identity(5.0, 1.0));
  EXPECT_EQ(inside, (Vector{0.0, 0.0, std::log(3.0)}));
}

}  // namespace
}  // namespace kavri::fit
