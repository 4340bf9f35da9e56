// The criterion's gradient is the derivative of its value, for every plain
// family, on a single spline and on an additive model with a tensor and a
// random-effect term, with and without prior weights; and the search stops
// where the value is locally smallest, not merely where some gradient
// vanishes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design/cr.h"
#include "design_fixtures.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "score/envelope.h"
#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;

enum class Noise { Normal, Counts, Binary, GammaLike, InverseGaussianLike };

struct Data {
  Matrix x;  // n × 3: two smooth covariates and a factor of 8 levels
  Vector y;
  Vector w;  // prior weights in [0.5, 2]
};

Data simulate(Noise noise, std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  Data d{Matrix(n, 3), Vector(n), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const double a = u(gen), b = u(gen);
    const double level = static_cast<double>(i % 8);
    d.x(i, 0) = a;
    d.x(i, 1) = b;
    d.x(i, 2) = level;
    const double eta = 0.2 + 0.8 * std::sin(3.0 * a) + 0.5 * std::cos(2.0 * a * b) + 0.15 * (level - 3.5) / 3.5;
    switch (noise) {
      case Noise::Normal: d.y[i] = eta + 0.3 * z(gen); break;
      case Noise::Counts: d.y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen)); break;
      case Noise::Binary: d.y[i] = u(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0; break;
      case Noise::GammaLike: d.y[i] = std::exp(eta) * std::gamma_distribution<double>(4.0, 0.25)(gen); break;
      case Noise::InverseGaussianLike: d.y[i] = std::exp(eta + 0.25 * z(gen)); break;
    }
    d.w[i] = 0.5 + 1.5 * u(gen);
  }
  return d;
}

design::ModelDesign design_of(const Data& d, bool additive) {
  auto design = additive ? design::build_additive_design(
                               d.x, std::vector<design::TermSpec>{testing::te_term(0, 1, 4, 4),
                                                                  {design::TermSpec::Re{.col = 2}}})
                         : design::build_single_cr_design(linalg::MatrixView(d.x.data.data(), d.x.rows, 1, 3, 1), 8);
  EXPECT_TRUE(design.has_value()) << design.error().display();
  return std::move(*design);
}

// One table case: V at ρ, and a fit of the family, both on the case's data.
struct Case {
  std::string name;
  std::function<Result<ValueGrad>(const Vector& rho)> score;
  std::function<Result<fit::FittedGam>()> fit;
};

template <class F>
void add_cases(std::vector<Case>& cases, const char* name, F family, Noise noise) {
  for (const bool additive : {false, true})
    for (const bool weighted : {false, true}) {
      auto data = std::make_shared<Data>(simulate(noise, 160, 29));
      auto design = std::make_shared<design::ModelDesign>(design_of(*data, additive));
      auto weights = [data, weighted]() -> std::optional<linalg::VectorView> {
        if (weighted) return linalg::VectorView(data->w);
        return std::nullopt;
      };
      auto problem =
          std::make_shared<inner::FitProblem<F>>(fit::make_fit_problem(family, *design, data->y, weights()));
      auto criterion =
          std::make_shared<CriterionView>(fit::make_criterion_view(family, *design, data->y, weights()));
      cases.push_back(
          {std::string(name) + (additive ? " additive" : " single") + (weighted ? " weighted" : ""),
           [design, problem, criterion](const Vector& rho) { return envelope_score(*problem, *criterion, rho); },
           [family, data, design, weights] {
             return fit::fit_family(family, *design, data->y.size(), data->y, weights());
           }});
    }
}

std::vector<Case> table() {
  std::vector<Case> cases;
  add_cases(cases, "gaussian", family::gaussian_identity(), Noise::Normal);
  add_cases(cases, "bernoulli", family::bernoulli_logit(), Noise::Binary);
  add_cases(cases, "quasibinomial", family::quasibinomial_logit(), Noise::Binary);
  add_cases(cases, "poisson", family::poisson_log(), Noise::Counts);
  add_cases(cases, "quasipoisson", family::quasipoisson_log(), Noise::Counts);
  add_cases(cases, "gamma", family::gamma_log(), Noise::GammaLike);
  add_cases(cases, "inverse gaussian", family::inverse_gaussian_log(), Noise::InverseGaussianLike);
  return cases;
}

TEST(CriterionGradient, IsTheCentralDifferenceOfTheValue) {
  // h = 1e-5: truncation h²·V'''/6 ~ 1e-11. Each inner fit runs from the
  // same start to a relative deviance change below 1e-9, which moves V
  // smoothly in ρ while the iteration count stays the same. The value itself
  // carries a few ulps of |V| (a few hundred here) from its sums, so the
  // quotient is good to about 16·ε·|V|/h ~ 1e-7; above that floor the
  // gradient agrees to 1e-6 relative, 1e-8 absolute near zero.
  constexpr double h = 1e-5;
  for (const Case& c : table()) {
    SCOPED_TRACE(c.name);
    const bool single = c.name.find("single") != std::string::npos;
    const std::vector<Vector> points =
        single ? std::vector<Vector>{{-2.0}, {0.0}, {3.0}} : std::vector<Vector>{{-2.0, 0.0, 3.0}};
    for (const Vector& rho : points) {
      auto at = c.score(rho);
      ASSERT_TRUE(at.has_value()) << at.error().display();
      ASSERT_FALSE(at->degenerate);
      for (std::size_t j = 0; j < rho.size(); ++j) {
        SCOPED_TRACE("rho " + std::to_string(rho[0]) + ", coordinate " + std::to_string(j));
        Vector up = rho, down = rho;
        up[j] += h;
        down[j] -= h;
        auto vu = c.score(up);
        auto vd = c.score(down);
        ASSERT_TRUE(vu.has_value() && vd.has_value());
        const double slope = (vu->value - vd->value) / (2.0 * h);
        const double rounding = 16.0 * std::numeric_limits<double>::epsilon() * std::fabs(at->value) / h;
        EXPECT_NEAR(at->gradient[j], slope, std::max({1e-6 * std::fabs(slope), 1e-8, rounding}));
      }
    }
  }
}

TEST(CriterionMinimum, SearchStopsWhereTheValueIsLocallySmallest) {
  // Every neighbour 0.05 away along a coordinate is at least as high, up to
  // the 1e-9·|V| that separates the inner fits' noise from a real descent.
  for (const Case& c : table()) {
    SCOPED_TRACE(c.name);
    auto fitted = c.fit();
    ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
    EXPECT_TRUE(fitted->converged);
    auto at = c.score(fitted->rho);
    ASSERT_TRUE(at.has_value());
    // The fit's value comes from its search's warm-started fit at ρ, this
    // one from a fresh fit: they agree as far as the inner loop converged.
    // Its deviance is settled to 1e-9 relative, but V also holds ½ln|H| of
    // a factor one update behind, which moves with the last step: 1e-8.
    EXPECT_NEAR(at->value, fitted->reml_value, 1e-8 * std::fabs(at->value));
    for (std::size_t j = 0; j < fitted->rho.size(); ++j)
      for (const double step : {-0.05, 0.05}) {
        Vector moved = fitted->rho;
        moved[j] += step;
        auto there = c.score(moved);
        ASSERT_TRUE(there.has_value());
        EXPECT_GE(there->value, at->value - 1e-9 * std::fabs(at->value)) << "coordinate " << j << " step " << step;
      }
  }
}

// Binomial proportions with trials as prior weights: 220 rows in 50 groups,
// 1 to 6 trials each, a smooth effect of x and a group effect.
Data binomial_groups(std::uint32_t seed) {
  constexpr std::size_t n = 220;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  Vector group_effect(50);
  for (double& g : group_effect) g = 0.8 * z(gen);
  Data d{Matrix(n, 3), Vector(n), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t group = i % 50;
    d.x(i, 0) = u(gen);
    d.x(i, 1) = 0.0;
    d.x(i, 2) = static_cast<double>(group);
    const double p = 1.0 / (1.0 + std::exp(-(std::sin(4.0 * d.x(i, 0)) + group_effect[group])));
    const int trials = 1 + static_cast<int>(u(gen) * 6.0);
    d.y[i] = static_cast<double>(std::binomial_distribution<int>(trials, p)(gen)) / trials;
    d.w[i] = trials;
  }
  return d;
}

TEST(CriterionMinimum, BinomialWithManyGroupsReachesTheMinimum) {
  const Data data = binomial_groups(5);
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 10), {design::TermSpec::Re{.col = 2}}};
  auto design = design::build_additive_design(data.x, terms);
  ASSERT_TRUE(design.has_value());
  const auto problem = fit::make_fit_problem(family::bernoulli_logit(), *design, data.y, linalg::VectorView(data.w));
  const auto criterion =
      fit::make_criterion_view(family::bernoulli_logit(), *design, data.y, linalg::VectorView(data.w));
  auto fitted = fit::fit_family(family::bernoulli_logit(), *design, data.y.size(), data.y, linalg::VectorView(data.w));
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  EXPECT_TRUE(fitted->converged);
  auto at = envelope_score(problem, criterion, fitted->rho);
  ASSERT_TRUE(at.has_value());
  for (std::size_t j = 0; j < fitted->rho.size(); ++j)
    for (const double step : {-0.05, 0.05}) {
      Vector moved = fitted->rho;
      moved[j] += step;
      auto there = envelope_score(problem, criterion, moved);
      ASSERT_TRUE(there.has_value());
      EXPECT_GE(there->value, at->value - 1e-9 * std::fabs(at->value)) << "coordinate " << j << " step " << step;
    }
}

}  // namespace
}  // namespace kavri::score
