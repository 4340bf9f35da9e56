#include "basis/cr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <cmath>
#include <random>
#include <limits>
#include <string>

#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::basis {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using testing::column_of;
using testing::expect_invalid_parameter;
using testing::expect_matrix_near;
using testing::expect_vector_near;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

CrBasis knots_of(Vector t) {
  auto b = validate_cr_knots(std::move(t));
  EXPECT_TRUE(b.has_value());
  return *b;
}

// ---------------------------------------------------------------------------
// Knot placement and validation

TEST(PlaceCrKnots, WorkedCases) {
  struct Case {
    const char* name;
    Vector values;
    std::uint64_t k;
    Vector knots;
  };
  const Case cases[] = {
      {"empty column spans [0, 1]", {}, 4, {0.0, 1.0 / 3.0, 2.0 / 3.0, 1.0}},
      {"exactly k unique values, unsorted and repeated", {3, 1, 2, 5, 4, 2, 5}, 5, {1, 2, 3, 4, 5}},
      // t = (j/2)·4 lands on unique values 0, 2, 4.
      {"every other unique value", {4, 0, 3, 1, 2}, 3, {0, 2, 4}},
      // t = (j/3)·4 = 0, 4/3, 8/3, 4: knot 1 = (2/3)·1 + (1/3)·10 = 4,
      // knot 2 = (1/3)·10 + (2/3)·11 = 32/3.
      {"interpolated between unique values", {0, 1, 10, 11, 20}, 4, {0, 4, 32.0 / 3.0, 20}},
      // 1 + 1e-13 is within the tolerance of 1: two unique values for three
      // knots, so they are equally spaced over [1, 2].
      {"near-duplicate at 1e-13 merges", {1.0, 1.0 + 1e-13, 2.0}, 3, {1.0, 1.5, 2.0}},
      {"near-duplicate at 1e-11 stays", {1.0, 1.0 + 1e-11, 2.0}, 3, {1.0, 1.0 + 1e-11, 2.0}},
      // Each gap is 0.6e-12, but 1.2e-12 is compared with the last value
      // kept (0), not with its sorted neighbour: three unique values.
      {"duplicates judged against the last kept value", {0.0, 0.6e-12, 1.2e-12, 5.0}, 3, {0.0, 1.2e-12, 5.0}},
      {"too few unique values are spread evenly", {2.0, 2.0, 8.0}, 4, {2.0, 4.0, 6.0, 8.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto b = place_cr_knots(c.values, c.k);
    ASSERT_TRUE(b.has_value()) << b.error().display();
    EXPECT_EQ(b->k, c.k);
    ASSERT_EQ(b->knots.size(), c.k);
    // A few roundings of the interpolation weights, relative to the span.
    for (std::size_t j = 0; j < c.k; ++j)
      EXPECT_NEAR(b->knots[j], c.knots[j], 8 * kEps * std::fabs(c.knots.back())) << "knot " << j;
  }
}

TEST(PlaceCrKnots, LongColumnsGetTheKnotsOfTheirUniqueValues) {
  // Long columns of integers from `low` to `low + u − 1`, shuffled, each
  // value repeated, with both zeros and NaN among them: the unique values
  // are those integers, so knot j is low + j·(u − 1)/(k − 1), to the
  // rounding of one interpolation between neighbours.
  struct Case {
    const char* name;
    double low;
    std::size_t unique, repeats;
  } cases[] = {{"positive, distinct", 1.0, 20000, 1},
               {"negative and positive, repeated", -7000.0, 9000, 3},
               {"all negative, repeated", -50000.0, 6000, 2}};
  constexpr std::uint64_t k = 7;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vector column;
    for (std::size_t r = 0; r < c.repeats; ++r)
      for (std::size_t i = 0; i < c.unique; ++i) column.push_back(c.low + static_cast<double>(i));
    if (c.low < 0.0 && c.low + static_cast<double>(c.unique) > 0.0) column.push_back(-0.0);  // 0.0 is a level
    column.push_back(kNaN);
    std::mt19937 gen(3);
    std::shuffle(column.begin(), column.end(), gen);
    auto knots = place_cr_knots(column, k);
    ASSERT_TRUE(knots.has_value());
    for (std::size_t j = 0; j < k; ++j) {
      const double expected =
          c.low + static_cast<double>(j) * static_cast<double>(c.unique - 1) / static_cast<double>(k - 1);
      EXPECT_NEAR(knots->knots[j], expected, 4.0 * kEps * std::fabs(expected)) << "knot " << j;
    }
  }
}

// The knots of the documented rule worked from a plain comparison sort:
// non-NaN values ascending (−0 before +0), duplicates within the tolerance
// of the last value kept dropped, then interpolation at t = j/(k − 1)·(u − 1)
// among the u unique values, or equal spacing over their range when u < k.
Vector reference_knots(const Vector& column, std::uint64_t k) {
  Vector sorted;
  for (double v : column)
    if (!std::isnan(v)) sorted.push_back(v);
  std::sort(sorted.begin(), sorted.end(), [](double a, double b) {
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
  });
  Vector unique;
  for (double v : sorted)
    if (unique.empty() || std::fabs(v - unique.back()) > kKnotDuplicateTolerance) unique.push_back(v);
  const std::size_t u = unique.size();
  Vector knots(k);
  const double step = (unique.back() - unique.front()) / static_cast<double>(k - 1);
  for (std::size_t j = 0; j < k; ++j) {
    if (u < k) {  // too few unique values: equally spaced over their range
      knots[j] = unique.front() + static_cast<double>(j) * step;
      continue;
    }
    const double t = (static_cast<double>(j) / static_cast<double>(k - 1)) * static_cast<double>(u - 1);
    const auto i = static_cast<std::size_t>(std::floor(t));
    const double f = t - static_cast<double>(i);
    knots[j] = i < u - 1 ? (1.0 - f) * unique[i] + f * unique[i + 1] : unique[u - 1];
  }
  return knots;
}

TEST(PlaceCrKnots, LongColumnsOfEveryShapeGetTheKnotsOfAPlainSortBitForBit) {
  // Long columns take a bucketed sort whose buckets follow the value range;
  // these shapes reach each of its paths: short buckets, crowded ones,
  // a range too wide to offset, tolerance chains across bucket edges.
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  constexpr std::size_t kRows = 60000;
  struct Case {
    const char* name;
    std::function<double(std::size_t)> value;
  } cases[] = {
      {"uniform", [&](std::size_t) { return unit(gen); }},
      {"skewed, with a far outlier",
       [&](std::size_t i) { return i == 17 ? 1e9 : -std::log(unit(gen) + 1e-300); }},
      {"five levels, crowded buckets", [&](std::size_t) { return std::floor(5.0 * unit(gen)) - 2.0; }},
      {"a range beyond the largest double", [&](std::size_t i) { return i % 2 == 0 ? -1e308 * unit(gen) : 1e308 * unit(gen); }},
      {"signed zeros and NaN among values",
       [&](std::size_t i) { return i % 7 == 0 ? -0.0 : i % 11 == 0 ? 0.0 : i % 13 == 0 ? kNaN : unit(gen) - 0.5; }},
      {"runs closer than the tolerance",
       [&](std::size_t i) { return static_cast<double>(i % 3000) * 1e-3 + static_cast<double>(i % 7) * 0.3e-12; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vector column(kRows);
    for (std::size_t i = 0; i < kRows; ++i) column[i] = c.value(i);
    for (std::uint64_t k : {3u, 10u, 25u}) {
      auto b = place_cr_knots(column, k);
      ASSERT_TRUE(b.has_value()) << b.error().display();
      const Vector expected = reference_knots(column, k);
      for (std::size_t j = 0; j < k; ++j)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(b->knots[j]), std::bit_cast<std::uint64_t>(expected[j]))
            << "k " << k << " knot " << j << ": " << b->knots[j] << " vs " << expected[j];
    }
  }
}

TEST(PlaceCrKnots, ReadsAStridedColumn) {
  // Column 1 of a row-major 4 × 2 matrix: stride 2.
  const Matrix x(4, 2, Vector{9, 3, 9, 1, 9, 2, 9, 0});
  auto b = place_cr_knots(linalg::VectorView(x.data.data() + 1, 4, 2), 4);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->knots, (Vector{0, 1, 2, 3}));
}

TEST(PlaceCrKnots, Errors) {
  struct Case {
    const char* name;
    Vector values;
    std::uint64_t k;
    std::string message;
  };
  const Case cases[] = {
      {"constant column", Vector(20, 3.5), 10, "CR spline knots must be strictly increasing"},
      {"two knots", {0, 1, 2, 3}, 2, "CR spline needs k ≥ 3 (got 2)"},
      {"no knots", {0, 1, 2, 3}, 0, "CR spline needs k ≥ 3 (got 0)"},
      {"one knot", {0, 1, 2, 3}, 1, "CR spline needs k ≥ 3 (got 1)"},
      {"one knot of an empty column", {}, 1, "CR spline needs k ≥ 3 (got 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto b = place_cr_knots(c.values, c.k);
    ASSERT_FALSE(b.has_value());
    expect_invalid_parameter(b.error(), c.message);
  }
}

TEST(PlaceCrKnots, EmptyColumnWithTenKnotsIsValid) {
  auto b = place_cr_knots(Vector{}, 10);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->knots.front(), 0.0);
  for (std::size_t j = 0; j < 10; ++j) EXPECT_NEAR(b->knots[j], static_cast<double>(j) / 9.0, 2 * kEps);
}

TEST(PlaceCrKnots, NaNInTheColumnIsSortedSafely) {
  // The design builders reject NaN first; here we only ask for a defined
  // outcome instead of an out-of-bounds sort.
  auto b = place_cr_knots(Vector{kNaN, 2.0, kNaN, 0.0, 1.0, kNaN}, 3);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->knots, (Vector{0.0, 1.0, 2.0}));
}

TEST(ValidateCrKnots, ChecksCountThenOrder) {
  struct Case {
    const char* name;
    Vector knots;
    std::string message;
  };
  const Case cases[] = {
      {"two knots, out of order", {1.0, 0.0}, "CR spline needs k ≥ 3 (got 2)"},
      {"equal neighbours", {0.0, 1.0, 1.0}, "CR spline knots must be strictly increasing"},
      {"decreasing", {0.0, 2.0, 1.0}, "CR spline knots must be strictly increasing"},
      {"NaN knot", {0.0, kNaN, 1.0}, "CR spline knots must be strictly increasing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto b = validate_cr_knots(c.knots);
    ASSERT_FALSE(b.has_value());
    expect_invalid_parameter(b.error(), c.message);
  }
  auto ok = validate_cr_knots({-1.0, 0.5, 4.0});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->k, 3u);
  EXPECT_EQ(ok->knots, (Vector{-1.0, 0.5, 4.0}));
}

// ---------------------------------------------------------------------------
// Basis matrix

// For knots (0, 1, 2) the natural spline through (y0, y1, y2) has second
// derivative M1 = 1.5·(y0 − 2·y1 + y2) at the middle knot and 0 at the ends.
// On [0, 1], f(x) = (1 − x)·y0 + x·y1 + M1·(x³ − x)/6, so
//   f(0.5) = 0.5·y0 + 0.5·y1 − 0.09375·(y0 − 2·y1 + y2),
//   f'(0)  = y1 − y0 − 0.25·(y0 − 2·y1 + y2),
// and f(−1) = y0 − f'(0). With y = e_i these are the basis rows below; all
// are short binary fractions, so only the last bit can differ.
TEST(CrBasisMatrix, ThreeKnotWorkedValues) {
  const CrBasis b = knots_of({0.0, 1.0, 2.0});
  const Matrix m = cr_basis_matrix(b, column_of({0.5, -1.0}));
  ASSERT_EQ(m.rows, 2u);
  ASSERT_EQ(m.cols, 3u);
  expect_vector_near({m(0, 0), m(0, 1), m(0, 2)}, {0.40625, 0.6875, -0.09375}, 2 * kEps);
  expect_vector_near({m(1, 0), m(1, 1), m(1, 2)}, {2.25, -1.5, 0.25}, 4 * kEps);
}

class CrBasisProperties : public ::testing::Test {
 protected:
  // Uneven spacing, so that no property holds by symmetry alone.
  const CrBasis basis_ = knots_of({-1.0, -0.2, 0.1, 0.9, 1.0, 2.5, 4.0});
};

TEST_F(CrBasisProperties, UnitVectorsAtTheKnots) {
  const Matrix m = cr_basis_matrix(basis_, column_of(basis_.knots));
  // Knots 0 .. k−2 are met at dx = 0 and are exact; the last knot is the
  // right end of the last cubic, reached through a few roundings.
  expect_matrix_near(m, Matrix::identity(basis_.k), 64 * kEps);
  for (std::size_t i = 0; i + 1 < basis_.k; ++i)
    for (std::size_t j = 0; j < basis_.k; ++j) EXPECT_EQ(m(i, j), i == j ? 1.0 : 0.0);
}

TEST_F(CrBasisProperties, RowsSumToOneInsideAndOutside) {
  Vector v;
  for (double x = -3.0; x <= 6.0; x += 0.037) v.push_back(x);
  const Matrix m = cr_basis_matrix(basis_, column_of(v));
  for (std::size_t r = 0; r < m.rows; ++r) {
    double sum = 0.0;
    for (std::size_t i = 0; i < m.cols; ++i) sum += m(r, i);
    // Entries are O(1) inside; outside they grow with the distance (≤ 5)
    // times slopes of order 1/h_min = 10.
    EXPECT_NEAR(sum, 1.0, 1e3 * kEps) << "at x = " << v[r];
  }
}

TEST_F(CrBasisProperties, ReproducesStraightLines) {
  // Natural splines interpolate lines exactly, and so do their linear
  // extensions: Σ_i (p + q·t_i)·B_i(x) = p + q·x everywhere.
  const double p = 0.7, q = -1.3;
  Vector beta(basis_.k);
  for (std::size_t i = 0; i < basis_.k; ++i) beta[i] = p + q * basis_.knots[i];
  Vector v;
  for (double x = -3.0; x <= 6.0; x += 0.11) v.push_back(x);
  const Vector f = linalg::multiply(cr_basis_matrix(basis_, column_of(v)), beta);
  for (std::size_t r = 0; r < v.size(); ++r) EXPECT_NEAR(f[r], p + q * v[r], 1e4 * kEps) << "at x = " << v[r];
}

TEST_F(CrBasisProperties, ExtrapolatesLinearlyWithTheEndSlopes) {
  const double t0 = basis_.knots.front(), tk = basis_.knots.back();
  // One-sided difference from inside: the natural end condition makes the
  // second derivative vanish at the ends, so the error is O(e²·|d|).
  const double e = 1e-6;
  const Matrix inside = cr_basis_matrix(basis_, column_of({t0, t0 + e, tk - e, tk}));
  const Matrix outside = cr_basis_matrix(basis_, column_of({t0 - 2.0, t0 - 0.5, tk + 0.5, tk + 2.0}));
  for (std::size_t i = 0; i < basis_.k; ++i) {
    SCOPED_TRACE(i);
    const double left_slope = (inside(1, i) - inside(0, i)) / e;
    const double right_slope = (inside(3, i) - inside(2, i)) / e;
    const double left_value = i == 0 ? 1.0 : 0.0, right_value = i + 1 == basis_.k ? 1.0 : 0.0;
    // Slope error from rounding: ~kEps/e ≈ 2e-10 on slopes of order 10.
    EXPECT_NEAR(outside(0, i), left_value + left_slope * -2.0, 1e-8);
    EXPECT_NEAR(outside(1, i), left_value + left_slope * -0.5, 1e-8);
    EXPECT_NEAR(outside(2, i), right_value + right_slope * 0.5, 1e-8);
    EXPECT_NEAR(outside(3, i), right_value + right_slope * 2.0, 1e-8);
    // Collinear: the two left points and the knot lie on one line.
    EXPECT_NEAR((outside(1, i) - outside(0, i)) / 1.5, (left_value - outside(1, i)) / 0.5, 64 * kEps * 10);
  }
}

TEST_F(CrBasisProperties, NaNGivesARowOfNaN) {
  const Matrix m = cr_basis_matrix(basis_, column_of({0.3, kNaN}));
  for (std::size_t i = 0; i < basis_.k; ++i) {
    EXPECT_TRUE(std::isfinite(m(0, i)));
    EXPECT_TRUE(std::isnan(m(1, i)));
  }
}

TEST_F(CrBasisProperties, ReadsOnlyColumnZeroOfAStridedView) {
  // A column-major 5 × 2 buffer read as a row-major view with strides
  // (1, 5): column 0 holds the values, column 1 is noise that must be ignored.
  const Vector values{-2.0, 0.0, 0.5, 3.9, 7.0};
  Vector buffer = values;
  buffer.insert(buffer.end(), {1e9, -1e9, 1e9, -1e9, 1e9});
  const Matrix strided = cr_basis_matrix(basis_, MatrixView(buffer.data(), 5, 2, 1, 5));
  EXPECT_EQ(strided, cr_basis_matrix(basis_, column_of(values)));
}

TEST(CrBasisMatrix, ZeroRowsGiveAnEmptyMatrix) {
  const Matrix m = cr_basis_matrix(knots_of({0.0, 1.0, 2.0}), MatrixView(nullptr, 0, 0, 0, 1));
  EXPECT_EQ(m.rows, 0u);
  EXPECT_EQ(m.cols, 3u);
}

// ---------------------------------------------------------------------------
// Penalty

TEST(CrPenalty, ThreeKnotClosedForm) {
  // With the notation of ThreeKnotWorkedValues, f'' rises linearly from 0 to
  // M1 and falls back, so ∫ f''² = 2·M1²/3 = 1.5·(y0 − 2·y1 + y2)²: S is
  // 1.5·dd' with d = (1, −2, 1).
  const auto s = cr_penalty(Vector{0.0, 1.0, 2.0});
  ASSERT_EQ(s.size(), 1u);
  const Matrix expected(3, 3, Vector{1.5, -3, 1.5, -3, 6, -3, 1.5, -3, 1.5});
  expect_matrix_near(s[0], expected, 8 * kEps);
}

// ∫ over the knot range of (Σ_i β_i·B_i'')², with B'' from central second
// differences of the basis matrix. Each cubic piece has zero fourth
// derivative, so the stencil v ± e is exact when it stays inside one piece;
// f''² is quadratic on each piece, so two-point Gauss–Legendre on every cell
// of a fine grid integrates it exactly. What remains is the rounding of the
// second differences, ~4·kEps·|f| / e².
double integrated_squared_curvature(const CrBasis& b, const Vector& beta) {
  constexpr std::size_t kCellsPerSegment = 40;
  const double gauss = 0.5 / std::sqrt(3.0);  // nodes at mid ± gauss·width
  Vector points;
  Vector weights;
  Vector steps;
  for (std::size_t j = 0; j + 1 < b.k; ++j) {
    const double width = (b.knots[j + 1] - b.knots[j]) / kCellsPerSegment;
    for (std::size_t c = 0; c < kCellsPerSegment; ++c) {
      const double mid = b.knots[j] + (static_cast<double>(c) + 0.5) * width;
      for (double s : {-gauss, gauss}) {
        points.push_back(mid + s * width);
        weights.push_back(0.5 * width);
        steps.push_back(0.1 * width);  // keeps v ± e inside the cell
      }
    }
  }
  Vector stencil;
  for (std::size_t r = 0; r < points.size(); ++r)
    for (double off : {-1.0, 0.0, 1.0}) stencil.push_back(points[r] + off * steps[r]);
  const Vector f = linalg::multiply(cr_basis_matrix(b, column_of(stencil)), beta);
  double total = 0.0;
  for (std::size_t r = 0; r < points.size(); ++r) {
    const double e = steps[r];
    const double f2 = (f[3 * r] - 2.0 * f[3 * r + 1] + f[3 * r + 2]) / (e * e);
    total += weights[r] * f2 * f2;
  }
  return total;
}

double quadratic_form(const Matrix& s, const Vector& beta) {
  double q = 0.0;
  for (std::size_t i = 0; i < s.rows; ++i)
    for (std::size_t j = 0; j < s.cols; ++j) q += beta[i] * s(i, j) * beta[j];
  return q;
}

TEST(CrPenalty, QuadraticFormIsTheIntegratedSquaredSecondDerivative) {
  struct Case {
    const char* name;
    Vector knots;
  };
  const Case cases[] = {
      {"three knots", {0.0, 1.0, 2.0}},
      {"uneven spacing", {-1.0, -0.2, 0.1, 0.9, 1.0, 2.5, 4.0}},
      {"wide range", {0.0, 150.0, 400.0, 420.0, 1000.0}},
      {"ten even knots", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CrBasis b = knots_of(c.knots);
    const Matrix s = cr_penalty(b.knots)[0];
    for (std::uint32_t seed : {1u, 2u, 3u}) {
      const Matrix beta_m = testing::random_matrix(b.k, 1, seed);
      const Vector& beta = beta_m.data;
      const double exact = quadratic_form(s, beta);
      const double quad = integrated_squared_curvature(b, beta);
      // Second differences with e = h/400 carry a relative rounding error
      // ~4·kEps·400² / (h²·|f''|) ≈ 1e-10 for |f''| ~ 1/h²; 1e-9 leaves
      // room for cancellation in f''.
      EXPECT_NEAR(quad, exact, 1e-9 * exact) << "seed " << seed;
    }
  }
}

TEST(CrPenalty, LinesAreUnpenalisedAndTheRankIsKMinusTwo) {
  for (const Vector& t : {Vector{0.0, 1.0, 2.0}, Vector{-1.0, -0.2, 0.1, 0.9, 1.0, 2.5, 4.0},
                          Vector{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}) {
    SCOPED_TRACE(t.size());
    const Matrix s = cr_penalty(t)[0];
    const double scale = testing::max_abs(s);
    Vector line(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) line[i] = 2.0 - 0.5 * t[i];
    // A sum of k² terms of size |S|·|β|, cancelling to zero.
    EXPECT_NEAR(quadratic_form(s, line), 0.0, 1e3 * kEps * scale * t.size());
    const Vector s_line = linalg::multiply(s, line);
    for (double v : s_line) EXPECT_NEAR(v, 0.0, 1e3 * kEps * scale);

    auto eig = linalg::eigh(s);
    ASSERT_TRUE(eig.has_value());
    const double top = eig->values.back();
    // Two null directions at rounding level, k − 2 clearly positive ones.
    EXPECT_LT(std::fabs(eig->values[0]), 1e-10 * top);
    EXPECT_LT(std::fabs(eig->values[1]), 1e-10 * top);
    EXPECT_GT(eig->values[2], 1e-6 * top);
  }
}

TEST(CrPenalty, IsSymmetric) {
  const Matrix s = cr_penalty(Vector{-1.0, -0.2, 0.1, 0.9, 1.0, 2.5, 4.0})[0];
  // Not symmetrised: S_ij and S_ji come from different dot products.
  expect_matrix_near(s, testing::transpose(s), 64 * kEps * testing::max_abs(s));
}

}  // namespace
}  // namespace kavri::basis
