// The scaled t family through the re-weighted loop: a row's weight shrinks
// with its residual, so an outlier barely moves the fit, the fixed point is
// the minimiser of the penalized t deviance, and ν matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "design/cr.h"
#include "design/penalty.h"
#include "family/gaussian.h"
#include "family/tdist.h"
#include "fit/plain_driver.h"
#include "inner/closed_form.h"
#include "inner/pirls.h"
#include "linalg/products.h"

namespace kavri::inner {
namespace {

using linalg::Matrix;
using linalg::Vector;

constexpr std::size_t kRows = 40;
constexpr std::size_t kOutlierRow = 17;
const Vector kRho{-1.0};

// x on a grid in [0, 1], y = sin(2πx) + 0.3·t₃ noise from a fixed seed.
struct Fixture {
  Matrix x{kRows, 1};
  Vector y = Vector(kRows);
  design::ModelDesign design;

  Fixture() {
    std::mt19937 gen(20240611);
    std::student_t_distribution<double> noise(3.0);
    for (std::size_t i = 0; i < kRows; ++i) {
      x(i, 0) = static_cast<double>(i) / static_cast<double>(kRows - 1);
      y[i] = std::sin(2.0 * M_PI * x(i, 0)) + 0.3 * noise(gen);
    }
    auto built = design::build_single_cr_design(x.view(), 8);
    EXPECT_TRUE(built.has_value());
    design = std::move(*built);
  }
};

template <class F>
InnerFit fit_t(const F& family, const design::ModelDesign& design, const Vector& y, double tol = 1e-9,
               std::uint64_t max_iter = 50) {
  auto problem = fit::make_fit_problem(family, design, y, std::nullopt);
  problem.settings.tol = tol;
  problem.settings.max_iter = max_iter;
  auto fit = pirls_fit(problem, kRho);
  EXPECT_TRUE(fit.has_value());
  return std::move(*fit);
}

InnerFit fit_gaussian(const design::ModelDesign& design, const Vector& y) {
  const auto problem = fit::make_fit_problem(family::gaussian_identity(), design, y, std::nullopt);
  auto fit = closed_form_gaussian_fit(problem, kRho);
  EXPECT_TRUE(fit.has_value());
  return std::move(*fit);
}

double max_shift(const Vector& a, const Vector& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// One response raised by 15 moves the fitted curve at most a tenth as far
// as it moves the Gaussian fit at the same smoothing parameter.
TEST(TDistFit, AnOutlierBarelyMovesTheCurve) {
  const Fixture fx;
  Vector shifted = fx.y;
  shifted[kOutlierRow] += 15.0;
  const family::TDist t = family::tdist_identity(3.0, 0.1);
  const double t_shift = max_shift(fit_t(t, fx.design, fx.y).mu, fit_t(t, fx.design, shifted).mu);
  const double g_shift = max_shift(fit_gaussian(fx.design, fx.y).mu, fit_gaussian(fx.design, shifted).mu);
  EXPECT_GT(g_shift, 0.5);
  EXPECT_LT(t_shift, 0.1 * g_shift);
}

// At the fixed point the gradient of ½(D + β'S_λβ), −X'(W∘r) + S_λβ with
// the weights of the final means, vanishes. With tol 1e-14 the loop runs to
// rounding; 1e-10 of the size of its two parts allows the sums' rounding.
TEST(TDistFit, FixedPointIsAStationaryPointOfThePenalizedDeviance) {
  const Fixture fx;
  Vector shifted = fx.y;
  shifted[kOutlierRow] += 15.0;
  const family::TDist t = family::tdist_identity(3.0, 0.1);
  const InnerFit fit = fit_t(t, fx.design, shifted, 1e-14, 200);
  const Matrix s = design::total_penalty(fx.design.penalties, kRho);
  const std::size_t p = fit.beta.size();
  for (std::size_t j = 0; j < p; ++j) {
    double data = 0.0, size = 0.0, pen = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double psi = t.response_working_weight(1.0, shifted[i], fit.mu[i]) * (shifted[i] - fit.mu[i]);
      data += fx.design.model_matrix(i, j) * psi;
      size += std::fabs(fx.design.model_matrix(i, j) * psi);
    }
    for (std::size_t k = 0; k < p; ++k) pen += s(j, k) * fit.beta[k];
    EXPECT_NEAR(data, pen, 1e-10 * (size + std::fabs(pen))) << "coefficient " << j;
  }
}

// Each iteration minimises a quadratic that lies above D + P and touches it
// at the current fit, so D + P does not rise from the first fitted state on
// (up to the rounding of the sums, 1e-12 relative).
TEST(TDistFit, PenalizedDevianceNeverRises) {
  const Fixture fx;
  Vector shifted = fx.y;
  shifted[kOutlierRow] += 15.0;
  const family::TDist t = family::tdist_identity(2.5, 0.1);
  const Matrix s = design::total_penalty(fx.design.penalties, kRho);
  double previous = INFINITY;
  for (std::uint64_t k = 1; k <= 25; ++k) {
    const InnerFit fit = fit_t(t, fx.design, shifted, 1e-14, k);
    const double penalized = fit.deviance + linalg::quadratic_form(s.view(), fit.beta);
    EXPECT_LE(penalized, previous + 1e-12 * std::fabs(previous)) << "iteration " << k;
    previous = penalized;
  }
}

// The fit depends on ν: the weights of the residuals do.
TEST(TDistFit, CoefficientsChangeWithNu) {
  const Fixture fx;
  Vector shifted = fx.y;
  shifted[kOutlierRow] += 15.0;
  const InnerFit heavy = fit_t(family::tdist_identity(2.5, 0.1), fx.design, shifted);
  const InnerFit light = fit_t(family::tdist_identity(50.0, 0.1), fx.design, shifted);
  EXPECT_GT(max_shift(heavy.beta, light.beta), 1e-2);
}

}  // namespace
}  // namespace kavri::inner
