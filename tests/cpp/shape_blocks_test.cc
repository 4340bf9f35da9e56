// The shape-managed families and the ordered categorical one over a
// random-effect design, fitted in block form against the same fits
// factored densely (the design without its block form): one evaluation of
// the joint criterion at a fixed point, whole fits, and the ordered
// categorical inner fit through each way out of its loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "design/re.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/ocat_driver.h"
#include "fit/shape_driver.h"
#include "inner/fit_factor.h"
#include "score/shape_aware.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;
using testing::expect_relative;

using ShapeFamily = std::variant<family::NegBin, family::Tweedie, family::TDist, family::Ocat>;

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
    } else if (const auto* ocat = std::get_if<family::Ocat>(&fam)) {
      // A logistic latent variable cut at the family's cut points.
      const Vector cuts = family::ocat_cut_points(*ocat);
      const double v = std::uniform_real_distribution<double>(1e-9, 1.0 - 1e-9)(gen);
      const double latent = eta + std::log(v / (1.0 - v));
      std::uint64_t k = 1;
      while (k < ocat->n_cats && latent > cuts[k]) ++k;
      d.y[i] = static_cast<double>(k);
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
  // Integer prior weights 0, 1, 2, 3 in turn: a row of weight 0 keeps its
  // floored working weight in H.
  bool weighted = false;
};

const Case kCases[] = {
    {"negbin, 6 levels", family::negbin_log(2.0), 600, 6, true},
    {"negbin, 300 levels", family::negbin_log(2.0), 900, 300, false},
    {"tweedie, 6 levels", family::tweedie_log(1.5, 1.0), 600, 6, false},
    {"tweedie, 300 levels", family::tweedie_log(1.5, 1.0), 900, 300, false},
    {"scaled t, 6 levels", family::tdist_identity(5.0, 0.2), 600, 6, false},
    {"scaled t, 300 levels", family::tdist_identity(5.0, 0.2), 900, 300, false},
    {"ocat, 4 categories, 6 levels", family::ocat_identity(4), 600, 6, false},
    {"ocat, 4 categories, 6 levels, prior weights", family::ocat_identity(4), 600, 6, false, true},
    {"ocat, 4 categories, 300 levels", family::ocat_identity(4), 900, 300, false},
    {"ocat, 4 categories, 300 levels, prior weights", family::ocat_identity(4), 900, 300, false, true},
    {"ocat, 2 categories, 6 levels", family::ocat_new({}, 2), 600, 6, false},
    {"ocat, 2 categories, 300 levels, prior weights", family::ocat_new({}, 2), 900, 300, false, true},
};

Vector integer_weights(std::size_t n) {
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = static_cast<double>(i % 4);
  return w;
}

std::optional<VectorView> weights_of(const Case& c, const Vector& w) {
  if (!c.weighted) return std::nullopt;
  return VectorView(w);
}

// θ with ρ and the family's start shape coordinates.
template <class F>
Vector theta_at(const F& fam, double rho) {
  Vector theta = shape_search_start(fam);
  theta[0] = rho;
  return theta;
}
Vector theta_at(const family::Ocat& fam, double rho) {
  Vector theta{rho};
  theta.insert(theta.end(), fam.thresholds.begin(), fam.thresholds.end());
  return theta;
}

template <class F>
Result<FittedGam> fit_of(const F& fam, design::ModelDesign design, const Vector& y, std::optional<VectorView> w) {
  return fit_shape_aware(fam, std::move(design), y.size(), VectorView(y), w);
}
Result<FittedGam> fit_of(const family::Ocat& fam, design::ModelDesign design, const Vector& y,
                         std::optional<VectorView> w) {
  return fit_ocat(fam, std::move(design), y.size(), VectorView(y), w);
}

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
void expect_same_evaluation(const F& fam, const Designs& ds, const Vector& y, std::optional<VectorView> w,
                            const Vector& theta) {
  const auto blocked = make_shape_problem(fam, ds.blocked, VectorView(y), w, true);
  const auto dense = make_shape_problem(fam, ds.dense, VectorView(y), w, true);
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
    const Vector w = integer_weights(c.n);
    std::visit([&](const auto& fam) { expect_same_evaluation(fam, ds, d.y, weights_of(c, w), theta_at(fam, 1.3)); },
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
    const Vector w = integer_weights(c.n);
    std::visit(
        [&](const auto& fam) {
          auto fb = fit_of(fam, std::move(ds.blocked), d.y, weights_of(c, w));
          auto fd = fit_of(fam, std::move(ds.dense), d.y, weights_of(c, w));
          ASSERT_TRUE(fb.has_value()) << fb.error().display();
          ASSERT_TRUE(fd.has_value()) << fd.error().display();
          EXPECT_EQ(fb->converged, fd->converged);
          EXPECT_LE(std::fabs(fb->reml_value - fd->reml_value), kValueTolerance * std::fabs(fd->reml_value));
          Vector theta{fd->rho[0]};
          theta.insert(theta.end(), fd->shape_params.begin(), fd->shape_params.end());
          expect_same_evaluation(fam, designs_of(d), d.y, weights_of(c, w), theta);
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

// The ordered categorical inner fit at fixed ρ in block form against the
// dense one, through each way out of its loop: the same steps up to
// rounding, so β, W, the deviance and the factor's ln|H| and inverse agree
// to a few ε·cond(H) (cond ≈ 1e3 here), far inside 1e-10 relative. Every
// exit but convergence factors the system at the final η afresh.
TEST(ShapeBlocks, OcatInnerFitEqualsTheDenseOneThroughEveryExit) {
  constexpr double kTolerance = 1e-10;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct InnerCase {
    const char* name;
    family::Ocat family;
    inner::InnerSettings settings;
    bool weighted;
    bool nan_weight;  // every candidate NaN: iteration 0 fails after its last halving
  };
  const inner::InnerSettings full = inner::kPirlsInnerSettings;
  const InnerCase cases[] = {
      {"converged", family::ocat_new({0.3, -0.2}, 4), full, false, false},
      {"converged, prior weights with zeros", family::ocat_new({0.3, -0.2}, 4), full, true, false},
      {"converged, 2 categories", family::ocat_new({}, 2), full, true, false},
      {"no iteration", family::ocat_new({0.3, -0.2}, 4), {.max_iter = 0, .tol = 1e-9, .max_halvings = 101}, false,
       false},
      {"no step length", family::ocat_new({0.3, -0.2}, 4), {.max_iter = 50, .tol = 1e-9, .max_halvings = 0}, false,
       false},
      {"out of iterations", family::ocat_new({0.3, -0.2}, 4), {.max_iter = 1, .tol = 1e-9, .max_halvings = 101},
       true, false},
      {"halving failure in iteration 0", family::ocat_new({0.3, -0.2}, 4), full, true, true},
  };
  for (const InnerCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t n = 600;
    const Data d = draw(c.family, n, 40, 13);
    const Designs ds = designs_of(d);
    Vector w = integer_weights(n);
    if (c.nan_weight) w[7] = kNaN;
    const std::optional<VectorView> pw = c.weighted ? std::optional(VectorView(w)) : std::nullopt;
    inner::FitProblem<family::Ocat> blocked = make_fit_problem(c.family, ds.blocked, VectorView(d.y), pw, true);
    inner::FitProblem<family::Ocat> dense = make_fit_problem(c.family, ds.dense, VectorView(d.y), pw, true);
    ASSERT_NE(blocked.re_blocks, nullptr);
    ASSERT_EQ(dense.re_blocks, nullptr);
    blocked.settings = dense.settings = c.settings;
    const Vector rho{0.7};
    auto fb = inner::fit_at(blocked, VectorView(rho));
    auto fd = inner::fit_at(dense, VectorView(rho));
    ASSERT_TRUE(fb.has_value()) << fb.error().display();
    ASSERT_TRUE(fd.has_value()) << fd.error().display();
    ASSERT_TRUE(fb->block_factor.has_value());
    EXPECT_TRUE(fb->factor.data.empty());
    EXPECT_EQ(fb->iterations, fd->iterations);
    EXPECT_EQ(fb->converged, fd->converged);
    expect_relative(fb->beta, fd->beta, kTolerance, "beta");
    expect_relative(fb->working_weights, fd->working_weights, kTolerance, "W");
    if (c.nan_weight) {
      EXPECT_TRUE(std::isnan(fb->deviance) && std::isnan(fd->deviance));
    } else {
      EXPECT_LE(std::fabs(fb->deviance - fd->deviance), kTolerance * std::fabs(fd->deviance));
    }
    // ln|H| sums p logarithms, each off by a relative error: absolute, at a
    // ln|H| that may lie near zero.
    const double log_det = inner::fit_log_det(*fd);
    EXPECT_LE(std::fabs(inner::fit_log_det(*fb) - log_det), kTolerance * std::max(1.0, std::fabs(log_det)));
    expect_relative(inner::fit_inverse(*fb).data, inner::fit_inverse(*fd).data, kTolerance, "inverse");
  }
}

// A penalty of −10⁶ on every level leaves no system positive definite: the
// error of the first iteration's solve, or of the fresh factor when none
// runs, with the block factor's failure (its first level, code 1).
TEST(ShapeBlocks, OcatBlockSystemThatDoesNotFactorIsASingularSystem) {
  const family::Ocat f = family::ocat_identity(3);
  const Data d = draw(f, 120, 6, 14);
  const Designs ds = designs_of(d);
  design::ReBlocks negative = *ds.blocked.re_blocks;
  for (double& v : negative.penalties[0].d) v *= -1e6;
  for (const std::uint64_t max_iter : {50u, 0u}) {
    SCOPED_TRACE(max_iter);
    inner::FitProblem<family::Ocat> problem = make_fit_problem(f, ds.blocked, VectorView(d.y), std::nullopt, true);
    problem.re_blocks = &negative;
    problem.settings.max_iter = max_iter;
    auto fit = inner::fit_at(problem, VectorView(Vector{0.0}));
    ASSERT_FALSE(fit.has_value());
    ASSERT_TRUE(fit.error().is<SingularSystem>());
    EXPECT_EQ(fit.error().message(), "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1");
  }
}

}  // namespace
}  // namespace kavri::fit
