#include "linalg/cholesky.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::linalg {
namespace {

using testing::expect_matrix_near;
using testing::expect_vector_near;
using testing::naive_product;
using testing::random_spd;
using testing::transpose;

constexpr double kEps = std::numeric_limits<double>::epsilon();

TEST(CholeskySolveRidged, FactorReproducesHAndSolutionSolvesRidgedSystem) {
  for (std::size_t p : {1u, 2u, 5u, 17u}) {
    SCOPED_TRACE(p);
    const Matrix h = random_spd(p, 11 + static_cast<std::uint32_t>(p));
    Vector b(p);
    for (std::size_t i = 0; i < p; ++i) b[i] = std::sin(static_cast<double>(i) + 0.3);
    auto sol = cholesky_solve_ridged(h, b);
    ASSERT_TRUE(sol.has_value());
    const Matrix& l = sol->factor;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = i + 1; j < p; ++j) EXPECT_EQ(l(i, j), 0.0);
    // Rounding of a p-term dot product of entries of size ~||H||.
    const double scale = testing::max_abs(h);
    expect_matrix_near(naive_product(l, transpose(l)), h, 50 * p * kEps * scale);

    Matrix hr = h;
    for (std::size_t i = 0; i < p; ++i) hr(i, i) += 1e-12 * h(i, i);
    Vector residual(p);
    for (std::size_t i = 0; i < p; ++i) {
      double s = 0.0;
      for (std::size_t j = 0; j < p; ++j) s += hr(i, j) * sol->solution[j];
      residual[i] = s;
    }
    expect_vector_near(residual, b, 1e-12 * scale);
  }
}

// H = Q·diag(λ)·Q with Q the Sylvester–Hadamard matrix of order 8 over √8
// (symmetric and orthogonal, every q_ik² = 1/8), so every H_ii is the mean
// of λ, the ridge δ·H_ii is the same on every entry, and the ridged
// solution is Q·diag(1/(λ + δ·mean λ))·Q·b in closed form. From well
// conditioned to λ_min below the ridge: the middle case is solved by the
// correction steps on the factor of H, the last by factoring the ridged
// matrix, and in both the ridge moves x far beyond the tolerance.
TEST(CholeskySolveRidged, SolvesTheRidgedSystemFromWellConditionedToNearlySingular) {
  struct Case {
    const char* name;
    double lambda_min;  // eigenvalues run geometrically from 1e3 down to this
  } cases[] = {{"well conditioned", 1.0}, {"ridge visible", 1e-6}, {"below the ridge", 1e-13}};
  const std::size_t p = 8;
  Matrix q(p, p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j)
      q(i, j) = (__builtin_popcountll(i & j) % 2 == 0 ? 1.0 : -1.0) / std::sqrt(static_cast<double>(p));
  Vector b(p);
  for (std::size_t i = 0; i < p; ++i) b[i] = std::cos(static_cast<double>(i) + 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vector lambda(p);
    double mean = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
      lambda[k] = 1e3 * std::pow(c.lambda_min / 1e3, static_cast<double>(k) / static_cast<double>(p - 1));
      mean += lambda[k] / static_cast<double>(p);
    }
    Matrix h(p, p);
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k) h(i, j) += q(i, k) * lambda[k] * q(j, k);
    const double ridge = 1e-12 * mean;

    const Vector qb = naive_product(q, Matrix(p, 1, b)).data;
    Vector scaled(p);
    for (std::size_t k = 0; k < p; ++k) scaled[k] = qb[k] / (lambda[k] + ridge);
    const Vector expected = naive_product(q, Matrix(p, 1, scaled)).data;

    auto sol = cholesky_solve_ridged(h, b);
    ASSERT_TRUE(sol.has_value());
    // Forming H rounds it (its diagonal too, so the ridge) by about p·ε·λ_max,
    // which κ of the ridged matrix magnifies in x.
    const double kappa = (lambda[0] + ridge) / (lambda[p - 1] + ridge);
    double diff = 0.0, size = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
      diff += (sol->solution[i] - expected[i]) * (sol->solution[i] - expected[i]);
      size += expected[i] * expected[i];
    }
    EXPECT_LE(std::sqrt(diff / size), 10.0 * kappa * static_cast<double>(p) * kEps);
  }
}

TEST(CholeskySolveRidged, RidgeIsScaledByEachDiagonalEntry) {
  // H diagonal, b = 1: x_i = 1 / (H_ii·(1 + 1e-12)). A ridge scaled by the
  // largest entry would move the last case's second coefficient by 1e-6.
  struct Case {
    const char* name;
    Vector diag;
  } cases[] = {
      {"small diagonal", {0.25}},
      {"unit diagonal", {1.0}},
      {"large diagonal", {1e6}},
      {"entries 1e6 apart", {1e6, 1.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t p = c.diag.size();
    Matrix h(p, p);
    for (std::size_t i = 0; i < p; ++i) h(i, i) = c.diag[i];
    auto sol = cholesky_solve_ridged(h, Vector(p, 1.0));
    ASSERT_TRUE(sol.has_value());
    // The ridged solution comes from correction steps on the factor of H,
    // so it meets the division within a few roundings; the ridge itself
    // moves x by 1e-12 relative, far outside that.
    for (std::size_t i = 0; i < p; ++i) {
      const double expected = 1.0 / (c.diag[i] + 1e-12 * c.diag[i]);
      EXPECT_NEAR(sol->solution[i], expected, 4 * kEps * expected) << i;
      EXPECT_EQ(sol->factor(i, i), std::sqrt(c.diag[i]));
    }
  }
}

TEST(CholeskySolveRidged, NanOnDiagonalDoesNotPoisonTheRidge) {
  Matrix h = Matrix::identity(3);
  h(0, 0) = 7.0;
  h(1, 1) = std::numeric_limits<double>::quiet_NaN();
  h(2, 2) = -30.0;  // magnitude, not value
  EXPECT_EQ(solve_ridge(h), 30.0 * 1e-12);
  h(2, 2) = 0.5;
  EXPECT_EQ(solve_ridge(h), 7.0 * 1e-12);
}

TEST(CholeskySolveRidged, IndefiniteMatrixNamesTheFailingMinor) {
  Matrix h = Matrix::identity(3);
  h(2, 2) = -1.0;
  auto sol = cholesky_solve_ridged(h, Vector{1.0, 1.0, 1.0});
  ASSERT_FALSE(sol.has_value());
  ASSERT_TRUE(sol.error().is<SingularSystem>());
  EXPECT_EQ(sol.error().message(), "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 3");
  EXPECT_EQ(sol.error().display(),
            "singular system: Cholesky failed: Computational failure in LAPACK subroutine: return_code = 3");
}

TEST(TriangularSolves, OneByOneDividesByThePivot) {
  const Matrix l(1, 1, 4.0);
  EXPECT_EQ(forward_substitute(l, Vector{2.0})[0], 0.5);
  EXPECT_EQ(back_substitute_transposed(l, Vector{2.0})[0], 0.5);
}

TEST(TriangularSolves, SolveAgainstTheFactor) {
  const std::size_t p = 7;
  auto l = cholesky_lower(random_spd(p, 3));
  ASSERT_TRUE(l.has_value());
  Vector b(p);
  for (std::size_t i = 0; i < p; ++i) b[i] = 1.0 + static_cast<double>(i);
  const Vector y = forward_substitute(*l, b);
  const Vector x = back_substitute_transposed(*l, b);
  for (std::size_t i = 0; i < p; ++i) {
    double ly = 0.0, ltx = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
      ly += (*l)(i, j) * y[j];
      ltx += (*l)(j, i) * x[j];
    }
    EXPECT_NEAR(ly, b[i], 1e-13 * p);
    EXPECT_NEAR(ltx, b[i], 1e-13 * p);
  }
}

TEST(TriangularSolves, UpperTriangleIsNeverRead) {
  Matrix l(2, 2);
  l(0, 0) = 2.0;
  l(1, 0) = 1.0;
  l(1, 1) = 4.0;
  Matrix dirty = l;
  dirty(0, 1) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(forward_substitute(dirty, Vector{2.0, 5.0}), forward_substitute(l, Vector{2.0, 5.0}));
  EXPECT_EQ(back_substitute_transposed(dirty, Vector{2.0, 5.0}), back_substitute_transposed(l, Vector{2.0, 5.0}));
}

TEST(InverseFromCholesky, InverseTimesMatrixIsIdentity) {
  EXPECT_EQ(inverse_from_cholesky(Matrix::identity(4)), Matrix::identity(4));
  for (std::size_t p : {1u, 3u, 12u}) {
    SCOPED_TRACE(p);
    const Matrix a = random_spd(p, 100 + static_cast<std::uint32_t>(p));
    auto l = cholesky_lower(a);
    ASSERT_TRUE(l.has_value());
    // A = A'A + I has condition number of order 10 here; errors ~ p·ε·cond.
    expect_matrix_near(naive_product(inverse_from_cholesky(*l), a), Matrix::identity(p), 1e-12 * p);
  }
}

TEST(TraceInverseTimes, MatchesTheExplicitProduct) {
  const std::size_t p = 6;
  const Matrix a = random_spd(p, 21);
  auto l = cholesky_lower(a);
  ASSERT_TRUE(l.has_value());
  testing::expect_close(trace_inverse_times(*l, a), static_cast<double>(p), 1e-13);

  const Matrix m = random_spd(p, 22);
  const Matrix prod = naive_product(inverse_from_cholesky(*l), m);
  double trace = 0.0;
  for (std::size_t i = 0; i < p; ++i) trace += prod(i, i);
  testing::expect_close(trace_inverse_times(*l, m), trace, 1e-13);
}

TEST(TraceInverseTimes, ReadsOnlyTheLeadingBlock) {
  auto l = cholesky_lower(Matrix::identity(2));
  ASSERT_TRUE(l.has_value());
  Matrix m(3, 3, std::numeric_limits<double>::quiet_NaN());
  m(0, 0) = 2.0;
  m(0, 1) = 1.0;
  m(1, 0) = 1.0;
  m(1, 1) = 3.0;
  EXPECT_EQ(trace_inverse_times(*l, m), 5.0);
}

// A = Q·diag(λ)·Q with Q = I − 2vv'/(v'v), so A⁻¹ = Q·diag(1/λ)·Q in closed
// form. The traces of embedded blocks read L⁻¹ only over their band; the
// band must not cut the trace short at either end.
TEST(TraceWithFactorInverse, MatchesTheClosedFormInverseForEmbeddedBlocks) {
  const std::size_t p = 7;
  const Vector v{2.0, -1.0, 3.0, 1.0, -2.0, 1.0, 4.0};
  const double vv = 36.0;
  const Vector lambda{50.0, 20.0, 9.0, 4.0, 2.0, 1.0, 0.5};
  Matrix a(p, p), a_inv(p, p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) {
        const double qik = (i == k ? 1.0 : 0.0) - 2.0 * v[i] * v[k] / vv;
        const double qjk = (j == k ? 1.0 : 0.0) - 2.0 * v[j] * v[k] / vv;
        a(i, j) += qik * lambda[k] * qjk;
        a_inv(i, j) += qik / lambda[k] * qjk;
      }
  auto l = cholesky_lower(a);
  ASSERT_TRUE(l.has_value());
  const Matrix g = factor_inverse(*l);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = i + 1; j < p; ++j) EXPECT_EQ(g(i, j), 0.0);
  // κ(A) = 100: a few roundings times that.
  expect_matrix_near(naive_product(g, *l), Matrix::identity(p), 100 * p * kEps);

  struct Case {
    const char* name;
    std::size_t lo, hi;  // the block [lo, hi) holds M
  } cases[] = {{"leading block", 0, 3}, {"inner block", 2, 5}, {"trailing block", 4, 7}, {"whole matrix", 0, 7}};
  const Matrix block = random_spd(p, 31);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Matrix m(p, p);
    for (std::size_t i = c.lo; i < c.hi; ++i)
      for (std::size_t j = c.lo; j < c.hi; ++j) m(i, j) = block(i, j);
    double expected = 0.0;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = 0; j < p; ++j) expected += a_inv(i, j) * m(j, i);
    // Relative to Σ|A⁻¹||M| with the same κ(A) = 100 allowance.
    double magnitude = 0.0;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = 0; j < p; ++j) magnitude += std::fabs(a_inv(i, j) * m(j, i));
    EXPECT_NEAR(trace_with_factor_inverse(g, m), expected, 100 * p * kEps * magnitude);
  }
  // A NaN outside a block widens the band to it and reaches the trace.
  Matrix m(p, p);
  m(3, 3) = 1.0;
  m(1, 6) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(trace_with_factor_inverse(g, m)));
}

}  // namespace
}  // namespace kavri::linalg
