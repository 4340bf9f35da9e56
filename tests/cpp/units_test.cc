// A fit does not depend on the units of the response or on a common factor
// on the prior weights, wherever the model itself does not: rescaling y or
// w by c = 10^k moves ρ by the model's own ln c (through the working
// weights), and leaves the effective degrees of freedom, the convergence
// and the shape of the fitted curve as they were.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "design/cr.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

constexpr std::size_t kRows = 600;

struct Sample {
  Matrix x;  // kRows × 1
  Vector normal, positive, counts, proportions, w;
};

Sample sample() {
  std::mt19937 gen(41);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  Sample s{Matrix(kRows, 1), Vector(kRows), Vector(kRows), Vector(kRows), Vector(kRows), Vector(kRows)};
  for (std::size_t i = 0; i < kRows; ++i) {
    const double x = u(gen);
    const double f = std::sin(2.0 * std::numbers::pi * x);
    s.x(i, 0) = x;
    s.normal[i] = f + 0.3 * z(gen);
    s.positive[i] = std::exp(0.5 * f) * std::exp(0.3 * z(gen));
    s.counts[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(1.0 + f))(gen));
    const int trials = 1 + static_cast<int>(u(gen) * 8.0);
    s.proportions[i] =
        static_cast<double>(std::binomial_distribution<int>(trials, 1.0 / (1.0 + std::exp(-f)))(gen)) / trials;
    s.w[i] = 0.5 + u(gen);
  }
  return s;
}

using Fit = std::function<Result<FittedGam>(const Vector& y, const Vector& w)>;

template <class F>
Fit fit_of(F family, const Matrix& x) {
  return [family, &x](const Vector& y, const Vector& w) {
    auto design = design::build_single_cr_design(x, 10);
    EXPECT_TRUE(design.has_value());
    return fit_family(family, std::move(*design), kRows, y, linalg::VectorView(w));
  };
}

struct Case {
  const char* name;
  Fit fit;
  const Vector* y;
  bool scale_weights;  // otherwise y is scaled
  double rho_shift;    // ρ moves by rho_shift·ln c
  double mean_power;   // fitted means scale as c^mean_power
  double scale_power;  // the reported scale as c^scale_power
};

TEST(Units, RescaledResponsesAndWeightsGiveTheSameSmoothing) {
  // The outer search stops within its tolerance of the same optimum; its
  // Newton steps leave ρ good to far better than 1e-6 at an interior
  // minimum, and edf, means and scales follow to the same order.
  const Sample s = sample();
  const Case cases[] = {
      // X'WX does not depend on y: ρ stays.
      {"gaussian, y", fit_of(family::gaussian_identity(), s.x), &s.normal, false, 0.0, 1.0, 2.0},
      // W and the deviance scale with c: λ must follow.
      {"gaussian, weights", fit_of(family::gaussian_identity(), s.x), &s.normal, true, 1.0, 0.0, 1.0},
      {"gamma, y", fit_of(family::gamma_log(), s.x), &s.positive, false, 0.0, 1.0, 0.0},
      {"gamma, weights", fit_of(family::gamma_log(), s.x), &s.positive, true, 1.0, 0.0, 1.0},
      // W = w/μ (times the scale-free observed factor).
      {"inverse gaussian, y", fit_of(family::inverse_gaussian_log(), s.x), &s.positive, false, -1.0, 1.0, -1.0},
      // W = w·μ.
      {"quasipoisson, y", fit_of(family::quasipoisson_log(), s.x), &s.counts, false, 1.0, 1.0, 1.0},
      {"quasibinomial, weights", fit_of(family::quasibinomial_logit(), s.x), &s.proportions, true, 1.0, 0.0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto base = c.fit(*c.y, s.w);
    ASSERT_TRUE(base.has_value()) << base.error().display();
    ASSERT_TRUE(base->converged);
    for (const int k : {-8, -4, 4, 8}) {
      SCOPED_TRACE("c = 1e" + std::to_string(k));
      const double factor = std::pow(10.0, k);
      Vector y = *c.y, w = s.w;
      for (double& v : c.scale_weights ? w : y) v *= factor;
      auto scaled = c.fit(y, w);
      ASSERT_TRUE(scaled.has_value()) << scaled.error().display();
      EXPECT_EQ(scaled->converged, base->converged);
      const double shift = c.rho_shift * std::log(factor);
      EXPECT_NEAR(scaled->rho[0] - shift, base->rho[0], 1e-6 * std::max(1.0, std::fabs(base->rho[0])));
      EXPECT_NEAR(scaled->edf_total, base->edf_total, 1e-6 * base->edf_total);
      EXPECT_NEAR(scaled->scale, base->scale * std::pow(factor, c.scale_power),
                  1e-6 * base->scale * std::pow(factor, c.scale_power));
      // The linear predictor moves by ln c in its intercept under a log
      // link and by the factor under the identity link; the spline
      // coefficients follow the same rule.
      const bool log_link = base->link_kind == LinkKind::Log;
      for (std::size_t j = 0; j < base->beta.size(); ++j) {
        double expected = base->beta[j];
        if (c.mean_power != 0.0) {
          if (log_link) expected += j == 0 ? std::log(factor) : 0.0;
          else expected *= factor;
        }
        EXPECT_NEAR(scaled->beta[j], expected, 1e-6 * (std::fabs(expected) + (log_link ? 1.0 : factor))) << j;
      }
    }
  }
}

}  // namespace
}  // namespace kavri::fit
