#include "score/penalty_determinant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "test_util.h"

namespace kavri::score {
namespace {

using linalg::Matrix;
using linalg::Vector;

// a·a' placed at rows and columns `at` of a p × p zero matrix.
Matrix outer_at(const Vector& a, const std::vector<std::size_t>& at, std::size_t p) {
  Matrix s(p, p);
  for (std::size_t r = 0; r < at.size(); ++r)
    for (std::size_t c = 0; c < at.size(); ++c) s(at[r], at[c]) = a[r] * a[c];
  return s;
}

TEST(PenaltyDeterminant, OverlappingPenaltiesTakeTheJointPseudoDeterminant) {
  // u = (1, −1, 0) and v = (0, 1, −1) at rows 1..3 of p = 5: both penalties
  // have rank 1 and pseudo-determinant 2, and λ0·uu' + λ1·vv' has the
  // non-zero eigenvalues of [[2λ0, −√(λ0λ1)], [−√(λ0λ1), 2λ1]], whose
  // product is 3·λ0·λ1. So R = ½(ln 3 + ρ0 + ρ1) with both derivatives ½,
  // where the per-penalty sum would give ½(2 ln 2 + ρ0 + ρ1). A third
  // penalty at row 4 overlaps neither and keeps its own ½(r ρ + ℓ).
  const std::size_t p = 5;
  const std::vector<Matrix> penalties{outer_at({1, -1, 0}, {1, 2, 3}, p), outer_at({0, 1, -1}, {1, 2, 3}, p),
                                      outer_at({2}, {4}, p)};
  const std::vector<std::uint64_t> ranks{1, 1, 1};
  const std::vector<double> log_pdets{std::log(2.0), std::log(2.0), std::log(4.0)};
  struct Case {
    const char* name;
    Vector rho;
  } cases[] = {
      {"unit smoothing", {0.0, 0.0, 0.0}},
      {"unequal", {1.5, -0.7, 2.0}},
      // The smaller eigenvalue is 3e-11 of the larger here: a rank taken
      // against a relative threshold at these λ would drop it.
      {"far apart", {12.0, -12.0, 0.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = penalty_determinant(penalties, ranks, log_pdets, c.rho);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    const double expected = 0.5 * (std::log(3.0) + c.rho[0] + c.rho[1]) + 0.5 * (c.rho[2] + std::log(4.0));
    // The eigensolver's absolute error is a few ε of the largest
    // eigenvalue, so the smallest one's relative error is ε times their
    // ratio: 1e-13 at moderate ρ, 8e-6 for the ratio 3.6e10 of the last case.
    const double tol = c.rho[0] > 10.0 ? 1e-5 : 1e-13;
    EXPECT_NEAR(r->value, expected, tol);
    ASSERT_EQ(r->gradient.size(), 3u);
    EXPECT_NEAR(r->gradient[0], 0.5, tol);
    EXPECT_NEAR(r->gradient[1], 0.5, tol);
    EXPECT_EQ(r->gradient[2], 0.5);
  }
}

TEST(PenaltyDeterminant, SeparatePenaltiesKeepTheirRanksAndLogDeterminants) {
  // R = ½Σ(r_j ρ_j + ℓ_j) and ∂R/∂ρ_j = ½ r_j, from the stated ranks and
  // log pseudo-determinants alone.
  const std::size_t p = 6;
  Matrix a(p, p), b(p, p);
  a(1, 1) = 3.0, a(1, 2) = a(2, 1) = 1.0, a(2, 2) = 3.0;
  b(4, 4) = 5.0, b(5, 5) = 7.0;
  const std::vector<Matrix> penalties{a, b};
  const std::vector<std::uint64_t> ranks{2, 2};
  const std::vector<double> log_pdets{std::log(8.0), std::log(35.0)};
  const Vector rho{0.25, -1.5};
  auto r = penalty_determinant(penalties, ranks, log_pdets, rho);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->value, 0.5 * ((2.0 * 0.25 + std::log(8.0)) + (2.0 * -1.5 + std::log(35.0))));
  EXPECT_EQ(r->gradient, (Vector{1.0, 1.0}));
}

}  // namespace
}  // namespace kavri::score
