// Shared helpers of the C++ suite: seeded random matrices, products written
// out independently of the library's BLAS path, and closeness checks whose
// tolerance the caller names.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::testing {

using linalg::Matrix;
using linalg::Vector;

inline Matrix random_matrix(std::size_t r, std::size_t c, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (double& v : m.data) v = u(gen);
  return m;
}

// Plain triple loop, the reference for products.
inline Matrix naive_product(const Matrix& a, const Matrix& b) {
  Matrix c(a.rows, b.cols);
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < a.cols; ++k) s += a(i, k) * b(k, j);
      c(i, j) = s;
    }
  return c;
}

inline Matrix transpose(const Matrix& a) { return a.view().transposed().to_matrix(); }

// A'A + shift·I: symmetric positive definite for shift > 0.
inline Matrix random_spd(std::size_t p, std::uint32_t seed, double shift = 1.0) {
  const Matrix a = random_matrix(p + 3, p, seed);
  Matrix h = naive_product(transpose(a), a);
  for (std::size_t i = 0; i < p; ++i) h(i, i) += shift;
  return h;
}

inline double max_abs(const Matrix& m) {
  double s = 0.0;
  for (double v : m.data) s = std::max(s, std::fabs(v));
  return s;
}

inline void expect_matrix_near(const Matrix& actual, const Matrix& expected, double tol) {
  ASSERT_EQ(actual.rows, expected.rows);
  ASSERT_EQ(actual.cols, expected.cols);
  for (std::size_t i = 0; i < actual.rows; ++i)
    for (std::size_t j = 0; j < actual.cols; ++j)
      EXPECT_NEAR(actual(i, j), expected(i, j), tol) << "at (" << i << ", " << j << ")";
}

inline void expect_vector_near(const Vector& actual, const Vector& expected, double tol) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "at " << i;
}

// Relative closeness: |a - e| <= tol * max(1, |e|).
inline void expect_close(double actual, double expected, double tol) {
  EXPECT_LE(std::fabs(actual - expected), tol * std::max(1.0, std::fabs(expected)))
      << "actual " << actual << " expected " << expected;
}

// A column of values as an n × 1 matrix, the shape design builders read.
// Largest |actual_i − expected_i| within tol times the largest |expected_i|.
inline void expect_relative(linalg::VectorView actual, linalg::VectorView expected, double tol, const char* what) {
  ASSERT_EQ(actual.size, expected.size) << what;
  double scale = 0.0, worst = 0.0;
  for (std::size_t i = 0; i < expected.size; ++i) scale = std::max(scale, std::fabs(expected[i]));
  for (std::size_t i = 0; i < actual.size; ++i) worst = std::max(worst, std::fabs(actual[i] - expected[i]));
  EXPECT_LE(worst, tol * scale) << what << ": largest difference " << worst << " against scale " << scale;
}

inline Matrix column_of(const Vector& values) { return Matrix(values.size(), 1, values); }

// The error is InvalidParameter with exactly this message.
inline void expect_invalid_parameter(const KavriError& e, const std::string& message) {
  ASSERT_TRUE(e.is<InvalidParameter>()) << e.display();
  EXPECT_EQ(e.message(), message);
}

// The weighted Gamma saturated log-likelihood from the densities: row i has
// shape ν_i = w_i/φ, so c(y; φ) = Σ_{w_i>0} [ν_i·ln ν_i − lnΓ(ν_i) − ν_i −
// ln y_i], with std::lgamma.
inline double weighted_gamma_saturated(const Vector& y, const Vector& w, double phi) {
  double c = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (w[i] == 0.0) continue;
    const double nu = w[i] / phi;
    c += nu * std::log(nu) - std::lgamma(nu) - nu - std::log(y[i]);
  }
  return c;
}

}  // namespace kavri::testing
