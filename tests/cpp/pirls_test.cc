#include "inner/pirls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "family/binomial.h"
#include "family/gamma.h"
#include "family/poisson.h"
#include "inner_fixture.h"
#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::inner {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::expect_matrix_close;
using testing::gram_of_factor;
using testing::naive_penalized_hessian;
using testing::naive_total_penalty;
using testing::Reference;
using testing::Response;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = std::numeric_limits<double>::epsilon();

constexpr std::size_t kRows = 60;
constexpr std::uint64_t kKnots = 7;
const Vector kRho{0.5};

// A working weight or response recomputed with the reference formulas: a
// handful of roundings each.
constexpr double kWorkingTol = 8.0 * kEps;
// L·L' against X'WX + S summed by plain loops: each entry is a sum of 60
// products, and the factor's backward error is a small multiple of
// p·ε·‖H‖, both below 1e-13 relative to the largest entry.
constexpr double kGramTol = 1e-13;

// The fit of one family on the shared design, as a callable so that cases
// of different family types share a table.
using FitFn = std::function<Result<InnerFit>(const testing::TestProblem&, linalg::VectorView)>;

const FitFn kPoissonFit = testing::pirls_with(family::poisson_log());
const FitFn kQuasiPoissonFit = testing::pirls_with(family::quasipoisson_log());
const FitFn kBernoulliFit = testing::pirls_with(family::bernoulli_logit());
const FitFn kQuasiBinomialFit = testing::pirls_with(family::quasibinomial_logit());
const FitFn kGammaFit = testing::pirls_with(family::gamma_log());

struct FamilyCase {
  const char* name;
  FitFn fit;
  Response response;
  const Reference* reference;
  bool weighted;
};

const FamilyCase kFamilies[] = {
    {"poisson", kPoissonFit, Response::Counts, &testing::kPoissonReference, false},
    {"poisson weighted", kPoissonFit, Response::Counts, &testing::kPoissonReference, true},
    {"bernoulli", kBernoulliFit, Response::Binary, &testing::kBernoulliReference, false},
    {"bernoulli weighted", kBernoulliFit, Response::Binary, &testing::kBernoulliReference, true},
    {"gamma", kGammaFit, Response::GammaLike, &testing::kGammaReference, false},
    {"gamma weighted", kGammaFit, Response::GammaLike, &testing::kGammaReference, true},
};

testing::TestProblem family_problem(const FamilyCase& c, std::uint64_t max_iter = 50) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  Vector y = testing::draw_response(c.response, testing::covariate(kRows), 7);
  std::optional<Vector> w;
  if (c.weighted) w = testing::varied_weights(kRows);
  return testing::make_problem(d, std::move(y), std::move(w), max_iter);
}

// P(β) = D + β'S_λβ with the quadratic form summed by plain loops.
double penalized_deviance(const InnerFit& fit, const Matrix& s) {
  double q = 0.0;
  for (std::size_t a = 0; a < fit.p; ++a)
    for (std::size_t b = 0; b < fit.p; ++b) q += fit.beta[a] * s(a, b) * fit.beta[b];
  return fit.deviance + q;
}

// At the optimum the penalized score X'·(w·(y − μ)/(V·g')) − S_λβ
// vanishes. Its entries are sums of terms of size up to `scale`; the loop
// stops on a relative deviance change below 1e-9. The canonical links
// converge quadratically and leave about 1e-12 of that scale; the Gamma
// log link (Fisher scoring, linear convergence) leaves a few 1e-9.
void expect_penalized_optimum(const FamilyCase& c, const testing::TestProblem& problem, const InnerFit* fit) {
  const Matrix& x = problem.model_matrix;
  const Matrix s = naive_total_penalty(problem.penalties, kRho);
  const Vector w = problem.weights_or_ones();
  double scale = 0.0;
  Vector score(fit->p, 0.0);
  for (std::size_t j = 0; j < fit->p; ++j) {
    double magnitude = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double term = x(i, j) * w[i] * c.reference->score(problem.y[i], fit->mu[i]);
      score[j] += term;
      magnitude += std::fabs(term);
    }
    for (std::size_t k = 0; k < fit->p; ++k) {
      score[j] -= s(j, k) * fit->beta[k];
      magnitude += std::fabs(s(j, k) * fit->beta[k]);
    }
    scale = std::max(scale, magnitude);
  }
  for (std::size_t j = 0; j < fit->p; ++j) EXPECT_LE(std::fabs(score[j]), 1e-8 * scale) << "entry " << j;
}

TEST(PirlsFit, ReachesThePenalizedOptimum) {
  for (const FamilyCase& c : kFamilies) {
    SCOPED_TRACE(c.name);
    const testing::TestProblem problem = family_problem(c);
    auto fit = c.fit(problem, kRho);
    ASSERT_TRUE(fit.has_value()) << fit.error().display();
    EXPECT_TRUE(fit->converged);
    EXPECT_GE(fit->iterations, 2u);
    expect_penalized_optimum(c, problem, &*fit);
  }
}

TEST(PirlsFit, WarmStartReachesTheSameOptimumAndStopsOnceItIsThere) {
  // From the fit at another ρ the loop reaches the optimum at kRho like a
  // cold start; from the optimum itself, given with or without its η, the
  // first iteration already proves convergence.
  for (const FamilyCase& c : kFamilies) {
    SCOPED_TRACE(c.name);
    for (const double from : {kRho[0] + 2.0, kRho[0] - 2.0, kRho[0]}) {
      SCOPED_TRACE(from);
      testing::TestProblem problem = family_problem(c);
      auto start = c.fit(problem, Vector{from});
      ASSERT_TRUE(start.has_value());
      for (const bool with_eta : {true, false}) {
        problem.start_beta = start->beta;
        problem.start_eta = with_eta ? std::optional<Vector>(start->eta) : std::nullopt;
        auto fit = c.fit(problem, kRho);
        ASSERT_TRUE(fit.has_value()) << fit.error().display();
        EXPECT_TRUE(fit->converged);
        if (from == kRho[0]) {
          EXPECT_EQ(fit->iterations, 1u);
        }
        expect_penalized_optimum(c, problem, &*fit);
      }
    }
  }
}

TEST(PirlsFit, FitsFromOneStartShareTheirFirstSystemBitForBit) {
  // The first fit from a start forms the first system's products, the
  // later ones read them; each must end exactly where it would have ended
  // forming them itself, at any ρ.
  for (const FamilyCase& c : kFamilies) {
    SCOPED_TRACE(c.name);
    testing::TestProblem problem = family_problem(c);
    auto start = c.fit(problem, Vector{kRho[0] + 1.0});
    ASSERT_TRUE(start.has_value());
    problem.start_beta = start->beta;
    problem.start_eta = start->eta;
    inner::StartProducts shared;
    for (const double rho : {kRho[0], kRho[0] + 0.3, kRho[0] - 2.0}) {
      SCOPED_TRACE(rho);
      problem.start_products = nullptr;
      auto own = c.fit(problem, Vector{rho});
      problem.start_products = &shared;
      auto got = c.fit(problem, Vector{rho});
      ASSERT_TRUE(own.has_value() && got.has_value());
      EXPECT_TRUE(shared.formed);
      EXPECT_EQ(got->iterations, own->iterations);
      EXPECT_EQ(got->deviance, own->deviance);
      EXPECT_EQ(got->beta, own->beta);
      EXPECT_EQ(got->factor.data, own->factor.data);
      EXPECT_EQ(got->working_weights, own->working_weights);
      EXPECT_EQ(got->working_response, own->working_response);
    }
  }
}

TEST(PirlsFit, QuasiFamiliesFitLikeTheirTwins) {
  // The quasi families differ only in how the criterion treats the scale.
  struct Case {
    const char* name;
    FitFn quasi, twin;
    Response response;
  } cases[] = {
      {"quasipoisson", kQuasiPoissonFit, kPoissonFit, Response::Counts},
      {"quasibinomial", kQuasiBinomialFit, kBernoulliFit, Response::Binary},
  };
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::TestProblem problem =
        testing::make_problem(d, testing::draw_response(c.response, testing::covariate(kRows), 7));
    auto quasi = c.quasi(problem, kRho);
    auto twin = c.twin(problem, kRho);
    ASSERT_TRUE(quasi.has_value() && twin.has_value());
    EXPECT_EQ(quasi->beta, twin->beta);
    EXPECT_EQ(quasi->deviance, twin->deviance);
    EXPECT_EQ(quasi->iterations, twin->iterations);
  }
}

TEST(PirlsFit, PenalizedDevianceNeverRisesAfterTheFirstStep) {
  // A fit stopped after k iterations holds the state accepted in iteration
  // k − 1, so the fits with max_iter = 1, 2, ... trace the accepted states.
  for (const FamilyCase& c : kFamilies) {
    SCOPED_TRACE(c.name);
    const testing::TestProblem full = family_problem(c);
    auto converged = c.fit(full, kRho);
    ASSERT_TRUE(converged.has_value());
    const Matrix s = naive_total_penalty(full.penalties, kRho);
    double previous = kInf;
    for (std::uint64_t k = 1; k <= converged->iterations; ++k) {
      auto fit = c.fit(family_problem(c, k), kRho);
      ASSERT_TRUE(fit.has_value());
      const double p = penalized_deviance(*fit, s);
      if (k >= 2) {
        EXPECT_LE(p, previous + halving_tolerance(previous)) << "iteration " << k;
      }
      previous = p;
    }
  }
}

TEST(PirlsFit, EachRecordCarriesTheSystemOfTheStateBeforeItsLastStep) {
  // The working weights, response and factor of a fit stopped after k
  // iterations are those computed at the state of the fit stopped after
  // k − 1 (the start for k = 1); Pearson combines them with the final η.
  // This covers the exits by exhaustion and by convergence.
  const FamilyCase& c = kFamilies[1];  // weighted Poisson
  const testing::TestProblem full = family_problem(c);
  auto converged = c.fit(full, kRho);
  ASSERT_TRUE(converged.has_value());
  const Matrix s = naive_total_penalty(full.penalties, kRho);
  const Vector w = full.weights_or_ones();
  for (std::uint64_t k = 1; k <= converged->iterations; ++k) {
    SCOPED_TRACE(k);
    auto before = c.fit(family_problem(c, k - 1), kRho);
    auto fit = c.fit(family_problem(c, k), kRho);
    ASSERT_TRUE(before.has_value() && fit.has_value());
    EXPECT_EQ(fit->iterations, k);
    EXPECT_EQ(fit->converged, k == converged->iterations);

    Vector expected_w(kRows), expected_z(kRows);
    double pearson = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double mu = before->mu[i];
      expected_w[i] = w[i] * c.reference->weight(mu);
      expected_z[i] = before->eta[i] + (full.y[i] - mu) * c.reference->link_derivative(mu);
      EXPECT_NEAR(fit->working_weights[i], expected_w[i], kWorkingTol * expected_w[i]) << i;
      EXPECT_NEAR(fit->working_response[i], expected_z[i], kWorkingTol * std::fabs(expected_z[i]) + 1e-15) << i;
      const double r = expected_z[i] - fit->eta[i];
      pearson += expected_w[i] * r * r;
    }
    EXPECT_NEAR(fit->pearson, pearson, 1e-12 * pearson);
    expect_matrix_close(gram_of_factor(fit->factor), naive_penalized_hessian(full.model_matrix, expected_w, s),
                        kGramTol);
  }
  EXPECT_EQ(converged->beta, c.fit(family_problem(c, converged->iterations), kRho)->beta);
}

TEST(PirlsFit, FirstStepIsTheFullSolveEvenWhenItRaisesTheDeviance) {
  // The start μ = max(y, 0.1) nearly reproduces the counts, so any smooth
  // fit has a larger deviance; the first step is still taken whole, and a
  // fit of one iteration ends by exhaustion.
  const FamilyCase& c = kFamilies[0];
  auto start = c.fit(family_problem(c, 0), kRho);
  auto fit = c.fit(family_problem(c, 1), kRho);
  ASSERT_TRUE(start.has_value() && fit.has_value());
  EXPECT_FALSE(fit->converged);
  EXPECT_EQ(fit->iterations, 1u);
  const testing::TestProblem problem = family_problem(c);
  const Matrix s = naive_total_penalty(problem.penalties, kRho);
  EXPECT_GT(penalized_deviance(*fit, s), 10.0 * penalized_deviance(*start, s));

  // (H + δI)·β = X'Wz with δ = 1e-12·max(1, max H_ii): H·β falls short of
  // X'Wz by δ·β, far below 1e-9 of the right-hand side's size.
  const Matrix h = naive_penalized_hessian(problem.model_matrix, fit->working_weights, s);
  Vector rhs(fit->p, 0.0);
  double size = 0.0;
  for (std::size_t j = 0; j < fit->p; ++j) {
    for (std::size_t i = 0; i < kRows; ++i)
      rhs[j] += problem.model_matrix(i, j) * fit->working_weights[i] * fit->working_response[i];
    size = std::max(size, std::fabs(rhs[j]));
  }
  for (std::size_t j = 0; j < fit->p; ++j) {
    double hb = 0.0;
    for (std::size_t k = 0; k < fit->p; ++k) hb += h(j, k) * fit->beta[k];
    EXPECT_NEAR(hb, rhs[j], 1e-9 * size) << j;
  }
}

TEST(PirlsFit, WithoutIterationsReturnsTheStartAndTheFallbackFactor) {
  // The fallback factor is that of X'·diag(w)·X + S_λ + δI with the prior
  // weights, δ = 1e-12·max(1, max_i H_ii).
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Counts, testing::covariate(kRows), 7);
  const Vector w = testing::varied_weights(kRows);
  Vector start(kRows);
  for (std::size_t i = 0; i < kRows; ++i) start[i] = 0.1 * static_cast<double>(i % 5) - 0.3;
  struct Case {
    const char* name;
    std::optional<Vector> start_eta;
  } cases[] = {{"family start", std::nullopt}, {"given start", start}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestProblem problem = testing::make_problem(d, y, w, 0);
    problem.start_eta = c.start_eta;
    auto fit = kPoissonFit(problem, kRho);
    ASSERT_TRUE(fit.has_value());
    EXPECT_FALSE(fit->converged);
    EXPECT_EQ(fit->iterations, 0u);
    EXPECT_EQ(fit->beta, Vector(d.model_matrix.cols, 0.0));
    EXPECT_EQ(fit->working_weights, Vector(kRows, 1.0));
    EXPECT_EQ(fit->working_response, y);
    double deviance = 0.0, pearson = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double eta = c.start_eta ? (*c.start_eta)[i] : std::log(std::max(y[i], 0.1));
      EXPECT_NEAR(fit->eta[i], eta, 2.0 * kEps * std::fabs(eta));
      EXPECT_NEAR(fit->mu[i], std::exp(eta), 4.0 * kEps * std::exp(eta));
      const double mu = std::exp(eta);
      deviance += w[i] * 2.0 * ((y[i] > 0.0 ? y[i] * std::log(y[i] / mu) : 0.0) - (y[i] - mu));
      pearson += (y[i] - eta) * (y[i] - eta);
    }
    EXPECT_NEAR(fit->deviance, deviance, 1e-12 * deviance);
    EXPECT_NEAR(fit->pearson, pearson, 1e-12 * pearson);

    Matrix h = naive_penalized_hessian(d.model_matrix, w, naive_total_penalty(d.penalties, kRho));
    double diagonal = 1.0;
    for (std::size_t j = 0; j < h.rows; ++j) diagonal = std::max(diagonal, std::fabs(h(j, j)));
    for (std::size_t j = 0; j < h.rows; ++j) h(j, j) += 1e-12 * diagonal;
    expect_matrix_close(gram_of_factor(fit->factor), h, kGramTol);
  }
}

TEST(PirlsFit, GivenStartSetsTheFirstWorkingWeights) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Counts, testing::covariate(kRows), 7);
  testing::TestProblem problem = testing::make_problem(d, y, std::nullopt, 1);
  Vector start(kRows);
  for (std::size_t i = 0; i < kRows; ++i) start[i] = 0.02 * static_cast<double>(i) - 0.5;
  problem.start_eta = start;
  auto fit = kPoissonFit(problem, kRho);
  ASSERT_TRUE(fit.has_value());
  for (std::size_t i = 0; i < kRows; ++i) {
    const double mu = std::exp(start[i]);
    EXPECT_NEAR(fit->working_weights[i], mu, kWorkingTol * mu) << i;
    EXPECT_NEAR(fit->working_response[i], start[i] + (y[i] - mu) / mu, 1e-14 * (1.0 + y[i] / mu)) << i;
  }
}

TEST(PirlsFit, NonFiniteResponseStopsInTheFirstIteration) {
  // A NaN response makes every candidate NaN; after the last halving the fit
  // keeps the start (β = 0) and, holding no factor, takes the fallback.
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  Vector y = testing::draw_response(Response::Counts, testing::covariate(kRows), 7);
  y[11] = kNaN;
  const Vector w = testing::varied_weights(kRows);
  auto fit = kPoissonFit(testing::make_problem(d, y, w), kRho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_FALSE(fit->converged);
  EXPECT_EQ(fit->iterations, 1u);
  EXPECT_EQ(fit->beta, Vector(d.model_matrix.cols, 0.0));
  EXPECT_TRUE(std::isnan(fit->working_response[11]));
  for (std::size_t i = 0; i < kRows; ++i) {
    const double mu = std::max(std::isnan(y[i]) ? 0.1 : y[i], 0.1);
    EXPECT_NEAR(fit->working_weights[i], w[i] * mu, kWorkingTol * w[i] * mu) << i;
  }
  auto reference = kPoissonFit(testing::make_problem(d, y, w, 0), kRho);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(fit->factor, reference->factor);
  EXPECT_EQ(fit->eta, reference->eta);
}

// Poisson with a link that flattens above μ = 1e6: there g' = 1e300 and
// V = 1e-300, so the working weight stays a finite 1e-300·w while the
// working response g'·(y − μ) overflows. A first step that lands there
// leaves the second system with an infinite right-hand side, the way a
// count far below a huge fitted mean overflows it.
struct FlatteningPoisson : family::Poisson {
  static constexpr double kFlatAbove = 1e6;
  static double link_derivative(double mu) { return mu > kFlatAbove ? 1e300 : family::Poisson::link_derivative(mu); }
  static double variance(double mu) { return mu > kFlatAbove ? 1e-300 : family::Poisson::variance(mu); }
  static FlatteningPoisson family_from_theta(std::span<const double>) { return {}; }
};
static_assert(family::PirlsFamily<FlatteningPoisson>);

// Poisson whose variance turns negative above μ = 1e6: a later system that
// is not positive definite.
struct NegativeAbovePoisson : family::Poisson {
  static double variance(double mu) { return mu > 1e6 ? -mu : family::Poisson::variance(mu); }
  static NegativeAbovePoisson family_from_theta(std::span<const double>) { return {}; }
};
static_assert(family::PirlsFamily<NegativeAbovePoisson>);

// Poisson whose deviance is infinite above a ceiling on μ.
struct CeilingPoisson : family::Poisson {
  double ceiling = 0.0;
  double unit_deviance(double y, double mu) const {
    return mu > ceiling ? kInf : family::Poisson::unit_deviance(y, mu);
  }
  double weighted_deviance(linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w) const {
    return family::sum_weighted_unit_deviances(*this, y, mu, w);
  }
  CeilingPoisson family_from_theta(std::span<const double>) const { return *this; }
};
static_assert(family::PirlsFamily<CeilingPoisson>);

// Constant counts of 25 from the start μ = 1 (η = 0): the first working
// response is 24, so the first full step puts η near 24, μ near 2.6e10.
// A ridge penalty keeps every system positive definite even where the
// working weights vanish.
testing::TestProblem overshooting_problem(std::uint64_t max_iter) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  testing::TestProblem problem = testing::make_problem(d, Vector(kRows, 25.0), std::nullopt, max_iter);
  problem.penalties.push_back(Matrix::identity(d.model_matrix.cols));
  problem.start_eta = Vector(kRows, 0.0);
  return problem;
}
const Vector kRhoTwo{0.5, 0.0};

TEST(PirlsFit, UnsolvableSecondSystemReturnsTheFirstStep) {
  const testing::TestProblem problem = overshooting_problem(50);
  auto fit = pirls_fit(problem.view(FlatteningPoisson{}), kRhoTwo);
  auto first = kPoissonFit(overshooting_problem(1), kRhoTwo);
  ASSERT_TRUE(fit.has_value() && first.has_value());
  EXPECT_FALSE(fit->converged);
  EXPECT_EQ(fit->iterations, 2u);
  // The state and factor of iteration 0 (identical to an ordinary Poisson
  // fit there, μ = 1 being far below the flat region), the working
  // quantities of iteration 1.
  EXPECT_EQ(fit->beta, first->beta);
  EXPECT_EQ(fit->eta, first->eta);
  EXPECT_EQ(fit->deviance, first->deviance);
  EXPECT_EQ(fit->factor, first->factor);
  EXPECT_GT(fit->mu[0], FlatteningPoisson::kFlatAbove);
  for (std::size_t i = 0; i < kRows; ++i) {
    EXPECT_EQ(fit->working_weights[i], 1e-300);
    EXPECT_EQ(fit->working_response[i], -kInf);
  }
}

TEST(PirlsFit, HalvingMovesTheFirstStepTowardsZero) {
  // The full first step (η ≈ 24) exceeds the ceiling; each halving moves
  // the candidate halfway to the current β = 0, which is not the start η,
  // so h halvings give exactly 2^-h times the full step.
  auto full = kPoissonFit(overshooting_problem(1), kRhoTwo);
  ASSERT_TRUE(full.has_value());
  struct Case {
    double ceiling;
    int halvings;  // e^24 ≈ 2.6e10, e^12 ≈ 1.6e5, e^6 ≈ 403, e^3 ≈ 20
  } cases[] = {{1e7, 1}, {1e3, 2}, {100.0, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ceiling);
    const testing::TestProblem problem = overshooting_problem(1);
    auto fit = pirls_fit(problem.view(CeilingPoisson{{}, c.ceiling}), kRhoTwo);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(fit->iterations, 1u);
    for (std::size_t j = 0; j < full->p; ++j) EXPECT_EQ(fit->beta[j], std::ldexp(full->beta[j], -c.halvings)) << j;
  }
}

TEST(PirlsFit, StepLengthsTriedAreTheSetting) {
  // With the ceiling at μ = 100 the first step is accepted at 2^-3 of its
  // length, the fourth length tried. With fewer lengths to try the
  // iteration fails: the record is the start (β = 0), one iteration begun.
  auto full = kPoissonFit(overshooting_problem(1), kRhoTwo);
  ASSERT_TRUE(full.has_value());
  struct Case {
    std::uint64_t lengths;
    bool accepted;
  } cases[] = {{4, true}, {3, false}, {1, false}, {0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lengths);
    testing::TestProblem problem = overshooting_problem(1);
    problem.settings.max_halvings = c.lengths;
    auto fit = pirls_fit(problem.view(CeilingPoisson{{}, 100.0}), kRhoTwo);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(fit->iterations, 1u);
    EXPECT_FALSE(fit->converged);
    for (std::size_t j = 0; j < full->p; ++j)
      EXPECT_EQ(fit->beta[j], c.accepted ? std::ldexp(full->beta[j], -3) : 0.0) << j;
  }
}

TEST(PirlsFit, LaterHalvingMovesTowardsTheCurrentCoefficients) {
  // With the ceiling at μ = 21.5 the first step (η ≈ 23.6) is halved three
  // times, to η ≈ 2.95 (μ ≈ 19). The second full step reaches μ ≈ 26 and
  // its first halving μ ≈ 22.3, both above the ceiling; the second halving
  // (μ ≈ 20.6) is accepted: β₂ = β₁ + (β̃ − β₁)/4 for the full step β̃ of
  // that system, which the record's working quantities give.
  const testing::TestProblem base = overshooting_problem(2);
  inner::FitProblem<CeilingPoisson> problem = base.view(CeilingPoisson{{}, 21.5});
  auto second = pirls_fit(problem, kRhoTwo);
  problem.settings.max_iter = 1;
  auto first = pirls_fit(problem, kRhoTwo);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(second->iterations, 2u);
  EXPECT_GT(first->mu[0], 15.0);

  const Matrix& x = base.model_matrix;
  const std::size_t p = x.cols;
  Matrix h = naive_penalized_hessian(x, second->working_weights, naive_total_penalty(base.penalties, kRhoTwo));
  Vector rhs(p, 0.0);
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t i = 0; i < kRows; ++i) rhs[j] += x(i, j) * second->working_weights[i] * second->working_response[i];
  const Vector full = testing::gauss_solve(h, rhs);
  // The ridge of the solve moves β̃ by about 1e-12 relative.
  for (std::size_t j = 0; j < p; ++j) {
    const double expected = first->beta[j] + (full[j] - first->beta[j]) / 4.0;
    EXPECT_NEAR(second->beta[j], expected, 1e-10 * (1.0 + std::fabs(full[j]))) << j;
  }
}

TEST(PirlsFit, StartAtTheOptimumStillTakesTwoIterations) {
  // The first iteration's relative deviance change is never tested, even
  // when it is far below the tolerance.
  const FamilyCase& c = kFamilies[0];
  auto optimum = c.fit(family_problem(c), kRho);
  ASSERT_TRUE(optimum.has_value());
  testing::TestProblem problem = family_problem(c);
  problem.start_eta = optimum->eta;
  auto fit = c.fit(problem, kRho);
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->converged);
  EXPECT_EQ(fit->iterations, 2u);
}

TEST(PirlsFit, FactorisationFailuresAreErrors) {
  // A negative penalty makes H negative definite at its first minor.
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Counts, testing::covariate(kRows), 7);
  auto negative = [&](std::uint64_t max_iter) {
    testing::TestProblem problem = testing::make_problem(d, y, std::nullopt, max_iter);
    Matrix s = Matrix::identity(d.model_matrix.cols);
    for (double& v : s.data) v *= -1e6;
    problem.penalties = {s};
    return problem;
  };
  struct Case {
    const char* name;
    std::function<Result<InnerFit>()> run;
    std::string message;
  } cases[] = {
      {"first system", [&] { return kPoissonFit(negative(50), Vector{0.0}); },
       "PIRLS factor: Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1"},
      {"fallback factor", [&] { return kPoissonFit(negative(0), Vector{0.0}); },
       "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1"},
      // The first step lands where the variance is negative; the second
      // system fails although a state was accepted before it.
      {"second system", [&] { return pirls_fit(overshooting_problem(50).view(NegativeAbovePoisson{}), kRhoTwo); },
       "PIRLS factor: Cholesky failed: Computational failure in LAPACK subroutine: return_code = 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fit = c.run();
    ASSERT_FALSE(fit.has_value());
    ASSERT_TRUE(fit.error().is<SingularSystem>()) << fit.error().display();
    EXPECT_EQ(fit.error().message(), c.message);
  }
}

TEST(PirlsHalvingCheck, RejectsNonFiniteCandidatesAndLargeIncreases) {
  // With P = 0 the tolerance is (0.1·10)·2^-26 = 2^-26 exactly.
  const double tol = halving_tolerance(0.0);
  ASSERT_EQ(tol, std::ldexp(1.0, -26));
  const family::Poisson poisson;
  const Vector y{1.0, 2.0};
  const Vector mu{std::exp(0.1), std::exp(0.2)};
  struct Case {
    const char* name;
    double candidate;
    bool state_finite;  // every η_i and μ_i finite
    bool first;
    bool rejected;
  } cases[] = {
      {"decrease", -1.0, true, false, false},
      {"increase of exactly tol", tol, true, false, false},
      {"increase just above tol", std::nextafter(tol, 1.0), true, false, true},
      {"any increase in the first iteration", 1e6, true, true, false},
      {"infinite penalized deviance", kInf, true, true, true},
      {"NaN penalized deviance", kNaN, true, true, true},
      {"non-finite linear predictor or mean", -1.0, false, true, true},
      // A zero mean floors at 1e-300 and keeps a finite deviance; the
      // largest finite one does not, and its deviance carries that into the
      // candidate's penalized deviance.
      {"infinite unit deviance",
       poisson.weighted_deviance(y, Vector{mu[0], std::numeric_limits<double>::max()}, family::unit_weights(2)),
       true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pirls_halving_check(c.candidate, c.state_finite, c.first, 0.0, tol), c.rejected);
  }
  // The tolerance grows with |P|: ((|P| + 0.1)·10)·2^-26.
  EXPECT_EQ(halving_tolerance(-99.9), ((99.9 + 0.1) * 10.0) * std::ldexp(1.0, -26));
}

TEST(DevianceConverged, RelativeChangeStrictlyBelowTolerance) {
  struct Case {
    const char* name;
    double deviance, new_deviance, tol;
    bool converged;
  } cases[] = {
      {"small change", 100.0, 100.0 - 1e-8, 1e-9, true},
      {"change of exactly tol", 1.0, 0.75, 0.25, false},  // |1 − 0.75|/(1 + 1e-30) = 0.25
      {"large change", 100.0, 99.0, 1e-9, false},
      {"zero deviance divides by 1e-30", 0.0, 1e-40, 1e-9, true},
      {"zero deviance, larger change", 0.0, 1e-38, 1e-9, false},
      {"NaN ratio", kNaN, 1.0, 1e-9, false},
      {"infinite deviance", kInf, 1.0, 1e-9, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(deviance_converged(c.deviance, c.new_deviance, c.tol), c.converged);
  }
}

// Poisson with variance c·μ and deviance d/c: a family value that acts as
// a prior weight 1/c on every observation.
struct ScaledPoisson : family::Poisson {
  double c = 1.0;
  double variance(double mu) const { return c * family::Poisson::variance(mu); }
  double unit_deviance(double y, double mu) const { return family::Poisson::unit_deviance(y, mu) / c; }
  double weighted_deviance(linalg::VectorView y, linalg::VectorView mu, linalg::VectorView w) const {
    return family::sum_weighted_unit_deviances(*this, y, mu, w);
  }
  ScaledPoisson family_from_theta(std::span<const double>) const { return *this; }
};
static_assert(family::PirlsFamily<ScaledPoisson>);

TEST(PirlsFit, ShapeFamilyProblemSuppliesTheFamilyValue) {
  const design::ModelDesign d = testing::cr_design(kRows, kKnots);
  const Vector y = testing::draw_response(Response::Counts, testing::covariate(kRows), 7);
  const testing::TestProblem problem = testing::make_problem(d, y);
  auto fit = pirls_fit(problem.view(ScaledPoisson{{}, 4.0}), kRho);
  auto weighted = kPoissonFit(testing::make_problem(d, y, Vector(kRows, 0.25)), kRho);
  auto plain = kPoissonFit(testing::make_problem(d, y), kRho);
  ASSERT_TRUE(fit.has_value() && weighted.has_value() && plain.has_value());
  // The two systems differ only in where the factor 1/4 is rounded.
  testing::expect_vector_near(fit->beta, weighted->beta, 1e-12);
  EXPECT_NEAR(fit->deviance, weighted->deviance, 1e-12 * weighted->deviance);
  // The value matters: four times the weight of the penalty is another fit.
  EXPECT_GT(std::fabs(fit->beta[1] - plain->beta[1]), 1e-3);
}

}  // namespace
}  // namespace kavri::inner
