#include "design/additive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "design/cr.h"
#include "design/re.h"
#include "design/tensor.h"
#include "family/gaussian.h"
#include "fit/plain_driver.h"
#include "linalg/lapack.h"
#include "design_fixtures.h"
#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using testing::expect_invalid_parameter;
using testing::cr_stable_term;
using testing::cr_term;
using testing::mixed_covariates;
using testing::re_term;
using testing::te_term;

constexpr double kEps = std::numeric_limits<double>::epsilon();

Matrix columns(const Matrix& m, std::size_t start, std::size_t end) {
  Matrix out(m.rows, end - start);
  for (std::size_t i = 0; i < m.rows; ++i)
    for (std::size_t j = start; j < end; ++j) out(i, j - start) = m(i, j);
  return out;
}

Matrix block_of(const Matrix& s, std::size_t start, std::size_t end) {
  Matrix out(end - start, end - start);
  for (std::size_t i = start; i < end; ++i)
    for (std::size_t j = start; j < end; ++j) out(i - start, j - start) = s(i, j);
  return out;
}

// Zero outside rows and columns [start, end).
void expect_zero_outside(const Matrix& s, std::size_t start, std::size_t end) {
  for (std::size_t i = 0; i < s.rows; ++i)
    for (std::size_t j = 0; j < s.cols; ++j)
      if (i < start || i >= end || j < start || j >= end) {
        EXPECT_EQ(s(i, j), 0.0) << "at (" << i << ", " << j << ")";
      }
}

TEST(AdditiveDesign, SplineThenRandomEffect) {
  const Matrix x = mixed_covariates(90);
  const std::vector<TermSpec> terms{cr_term(0, 10), re_term(1)};
  auto d = build_additive_design(x, terms);
  ASSERT_TRUE(d.has_value()) << d.error().display();
  ASSERT_EQ(d->model_matrix.rows, 90u);
  ASSERT_EQ(d->model_matrix.cols, 13u);
  for (std::size_t i = 0; i < 90; ++i) EXPECT_EQ(d->model_matrix(i, 0), 1.0);
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{8, 3}));
  EXPECT_EQ(d->null_space_dim, 2u);

  ASSERT_TRUE(d->predictor.is<AdditivePredictor>());
  const AdditivePredictor& p = d->predictor.as<AdditivePredictor>();
  EXPECT_EQ(p.term_col_ranges, (std::vector<ColumnRange>{{1, 10}, {10, 13}}));
  EXPECT_EQ(p.cols_used, (std::vector<std::vector<std::uint64_t>>{{0}, {1}}));

  // Each block and penalty is the single-term builder's, at the term's range.
  auto spline = build_cr_term(x, 0, 10);
  auto effect = build_re_term(x, 1);
  ASSERT_TRUE(spline.has_value() && effect.has_value());
  EXPECT_EQ(columns(d->model_matrix, 1, 10), spline->basis);
  EXPECT_EQ(columns(d->model_matrix, 10, 13), effect->basis);
  ASSERT_EQ(d->penalties.size(), 2u);
  EXPECT_EQ(block_of(d->penalties[0], 1, 10), spline->penalty);
  expect_zero_outside(d->penalties[0], 1, 10);
  EXPECT_EQ(block_of(d->penalties[1], 10, 13), Matrix::identity(3));
  expect_zero_outside(d->penalties[1], 10, 13);
  EXPECT_EQ(d->penalty_log_pdets[1], 0.0);
  ASSERT_EQ(p.term_predictors.size(), 2u);
  EXPECT_EQ(p.term_predictors[0],
            (Predictor{CrPredictor{.knots = spline->knots, .centring = spline->centring}}));
  EXPECT_EQ(p.term_predictors[1], (Predictor{RePredictor{.levels = effect->levels}}));
}

TEST(AdditiveDesign, TensorTermOfFiveByFourKnots) {
  const Matrix x = mixed_covariates(120);
  const std::vector<TermSpec> terms{te_term(0, 2, 5, 4)};
  auto d = build_additive_design(x, terms);
  ASSERT_TRUE(d.has_value()) << d.error().display();
  EXPECT_EQ(d->model_matrix.cols, 20u);
  const AdditivePredictor& p = d->predictor.as<AdditivePredictor>();
  EXPECT_EQ(p.term_col_ranges, (std::vector<ColumnRange>{{1, 20}}));
  EXPECT_EQ(p.cols_used, (std::vector<std::vector<std::uint64_t>>{{0, 2}}));
  ASSERT_TRUE(p.term_predictors[0].is<TensorPredictor>());
  // (k_a − 2)·k_b and k_a·(k_b − 2): each margin penalty leaves lines along
  // its own margin free.
  EXPECT_EQ(d->penalty_ranks, (std::vector<std::uint64_t>{12, 10}));
  // Together they leave only line ⊗ line free, 2·2 = 4 raw directions; the
  // centring removes one of them and the intercept adds one back.
  EXPECT_EQ(d->null_space_dim, 4u);
  ASSERT_EQ(d->penalties.size(), 2u);
  expect_zero_outside(d->penalties[0], 1, 20);
  expect_zero_outside(d->penalties[1], 1, 20);

  auto t = build_tensor_term(x, 0, 2, 5, 4);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(columns(d->model_matrix, 1, 20), t->basis);
  EXPECT_EQ(block_of(d->penalties[0], 1, 20), t->penalties[0]);
  EXPECT_EQ(block_of(d->penalties[1], 1, 20), t->penalties[1]);
}

TEST(AdditiveDesign, UnpenalisedDimensionCountsWhatAllPenaltiesLeaveFree) {
  // Worked independently: 1 for the intercept, 1 per spline term (its linear
  // trend), 0 per random effect (identity penalty), and per tensor term the
  // 2·2 line ⊗ line directions less the one the centring removes. Columns 1
  // and 3 hold levels, which a spline margin may read too.
  struct Case {
    const char* name;
    std::vector<TermSpec> terms;
    std::uint64_t null_space_dim;
  };
  const Case cases[] = {
      {"cr", {cr_term(0, 8)}, 2},
      {"re", {re_term(3)}, 1},
      {"cr then re", {cr_term(0, 10), re_term(1)}, 2},
      {"cr and cr_stable", {cr_term(0, 6), cr_stable_term(2, 7)}, 3},
      {"te", {te_term(0, 2, 5, 4)}, 4},
      {"te then cr", {te_term(0, 2, 4, 4), cr_term(3, 4)}, 5},
      {"two tensors and a random effect", {te_term(0, 2, 3, 3), re_term(3), te_term(3, 1, 4, 3)}, 7},
  };
  const Matrix x = mixed_covariates(150);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = build_additive_design(x, c.terms);
    ASSERT_TRUE(d.has_value()) << d.error().display();
    EXPECT_EQ(d->null_space_dim, c.null_space_dim);
  }
}

TEST(AdditiveDesign, SplineAndTensorColumnsSumToZero) {
  const Matrix x = mixed_covariates(100);
  const std::vector<TermSpec> terms{cr_stable_term(2, 6), re_term(3), te_term(3, 0, 4, 5)};
  auto d = build_additive_design(x, terms);
  ASSERT_TRUE(d.has_value()) << d.error().display();
  const AdditivePredictor& p = d->predictor.as<AdditivePredictor>();
  ASSERT_EQ(p.term_col_ranges, (std::vector<ColumnRange>{{1, 6}, {6, 10}, {10, 29}}));
  const double scale = testing::max_abs(d->model_matrix);
  for (std::size_t j = 1; j < d->model_matrix.cols; ++j) {
    if (j >= 6 && j < 10) continue;  // indicators do not sum to zero
    double sum = 0.0;
    for (std::size_t i = 0; i < x.rows; ++i) sum += d->model_matrix(i, j);
    // n summands bounded by `scale`, each from a product of at most 20 terms.
    EXPECT_NEAR(sum, 0.0, 64.0 * static_cast<double>(x.rows) * kEps * scale) << "column " << j;
  }
}

TEST(AdditiveDesign, ReadsAnyLayout) {
  const Matrix x = mixed_covariates(60);
  const Matrix col_major = testing::transpose(x);  // x stored column by column
  const MatrixView strided(col_major.data.data(), x.rows, x.cols, 1, static_cast<std::ptrdiff_t>(x.rows));
  const std::vector<TermSpec> terms{cr_term(0, 6), re_term(3), te_term(2, 3, 3, 4)};
  auto a = build_additive_design(x, terms);
  auto b = build_additive_design(strided, terms);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(b->model_matrix, a->model_matrix);
  EXPECT_EQ(b->penalties, a->penalties);
  EXPECT_EQ(b->predictor, a->predictor);
}

// Term lists on the fixture's columns (0 and 2 smooth, 1 and 3 levels) that
// read a column more than once; an empty message marks a list that builds.
struct SharedColumnCase {
  const char* name;
  std::vector<TermSpec> terms;
  std::string message;
};

std::vector<SharedColumnCase> shared_column_cases() {
  return {
      {"cr twice", {cr_term(0, 6), cr_term(0, 8)},
       R"(Additive terms 0 (0, "cr") and 1 (0, "cr") share column 0: both leave its linear trend unpenalised, )"
       R"(so the model cannot be identified; drop the duplicate)"},
      {"cr and cr_stable", {cr_term(0, 6), cr_stable_term(0, 5)},
       R"(Additive terms 0 (0, "cr") and 1 (0, "cr_stable") share column 0: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; drop the duplicate)"},
      {"cr then te", {cr_term(0, 6), te_term(0, 2, 4, 4)},
       R"(Additive terms 0 (0, "cr") and 1 ((0, 2), "te") share column 0: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; use ((0, 2), "te") alone, which smooths column 0 too)"},
      {"te then cr_stable of its second column", {te_term(0, 2, 4, 4), cr_stable_term(2, 5)},
       R"(Additive terms 0 ((0, 2), "te") and 1 (2, "cr_stable") share column 2: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; use ((0, 2), "te") alone, which smooths column 2 too)"},
      {"te of the same columns swapped", {te_term(0, 2, 4, 4), te_term(2, 0, 3, 3)},
       R"(Additive terms 0 ((0, 2), "te") and 1 ((2, 0), "te") share column 2: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; drop the duplicate)"},
      {"tensors sharing one column", {te_term(0, 2, 4, 4), te_term(1, 0, 3, 4)},
       R"(Additive terms 0 ((0, 2), "te") and 1 ((1, 0), "te") share column 0: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; drop one of them)"},
      // A random effect between them changes nothing; the first term to read
      // a column read before is reported, with the first earlier reader.
      {"random effect between", {cr_term(0, 6), re_term(0), te_term(2, 0, 4, 4)},
       R"(Additive terms 0 (0, "cr") and 2 ((2, 0), "te") share column 0: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; use ((2, 0), "te") alone, which smooths column 0 too)"},
      {"first shared column of the later term", {cr_term(2, 5), cr_term(0, 6), te_term(0, 2, 4, 4)},
       R"(Additive terms 1 (0, "cr") and 2 ((0, 2), "te") share column 0: both leave its linear trend )"
       R"(unpenalised, so the model cannot be identified; use ((0, 2), "te") alone, which smooths column 0 too)"},
      // A random effect's penalty is full rank: it may share any column.
      {"spline and random effect of one column", {cr_term(3, 4), re_term(3)}, ""},
      {"tensor and random effect of a margin", {te_term(0, 1, 5, 3), re_term(1)}, ""},
      {"random effect twice", {re_term(3), cr_term(0, 6), re_term(3)}, ""},
      {"splines of distinct columns", {cr_term(0, 6), cr_stable_term(2, 5)}, ""},
      {"spline beside a tensor of other columns", {cr_term(0, 6), te_term(2, 3, 4, 4)}, ""},
      {"tensors of disjoint columns", {te_term(0, 2, 4, 4), te_term(1, 3, 3, 4)}, ""},
  };
}

TEST(AdditiveDesign, TermsThatShareAColumn) {
  const Matrix x = mixed_covariates(150);
  Vector y(x.rows);
  for (std::size_t i = 0; i < x.rows; ++i)
    y[i] = std::sin(2.0 * x(i, 0)) + x(i, 2) * x(i, 1) + 0.3 * x(i, 3) + 0.2 * std::sin(37.0 * static_cast<double>(i));
  for (const SharedColumnCase& c : shared_column_cases()) {
    SCOPED_TRACE(c.name);
    auto d = build_additive_design(x, c.terms);
    if (!c.message.empty()) {
      ASSERT_FALSE(d.has_value());
      expect_invalid_parameter(d.error(), c.message);
      continue;
    }
    ASSERT_TRUE(d.has_value()) << d.error().display();
    auto fitted = fit::fit_family(family::gaussian_identity(), std::move(*d), x.rows, y, std::nullopt);
    ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
    EXPECT_TRUE(fitted->converged);
  }
}

// X'X + Σ_j S_j with X = [1 | blocks], assembled from the single-term
// builders without the additive design's checks.
Matrix unchecked_normal_matrix(const Matrix& x, const std::vector<TermSpec>& terms) {
  std::vector<Matrix> blocks;
  std::vector<std::vector<Matrix>> penalties;
  for (const TermSpec& t : terms) {
    if (t.is<TermSpec::Cr>()) {
      CrTerm term = build_cr_term(x, t.as<TermSpec::Cr>().col, t.as<TermSpec::Cr>().k).value();
      blocks.push_back(std::move(term.basis));
      penalties.push_back({std::move(term.penalty)});
    } else if (t.is<TermSpec::CrStable>()) {
      CrStableTerm term = build_cr_stable_term(x, t.as<TermSpec::CrStable>().col, t.as<TermSpec::CrStable>().k).value();
      blocks.push_back(std::move(term.basis));
      penalties.push_back({std::move(term.penalty)});
    } else if (t.is<TermSpec::Re>()) {
      ReTerm term = build_re_term(x, t.as<TermSpec::Re>().col).value();
      penalties.push_back({Matrix::identity(term.basis.cols)});
      blocks.push_back(std::move(term.basis));
    } else {
      const TermSpec::Te& te = t.as<TermSpec::Te>();
      TensorTerm term = build_tensor_term(x, te.col_a, te.col_b, te.k_a, te.k_b).value();
      blocks.push_back(std::move(term.basis));
      penalties.push_back({std::move(term.penalties[0]), std::move(term.penalties[1])});
    }
  }
  std::size_t q = 1;
  for (const Matrix& b : blocks) q += b.cols;
  Matrix model(x.rows, q);
  for (std::size_t i = 0; i < x.rows; ++i) model(i, 0) = 1.0;
  Matrix h(q, q);
  std::size_t start = 1;
  for (std::size_t t = 0; t < blocks.size(); ++t) {
    const std::size_t w = blocks[t].cols;
    for (std::size_t i = 0; i < x.rows; ++i)
      for (std::size_t j = 0; j < w; ++j) model(i, start + j) = blocks[t](i, j);
    for (const Matrix& s : penalties[t])
      for (std::size_t i = 0; i < w; ++i)
        for (std::size_t j = 0; j < w; ++j) h(start + i, start + j) += s(i, j);
    start += w;
  }
  const Matrix xtx = linalg::multiply(model.view().transposed(), model.view());
  for (std::size_t i = 0; i < h.data.size(); ++i) h.data[i] += xtx.data[i];
  return h;
}

TEST(AdditiveDesign, RefusedTermListsAreExactlyTheSingularOnes) {
  // X'X + Σ_j λ_j S_j has the null space null(X) ∩ ∩_j null(S_j) for every
  // λ > 0, so λ = 1 decides for all. Rounding leaves a singular matrix's
  // smallest eigenvalue near q·ε ≈ 1e-14 of its largest or below; the
  // identifiable lists here sit above 1e-4.
  const Matrix x = mixed_covariates(150);
  for (const SharedColumnCase& c : shared_column_cases()) {
    SCOPED_TRACE(c.name);
    auto eig = linalg::eigh(unchecked_normal_matrix(x, c.terms));
    ASSERT_TRUE(eig.has_value());
    const double ratio = eig->values.front() / eig->values.back();
    if (c.message.empty()) {
      EXPECT_GT(ratio, 1e-10);
    } else {
      EXPECT_LT(ratio, 1e-10);
    }
  }
}

TEST(AdditiveDesign, ErrorsAndTheirPrecedence) {
  struct Case {
    const char* name;
    MatrixView x;
    std::vector<TermSpec> terms;
    std::string message;
  };
  const Matrix one_column = testing::column_of({0.0, 1.0, 2.0, 3.0});
  const Matrix x = mixed_covariates(40);
  const Matrix two_columns = columns(x, 0, 2);
  Matrix constant_b = columns(x, 0, 3);
  for (std::size_t i = 0; i < constant_b.rows; ++i) constant_b(i, 2) = 4.0;
  Matrix with_nan = columns(x, 0, 3);
  with_nan(17, 2) = std::numeric_limits<double>::quiet_NaN();
  const Matrix no_rows(0, 4);
  // 2^32 rows that all alias one stored row.
  const MatrixView huge(x.data.data(), std::uint64_t{1} << 32, 4, 0, 1);
  const std::uint64_t big = std::uint64_t{1} << 32;
  const Case cases[] = {
      // Column checks cover every term before anything is built.
      {"missing column", one_column, {cr_term(0, 10), re_term(1)}, "Additive term 1 reads column 1 but x has only 1 columns"},
      {"tensor col_b missing", two_columns, {te_term(0, 2, 4, 4)}, "Additive term 0 reads column 2 but x has only 2 columns"},
      {"tensor col_a before col_b", two_columns, {te_term(3, 4, 4, 4)},
       "Additive term 0 reads column 3 but x has only 2 columns"},
      {"column check before distinct columns", two_columns, {te_term(5, 5, 4, 4)},
       "Additive term 0 reads column 5 but x has only 2 columns"},
      {"later column before earlier build error", two_columns, {cr_term(0, 2), re_term(7)},
       "Additive term 1 reads column 7 but x has only 2 columns"},
      {"later column before tensor columns", two_columns, {te_term(0, 0, 4, 4), cr_term(2, 5)},
       "Additive term 1 reads column 2 but x has only 2 columns"},
      {"column check before shared columns", two_columns, {cr_term(0, 4), te_term(0, 5, 4, 4)},
       "Additive term 1 reads column 5 but x has only 2 columns"},
      // Then terms that share a column, before anything is built.
      {"shared column before a bad k", two_columns, {cr_term(0, 2), cr_stable_term(0, 4)},
       "Additive terms 0 (0, \"cr\") and 1 (0, \"cr_stable\") share column 0: both leave its linear trend "
       "unpenalised, so the model cannot be identified; drop the duplicate"},
      {"shared column before a non-finite value", with_nan, {cr_term(2, 4), te_term(0, 2, 4, 4)},
       "Additive terms 0 (2, \"cr\") and 1 ((0, 2), \"te\") share column 2: both leave its linear trend "
       "unpenalised, so the model cannot be identified; use ((0, 2), \"te\") alone, which smooths column 2 too"},
      // Then the builders, term by term.
      {"same tensor columns", two_columns, {te_term(0, 0, 4, 4)},
       "Tensor term must have distinct margin columns (got col_a == col_b == 0)"},
      // Singular on its own, and refused for that, not for the spline.
      {"same tensor columns beside a spline of them", two_columns, {cr_term(0, 4), te_term(0, 0, 4, 4)},
       "Tensor term must have distinct margin columns (got col_a == col_b == 0)"},
      {"earlier build error first", two_columns, {cr_term(0, 2), te_term(1, 1, 4, 4)}, "CR spline needs k ≥ 3 (got 2)"},
      {"margin a knots before margin b", two_columns, {te_term(0, 1, 2, 1)}, "CR spline needs k ≥ 3 (got 2)"},
      {"margin b knots", two_columns, {te_term(0, 1, 4, 1)}, "CR spline needs k ≥ 3 (got 1)"},
      {"constant margin", constant_b, {te_term(0, 2, 4, 4)}, "CR spline knots must be strictly increasing"},
      {"non-finite margin value", with_nan, {cr_term(1, 3), te_term(0, 2, 4, 4)},
       "x must be finite; got x=NaN at row 17, column 2"},
      {"re without rows", no_rows, {cr_term(0, 4), re_term(1)}, "Re basis: x is empty"},
      // Sizes that cannot be held, before anything is allocated.
      {"tensor basis count overflows", two_columns, {te_term(0, 1, big, big)},
       "Tensor term: k_a = 4294967296 and k_b = 4294967296 give too many basis functions"},
      {"tensor penalty too large", two_columns, {te_term(0, 1, 65536, 65536)},
       "Tensor term: a 4294967296 × 4294967296 matrix is too large"},
      {"huge margin with an empty one", two_columns, {te_term(0, 1, big, 0)},
       "Tensor term: a 4294967296 × 4294967296 matrix is too large"},
      {"tensor on too many rows", huge, {te_term(0, 2, 3, 3)}, "Tensor term: a 4294967296 × 3 matrix is too large"},
      {"no terms", two_columns, {}, "Additive design needs at least one term"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = build_additive_design(c.x, c.terms);
    ASSERT_FALSE(d.has_value());
    expect_invalid_parameter(d.error(), c.message);
  }
}

}  // namespace
}  // namespace kavri::design
