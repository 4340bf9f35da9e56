// Fixtures of the inner-fit tests: a cubic regression spline design over a
// smooth covariate, responses drawn with a fixed seed from a known mean
// curve, fit problems built from them, and reference formulas (written out
// here, not taken from the library) for the working quantities of each
// family.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "design/cr.h"
#include "design/records.h"
#include "inner/inner_fit.h"
#include "inner/pirls.h"
#include "inner/problem.h"
#include "test_util.h"

namespace kavri::testing {

using linalg::Matrix;
using linalg::Vector;

// Covariate values on [0, 1] with uneven spacing.
inline Vector covariate(std::size_t n) {
  Vector x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n - 1);
    x[i] = t + 0.05 * std::sin(9.0 * t);
  }
  return x;
}

// The mean curve on the link scale.
inline double true_eta(double x) { return 0.8 + std::sin(3.0 * x) - 0.5 * x; }

// A "cr" design with k knots over `covariate(n)`.
inline design::ModelDesign cr_design(std::size_t n, std::uint64_t k) {
  auto d = design::build_single_cr_design(column_of(covariate(n)), k);
  EXPECT_TRUE(d.has_value());
  return std::move(*d);
}

enum class Response { Counts, Binary, GammaLike, InverseGaussianLike, Normal };

// y at mean link_inverse(true_eta(x)) with noise of the family's kind.
inline Vector draw_response(Response kind, const Vector& x, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double eta = true_eta(x[i]);
    switch (kind) {
      case Response::Counts:
        y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen));
        break;
      case Response::Binary:
        y[i] = std::uniform_real_distribution<double>(0.0, 1.0)(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
        break;
      case Response::GammaLike:
        y[i] = std::exp(eta) * std::gamma_distribution<double>(5.0, 0.2)(gen);
        break;
      case Response::InverseGaussianLike:
        y[i] = std::exp(eta) * std::exp(0.3 * std::normal_distribution<double>(0.0, 1.0)(gen));
        break;
      case Response::Normal:
        y[i] = eta + 0.3 * std::normal_distribution<double>(0.0, 1.0)(gen);
        break;
    }
  }
  return y;
}

// Prior weights between 0.5 and 2.
inline Vector varied_weights(std::size_t n) {
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + 1.5 * std::fabs(std::sin(1.7 * static_cast<double>(i)));
  return w;
}

// The arrays of an inner-fit problem, owned, with the record of one family
// that views them and the workspace of a warm start.
struct TestProblem {
  std::vector<Matrix> penalties;
  Matrix model_matrix;
  Vector y;
  std::optional<Vector> prior_weights;
  std::optional<Vector> start_eta;
  inner::InnerSettings settings;
  std::optional<Vector> start_beta = std::nullopt;
  inner::StartProducts* start_products = nullptr;

  // The prior weights, ones where there are none.
  Vector weights_or_ones() const { return prior_weights ? *prior_weights : Vector(y.size(), 1.0); }

  template <class F>
  inner::FitProblem<F> view(const F& family) const {
    inner::FitProblem<F> p{.family = family,
                         .penalties = penalties,
                         .model_matrix = model_matrix,
                         .y = y,
                         .prior_weights = std::nullopt,
                         .start_eta = std::nullopt,
                         .settings = settings,
                         .products = {}};
    if (prior_weights) p.prior_weights = linalg::VectorView(*prior_weights);
    if (start_eta) p.start_eta = linalg::VectorView(*start_eta);
    return p;
  }

  // The warm start from `start_beta` (η from `start_eta` when given) and
  // the shared first-system products, when set.
  inner::FitWorkspace work() const {
    inner::FitWorkspace w{.start_products = start_products};
    if (start_beta) w.warm = inner::WarmStart{.beta = linalg::VectorView(*start_beta)};
    return w;
  }
};

// A re-weighted problem over the design.
inline TestProblem make_problem(const design::ModelDesign& d, Vector y, std::optional<Vector> w = std::nullopt,
                                std::uint64_t max_iter = 50) {
  return TestProblem{.penalties = d.penalties,
                     .model_matrix = d.model_matrix,
                     .y = std::move(y),
                     .prior_weights = std::move(w),
                     .start_eta = std::nullopt,
                     .settings = {.max_iter = max_iter, .tol = 1e-9}};
}

// The re-weighted fit of a family value on a test problem, as a callable so
// that cases of different family types share a table.
template <class F>
auto pirls_with(const F& family) {
  return [family](const TestProblem& p, linalg::VectorView rho) {
    return inner::pirls_fit(p.view(family), rho, p.work());
  };
}

// Reference formulas per family, at the unfloored μ (the fixtures keep μ
// well inside every floor): the working weight w/(V·g'²) and the score term
// w·(y − μ)/(V·g'), whose X-weighted sum is the gradient of −D/2.
struct Reference {
  double (*weight)(double mu);          // 1/(V·g'²)
  double (*score)(double y, double mu);  // (y − μ)/(V·g')
  double (*link)(double mu);
  double (*link_derivative)(double mu);
};

inline const Reference kPoissonReference{[](double mu) { return mu; },
                                          [](double y, double mu) { return y - mu; },
                                          [](double mu) { return std::log(mu); },
                                          [](double mu) { return 1.0 / mu; }};
inline const Reference kBernoulliReference{[](double mu) { return mu * (1.0 - mu); },
                                            [](double y, double mu) { return y - mu; },
                                            [](double mu) { return std::log(mu / (1.0 - mu)); },
                                            [](double mu) { return 1.0 / (mu * (1.0 - mu)); }};
inline const Reference kGammaReference{[](double) { return 1.0; },
                                        [](double y, double mu) { return (y - mu) / mu; },
                                        [](double mu) { return std::log(mu); },
                                        [](double mu) { return 1.0 / mu; }};
inline const Reference kInverseGaussianReference{[](double mu) { return 1.0 / mu; },
                                                  [](double y, double mu) { return (y - mu) / (mu * mu); },
                                                  [](double mu) { return std::log(mu); },
                                                  [](double mu) { return 1.0 / mu; }};

// X'·diag(w)·X + S by plain loops.
inline Matrix naive_penalized_hessian(const Matrix& x, const Vector& w, const Matrix& s) {
  Matrix h = s;
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t a = 0; a < x.cols; ++a)
      for (std::size_t b = 0; b < x.cols; ++b) h(a, b) += x(i, a) * w[i] * x(i, b);
  return h;
}

// S_λ = Σ_j exp(ρ_j)·S_j by plain loops.
inline Matrix naive_total_penalty(const std::vector<Matrix>& penalties, const Vector& rho) {
  Matrix s(penalties[0].rows, penalties[0].cols);
  for (std::size_t j = 0; j < penalties.size(); ++j)
    for (std::size_t k = 0; k < s.data.size(); ++k) s.data[k] += std::exp(rho[j]) * penalties[j].data[k];
  return s;
}

// Gaussian elimination with partial pivoting, the reference for the
// inverses and determinants that the fits take from LAPACK: reduces A to
// upper triangular form, applying the same row operations to b, and returns
// ln|det A|.
inline double eliminate(Matrix& a, Vector& b) {
  const std::size_t n = a.rows;
  double log_det = 0.0;
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < n; ++r)
      if (std::fabs(a(r, c)) > std::fabs(a(pivot, c))) pivot = r;
    for (std::size_t k = 0; k < n; ++k) std::swap(a(c, k), a(pivot, k));
    std::swap(b[c], b[pivot]);
    log_det += std::log(std::fabs(a(c, c)));
    for (std::size_t r = c + 1; r < n; ++r) {
      const double f = a(r, c) / a(c, c);
      for (std::size_t k = c; k < n; ++k) a(r, k) -= f * a(c, k);
      b[r] -= f * b[c];
    }
  }
  return log_det;
}

// x with A·x = b.
inline Vector gauss_solve(Matrix a, Vector b) {
  eliminate(a, b);
  const std::size_t n = a.rows;
  Vector x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= a(i, k) * x[k];
    x[i] = s / a(i, i);
  }
  return x;
}

// A⁻¹ column by column from `gauss_solve`.
inline Matrix gauss_inverse(const Matrix& a) {
  Matrix inv(a.rows, a.cols);
  for (std::size_t c = 0; c < a.cols; ++c) {
    Vector e(a.rows, 0.0);
    e[c] = 1.0;
    const Vector col = gauss_solve(a, e);
    for (std::size_t r = 0; r < a.rows; ++r) inv(r, c) = col[r];
  }
  return inv;
}

inline double log_abs_det(Matrix a) {
  Vector b(a.rows, 0.0);
  return eliminate(a, b);
}

// ½ln|det| of the Hessian in β of φ·(−Σ_i w_i·ℓ(y_i; x_i'β)) + ½β'S_λβ at
// β, by central second differences of `loglik` (the row's log-density as a
// function of (y, η)): the H of a Laplace approximation, from the density
// alone. Step 1e-4: truncation ~h²·f'''' and rounding ~ε·f/h² both near
// 1e-8 relative to the entries for O(1–10) sums, far below the 1e-6 that
// the comparisons allow.
template <class LogLik>
double half_log_det_of_density(const Matrix& x, const Matrix& s_lambda, const Vector& y, const Vector& w,
                               const Vector& beta, double phi, LogLik&& loglik) {
  const std::size_t p = x.cols;
  auto objective = [&](const Vector& b) {
    double f = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      double eta = 0.0;
      for (std::size_t j = 0; j < p; ++j) eta += x(i, j) * b[j];
      f -= w[i] * loglik(y[i], eta);
    }
    double pen = 0.0;
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t c = 0; c < p; ++c) pen += b[a] * s_lambda(a, c) * b[c];
    return phi * f + 0.5 * pen;
  };
  const double h = 1e-4;
  Matrix hessian(p, p);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t c = 0; c < p; ++c) {
      auto at = [&](double da, double dc) {
        Vector moved = beta;
        moved[a] += da;
        moved[c] += dc;
        return objective(moved);
      };
      hessian(a, c) = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4.0 * h * h);
    }
  return 0.5 * log_abs_det(hessian);
}

// L·L'.
inline Matrix gram_of_factor(const Matrix& l) { return naive_product(l, transpose(l)); }

// Relative closeness of two matrices, measured against their largest entry.
inline void expect_matrix_close(const Matrix& actual, const Matrix& expected, double tol) {
  expect_matrix_near(actual, expected, tol * std::max(1.0, max_abs(expected)));
}

}  // namespace kavri::testing
