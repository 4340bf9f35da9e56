#include "linalg/block_factor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"
#include "test_util.h"

namespace kavri::linalg {
namespace {

// The block forms against the dense ones on systems shaped like X'WX + S_λ
// of a design with random-effect terms. H's condition number stays below
// about 1e4 here (weights in [0.5, 1.5], smoothing parameters near 1), so
// quantities that agree to 1e-10 relative agree to a few thousand ε·cond.
constexpr double kRelative = 1e-10;

using testing::expect_relative;

// A sum is compared relative to the sum of its terms' magnitudes, which
// bounds its rounding also where the terms cancel.
void expect_relative(double actual, double expected, double tol, const char* what, double magnitude = 0.0) {
  const double scale = std::max(std::fabs(expected), magnitude);
  EXPECT_LE(std::fabs(actual - expected), tol * scale) << what << ": " << actual << " vs " << expected;
}

// A design [1 | smooth columns and random-effect blocks, interleaved], its
// weights, penalties and H = X'WX + Σ λ_j S_j; the diagonal part is the
// first random-effect term, the largest.
struct Case {
  const char* name;
  std::size_t n;
  std::size_t smooth;               // dense columns besides the intercept
  std::vector<std::size_t> levels;  // per random-effect term, largest first
};

struct System {
  Matrix x;                          // n × p
  std::vector<Matrix> penalties;     // p × p each, embedded
  Matrix h;                          // X'WX + S_λ
  Matrix xtvx;                       // X'·diag(v)·X with other weights
  std::vector<std::uint64_t> diagonal;  // the first term's columns
  std::vector<std::uint32_t> level;  // per row, its level of the first term
};

System make_system(const Case& c, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0), weight(0.5, 1.5);
  std::size_t p = 1 + c.smooth;
  for (std::size_t l : c.levels) p += l;
  System s;
  s.x = Matrix(c.n, p);
  // Column layout: intercept, the first term, half the smooth columns, the
  // other terms, the other half.
  const std::size_t first_half = c.smooth / 2;
  std::vector<std::size_t> term_start;
  std::size_t col = 1;
  term_start.push_back(col);
  col += c.levels[0];
  const std::size_t smooth_a = col;
  col += first_half;
  for (std::size_t t = 1; t < c.levels.size(); ++t) {
    term_start.push_back(col);
    col += c.levels[t];
  }
  const std::size_t smooth_b = col;
  s.level.resize(c.n);
  for (std::size_t i = 0; i < c.n; ++i) {
    s.x(i, 0) = 1.0;
    for (std::size_t j = 0; j < first_half; ++j) s.x(i, smooth_a + j) = u(gen);
    for (std::size_t j = 0; j < c.smooth - first_half; ++j) s.x(i, smooth_b + j) = u(gen);
    for (std::size_t t = 0; t < c.levels.size(); ++t) {
      const std::size_t l = std::uniform_int_distribution<std::size_t>(0, c.levels[t] - 1)(gen);
      s.x(i, term_start[t] + l) = 1.0;
      if (t == 0) s.level[i] = static_cast<std::uint32_t>(l);
    }
  }
  for (std::size_t l = 0; l < c.levels[0]; ++l) s.diagonal.push_back(term_start[0] + l);

  // A random positive semi-definite smooth penalty, an identity per term.
  if (c.smooth > 0) {
    std::vector<std::size_t> cols;
    for (std::size_t j = 0; j < first_half; ++j) cols.push_back(smooth_a + j);
    for (std::size_t j = 0; j < c.smooth - first_half; ++j) cols.push_back(smooth_b + j);
    const Matrix r = testing::random_matrix(c.smooth, c.smooth, seed + 1);
    Matrix sp(p, p);
    for (std::size_t a = 0; a < c.smooth; ++a)
      for (std::size_t b = 0; b < c.smooth; ++b) {
        double v = 0.0;
        for (std::size_t m = 0; m < c.smooth; ++m) v += r(m, a) * r(m, b);
        sp(cols[a], cols[b]) = v;
      }
    s.penalties.push_back(std::move(sp));
  }
  for (std::size_t t = 0; t < c.levels.size(); ++t) {
    Matrix sr(p, p);
    for (std::size_t l = 0; l < c.levels[t]; ++l) sr(term_start[t] + l, term_start[t] + l) = 1.0;
    s.penalties.push_back(std::move(sr));
  }

  Vector w(c.n), v(c.n);
  for (std::size_t i = 0; i < c.n; ++i) {
    w[i] = weight(gen);
    v[i] = u(gen);  // of either sign, as a derivative of the weights is
  }
  s.h = weighted_gram(s.x, w);
  s.xtvx = weighted_gram(s.x, v);
  for (std::size_t j = 0; j < s.penalties.size(); ++j) {
    const double lambda = 0.5 + 0.75 * static_cast<double>(j);
    for (std::size_t k = 0; k < p * p; ++k) s.h.data[k] += lambda * s.penalties[j].data[k];
  }
  return s;
}

Vector dense_solve(const Matrix& l, VectorView b) { return back_substitute_transposed(l, forward_substitute(l, b)); }

Vector column(const Matrix& m, std::size_t c) {
  Vector out(m.rows);
  for (std::size_t i = 0; i < m.rows; ++i) out[i] = m(i, c);
  return out;
}

const Case kCases[] = {
    {"one term of one level, no smooth", 300, 0, {1}},
    {"one term of 800 levels, no smooth", 1200, 0, {800}},
    {"one term of 40 levels and smooth columns", 400, 9, {40}},
    {"one term of 2000 levels and smooth columns", 2500, 9, {2000}},
    {"two terms and smooth columns", 2000, 9, {1000, 120}},
    {"three terms and smooth columns", 2500, 5, {1500, 200, 30}},
    {"three terms, no smooth", 1200, 0, {300, 60, 7}},
};

TEST(BlockFactor, AgreesWithTheDenseFactorOnRandomEffectDesigns) {
  std::uint32_t seed = 7;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const System s = make_system(c, seed++);
    const std::size_t p = s.h.rows;
    const BlockPartition part = block_partition(p, s.diagonal);
    const BlockSystem blocks = block_system_of(s.h, part);
    auto factor = block_cholesky(blocks, part);
    ASSERT_TRUE(factor.has_value()) << factor.error().text();
    auto dense = cholesky_lower(s.h);
    ASSERT_TRUE(dense.has_value());

    // Log-determinant.
    double dense_log_det = 0.0;
    for (std::size_t i = 0; i < p; ++i) dense_log_det += 2.0 * std::log((*dense)(i, i));
    expect_relative(block_log_det(*factor), dense_log_det, kRelative, "log-determinant");

    // Solves, one right-hand side and three.
    Matrix rhs = testing::random_matrix(p, 3, seed + 100);
    const Matrix solved = block_solve(*factor, rhs);
    for (std::size_t r = 0; r < 3; ++r) {
      const Vector b = column(rhs, r);
      const Vector expected = dense_solve(*dense, b);
      expect_relative(block_solve(*factor, b), expected, kRelative, "vector solve");
      expect_relative(column(solved, r), expected, kRelative, "matrix solve");
    }

    // The inverse: exactly symmetric, a few columns against dense solves,
    // and its diagonal.
    const Matrix inv = block_inverse(*factor);
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = i + 1; j < p; ++j) ASSERT_EQ(inv(i, j), inv(j, i));
    const std::size_t sample[] = {0, 1, p / 3, p / 2, p - 1};
    for (std::size_t col : sample) {
      Vector e(p, 0.0);
      e[col] = 1.0;
      expect_relative(column(inv, col), dense_solve(*dense, e), kRelative, "inverse column");
    }
    // H·H⁻¹ = I checks the columns not sampled.
    const Matrix product = multiply(s.h, inv);
    double off = 0.0;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j = 0; j < p; ++j) off = std::max(off, std::fabs(product(i, j) - (i == j ? 1.0 : 0.0)));
    EXPECT_LE(off, 1e-9) << "H times its inverse";
    Vector inv_diag(p);
    for (std::size_t i = 0; i < p; ++i) inv_diag[i] = inv(i, i);
    expect_relative(block_inverse_diagonal(*factor), inv_diag, kRelative, "inverse diagonal");

    // Traces against penalties and against X'·diag(v)·X, dense and in block
    // form, and traces of products.
    std::vector<const Matrix*> ms;
    for (const Matrix& pen : s.penalties) ms.push_back(&pen);
    ms.push_back(&s.xtvx);
    std::vector<Matrix> hm;  // H⁻¹·M
    for (const Matrix* m : ms) {
      const double expected = trace_with_inverse(inv, *m);
      double magnitude = 0.0;
      for (std::size_t k = 0; k < p * p; ++k) magnitude += std::fabs(inv.data[k] * m->data[k]);
      expect_relative(block_trace_times(*factor, *m), expected, kRelative, "trace of a dense matrix", magnitude);
      expect_relative(block_trace_times(*factor, block_system_of(*m, part)), expected, kRelative,
                      "trace in block form", magnitude);
      hm.push_back(multiply(inv, *m));
    }
    // Every matrix against X'·diag(v)·X and the first penalty.
    for (std::size_t i = 0; i < ms.size(); ++i)
      for (std::size_t j : {std::size_t{0}, ms.size() - 1}) {
        // Its rounding is bounded by ‖H⁻¹M_i‖·‖H⁻¹M_j‖ (Frobenius), also
        // where the product vanishes.
        double expected = 0.0, norm_i = 0.0, norm_j = 0.0;
        for (std::size_t a = 0; a < p; ++a)
          for (std::size_t b = 0; b < p; ++b) {
            expected += hm[i](a, b) * hm[j](b, a);
            norm_i += hm[i](a, b) * hm[i](a, b);
            norm_j += hm[j](a, b) * hm[j](a, b);
          }
        const double magnitude = std::sqrt(norm_i * norm_j);
        expect_relative(block_trace_product(*factor, block_system_of(*ms[i], part), block_system_of(*ms[j], part)),
                        expected, kRelative, "trace of a product", magnitude);
      }

    // Leverages, from the dense rows and from the rows' block form.
    const Vector leverages = row_quadratic_forms(s.x, inv);
    expect_relative(block_row_forms(*factor, s.x), leverages, kRelative, "leverages of dense rows");
    Matrix x_dense(c.n, part.dense.size());
    for (std::size_t i = 0; i < c.n; ++i)
      for (std::size_t a = 0; a < part.dense.size(); ++a) x_dense(i, a) = s.x(i, part.dense[a]);
    expect_relative(block_row_forms(*factor, BlockRows{x_dense, s.level}), leverages, kRelative,
                    "leverages of block rows");
  }
}

TEST(BlockFactor, RidgedSolveMatchesTheDenseRidgedSolve) {
  const System s = make_system({"ridged", 600, 6, {150}}, 3);
  const BlockPartition part = block_partition(s.h.rows, s.diagonal);
  const Vector b = column(testing::random_matrix(s.h.rows, 1, 5), 0);
  auto block = block_solve_ridged(block_system_of(s.h, part), part, b);
  auto dense = cholesky_solve_ridged(s.h, b);
  ASSERT_TRUE(block.has_value() && dense.has_value());
  EXPECT_EQ(block_solve_ridge(block_system_of(s.h, part)), solve_ridge(s.h));
  expect_relative(block->solution, dense->solution, kRelative, "ridged solution");
  double dense_log_det = 0.0;
  for (std::size_t i = 0; i < s.h.rows; ++i) dense_log_det += 2.0 * std::log(dense->factor(i, i));
  expect_relative(block_log_det(block->factor), dense_log_det, kRelative, "log-determinant of H without ridge");
}

TEST(BlockFactor, FailuresNameTheMinorOfTheDiagonalFirstOrdering) {
  const System s = make_system({"indefinite", 200, 3, {20}}, 9);
  const BlockPartition part = block_partition(s.h.rows, s.diagonal);
  struct Failure {
    const char* name;
    bool in_diagonal;  // spoil d_5, else the Schur complement's minor 2
    std::int32_t code;
  } failures[] = {{"a diagonal entry", true, 6}, {"a Schur minor", false, 20 + 2}};
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    BlockSystem blocks = block_system_of(s.h, part);
    if (f.in_diagonal) {
      blocks.d[5] = -1.0;
    } else {
      // The Schur complement's second leading minor made negative.
      blocks.a(1, 1) = -1e3;
    }
    auto factor = block_cholesky(blocks, part);
    ASSERT_FALSE(factor.has_value());
    EXPECT_EQ(factor.error().kind, LinalgFailure::Kind::LapackComputationalFailure);
    EXPECT_EQ(factor.error().return_code, f.code);
    auto solved = block_solve_ridged(blocks, part, Vector(s.h.rows, 1.0));
    ASSERT_FALSE(solved.has_value());
    EXPECT_EQ(solved.error().message(),
              "Cholesky failed: Computational failure in LAPACK subroutine: return_code = " + std::to_string(f.code));
  }
}

// An indefinite H (the observed information of a non-canonical link can
// be) against dense references that share nothing with the Schur form:
// ln|det H| from H's own eigenvalues, H⁻¹ by LU solves. The spoilt entries
// keep H's eigenvalues at least about 1e-2 from zero, so cond(H) stays
// near that of the definite cases and 1e-10 relative holds as there.
TEST(BlockFactor, SymmetricFactorOfAnIndefiniteSystemAgreesWithTheDenseOne) {
  const Case c{"indefinite", 700, 6, {120}};
  const System base = make_system(c, 21);
  const std::size_t p = base.h.rows;
  const BlockPartition part = block_partition(p, base.diagonal);
  struct Spoil {
    const char* name;
    std::vector<std::size_t> diagonal_levels;  // d_l made negative
    bool schur;                                // the first dense entry made negative
  } spoils[] = {{"definite", {}, false},
                {"negative diagonal entries", {3, 50, 119}, false},
                {"indefinite Schur complement", {}, true},
                {"both", {0, 7}, true}};
  for (const Spoil& sp : spoils) {
    SCOPED_TRACE(sp.name);
    Matrix h = base.h;
    for (std::size_t l : sp.diagonal_levels) h(part.diagonal[l], part.diagonal[l]) = -2.0 - static_cast<double>(l % 3);
    if (sp.schur) h(part.dense[1], part.dense[1]) = -50.0;
    const BlockSystem blocks = block_system_of(h, part);
    auto factor = block_symmetric_factor(blocks, part, 1e-300);
    ASSERT_TRUE(factor.has_value());
    const bool definite = sp.diagonal_levels.empty() && !sp.schur;
    if (definite) {
      // Where H is positive definite, this is the Cholesky factor exactly.
      auto chol = block_cholesky(blocks, part);
      ASSERT_TRUE(chol.has_value());
      EXPECT_EQ(block_log_det(*factor), block_log_det(*chol));
      EXPECT_EQ(factor->g.data, chol->g.data);
    } else {
      EXPECT_FALSE(block_cholesky(blocks, part).has_value());
    }
    auto eig = eigh(h);
    ASSERT_TRUE(eig.has_value());
    double log_abs_det = 0.0, smallest = INFINITY;
    for (double v : eig->values) {
      log_abs_det += std::log(std::fabs(v));
      smallest = std::min(smallest, std::fabs(v));
    }
    ASSERT_GT(smallest, 1e-2);
    expect_relative(block_log_det(*factor), log_abs_det, kRelative, "ln|det H|");
    const Matrix inv = block_inverse(*factor);
    for (std::size_t col : {std::size_t{0}, part.dense[1], part.diagonal[3], part.diagonal[7], p - 1}) {
      Vector e(p, 0.0);
      e[col] = 1.0;
      auto expected = lu_solve(h, e);
      ASSERT_TRUE(expected.has_value());
      expect_relative(column(inv, col), *expected, kRelative, "inverse column");
      expect_relative(block_solve(*factor, e), *expected, kRelative, "solve");
    }
    expect_relative(block_row_forms(*factor, base.x), row_quadratic_forms(base.x, inv), kRelative, "leverages");
  }
  // A diagonal entry of zero leaves no D⁻¹.
  Matrix h = base.h;
  h(part.diagonal[4], part.diagonal[4]) = 0.0;
  EXPECT_FALSE(block_symmetric_factor(block_system_of(h, part), part, 1e-300).has_value());
}

}  // namespace
}  // namespace kavri::linalg
