// The exact gradient of the joint criterion over (ρ, shape) from one refit
// against central differences of V between complete refits, and the exact
// Hessian from the same refit against central differences of exact
// gradients, per shape family, design, weighting and point.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "design/re.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/plain_driver.h"
#include "fit/shape_driver.h"
#include "inner_fixture.h"
#include "score/shape_aware.h"
#include "shape_draws.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;

constexpr double kEps = 2.220446049250313e-16;
constexpr std::size_t kRows = 90;

// A random effect of nine groups of ten consecutive rows.
design::ModelDesign re_design() {
  Matrix g(kRows, 1);
  for (std::size_t i = 0; i < kRows; ++i) g(i, 0) = static_cast<double>(i / 10);
  auto d = design::build_single_re_design(g);
  EXPECT_TRUE(d.has_value());
  return std::move(*d);
}

// Integer prior weights 1, 2, 3, … cycling: a weight is a replication count.
Vector integer_weights() {
  Vector w(kRows);
  for (std::size_t i = 0; i < kRows; ++i) w[i] = static_cast<double>(1 + i % 3);
  return w;
}

// Inner fits far tighter than the default: V reads ½ln|H| at β̂, which is
// not stationary in β, so a fit stopped at 1e-9 moves V by that much and
// its difference quotient by 1e-9/h.
template <class F>
struct Fixture {
  design::ModelDesign design;
  Vector y;
  std::optional<Vector> weights;
  score::ShapeProblem<F> problem;

  Fixture(const F& family, design::ModelDesign d, Vector response, std::optional<Vector> w)
      : design(std::move(d)),
        y(std::move(response)),
        weights(std::move(w)),
        problem{fit::make_shape_problem(family, design, y,
                                        weights ? std::optional<linalg::VectorView>(*weights) : std::nullopt)} {
    problem.fit.settings.tol = 1e-14;
    problem.fit.settings.max_iter = 400;
  }
  Fixture(const Fixture&) = delete;
};

template <class F>
double refit_value(const score::ShapeProblem<F>& problem, const Vector& theta) {
  auto outcome = shape_refit(problem, theta);
  EXPECT_TRUE(outcome.has_value());
  return shape_laml_value(problem, outcome->fit, outcome->family, theta[0]);
}

// With h = 1e-5 the central difference carries h²/6·|V'''| (below 1e-9
// relative here) and a rounding of eps·|V|/h, counted 50 times for the
// roundings of the fits it differences; 1e-6 of the slope on top.
template <class F>
void expect_exact_gradient(const F& family, design::ModelDesign d, const Vector& y, std::optional<Vector> w,
                           const std::vector<Vector>& points) {
  Fixture<F> f(family, std::move(d), y, std::move(w));
  for (const Vector& theta : points) {
    auto vg = shape_value_grad(f.problem, theta);
    ASSERT_TRUE(vg.has_value()) << vg.error().message();
    ASSERT_EQ(vg->gradient.size(), theta.size());
    const double h = 1e-5;
    for (std::size_t c = 0; c < theta.size(); ++c) {
      Vector up = theta, down = theta;
      up[c] += h;
      down[c] -= h;
      const double fd = (refit_value(f.problem, up) - refit_value(f.problem, down)) / (2.0 * h);
      EXPECT_NEAR(vg->gradient[c], fd, 1e-6 * std::fabs(fd) + 50.0 * kEps * std::fabs(vg->value) / h)
          << "coordinate " << c << " at (" << theta[0] << ", " << theta[1] << ")";
    }
  }
}

// The Hessian of `shape_outer_eval` from one refit, exactly symmetric,
// against (g(θ + h·e_u) − g(θ − h·e_u))/2h of exact gradients, h = 1e-5.
// The difference carries h²/6·|g'''| (below 1e-9 of the entry here) and the
// gradient's own rounding and fit noise over 2h: the gradient sums n rows
// of terms as large as |V|, each to a few roundings, and the fits stop at
// 1e-14, so 1e3·eps·|V|/h bounds it; 1e-5 of the entry on top.
template <class F>
void expect_exact_hessian(const F& family, design::ModelDesign d, const Vector& y, std::optional<Vector> w,
                          const std::vector<Vector>& points) {
  Fixture<F> f(family, std::move(d), y, std::move(w));
  for (const Vector& theta : points) {
    inner::FitCounters counters;
    auto eval = shape_outer_eval(f.problem, theta, &counters);
    ASSERT_TRUE(eval.has_value()) << eval.error().message();
    EXPECT_EQ(counters.inner_fits, 1u);
    const std::size_t k = theta.size();
    ASSERT_EQ(eval->hessian.rows, k);
    const double h = 1e-5;
    for (std::size_t u = 0; u < k; ++u) {
      Vector up = theta, down = theta;
      up[u] += h;
      down[u] -= h;
      auto g_up = shape_value_grad(f.problem, up), g_down = shape_value_grad(f.problem, down);
      ASSERT_TRUE(g_up.has_value() && g_down.has_value());
      for (std::size_t i = 0; i < k; ++i) {
        EXPECT_EQ(eval->hessian(i, u), eval->hessian(u, i));
        const double fd = (g_up->gradient[i] - g_down->gradient[i]) / (2.0 * h);
        EXPECT_NEAR(eval->hessian(i, u), fd, 1e-5 * std::fabs(fd) + 1e3 * kEps * std::fabs(eval->value) / h)
            << "entry (" << i << ", " << u << ") at (" << theta[0] << ", " << theta[1] << ")";
      }
    }
  }
}

struct DesignCase {
  std::string name;
  bool re;
  bool weighted;
};
const DesignCase kDesignCases[] = {
    {"cr, unit weights", false, false},
    {"cr, integer weights", false, true},
    {"re, unit weights", true, false},
    {"re, integer weights", true, true},
};

design::ModelDesign design_of(const DesignCase& s) { return s.re ? re_design() : testing::cr_design(kRows, 6); }
std::optional<Vector> weights_of(const DesignCase& s) {
  return s.weighted ? std::optional<Vector>(integer_weights()) : std::nullopt;
}

TEST(ExactShapeGradient, NegativeBinomial) {
  const Vector y = testing::negbin_draws(testing::covariate(kRows), 21);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_gradient(family::negbin_log(2.0), design_of(s), y, weights_of(s),
                          {{0.0, std::log(2.0)}, {2.0, std::log(0.5)}, {-1.0, std::log(40.0)}});
  }
}

TEST(ExactShapeGradient, ScaledT) {
  const Vector y = testing::tdist_draws(testing::covariate(kRows), 22);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_gradient(family::tdist_identity(5.0, 1.0), design_of(s), y, weights_of(s),
                          {{0.0, std::log(0.09), std::log(2.0)},
                           {1.0, std::log(0.3), std::log(10.0)},
                           {-1.0, std::log(0.04), -1.0}});
  }
}

TEST(ExactShapeGradient, Tweedie) {
  const Vector y = testing::tweedie_draws(testing::covariate(kRows), 1.4, 1.2, 23);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_gradient(family::tweedie_log(1.5, 1.0), design_of(s), y, weights_of(s),
                          {{0.2, 0.1, -0.3}, {1.0, -0.5, 1.0}, {-0.5, 0.5, -1.5}});
  }
}

TEST(ExactShapeGradient, OrderedCategories) {
  const Vector y = testing::ocat_draws(testing::covariate(kRows), 4, 24);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_gradient(family::ocat_identity(4), design_of(s), y, weights_of(s),
                          {{0.0, 0.0, 0.0}, {1.0, 0.3, -0.2}, {-1.0, -0.5, 0.5}});
  }
}

TEST(ExactShapeHessian, NegativeBinomial) {
  const Vector y = testing::negbin_draws(testing::covariate(kRows), 21);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_hessian(family::negbin_log(2.0), design_of(s), y, weights_of(s),
                         {{0.0, std::log(2.0)}, {2.0, std::log(0.5)}, {-1.0, std::log(40.0)}});
  }
}

TEST(ExactShapeHessian, ScaledT) {
  const Vector y = testing::tdist_draws(testing::covariate(kRows), 22);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_hessian(family::tdist_identity(5.0, 1.0), design_of(s), y, weights_of(s),
                         {{0.0, std::log(0.09), std::log(2.0)},
                          {1.0, std::log(0.3), std::log(10.0)},
                          {-1.0, std::log(0.04), -1.0}});
  }
}

TEST(ExactShapeHessian, OrderedCategories) {
  const Vector y = testing::ocat_draws(testing::covariate(kRows), 4, 24);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_hessian(family::ocat_identity(4), design_of(s), y, weights_of(s),
                         {{0.0, 0.0, 0.0}, {1.0, 0.3, -0.2}, {-1.0, -0.5, 0.5}});
  }
}

TEST(ExactShapeHessian, Tweedie) {
  const Vector y = testing::tweedie_draws(testing::covariate(kRows), 1.4, 1.2, 23);
  for (const DesignCase& s : kDesignCases) {
    SCOPED_TRACE(s.name);
    expect_exact_hessian(family::tweedie_log(1.5, 1.0), design_of(s), y, weights_of(s),
                         {{0.2, 0.1, -0.3}, {1.0, -0.5, 1.0}, {-0.5, 0.5, -1.5}});
  }
}

// Where the shape map holds p at its bound V is flat in the power
// coordinate: its row and column are zero, and the others still match
// differences of exact gradients (tolerance as in `expect_exact_hessian`).
TEST(ExactShapeHessian, TweedieClampedPowerHasAZeroRowAndColumn) {
  const Vector y = testing::tweedie_draws(testing::covariate(kRows), 1.4, 1.2, 23);
  Fixture<family::Tweedie> f(family::tweedie_log(1.5, 1.0), testing::cr_design(kRows, 6), y, std::nullopt);
  const Vector theta{0.2, 0.1, -30.0};
  auto eval = shape_outer_eval(f.problem, theta);
  ASSERT_TRUE(eval.has_value());
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(eval->hessian(i, 2), 0.0);
    EXPECT_EQ(eval->hessian(2, i), 0.0);
  }
  const double h = 1e-5;
  for (std::size_t u = 0; u < 2; ++u) {
    Vector up = theta, down = theta;
    up[u] += h;
    down[u] -= h;
    auto g_up = shape_value_grad(f.problem, up), g_down = shape_value_grad(f.problem, down);
    ASSERT_TRUE(g_up.has_value() && g_down.has_value());
    for (std::size_t i = 0; i < 2; ++i) {
      const double fd = (g_up->gradient[i] - g_down->gradient[i]) / (2.0 * h);
      EXPECT_NEAR(eval->hessian(i, u), fd, 1e-5 * std::fabs(fd) + 1e3 * kEps * std::fabs(eval->value) / h);
    }
  }
}

}  // namespace
}  // namespace kavri::score
