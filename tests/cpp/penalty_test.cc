#include "design/penalty.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::Vector;
using testing::expect_matrix_near;

constexpr double kEps = std::numeric_limits<double>::epsilon();

TEST(TotalPenalty, WeightsEachPenaltyAndIgnoresExtraRho) {
  const Matrix s0 = testing::random_spd(4, 1);
  const Matrix s1 = testing::random_spd(4, 2);
  const std::vector<Matrix> penalties{s0, s1};
  const Matrix total = total_penalty(penalties, Vector{0.0, std::log(2.0), 5.0});
  Matrix expected(4, 4);
  for (std::size_t i = 0; i < expected.data.size(); ++i) expected.data[i] = s0.data[i] + 2.0 * s1.data[i];
  // exp(ln 2) is 2 within an ulp or two.
  expect_matrix_near(total, expected, 4 * kEps * testing::max_abs(expected));
}

TEST(TotalPenalty, SinglePenaltyAtZeroIsExact) {
  const Matrix s = testing::random_matrix(3, 3, 5);
  const std::vector<Matrix> penalties{s};
  EXPECT_EQ(total_penalty(penalties, Vector{0.0}), s);
}

TEST(EmbedPenalty, PlacesTheBlockAndZerosTheRest) {
  const Matrix block(2, 2, Vector{1, 2, 3, 4});
  const Matrix e = embed_penalty(block, 1, 4);
  EXPECT_EQ(e, Matrix(4, 4, Vector{0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 4, 0, 0, 0, 0, 0}));
}

Matrix diagonal(const Vector& d) {
  Matrix m(d.size(), d.size());
  for (std::size_t i = 0; i < d.size(); ++i) m(i, i) = d[i];
  return m;
}

TEST(PenaltyRankAndLogPdet, CountsEigenvaluesAboveTheScaledThreshold) {
  struct Case {
    const char* name;
    Matrix s;
    std::uint64_t rank;
    double log_pdet;
  };
  Matrix embedded_identity = diagonal({0.0, 1.0, 1.0, 1.0});
  const Case cases[] = {
      {"zero matrix", Matrix(3, 3), 0, 0.0},
      {"identity on rows 1..3", embedded_identity, 3, 0.0},
      // λ_max = 1e6: the threshold is 1e-4, so 2e-4 counts and 5e-5 does not.
      {"large penalty, relative threshold", diagonal({5e-5, 2e-4, 1e6}), 2, std::log(1e6) + std::log(2e-4)},
      // λ_max = 0.5: the threshold stays at 1e-10.
      {"small penalty, absolute threshold", diagonal({5e-11, 2e-10, 0.5}), 2, std::log(0.5) + std::log(2e-10)},
      {"negative eigenvalues never count", diagonal({-3.0, 2.0}), 1, std::log(2.0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = penalty_rank_and_log_pdet(c.s);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rank, c.rank);
    EXPECT_NEAR(r->log_pdet, c.log_pdet, 16 * kEps * std::max(1.0, std::fabs(c.log_pdet)));
  }
}

TEST(PenaltyRankAndLogPdet, RotatedPenaltyReadsTheUpperTriangle) {
  // Q·diag(0, 0, 2, 3)·Q' for an orthogonal Q: rank 2, log_pdet ln 6. The
  // lower triangle is overwritten to show that it is not read.
  const Matrix a = testing::random_matrix(4, 4, 9);
  auto q = linalg::eigh(testing::naive_product(testing::transpose(a), a));
  ASSERT_TRUE(q.has_value());
  const Matrix& v = q->vectors;
  Matrix s = testing::naive_product(testing::naive_product(v, diagonal({0.0, 0.0, 2.0, 3.0})), testing::transpose(v));
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < i; ++j) s(i, j) = 1e3;
  auto r = penalty_rank_and_log_pdet(s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->rank, 2u);
  // Eigenvalues of a rounded reconstruction: off by a few kEps·3.
  EXPECT_NEAR(r->log_pdet, std::log(6.0), 1e-13);
}

}  // namespace
}  // namespace kavri::design
