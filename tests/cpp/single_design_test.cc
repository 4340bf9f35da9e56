#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "basis/cr.h"
#include "design/cr.h"
#include "design/re.h"
#include "design/single_design.h"
#include "design/sizes.h"
#include "design/tensor.h"
#include "linalg/lapack.h"
#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using testing::column_of;
using testing::expect_invalid_parameter;
using testing::expect_matrix_near;
using testing::naive_product;
using testing::transpose;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// An uneven covariate with many distinct values.
Vector spread_values(std::size_t n) {
  Vector v(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n - 1);
    v[i] = 3.0 * t * t + 0.4 * std::sin(7.0 * t) - 1.0;
  }
  return v;
}

Matrix drop_first_column_of(const Matrix& x) {
  Matrix out(x.rows, x.cols - 1);
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t j = 1; j < x.cols; ++j) out(i, j - 1) = x(i, j);
  return out;
}

Matrix interior_block(const Matrix& s) {
  Matrix out(s.rows - 1, s.cols - 1);
  for (std::size_t i = 1; i < s.rows; ++i)
    for (std::size_t j = 1; j < s.cols; ++j) out(i - 1, j - 1) = s(i, j);
  return out;
}

// Column sums of the term columns vanish: each is a sum of n entries of
// size ≤ max|X|, so rounding is bounded by n·kEps·max|X| (times a margin).
void expect_term_columns_sum_to_zero(const Matrix& x) {
  const double scale = testing::max_abs(x);
  for (std::size_t j = 1; j < x.cols; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i < x.rows; ++i) sum += x(i, j);
    EXPECT_NEAR(sum, 0.0, 4.0 * static_cast<double>(x.rows) * kEps * scale) << "column " << j;
  }
}

void expect_intercept_and_zero_border(const ModelDesign& d) {
  for (std::size_t i = 0; i < d.model_matrix.rows; ++i) EXPECT_EQ(d.model_matrix(i, 0), 1.0);
  ASSERT_EQ(d.penalties.size(), 1u);
  const Matrix& s = d.penalties[0];
  ASSERT_EQ(s.rows, d.model_matrix.cols);
  ASSERT_EQ(s.cols, d.model_matrix.cols);
  for (std::size_t j = 0; j < s.cols; ++j) {
    EXPECT_EQ(s(0, j), 0.0);
    EXPECT_EQ(s(j, 0), 0.0);
  }
}

// ---------------------------------------------------------------------------
// "re"

TEST(SingleReDesign, IndicatorsOfTheSortedLevels) {
  auto d = build_single_re_design(column_of({2.0, 1.0, 2.0, 3.0}));
  ASSERT_TRUE(d.has_value()) << d.error().display();
  ASSERT_TRUE(d->predictor.is<RePredictor>());
  EXPECT_EQ(d->predictor.as<RePredictor>().levels, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(d->model_matrix, Matrix(4, 4, Vector{1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1}));
  Matrix penalty(4, 4);
  for (std::size_t j = 1; j < 4; ++j) penalty(j, j) = 1.0;
  ASSERT_EQ(d->penalties.size(), 1u);
  EXPECT_EQ(d->penalties[0], penalty);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(d->penalty_log_pdets, (std::vector<double>{0.0}));
  EXPECT_EQ(d->null_space_dim, 1u);
}

TEST(SingleReDesign, ConstantColumnIsOneLevel) {
  auto d = build_single_re_design(column_of({4.5, 4.5, 4.5}));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->predictor.as<RePredictor>().levels, (std::vector<double>{4.5}));
  EXPECT_EQ(d->model_matrix, Matrix(3, 2, 1.0));
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(d->null_space_dim, 1u);
}

TEST(ReTerm, SignedZerosAreTwoLevelsAndEveryRowGetsItsIndicator) {
  // Both zeros compare equal, so a sort by value alone may interleave them;
  // the levels must still be bit-distinct and each row must find its own.
  const Vector values{0.0, -0.0, 1.0, 0.0, -0.0, -0.0, 0.0};
  auto t = build_re_term(column_of(values), 0);
  ASSERT_TRUE(t.has_value());
  ASSERT_EQ(t->levels.size(), 3u);
  EXPECT_TRUE(std::signbit(t->levels[0]) && t->levels[0] == 0.0);
  EXPECT_TRUE(!std::signbit(t->levels[1]) && t->levels[1] == 0.0);
  EXPECT_EQ(t->levels[2], 1.0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    const std::size_t expected = values[i] == 1.0 ? 2 : (std::signbit(values[i]) ? 0 : 1);
    for (std::size_t l = 0; l < 3; ++l) EXPECT_EQ(t->basis(i, l), l == expected ? 1.0 : 0.0);
  }
}

TEST(ReIndicatorMatrix, ValuesWithoutAStoredLevelGiveZeroRows) {
  struct Case {
    const char* name;
    std::vector<double> levels;
    double value;
    Vector row;
  };
  const Case cases[] = {
      {"stored level", {1.0, 2.0, 3.0}, 2.0, {0, 1, 0}},
      {"unseen value between levels", {1.0, 2.0, 3.0}, 2.5, {0, 0, 0}},
      {"unseen value above the levels", {1.0, 2.0, 3.0}, 9.0, {0, 0, 0}},
      {"NaN", {1.0, 2.0, 3.0}, kNaN, {0, 0, 0}},
      // A stored NaN level (only a loaded model can hold one) matches nothing.
      {"NaN against a stored NaN", {kNaN, 1.0}, kNaN, {0, 0}},
      {"-0 against a stored 0", {0.0, 2.0}, -0.0, {0, 0}},
      {"0 against a stored -0", {-0.0, 2.0}, 0.0, {0, 0}},
      // Stored levels may hold the zeros in either order.
      {"0 after a stored -0", {-0.0, 0.0, 2.0}, 0.0, {0, 1, 0}},
      {"-0 after a stored 0", {0.0, -0.0, 2.0}, -0.0, {0, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix m = re_indicator_matrix(c.levels, column_of({c.value}));
    EXPECT_EQ(m, Matrix(1, c.row.size(), c.row));
  }
}

// ---------------------------------------------------------------------------
// "cr"

TEST(SingleCrDesign, TenKnotsOnManyDistinctValues) {
  const Vector v = spread_values(200);
  const Matrix x = column_of(v);
  auto d = build_single_cr_design(x, 10);
  ASSERT_TRUE(d.has_value()) << d.error().display();
  EXPECT_EQ(d->model_matrix.rows, 200u);
  EXPECT_EQ(d->model_matrix.cols, 10u);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{8}));
  EXPECT_EQ(d->null_space_dim, 2u);
  expect_intercept_and_zero_border(*d);
  expect_term_columns_sum_to_zero(d->model_matrix);

  ASSERT_TRUE(d->predictor.is<CrPredictor>());
  const CrPredictor& pr = d->predictor.as<CrPredictor>();
  ASSERT_EQ(pr.knots.size(), 10u);
  EXPECT_EQ(pr.centring.rows, 10u);
  EXPECT_EQ(pr.centring.cols, 9u);
  // The stored knots and centring rebuild the term columns.
  auto knots = basis::validate_cr_knots(pr.knots);
  ASSERT_TRUE(knots.has_value());
  const Matrix rebuilt = naive_product(basis::cr_basis_matrix(*knots, x), pr.centring);
  expect_matrix_near(drop_first_column_of(d->model_matrix), rebuilt, 64 * kEps);
  // The centring has orthonormal columns.
  expect_matrix_near(naive_product(transpose(pr.centring), pr.centring), Matrix::identity(9), 64 * kEps);
}

TEST(SingleCrDesign, ThreeKnotsAtTheDataWorkedByHand) {
  // x = (0, 1, 2), k = 3: the knots are the data, so B = I, ‖B‖∞ = 1. The
  // raw penalty is 1.5·dd' with d = (1, −2, 1) and largest absolute row sum
  // 12, so S' = dd'/8. The column sums of B are c = (1, 1, 1) ⟂ d, hence
  // Z'S'Z = (Z'd)(Z'd)'/8 with |Z'd|² = |d|² = 6: eigenvalues 0 and 0.75.
  auto d = build_single_cr_design(column_of({0.0, 1.0, 2.0}), 3);
  ASSERT_TRUE(d.has_value()) << d.error().display();
  EXPECT_EQ(d->model_matrix.cols, 3u);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{1}));
  ASSERT_EQ(d->penalty_log_pdets.size(), 1u);
  EXPECT_NEAR(d->penalty_log_pdets[0], std::log(0.75), 16 * kEps);
  EXPECT_EQ(d->null_space_dim, 2u);
  const Matrix& s = d->penalties[0];
  EXPECT_NEAR(s(1, 1) + s(2, 2), 0.75, 8 * kEps);
  // With B = I the term columns are Z itself: orthonormal, summing to zero.
  const Matrix z = drop_first_column_of(d->model_matrix);
  expect_matrix_near(naive_product(transpose(z), z), Matrix::identity(2), 8 * kEps);
  expect_term_columns_sum_to_zero(d->model_matrix);
}

TEST(SingleCrDesign, PenaltyDoesNotDependOnTheCovariateUnits) {
  // The rescaling to ‖B‖∞² cancels the 1/h³ of the raw penalty: a shifted
  // and stretched covariate gives the same basis and the same penalty.
  const Vector v = spread_values(120);
  Vector w(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) w[i] = 1000.0 * v[i] + 5.0;
  auto a = build_single_cr_design(column_of(v), 8);
  auto b = build_single_cr_design(column_of(w), 8);
  ASSERT_TRUE(a.has_value() && b.has_value());
  // Knot positions and spacings differ by the rounding of the affine map,
  // a relative ~1e-15 that the cubic basis amplifies modestly.
  expect_matrix_near(b->model_matrix, a->model_matrix, 1e-11);
  const double scale = testing::max_abs(a->penalties[0]);
  expect_matrix_near(b->penalties[0], a->penalties[0], 1e-10 * scale);
}

TEST(SingleCrDesign, ReadsColumnZeroOfAStridedMatrix) {
  // Three columns stored column-major: strides (1, n). Columns 1 and 2 hold
  // values (NaN among them) that must not be read.
  const Vector v = spread_values(50);
  Vector buffer = v;
  for (std::size_t i = 0; i < 50; ++i) buffer.push_back(kNaN);
  for (std::size_t i = 0; i < 50; ++i) buffer.push_back(1e9 * static_cast<double>(i));
  auto strided = build_single_cr_design(MatrixView(buffer.data(), 50, 3, 1, 50), 6);
  auto plain = build_single_cr_design(column_of(v), 6);
  ASSERT_TRUE(strided.has_value() && plain.has_value());
  EXPECT_EQ(strided->model_matrix, plain->model_matrix);
  EXPECT_EQ(strided->penalties, plain->penalties);
  EXPECT_EQ(strided->predictor, plain->predictor);
}

TEST(CrTerm, ReadsTheRequestedColumn) {
  // Column 0 holds a NaN that the term of column 1 never reads.
  const Vector v = spread_values(30);
  Matrix x(30, 2);
  for (std::size_t i = 0; i < 30; ++i) {
    x(i, 0) = i == 3 ? kNaN : 0.0;
    x(i, 1) = v[i];
  }
  auto t = build_cr_term(x, 1, 5);
  auto ref = build_cr_term(column_of(v), 0, 5);
  ASSERT_TRUE(t.has_value() && ref.has_value());
  EXPECT_EQ(t->basis, ref->basis);
  EXPECT_EQ(t->knots, ref->knots);

  x(7, 1) = -kInf;
  auto bad = build_cr_term(x, 1, 5);
  ASSERT_FALSE(bad.has_value());
  expect_invalid_parameter(bad.error(), "x must be finite; got x=-inf at row 7, column 1");
}

// ---------------------------------------------------------------------------
// "cr_stable"

TEST(SingleCrStableDesign, RotatesTheCrDesignByThePenaltyEigenvectors) {
  const Vector v = spread_values(200);
  const Matrix x = column_of(v);
  auto cr = build_single_cr_design(x, 10);
  auto st = build_single_cr_stable_design(x, 10);
  ASSERT_TRUE(cr.has_value() && st.has_value()) << st.error().display();
  EXPECT_EQ(st->model_matrix.cols, 10u);
  EXPECT_EQ(st->penalty_ranks, (std::vector<std::uint64_t>{8}));
  EXPECT_EQ(st->null_space_dim, 2u);
  expect_intercept_and_zero_border(*st);
  expect_term_columns_sum_to_zero(st->model_matrix);

  ASSERT_TRUE(st->predictor.is<CrStablePredictor>());
  const CrStablePredictor& pr = st->predictor.as<CrStablePredictor>();
  EXPECT_EQ(pr.knots, cr->predictor.as<CrPredictor>().knots);
  EXPECT_EQ(pr.centring, cr->predictor.as<CrPredictor>().centring);
  const Matrix& v_rot = pr.reparam_v;
  ASSERT_EQ(v_rot.rows, 9u);
  ASSERT_EQ(v_rot.cols, 9u);
  expect_matrix_near(naive_product(transpose(v_rot), v_rot), Matrix::identity(9), 64 * kEps);

  // A rotation of the term columns leaves X·X' unchanged, whatever V is.
  const Matrix xc = cr->model_matrix, xs = st->model_matrix;
  const double gram_scale = testing::max_abs(naive_product(xc, transpose(xc)));
  expect_matrix_near(naive_product(xs, transpose(xs)), naive_product(xc, transpose(xc)), 256 * kEps * gram_scale);
  // And the columns are exactly the cr columns times V.
  expect_matrix_near(drop_first_column_of(xs), naive_product(drop_first_column_of(xc), v_rot), 64 * kEps);

  // The term penalty is the diagonal of non-increasing eigenvalues, exactly:
  // zero off the diagonal and at the last (the linear trend), where rounding
  // times a smoothing parameter of 1e16 would be entries of order one. It
  // is V'·P·V of the cr penalty P, to rounding.
  const Matrix p = interior_block(st->penalties[0]);
  const double top = p(0, 0);
  for (std::size_t i = 0; i < 9; ++i) {
    for (std::size_t j = 0; j < 9; ++j)
      if (i != j) {
        EXPECT_EQ(p(i, j), 0.0) << i << ", " << j;
      }
    if (i > 0) {
      EXPECT_LE(p(i, i), p(i - 1, i - 1));
    }
  }
  EXPECT_EQ(p(8, 8), 0.0);
  const Matrix rotated =
      naive_product(naive_product(transpose(v_rot), interior_block(cr->penalties[0])), v_rot);
  expect_matrix_near(p, rotated, 256 * kEps * top);
  auto eig_cr = linalg::eigh(interior_block(cr->penalties[0]));
  ASSERT_TRUE(eig_cr.has_value());
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(p(i, i), eig_cr->values[8 - i], 256 * kEps * top);
  EXPECT_NEAR(st->penalty_log_pdets[0], cr->penalty_log_pdets[0], 1e-10);
}

// ---------------------------------------------------------------------------
// Errors, in the order the builders check

using Design = SingleDesign;
Result<ModelDesign> build(Design design, MatrixView x, std::uint64_t k) { return build_single_design(design, x, k); }

TEST(SingleDesigns, ErrorsAndTheirMessages) {
  struct Case {
    const char* name;
    Design design;
    MatrixView x;
    std::uint64_t k;
    std::string message;
  };
  // Views in the table point into these.
  const Matrix constant = column_of(Vector(20, 3.5));
  const Matrix with_nan = column_of({0.0, 1.0, kNaN, 3.0});
  const Matrix with_inf = column_of({kInf, 1.0, 2.0});
  const Matrix with_minus_inf = column_of({0.0, -kInf, 2.0});
  const Matrix distinct = column_of(spread_values(20));
  const Matrix no_columns(4, 0);
  // 2^32 rows that all alias one stored value.
  const MatrixView huge(distinct.data.data(), std::uint64_t{1} << 32, 1, 0, 1);
  const Case cases[] = {
      {"cr on a constant column", Design::Cr, constant, 10, "CR spline knots must be strictly increasing"},
      {"cr_stable on a constant column", Design::CrStable, constant, 10,
       "CR spline knots must be strictly increasing"},
      {"cr with two knots", Design::Cr, distinct, 2, "CR spline needs k ≥ 3 (got 2)"},
      {"cr_stable with no knots", Design::CrStable, distinct, 0, "CR spline needs k ≥ 3 (got 0)"},
      {"re with no rows", Design::Re, MatrixView(nullptr, 0, 1, 1, 1), 10, "Re basis: x is empty"},
      {"cr without columns", Design::Cr, no_columns, 10, "x must have at least one column"},
      {"cr_stable without columns", Design::CrStable, no_columns, 10, "x must have at least one column"},
      {"re without columns", Design::Re, no_columns, 10, "x must have at least one column"},
      {"cr with NaN", Design::Cr, with_nan, 3, "x must be finite; got x=NaN at row 2, column 0"},
      {"cr_stable with inf", Design::CrStable, with_inf, 3, "x must be finite; got x=inf at row 0, column 0"},
      {"re with -inf", Design::Re, with_minus_inf, 10, "x must be finite; got x=-inf at row 1, column 0"},
      // Non-finite values are reported before the knot count is looked at.
      {"NaN before the knot count", Design::Cr, with_nan, 2, "x must be finite; got x=NaN at row 2, column 0"},
      // Sizes that cannot be held, before anything is allocated or scanned.
      {"cr with a penalty too large", Design::Cr, distinct, std::uint64_t{1} << 32,
       "CR spline: a 4294967296 × 4294967296 matrix is too large"},
      {"cr_stable on too many rows", Design::CrStable, huge, 5, "CR spline: a 4294967296 × 5 matrix is too large"},
      {"re on too many rows", Design::Re, huge, 10, "Re basis: a 4294967296 × 1 matrix is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = build(c.design, c.x, c.k);
    ASSERT_FALSE(d.has_value());
    expect_invalid_parameter(d.error(), c.message);
  }
}

TEST(SingleDesigns, ByNameTheNameComesBeforeTheDataAndTheDataBeforeTheBuild) {
  // A known name builds what its builder builds; an unknown one is refused
  // before the caller's data check runs, and a failing data check before
  // the builder's own errors (k = 2 here).
  const Matrix distinct = column_of(spread_values(20));
  const std::string unknown = "design must be 'cr', 're', or 'cr_stable'; got ";
  struct Case {
    const char* name;
    std::string design;
    std::uint64_t k;
    bool data_ok;
    bool checked;         // the data check ran
    std::string message;  // empty: built
  } cases[] = {
      {"cr", "cr", 5, true, true, ""},
      {"cr_stable", "cr_stable", 6, true, true, ""},
      {"re", "re", 0, true, true, ""},
      {"unknown name", "tp", 5, false, false, unknown + "\"tp\""},
      {"names are exact", "CR", 5, true, false, unknown + "\"CR\""},
      {"data before the knot count", "cr", 2, false, true, "no data"},
      {"knot count after the data", "cr", 2, true, true, "CR spline needs k ≥ 3 (got 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool checked = false;
    auto d = build_named_single_design(distinct, c.design, c.k, [&]() -> Result<void> {
      checked = true;
      if (c.data_ok) return {};
      return invalid_parameter("no data");
    });
    EXPECT_EQ(checked, c.checked);
    if (c.message.empty()) {
      ASSERT_TRUE(d.has_value()) << d.error().display();
      auto direct = build(*single_design_named(c.design), distinct, c.k);
      ASSERT_TRUE(direct.has_value());
      EXPECT_EQ(d->model_matrix, direct->model_matrix);
      EXPECT_EQ(d->penalties, direct->penalties);
    } else {
      ASSERT_FALSE(d.has_value());
      expect_invalid_parameter(d.error(), c.message);
    }
  }
}

// Sizes that can be addressed but not held: the first allocation asks for
// hundreds of terabytes, more than any address space, and fails at once.
TEST(SingleDesigns, AnAllocationThatFailsNamesItsMatrix) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer ends the process on an allocation this large instead of throwing";
#endif
  const Matrix x = column_of(spread_values(20));
  Matrix two_columns(20, 2);
  for (std::size_t i = 0; i < 20; ++i) {
    two_columns(i, 0) = x(i, 0);
    two_columns(i, 1) = x(19 - i, 0);
  }
  constexpr std::uint64_t kHuge = 10'000'000;
  struct Case {
    const char* name;
    std::function<void()> build;
    const char* message;
  } cases[] = {
      {"cr", [&] { (void)build_single_cr_design(x, kHuge); },
       "CR spline: out of memory allocating a 10000000 × 10000000 matrix"},
      {"cr_stable", [&] { (void)build_single_cr_stable_design(x, kHuge); },
       "CR spline: out of memory allocating a 10000000 × 10000000 matrix"},
      {"tensor", [&] { (void)build_tensor_term(two_columns, 0, 1, 3, kHuge); },
       "Tensor term: out of memory allocating a 30000000 × 30000000 matrix"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.build();
      ADD_FAILURE() << "built";
    } catch (const AllocationFailure& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(SingleDesigns, ZeroRowsWithoutColumnsAreNotAColumnError) {
  // Only x with rows needs a column to read; an empty x reaches the
  // builder's own rule.
  const MatrixView empty(nullptr, 0, 0, 0, 1);
  auto cr = build_single_cr_design(empty, 4);
  ASSERT_TRUE(cr.has_value()) << cr.error().display();
  EXPECT_EQ(cr->model_matrix.rows, 0u);
  EXPECT_EQ(cr->model_matrix.cols, 4u);
  auto re = build_single_re_design(empty);
  ASSERT_FALSE(re.has_value());
  expect_invalid_parameter(re.error(), "Re basis: x is empty");
}

}  // namespace
}  // namespace kavri::design
