// The shape-managed families over a random-effect design, fitted in block
// form against the same fits factored densely (the design without its
// block form): one evaluation of the joint criterion at a fixed point, and
// whole fits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "design/re.h"
#include "family/negbin.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/shape_driver.h"
#include "score/shape_aware.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;
using testing::expect_relative;

using ShapeFamily = std::variant<family::NegBin, family::Tweedie, family::TDist>;

struct Data {
  Matrix levels;  // n × 1: each row's level
  Vector y;
};

// Every level present, rows shuffled; the response around level effects of
// spread 0.5 drawn by the family's own law.
Data draw(const ShapeFamily& fam, std::size_t n, std::size_t levels, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> effect(0.0, 0.5);
  Vector a(levels);
  for (double& e : a) e = effect(gen);
  std::vector<std::size_t> lv(n);
  for (std::size_t i = 0; i < n; ++i) lv[i] = i % levels;
  std::shuffle(lv.begin(), lv.end(), gen);
  Data d{Matrix(n, 1), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    d.levels(i, 0) = static_cast<double>(lv[i]);
    const double eta = 0.5 + a[lv[i]];
    if (std::holds_alternative<family::NegBin>(fam)) {
      const double rate = std::gamma_distribution<double>(3.0, std::exp(eta) / 3.0)(gen);
      d.y[i] = static_cast<double>(std::poisson_distribution<int>(rate)(gen));
    } else if (std::holds_alternative<family::Tweedie>(fam)) {
      // Compound Poisson–gamma with p = 1.5, φ = 1.
      const double mu = std::exp(eta), p = 1.5;
      const int count = std::poisson_distribution<int>(std::pow(mu, 2.0 - p) / (2.0 - p))(gen);
      double s = 0.0;
      for (int j = 0; j < count; ++j)
        s += std::gamma_distribution<double>((2.0 - p) / (p - 1.0), (p - 1.0) * std::pow(mu, p - 1.0))(gen);
      d.y[i] = s;
    } else {
      d.y[i] = eta + 0.3 * std::student_t_distribution<double>(4.0)(gen);
    }
  }
  return d;
}

struct Case {
  const char* name;
  ShapeFamily family;
  std::size_t n;
  std::size_t levels;
  // The fits' search stops by its value test where V is flat in ρ (six
  // level effects tell little of their variance): the two searches, equal
  // step for step up to roundings, end a few 1e-7 apart in ρ, and the fit
  // is compared by V and by one evaluation at the dense fit's optimum.
  bool flat;
};

const Case kCases[] = {
    {"negbin, 6 levels", family::negbin_log(2.0), 600, 6, true},
    {"negbin, 300 levels", family::negbin_log(2.0), 900, 300, false},
    {"tweedie, 6 levels", family::tweedie_log(1.5, 1.0), 600, 6, false},
    {"tweedie, 300 levels", family::tweedie_log(1.5, 1.0), 900, 300, false},
    {"scaled t, 6 levels", family::tdist_identity(5.0, 0.2), 600, 6, false},
    {"scaled t, 300 levels", family::tdist_identity(5.0, 0.2), 900, 300, false},
};

// The designs of a case: one with its block form, one without.
struct Designs {
  design::ModelDesign blocked, dense;
};

Designs designs_of(const Data& d) {
  auto blocked = design::build_single_re_design(d.levels);
  auto dense = design::build_single_re_design(d.levels);
  EXPECT_TRUE(blocked.has_value() && dense.has_value());
  EXPECT_TRUE(blocked->re_blocks.has_value());
  dense->re_blocks.reset();
  return {std::move(*blocked), std::move(*dense)};
}

// At a fixed θ both evaluations refit to the same β̂ (the inner fits take
// the same steps, their roundings apart by a few ε·cond(H)) and read the
// same V, gradient and exact Hessian; the Schur form and the dense inverse
// differ by ε·cond(H) ≈ 1e-13 here, so 1e-10 relative leaves a margin of
// the inner fits' convergence tolerance on top.
constexpr double kEvalTolerance = 1e-10;

// V, its gradient and exact Hessian at θ by both forms of a design.
template <class F>
void expect_same_evaluation(const F& fam, const Designs& ds, const Vector& y, const Vector& theta) {
  const auto blocked = make_shape_problem(fam, ds.blocked, VectorView(y), std::nullopt, true);
  const auto dense = make_shape_problem(fam, ds.dense, VectorView(y), std::nullopt, true);
  ASSERT_NE(blocked.fit.re_blocks, nullptr);
  ASSERT_EQ(dense.fit.re_blocks, nullptr);
  auto eb = score::shape_outer_eval(blocked, theta);
  auto ed = score::shape_outer_eval(dense, theta);
  ASSERT_TRUE(eb.has_value()) << eb.error().display();
  ASSERT_TRUE(ed.has_value()) << ed.error().display();
  EXPECT_LE(std::fabs(eb->value - ed->value), kEvalTolerance * std::fabs(ed->value));
  // The gradient's entries cancel to 0 at an optimum from terms of order
  // 1 and above (λq/2, ½λ·tr(H⁻¹S_0), the rank): its roundings are
  // relative to those, not to itself.
  double scale = 1.0, worst = 0.0;
  for (std::size_t c = 0; c < ed->gradient.size(); ++c) {
    scale = std::max(scale, std::fabs(ed->gradient[c]));
    worst = std::max(worst, std::fabs(eb->gradient[c] - ed->gradient[c]));
  }
  EXPECT_LE(worst, kEvalTolerance * scale) << "gradient";
  expect_relative(eb->hessian.data, ed->hessian.data, kEvalTolerance, "Hessian");
}

TEST(ShapeBlocks, OneEvaluationEqualsTheDenseOne) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Data d = draw(c.family, c.n, c.levels, 11);
    const Designs ds = designs_of(d);
    std::visit(
        [&](const auto& fam) {
          Vector theta = shape_search_start(fam);
          theta[0] = 1.3;
          expect_same_evaluation(fam, ds, d.y, theta);
        },
        c.family);
  }
}

// Whole fits: the searches take the same steps from evaluations equal to
// kEvalTolerance, so V agrees to 1e-8 relative. Where the point is free,
// it moves by the gradient's rounding times the inverse of the criterion's
// smallest curvature: ν of the scaled t is a shallow direction (curvature
// ~1e-2 against gradient roundings ~1e-10), so the point and what follows
// from it (β, edf, scale, covariance) are held to 1e-6, a margin of 100;
// the algebra itself is held to kEvalTolerance by one evaluation at the
// dense fit's optimum.
constexpr double kValueTolerance = 1e-8;
constexpr double kPointTolerance = 1e-6;

TEST(ShapeBlocks, FitsReachTheDenseFit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Data d = draw(c.family, c.n, c.levels, 12);
    Designs ds = designs_of(d);
    std::visit(
        [&](const auto& fam) {
          auto fb = fit_shape_aware(fam, std::move(ds.blocked), c.n, VectorView(d.y), std::nullopt);
          auto fd = fit_shape_aware(fam, std::move(ds.dense), c.n, VectorView(d.y), std::nullopt);
          ASSERT_TRUE(fb.has_value()) << fb.error().display();
          ASSERT_TRUE(fd.has_value()) << fd.error().display();
          EXPECT_EQ(fb->converged, fd->converged);
          EXPECT_LE(std::fabs(fb->reml_value - fd->reml_value), kValueTolerance * std::fabs(fd->reml_value));
          Vector theta{fd->rho[0]};
          theta.insert(theta.end(), fd->shape_params.begin(), fd->shape_params.end());
          expect_same_evaluation(fam, designs_of(d), d.y, theta);
          if (c.flat) return;
          expect_relative(fb->rho, fd->rho, kPointTolerance, "rho");
          expect_relative(fb->shape_params, fd->shape_params, kPointTolerance, "shape");
          expect_relative(fb->beta, fd->beta, kPointTolerance, "beta");
          expect_relative(fb->edf_per_term, fd->edf_per_term, kPointTolerance, "edf per term");
          EXPECT_LE(std::fabs(fb->edf_total - fd->edf_total), kPointTolerance * fd->edf_total);
          EXPECT_LE(std::fabs(fb->scale - fd->scale), kPointTolerance * fd->scale);
          expect_relative(fb->vcov.data, fd->vcov.data, kPointTolerance, "covariance");
        },
        c.family);
  }
}

}  // namespace
}  // namespace kavri::fit
