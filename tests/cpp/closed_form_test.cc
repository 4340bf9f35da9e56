#include "inner/closed_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "family/gaussian.h"
#include "inner/pirls.h"
#include "inner_fixture.h"
#include "test_util.h"

namespace kavri::inner {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::Response;

constexpr std::size_t kRows = 50;
constexpr std::uint64_t kKnots = 6;
const Vector kRho{1.0};

// The arrays a closed-form problem views, and the problem with X'WX and
// X'Wy summed by plain loops, as the driver hands them over.
struct GaussianCase {
  GaussianCase(const design::ModelDesign& d, const Vector& y_in, const std::optional<Vector>& w_in)
      : penalties(d.penalties), x(d.model_matrix), y(y_in), w(w_in) {
    const std::size_t p = x.cols;
    Matrix xtwx(p, p);
    Vector xtwy(p, 0.0);
    for (std::size_t i = 0; i < x.rows; ++i) {
      const double wi = w ? (*w)[i] : 1.0;
      for (std::size_t a = 0; a < p; ++a) {
        xtwy[a] += x(i, a) * wi * y[i];
        for (std::size_t b = 0; b < p; ++b) xtwx(a, b) += x(i, a) * wi * x(i, b);
      }
    }
    problem = GaussianProblem{.family = family::gaussian_identity(),
                              .penalties = penalties,
                              .model_matrix = x,
                              .y = y,
                              .prior_weights = std::nullopt,
                              .start_eta = std::nullopt,
                              .settings = {},
                              .products = {.xtwx = std::move(xtwx),
                                           .xtwx_blocks = {},
                                           .xtwy = std::move(xtwy),
                                           .anchor = std::nullopt}};
    if (w) problem.prior_weights = linalg::VectorView(*w);
  }
  GaussianCase(const GaussianCase&) = delete;
  GaussianCase& operator=(const GaussianCase&) = delete;

  std::vector<Matrix> penalties;
  Matrix x;
  Vector y;
  std::optional<Vector> w;
  GaussianProblem problem;
};

// The Gaussian family made iterable: its PIRLS start is the response itself.
struct IterableGaussian : family::Gaussian {
  static Vector initial_mu(linalg::VectorView y) { return y.to_vector(); }
  static IterableGaussian family_from_theta(std::span<const double>) { return {}; }
};
static_assert(family::PirlsFamily<IterableGaussian>);

struct WeightCase {
  const char* name;
  std::optional<Vector> weights;
};
const WeightCase kWeightCases[] = {{"unweighted", std::nullopt}, {"weighted", testing::varied_weights(kRows)}};

TEST(ClosedFormGaussianFit, AgreesWithTheReweightedLoop) {
  // With identity link and unit variance the loop's system is the closed
  // form's (W = w, z = y); only the order of the cross-product sums differs,
  // and the system is well conditioned, so the coefficients agree to 1e-10.
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  for (const WeightCase& c : kWeightCases) {
    SCOPED_TRACE(c.name);
    auto closed = closed_form_gaussian_fit(GaussianCase(d, y, c.weights).problem, kRho);
    auto iterated = pirls_fit(testing::make_problem(d, y, c.weights).view(IterableGaussian{}), kRho);
    ASSERT_TRUE(closed.has_value() && iterated.has_value());
    EXPECT_TRUE(iterated->converged);
    testing::expect_vector_near(closed->beta, iterated->beta, 1e-10);
    testing::expect_vector_near(closed->eta, iterated->eta, 1e-10);
    EXPECT_NEAR(closed->deviance, iterated->deviance, 1e-10 * iterated->deviance);
    testing::expect_matrix_near(closed->factor, iterated->factor, 1e-10);
  }
}

TEST(ClosedFormGaussianFit, FactorsTheUnridgedSystemAndSolvesTheRidgedOne) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  for (const WeightCase& c : kWeightCases) {
    SCOPED_TRACE(c.name);
    const GaussianCase g(d, y, c.weights);
    const GaussianProblem& problem = g.problem;
    auto fit = closed_form_gaussian_fit(problem, kRho);
    ASSERT_TRUE(fit.has_value());
    const Matrix s = testing::naive_total_penalty(d.penalties, kRho);
    Matrix h = problem.products.xtwx;
    for (std::size_t k = 0; k < h.data.size(); ++k) h.data[k] += s.data[k];
    // Backward error of a Cholesky factor of a 6 × 6 matrix: a few ε·‖H‖.
    testing::expect_matrix_close(testing::gram_of_factor(fit->factor), h, 1e-14);

    // (H + δ·diag(H))·β = X'Wy, δ = 1e-12: the residual of the ridged
    // system is at rounding level, while that of H itself is δ·H_jj·β_j.
    for (std::size_t j = 0; j < h.rows; ++j) {
      double ridged = 1e-12 * h(j, j) * fit->beta[j];
      for (std::size_t k = 0; k < h.cols; ++k) ridged += h(j, k) * fit->beta[k];
      EXPECT_NEAR(ridged, problem.products.xtwy[j], 1e-12 * std::fabs(problem.products.xtwy[j]) + 1e-12) << j;
    }

    // The rest of the record.
    EXPECT_EQ(fit->iterations, 1u);
    EXPECT_TRUE(fit->converged);
    EXPECT_EQ(fit->pearson, fit->deviance);
    EXPECT_EQ(fit->mu, fit->eta);
    EXPECT_EQ(fit->working_response, y);
    EXPECT_EQ(fit->working_weights, c.weights ? *c.weights : Vector(kRows, 1.0));
    EXPECT_EQ(fit->n, kRows);
    EXPECT_EQ(fit->p, d.model_matrix.cols);
    double deviance = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double r = y[i] - fit->eta[i];
      deviance += (c.weights ? (*c.weights)[i] : 1.0) * r * r;
    }
    EXPECT_NEAR(fit->deviance, deviance, 1e-13 * deviance);
  }
}

TEST(ClosedFormGaussianFit, UnitWeightsAreNoWeights) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  auto ones = closed_form_gaussian_fit(GaussianCase(d, y, Vector(kRows, 1.0)).problem, kRho);
  auto none = closed_form_gaussian_fit(GaussianCase(d, y, std::nullopt).problem, kRho);
  ASSERT_TRUE(ones.has_value() && none.has_value());
  // (1·r)·r is r·r, and the cross products are formed alike.
  EXPECT_EQ(ones->beta, none->beta);
  EXPECT_EQ(ones->deviance, none->deviance);
  EXPECT_EQ(ones->working_weights, none->working_weights);
}

TEST(ClosedFormGaussianFit, ZeroWeightObservationDropsOut) {
  // An outlier of weight 0 changes neither the coefficients nor the
  // deviance: the fit equals the one without that row, up to the order of
  // the cross-product sums.
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  y[17] = 1e6;
  Vector w(kRows, 1.0);
  w[17] = 0.0;
  auto weighted = closed_form_gaussian_fit(GaussianCase(d, y, w).problem, kRho);

  design::ModelDesign dropped = d;
  dropped.model_matrix = Matrix(kRows - 1, d.model_matrix.cols);
  Vector y_dropped;
  for (std::size_t i = 0, r = 0; i < kRows; ++i) {
    if (i == 17) continue;
    for (std::size_t j = 0; j < d.model_matrix.cols; ++j) dropped.model_matrix(r, j) = d.model_matrix(i, j);
    y_dropped.push_back(y[i]);
    ++r;
  }
  auto reduced = closed_form_gaussian_fit(GaussianCase(dropped, y_dropped, std::nullopt).problem, kRho);
  ASSERT_TRUE(weighted.has_value() && reduced.has_value());
  testing::expect_vector_near(weighted->beta, reduced->beta, 1e-12);
  EXPECT_NEAR(weighted->deviance, reduced->deviance, 1e-12 * reduced->deviance);
}

TEST(ClosedFormGaussianFit, SystemThatIsNotPositiveDefiniteIsAnError) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  struct Case {
    const char* name;
    std::unique_ptr<GaussianCase> g;
  } cases[] = {
      // Every weight zero: H = S_λ, whose intercept row is zero, so the
      // first minor vanishes.
      {"penalty null space uncovered", std::make_unique<GaussianCase>(d, y, Vector(kRows, 0.0))},
      {"negative penalty", [&] {
         auto g = std::make_unique<GaussianCase>(d, y, std::nullopt);
         for (double& v : g->penalties[0].data) v = 0.0;
         for (std::size_t j = 0; j < g->x.cols; ++j) g->penalties[0](j, j) = -1e6;
         return g;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fit = closed_form_gaussian_fit(c.g->problem, kRho);
    ASSERT_FALSE(fit.has_value());
    ASSERT_TRUE(fit.error().is<SingularSystem>()) << fit.error().display();
    EXPECT_EQ(fit.error().message(), "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1");
  }
}

TEST(ClosedFormGaussianSearchFit, DevianceFromTheAnchorMatchesTheSummedSquares) {
  // A response far from zero: y'y is 1e8 times the residual sum of squares,
  // so a deviance expanded around β = 0 would lose about 1e-7 of it, while
  // one expanded around the fit at ρ = 0 loses only rounding of the change
  // between fits. The summed squares themselves carry ε·|y|/|y − μ| ≈ 1e-11
  // of rounding; 1e-10 relative separates the two expansions.
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  Vector y = testing::draw_response(Response::Normal, testing::covariate(kRows), 3);
  for (double& v : y) v += 1e4;
  for (const WeightCase& c : kWeightCases) {
    SCOPED_TRACE(c.name);
    GaussianCase g(d, y, c.weights);
    GaussianProblem& problem = g.problem;
    problem.products.anchor = gaussian_deviance_anchor(problem, Vector{0.0});
    ASSERT_TRUE(problem.products.anchor.has_value());
    for (const double rho : {-3.0, 0.0, 4.0, 12.0}) {
      SCOPED_TRACE(rho);
      auto full = closed_form_gaussian_fit(problem, Vector{rho});
      auto search = closed_form_gaussian_search_fit(problem, Vector{rho});
      ASSERT_TRUE(full.has_value() && search.has_value());
      EXPECT_EQ(search->beta, full->beta);
      EXPECT_EQ(search->factor, full->factor);
      EXPECT_NEAR(search->deviance, full->deviance, 1e-10 * full->deviance);
      EXPECT_EQ(search->pearson, search->deviance);
      EXPECT_TRUE(search->eta.empty() && search->mu.empty() && search->working_weights.empty());
    }
  }
}

}  // namespace
}  // namespace kavri::inner
