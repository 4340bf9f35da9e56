#include "design/re_blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "design/additive.h"
#include "design/cr.h"
#include "design/re.h"
#include "family/binomial.h"
#include "family/elf.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "fit/quantile.h"
#include "inner/fit_at.h"
#include "inner/fit_factor.h"
#include "linalg/lapack.h"
#include "linalg/products.h"
#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;

// Covariates: column 0 uniform on [0, 1], columns 1 and 2 the levels of two
// grouping factors (every level present, rows shuffled).
Matrix covariates(std::size_t n, std::size_t levels_a, std::size_t levels_b, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<std::size_t> a(n), b(n);
  for (std::size_t i = 0; i < n; ++i) {
    a[i] = i % levels_a;
    b[i] = (7 * i + 3) % levels_b;
  }
  std::shuffle(a.begin(), a.end(), gen);
  std::shuffle(b.begin(), b.end(), gen);
  Matrix x(n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    x(i, 1) = static_cast<double>(a[i]);
    x(i, 2) = static_cast<double>(b[i]);
  }
  return x;
}

struct DesignCase {
  const char* name;
  std::vector<TermSpec> terms;  // empty: the single-smooth "re" design of column 1
  std::size_t diagonal;         // expected size of the diagonal part: the widest "re" term
};

std::vector<DesignCase> design_cases(std::size_t levels_a) {
  return {
      {"single re", {}, levels_a},
      {"cr and re", {{TermSpec::Cr{0, 8}}, {TermSpec::Re{1}}}, levels_a},
      {"the narrower re first", {{TermSpec::Re{2}}, {TermSpec::Cr{0, 8}}, {TermSpec::Re{1}}}, levels_a},
      {"cr, re, re", {{TermSpec::Cr{0, 8}}, {TermSpec::Re{1}}, {TermSpec::Re{2}}}, levels_a},
  };
}

Result<ModelDesign> build(const DesignCase& c, const Matrix& x) {
  if (c.terms.empty()) return build_single_re_design(linalg::MatrixView(x.data.data() + 1, x.rows, 1, 3, 1));
  return build_additive_design(x, c.terms);
}

using testing::expect_relative;

TEST(ReBlocks, ProductsEqualTheDenseOnes) {
  const std::size_t n = 400;
  const Matrix x = covariates(n, 50, 9, 1);
  Vector w(n), v(n);
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = 0.5 + std::fabs(std::sin(static_cast<double>(i)));
    v[i] = std::cos(0.3 * static_cast<double>(i));
  }
  for (const DesignCase& c : design_cases(50)) {
    SCOPED_TRACE(c.name);
    auto design = build(c, x);
    ASSERT_TRUE(design.has_value()) << design.error().display();
    ASSERT_TRUE(design->re_blocks.has_value());
    const ReBlocks& blocks = *design->re_blocks;
    EXPECT_EQ(blocks.partition.diagonal.size(), c.diagonal);
    const Matrix& xm = design->model_matrix;

    // Each row's level as the design's build placed it, against the one
    // read off X's indicator columns.
    const std::vector<std::uint64_t>& diagonal = blocks.partition.diagonal;
    ASSERT_EQ(blocks.level.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t found = linalg::kNoLevel;
      for (std::size_t l = 0; l < diagonal.size(); ++l)
        if (xm(i, diagonal[l]) != 0.0) found = static_cast<std::uint32_t>(l);
      ASSERT_EQ(blocks.level[i], found) << "row " << i;
    }

    // X'WX: sums of up to n terms of size max w·x², so 1e-12 relative.
    const linalg::BlockSystem gram = re_weighted_gram(blocks, w);
    const linalg::BlockSystem dense = linalg::block_system_of(linalg::weighted_gram(xm, w), blocks.partition);
    expect_relative(gram.a.data, dense.a.data, 1e-12, "dense block");
    expect_relative(gram.b.data, dense.b.data, 1e-12, "coupling block");
    expect_relative(gram.d, dense.d, 1e-12, "diagonal block");

    Vector beta(xm.cols);
    for (std::size_t j = 0; j < beta.size(); ++j) beta[j] = std::sin(1.0 + static_cast<double>(j));
    expect_relative(re_times(blocks, beta), linalg::multiply(xm, VectorView(beta)), 1e-12, "X·β");
    expect_relative(re_transpose_times(blocks, v), linalg::multiply(xm.view().transposed(), VectorView(v)), 1e-12,
                    "X'v");
  }
}

TEST(ReBlocks, DesignsWithoutAnReTermHaveNone) {
  const Matrix x = covariates(200, 10, 5, 2);
  auto cr = build_single_cr_design(x, 8);
  ASSERT_TRUE(cr.has_value());
  EXPECT_FALSE(cr->re_blocks.has_value());
  const std::vector<TermSpec> terms{{TermSpec::Cr{0, 8}}, {TermSpec::Te{1, 2, 4, 4}}};
  auto additive = build_additive_design(x, terms);
  ASSERT_TRUE(additive.has_value());
  EXPECT_FALSE(additive->re_blocks.has_value());
}

// Fits in block form against the same fits factored densely: both solve
// the same equations, their roundings differ by a few ε·cond(H) per step,
// and the outer search's convergence is judged on a gradient of the same
// size, so ρ, β, edf and the covariance agree far inside 1e-8 relative.
constexpr double kFitTolerance = 1e-8;

// The block fit `fb` against the dense fit `fd` of the same problem.
void expect_same_fit(const fit::FittedGam& fb, const fit::FittedGam& fd) {
  EXPECT_EQ(fb.converged, fd.converged);
  expect_relative(fb.rho, fd.rho, kFitTolerance, "rho");
  expect_relative(fb.beta, fd.beta, kFitTolerance, "beta");
  expect_relative(fb.edf_per_term, fd.edf_per_term, kFitTolerance, "edf per term");
  EXPECT_LE(std::fabs(fb.edf_total - fd.edf_total), kFitTolerance * fd.edf_total);
  EXPECT_LE(std::fabs(fb.reml_value - fd.reml_value), kFitTolerance * std::fabs(fd.reml_value));
  EXPECT_LE(std::fabs(fb.scale - fd.scale), kFitTolerance * fd.scale);
  expect_relative(fb.vcov.data, fd.vcov.data, kFitTolerance, "covariance");
}

enum class Fam { Poisson, Bernoulli, QuasiPoisson, Gamma, Gaussian, InverseGaussian };

struct FitCase {
  const char* name;
  Fam family;
  bool weighted;
};

template <class F>
Result<fit::FittedGam> fit_with(const F& family, ModelDesign design, const Vector& y, const Vector& w, bool weighted) {
  const std::uint64_t n = y.size();
  std::optional<VectorView> pw;
  if (weighted) pw = VectorView(w);
  return fit::fit_family(family, std::move(design), n, VectorView(y), pw);
}

Result<fit::FittedGam> fit_case(Fam f, ModelDesign design, const Vector& y, const Vector& w, bool weighted) {
  switch (f) {
    case Fam::Poisson: return fit_with(family::poisson_log(), std::move(design), y, w, weighted);
    case Fam::Bernoulli: return fit_with(family::bernoulli_logit(), std::move(design), y, w, weighted);
    case Fam::QuasiPoisson: return fit_with(family::quasipoisson_log(), std::move(design), y, w, weighted);
    case Fam::Gamma: return fit_with(family::gamma_log(), std::move(design), y, w, weighted);
    case Fam::Gaussian: return fit_with(family::gaussian_identity(), std::move(design), y, w, weighted);
    case Fam::InverseGaussian: return fit_with(family::inverse_gaussian_log(), std::move(design), y, w, weighted);
  }
  return invalid_parameter("no such family");
}

// An inverse Gaussian draw of mean μ and shape s (Michael, Schucany and
// Haas, 1976): a root of the χ²₁ transform, chosen with probability
// μ/(μ + x).
double inverse_gaussian_draw(double mu, double shape, std::mt19937& gen) {
  const double nu = std::normal_distribution<double>(0.0, 1.0)(gen);
  const double v = nu * nu;
  const double x = mu + mu * mu * v / (2.0 * shape) -
                   mu / (2.0 * shape) * std::sqrt(4.0 * mu * shape * v + mu * mu * v * v);
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen) <= mu / (mu + x) ? x : mu * mu / x;
}

TEST(ReBlockFits, ReachTheDenseFit) {
  const std::size_t n = 1200, la = 60, lb = 8;
  const Matrix x = covariates(n, la, lb, 3);
  std::mt19937 gen(4);
  std::normal_distribution<double> effect(0.0, 0.5);
  Vector a(la), b(lb);
  for (double& e : a) e = effect(gen);
  for (double& e : b) e = effect(gen);
  Vector eta(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    eta[i] = 0.3 + std::sin(2.0 * std::numbers::pi * x(i, 0)) + a[static_cast<std::size_t>(x(i, 1))] +
             b[static_cast<std::size_t>(x(i, 2))];
    w[i] = 1.0 + static_cast<double>(i % 3);
  }
  auto response = [&](Fam f) {
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double mu = std::exp(eta[i]);
      switch (f) {
        case Fam::Poisson:
        case Fam::QuasiPoisson: y[i] = static_cast<double>(std::poisson_distribution<int>(mu)(gen)); break;
        case Fam::Bernoulli:
          y[i] = std::uniform_real_distribution<double>(0.0, 1.0)(gen) < 1.0 / (1.0 + std::exp(-eta[i])) ? 1.0 : 0.0;
          break;
        case Fam::Gamma: y[i] = std::gamma_distribution<double>(5.0, mu / 5.0)(gen); break;
        case Fam::Gaussian: y[i] = eta[i] + std::normal_distribution<double>(0.0, 0.3)(gen); break;
        case Fam::InverseGaussian: y[i] = inverse_gaussian_draw(mu, 4.0, gen); break;
      }
    }
    return y;
  };
  const FitCase fits[] = {{"Poisson", Fam::Poisson, false},
                          {"Poisson, prior weights", Fam::Poisson, true},
                          {"Bernoulli", Fam::Bernoulli, false},
                          {"QuasiPoisson", Fam::QuasiPoisson, false},
                          {"Gamma", Fam::Gamma, false},
                          {"Gamma, prior weights", Fam::Gamma, true},
                          {"Gaussian", Fam::Gaussian, false},
                          {"Gaussian, prior weights", Fam::Gaussian, true},
                          // Rows below half their mean have negative observed
                          // weights: the observed H is formed in blocks of
                          // either sign.
                          {"InverseGaussian", Fam::InverseGaussian, false}};
  for (const FitCase& fc : fits) {
    const Vector y = response(fc.family);
    for (const DesignCase& dc : design_cases(la)) {
      SCOPED_TRACE(std::string(fc.name) + ", " + dc.name);
      auto blocked = build(dc, x);
      auto dense = build(dc, x);
      ASSERT_TRUE(blocked.has_value() && dense.has_value());
      ASSERT_TRUE(blocked->re_blocks.has_value());
      dense->re_blocks.reset();
      auto fb = fit_case(fc.family, std::move(*blocked), y, w, fc.weighted);
      auto fd = fit_case(fc.family, std::move(*dense), y, w, fc.weighted);
      ASSERT_TRUE(fb.has_value()) << fb.error().display();
      ASSERT_TRUE(fd.has_value()) << fd.error().display();
      expect_same_fit(*fb, *fd);
    }
  }
}

// The quantile warm start in block form against the dense one: one
// ridged factor of X'X + S (cond ≈ 1e3 here) and a few solves with it,
// then the same sorted residuals, so β and the residual scale agree to a
// few ε·cond.
TEST(ReBlockFits, QuantileWarmStartEqualsTheDenseOne) {
  constexpr double kTolerance = 1e-10;
  for (const std::size_t levels : {3u, 40u, 300u}) {
    SCOPED_TRACE(levels);
    const std::size_t n = 900;
    const Matrix x = covariates(n, levels, 2, 9);
    std::mt19937 gen(10);
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i)
      y[i] = std::sin(static_cast<double>(x(i, 1))) + 0.3 * std::student_t_distribution<double>(2.0)(gen);
    auto design = build({"single re", {}, levels}, x);
    ASSERT_TRUE(design.has_value() && design->re_blocks.has_value());
    for (const double tau : {0.1, 0.5}) {
      auto blocked = fit::elf_warm_start(design->model_matrix, VectorView(y), design->penalties, tau,
                                         &*design->re_blocks);
      auto dense = fit::elf_warm_start(design->model_matrix, VectorView(y), design->penalties, tau);
      ASSERT_TRUE(blocked.has_value() && dense.has_value());
      expect_relative(blocked->beta, dense->beta, kTolerance, "beta");
      EXPECT_LE(std::fabs(blocked->residual_scale - dense->residual_scale), kTolerance * dense->residual_scale);
    }
  }
}

// The quantile inner fit at fixed ρ in block form against the dense one,
// through each way out of its loop: the same steps up to rounding, so β,
// W, the deviance and the factor's ln|H + δI| and inverse agree to a few
// ε·cond(H) (cond ≈ 1e4 here), far inside 1e-10 relative.
TEST(ReBlockFits, QuantileInnerFitEqualsTheDenseOne) {
  constexpr double kTolerance = 1e-10;
  const std::size_t n = 600, levels = 40;
  const Matrix x = covariates(n, levels, 2, 7);
  std::mt19937 gen(8);
  Vector b(levels), y(n);
  for (double& e : b) e = std::normal_distribution<double>(0.0, 0.5)(gen);
  for (std::size_t i = 0; i < n; ++i)
    y[i] = b[static_cast<std::size_t>(x(i, 1))] + 0.3 * std::student_t_distribution<double>(3.0)(gen);
  auto design = build({"single re", {}, levels}, x);
  ASSERT_TRUE(design.has_value() && design->re_blocks.has_value());
  const family::Elf elf = family::elf_identity(0.3, 0.1, 0.05);
  const Vector warm(design->model_matrix.cols, 0.1);
  struct Case {
    const char* name;
    inner::InnerSettings settings;
    double rho;
  };
  const Case cases[] = {
      {"converged", inner::kElfInnerSettings, 1.0},
      {"weakly penalized", inner::kElfInnerSettings, -4.0},
      {"no iteration", {.max_iter = 0, .tol = 1e-7, .max_halvings = 20}, 1.0},
      {"no step length", {.max_iter = 50, .tol = 1e-7, .max_halvings = 0}, 1.0},
      {"out of iterations", {.max_iter = 2, .tol = 1e-7, .max_halvings = 20}, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inner::ElfProblem<family::Elf> blocked{
        .fit = fit::make_fit_problem(elf, *design, VectorView(y), std::nullopt, /*in_blocks=*/true),
        .beta_warm = VectorView(warm)};
    inner::ElfProblem<family::Elf> dense{.fit = fit::make_fit_problem(elf, *design, VectorView(y), std::nullopt),
                                         .beta_warm = VectorView(warm)};
    ASSERT_NE(blocked.fit.re_blocks, nullptr);
    ASSERT_EQ(dense.fit.re_blocks, nullptr);
    blocked.fit.settings = dense.fit.settings = c.settings;
    const Vector rho{c.rho};
    auto fb = inner::fit_at(blocked, VectorView(rho));
    auto fd = inner::fit_at(dense, VectorView(rho));
    ASSERT_TRUE(fb.has_value()) << fb.error().display();
    ASSERT_TRUE(fd.has_value()) << fd.error().display();
    ASSERT_TRUE(fb->block_factor.has_value());
    EXPECT_EQ(fb->iterations, fd->iterations);
    EXPECT_EQ(fb->converged, fd->converged);
    expect_relative(fb->beta, fd->beta, kTolerance, "beta");
    expect_relative(fb->working_weights, fd->working_weights, kTolerance, "W");
    EXPECT_LE(std::fabs(fb->deviance - fd->deviance), kTolerance * std::fabs(fd->deviance));
    // ln|H| sums p logarithms, each off by a relative error: absolute, at a
    // ln|H| that may lie near zero.
    const double log_det = inner::fit_log_det(*fd);
    EXPECT_LE(std::fabs(inner::fit_log_det(*fb) - log_det), kTolerance * std::max(1.0, std::fabs(log_det)));
    expect_relative(inner::fit_inverse(*fb).data, inner::fit_inverse(*fd).data, kTolerance, "inverse");
  }
}

// The quantile fit of an "re" design in block form against the same fit
// factored densely: the warm start, every inner fit (with its ridge), the
// criterion and the summaries solve the same equations in another order,
// so the two agree to a few ε·cond(H) per step. The inner fit stops once a
// step moves no coefficient by 1e-7·σ, but both paths take the same steps
// up to rounding and stop at the same iteration, so their β differ by
// rounding, not by that tolerance.
TEST(ReBlockFits, QuantileReachesTheDenseFit) {
  struct Case {
    const char* name;
    std::size_t n, levels;
    double tau, sigma;  // σ 0: the driver's automatic σ
    bool weighted;
  };
  const Case cases[] = {
      {"median, few levels", 400, 8, 0.5, 0.0, false},
      {"lower quartile, few levels, prior weights", 400, 8, 0.25, 0.0, true},
      {"upper decile, given sigma", 600, 30, 0.9, 0.2, false},
      {"median, 500 levels", 1000, 500, 0.5, 0.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix x = covariates(c.n, c.levels, 2, 5);
    std::mt19937 gen(6);
    std::normal_distribution<double> effect(0.0, 0.5);
    std::student_t_distribution<double> noise(3.0);
    Vector b(c.levels), y(c.n), w(c.n);
    for (double& e : b) e = effect(gen);
    for (std::size_t i = 0; i < c.n; ++i) {
      y[i] = 0.3 + b[static_cast<std::size_t>(x(i, 1))] + 0.3 * noise(gen);
      w[i] = 1.0 + static_cast<double>(i % 3);
    }
    const DesignCase single{"single re", {}, c.levels};
    auto blocked = build(single, x);
    auto dense = build(single, x);
    ASSERT_TRUE(blocked.has_value() && dense.has_value());
    ASSERT_TRUE(blocked->re_blocks.has_value());
    dense->re_blocks.reset();
    std::optional<VectorView> pw;
    if (c.weighted) pw = VectorView(w);
    auto fb = fit::fit_elf(c.tau, c.sigma, 0.0, std::move(*blocked), c.n, VectorView(y), pw);
    auto fd = fit::fit_elf(c.tau, c.sigma, 0.0, std::move(*dense), c.n, VectorView(y), pw);
    ASSERT_TRUE(fb.has_value()) << fb.error().display();
    ASSERT_TRUE(fd.has_value()) << fd.error().display();
    EXPECT_TRUE(fd->converged);
    expect_same_fit(*fb, *fd);
  }
}

}  // namespace
}  // namespace kavri::design
