#include "design/predictor_matrix.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "design/additive.h"
#include "design/covariates.h"
#include "design/cr.h"
#include "design/re.h"
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

ModelDesign must(Result<ModelDesign> d) {
  EXPECT_TRUE(d.has_value()) << d.error().display();
  return d.has_value() ? std::move(*d) : ModelDesign{};
}

// Designs on the 4-column fixture; every predictor variant occurs. The mix's
// tensor reads the two level columns: no two of its smooth terms may share a
// column.
struct Designs {
  Matrix x = mixed_covariates(70);
  ModelDesign cr = must(build_single_cr_design(column_matrix(x, 0), 10));
  ModelDesign cr_stable = must(build_single_cr_stable_design(column_matrix(x, 2), 8));
  ModelDesign re = must(build_single_re_design(column_matrix(x, 3)));
  ModelDesign tensor = must(build_additive_design(x, std::vector<TermSpec>{te_term(0, 2, 5, 4)}));
  ModelDesign mix = must(build_additive_design(
      x, std::vector<TermSpec>{cr_term(0, 6), re_term(1), te_term(3, 1, 4, 3), cr_stable_term(2, 5), re_term(3)}));

  const TensorPredictor& tensor_predictor() const {
    return tensor.predictor.as<AdditivePredictor>().term_predictors[0].as<TensorPredictor>();
  }
};

TEST(PredictorDesignMatrix, RebuildsTheFitTimeModelMatrixExactlyRowByRow) {
  // The rebuild runs the fit-time evaluations in the same order on the same
  // values (the identity `xp` matrices multiply exactly), so the matrices
  // agree bit for bit. Predictions and contrasts of identical rows read the
  // rebuilt rows, so a covariate row rebuilt alone gives its row bit for
  // bit too.
  const Designs d;
  struct Case {
    const char* name;
    Predictor predictor;
    MatrixView x;
    const Matrix& expected;
  };
  const Case cases[] = {
      {"cr", d.cr.predictor, column_matrix(d.x, 0), d.cr.model_matrix},
      {"cr_stable", d.cr_stable.predictor, column_matrix(d.x, 2), d.cr_stable.model_matrix},
      {"re", d.re.predictor, column_matrix(d.x, 3), d.re.model_matrix},
      // A lone tensor predictor gives [1 | its block], which is the whole
      // model matrix of a one-term additive design.
      {"te", Predictor{d.tensor_predictor()}, d.x, d.tensor.model_matrix},
      {"te in an additive design", d.tensor.predictor, d.x, d.tensor.model_matrix},
      {"additive mix", d.mix.predictor, d.x, d.mix.model_matrix},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = predictor_design_matrix(c.predictor, c.x);
    ASSERT_TRUE(m.has_value()) << m.error().display();
    EXPECT_EQ(*m, c.expected);
    for (std::size_t i = 0; i < c.x.rows; ++i) {
      const MatrixView row(c.x.data + static_cast<std::ptrdiff_t>(i) * c.x.row_stride, 1, c.x.cols, c.x.row_stride,
                           c.x.col_stride);
      auto one = predictor_design_matrix(c.predictor, row);
      ASSERT_TRUE(one.has_value()) << one.error().display();
      for (std::size_t j = 0; j < c.expected.cols; ++j)
        ASSERT_EQ((*one)(0, j), c.expected(i, j)) << "row " << i << ", column " << j;
    }
  }
}

TEST(PredictorDesignMatrix, ReadsOnlyTheColumnsItNeedsInAnyLayout) {
  const Designs d;
  // Column-major storage of x plus a fifth column of NaN that no term reads.
  const std::size_t n = d.x.rows;
  Vector buffer = testing::transpose(d.x).data;
  buffer.resize(5 * n, std::numeric_limits<double>::quiet_NaN());
  const MatrixView wide(buffer.data(), n, 5, 1, static_cast<std::ptrdiff_t>(n));
  auto mix = predictor_design_matrix(d.mix.predictor, wide);
  ASSERT_TRUE(mix.has_value()) << mix.error().display();
  EXPECT_EQ(*mix, d.mix.model_matrix);
  // A single smooth reads column 0 and ignores the rest.
  auto cr = predictor_design_matrix(d.cr.predictor, wide);
  ASSERT_TRUE(cr.has_value()) << cr.error().display();
  EXPECT_EQ(*cr, d.cr.model_matrix);
}

TEST(PredictorDesignMatrix, ZeroRowsGiveAnEmptyMatrixOfTheFullWidth) {
  const Designs d;
  struct Case {
    const char* name;
    const Predictor& predictor;
    MatrixView x;
    std::size_t cols;
  };
  const Matrix four_columns(0, 4);
  const MatrixView no_columns(nullptr, 0, 0, 0, 1);
  const Case cases[] = {
      {"cr", d.cr.predictor, four_columns, 10},
      {"cr without columns", d.cr.predictor, no_columns, 10},
      {"cr_stable without columns", d.cr_stable.predictor, no_columns, 8},
      {"re without columns", d.re.predictor, no_columns, 5},
      {"tensor", d.tensor.predictor, four_columns, 20},
      {"additive mix", d.mix.predictor, four_columns, 1 + 5 + 3 + 11 + 4 + 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = predictor_design_matrix(c.predictor, c.x);
    ASSERT_TRUE(m.has_value()) << m.error().display();
    EXPECT_EQ(m->rows, 0u);
    EXPECT_EQ(m->cols, c.cols);
  }
}

TEST(PredictorDesignMatrix, UnseenLevelsGiveOnlyTheIntercept) {
  const Predictor p{RePredictor{.levels = {0.0, 1.0, 2.0}}};
  auto m = predictor_design_matrix(p, testing::column_of({2.0, 0.5, -0.0, 0.0, 7.0}));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(*m, Matrix(5, 4, Vector{1, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0}));
}

TEST(PredictorDesignMatrix, AdditiveBlocksFollowTheRebuiltWidths) {
  // "cr" with k = 10 then "re" with 4 levels: 1 + 9 + 4 columns, the
  // indicators in columns 10 to 13, whatever the stored ranges say.
  const Designs d;
  AdditivePredictor p{.term_predictors = {d.cr.predictor, d.re.predictor},
                      .cols_used = {{0}, {3}},
                      .term_col_ranges = {{7, 2}, {100, 3}}};
  auto m = predictor_design_matrix(Predictor{p}, d.x);
  ASSERT_TRUE(m.has_value()) << m.error().display();
  ASSERT_EQ(m->cols, 14u);
  for (std::size_t i = 0; i < d.x.rows; ++i) {
    SCOPED_TRACE(i);
    for (std::size_t j = 0; j < 10; ++j) EXPECT_EQ((*m)(i, j), d.cr.model_matrix(i, j));
    for (std::size_t j = 10; j < 14; ++j) EXPECT_EQ((*m)(i, j), d.re.model_matrix(i, j - 9));
  }

  // No terms: the intercept alone.
  auto ones = predictor_design_matrix(Predictor{AdditivePredictor{}}, d.x);
  ASSERT_TRUE(ones.has_value());
  EXPECT_EQ(*ones, Matrix(d.x.rows, 1, 1.0));

  // A nested additive term gets its one column, like any non-tensor term; a
  // tensor term needs no cols_used entries of its own.
  AdditivePredictor inner{.term_predictors = {d.cr.predictor}, .cols_used = {{0}}, .term_col_ranges = {}};
  AdditivePredictor outer{.term_predictors = {Predictor{inner}, Predictor{d.tensor_predictor()}},
                          .cols_used = {{0}, {}},
                          .term_col_ranges = {}};
  auto nested = predictor_design_matrix(Predictor{outer}, d.x);
  ASSERT_TRUE(nested.has_value()) << nested.error().display();
  ASSERT_EQ(nested->cols, 10u + 19u);
  for (std::size_t i = 0; i < d.x.rows; ++i) {
    for (std::size_t j = 0; j < 10; ++j) EXPECT_EQ((*nested)(i, j), d.cr.model_matrix(i, j));
    for (std::size_t j = 10; j < 29; ++j) EXPECT_EQ((*nested)(i, j), d.tensor.model_matrix(i, j - 9));
  }
}

TEST(PredictorDesignMatrix, TensorMarginTransformsAreApplied) {
  // Powers of two scale exactly: xp_a = 2·I and xp_b = 4·I multiply every
  // raw tensor column, and so every centred column, by 8.
  const Designs d;
  TensorPredictor p = d.tensor_predictor();
  for (double& v : p.xp_a.data) v *= 2.0;
  for (double& v : p.xp_b.data) v *= 4.0;
  auto m = predictor_design_matrix(Predictor{p}, d.x);
  ASSERT_TRUE(m.has_value()) << m.error().display();
  Matrix expected = d.tensor.model_matrix;
  for (std::size_t i = 0; i < expected.rows; ++i)
    for (std::size_t j = 1; j < expected.cols; ++j) expected(i, j) *= 8.0;
  EXPECT_EQ(*m, expected);
}

// A copy of `p` changed by `edit`.
template <class P, class F>
Predictor edited(const P& p, F edit) {
  P copy = p;
  edit(copy);
  return Predictor{std::move(copy)};
}

TEST(PredictorDesignMatrix, ErrorsOfColumnsKnotsAndStoredShapes) {
  const Designs d;
  const CrPredictor& cr_p = d.cr.predictor.as<CrPredictor>();
  const CrStablePredictor& st_p = d.cr_stable.predictor.as<CrStablePredictor>();
  const TensorPredictor& te_p = d.tensor_predictor();
  const AdditivePredictor& mix_p = d.mix.predictor.as<AdditivePredictor>();
  const Predictor bad_cr = edited(cr_p, [](CrPredictor& p) { p.centring = Matrix(9, 9); });

  const Matrix three_columns(5, 3, 0.5);
  const Matrix two_columns(5, 2, 0.5);
  const MatrixView rows_only(three_columns.data.data(), 5, 0, 0, 1);
  // 2^32 rows that all alias one stored row.
  const MatrixView huge(d.x.data.data(), std::uint64_t{1} << 32, 4, 0, 1);

  struct Case {
    const char* name;
    Predictor predictor;
    MatrixView x;
    std::string message;
  };
  const Case cases[] = {
      // Columns of x_new.
      {"cr, rows without columns", d.cr.predictor, rows_only, "x_new must have at least one column"},
      {"cr_stable, rows without columns", d.cr_stable.predictor, rows_only, "x_new must have at least one column"},
      {"re, rows without columns", d.re.predictor, rows_only, "x_new must have at least one column"},
      {"tensor, rows without columns", Predictor{te_p}, rows_only,
       "TensorPredictor: term reads columns (0, 2) but x has only 0 columns"},
      {"tensor col_a missing, col_b present",
       edited(te_p,
              [](TensorPredictor& p) {
                p.col_a = 2;
                p.col_b = 1;
              }),
       two_columns, "TensorPredictor: term reads columns (2, 1) but x has only 2 columns"},
      {"additive, later term's column", edited(mix_p, [](AdditivePredictor& p) { p.cols_used[1] = {3}; }),
       three_columns, "AdditivePredictor: term 1 expects column 3 but x has only 3 columns"},
      {"additive, every listed column is checked",
       edited(mix_p, [](AdditivePredictor& p) { p.cols_used[0] = {0, 9}; }), d.x,
       "AdditivePredictor: term 0 expects column 9 but x has only 4 columns"},
      {"additive, earlier term's knots first",
       Predictor{AdditivePredictor{.term_predictors = {Predictor{CrPredictor{.knots = {0, 1}, .centring = {}}},
                                                       d.re.predictor},
                                   .cols_used = {{0}, {8}},
                                   .term_col_ranges = {}}},
       d.x, "CR spline needs k ≥ 3 (got 2)"},
      // Stored knots.
      {"cr, knots out of order", edited(cr_p, [](CrPredictor& p) { std::swap(p.knots[3], p.knots[4]); }), d.x,
       "CR spline knots must be strictly increasing"},
      {"cr_stable, two knots", edited(st_p, [](CrStablePredictor& p) { p.knots.resize(2); }), d.x,
       "CR spline needs k ≥ 3 (got 2)"},
      {"tensor, margin b knots", edited(te_p, [](TensorPredictor& p) { p.knots_b = {0.0, 1.0}; }), d.x,
       "CR spline needs k ≥ 3 (got 2)"},
      {"tensor, margin a knots before margin b",
       edited(te_p,
              [](TensorPredictor& p) {
                p.knots_a[0] = p.knots_a[1];
                p.knots_b = {};
              }),
       d.x, "CR spline knots must be strictly increasing"},
      // Stored shapes.
      {"cr, centring a row short", bad_cr, d.x, "CrPredictor: centring must have 10 rows, one per knot; got 9"},
      {"cr, centring storage short", edited(cr_p, [](CrPredictor& p) { p.centring.data.resize(5); }), d.x,
       "CrPredictor: centring holds 5 values for 10 × 9"},
      {"cr_stable, centring a row short", edited(st_p, [](CrStablePredictor& p) { p.centring = Matrix(7, 7); }),
       d.x, "CrStablePredictor: centring must have 8 rows, one per knot; got 7"},
      {"cr_stable, reparam_v a row short", edited(st_p, [](CrStablePredictor& p) { p.reparam_v = Matrix(6, 7); }),
       d.x, "CrStablePredictor: reparam_v must have 7 rows, one per column of centring; got 6"},
      {"cr_stable, reparam_v storage disagrees", edited(st_p, [](CrStablePredictor& p) { p.reparam_v.cols = 8; }),
       d.x, "CrStablePredictor: reparam_v holds 49 values for 7 × 8"},
      {"tensor, xp_a of the other margin", edited(te_p, [](TensorPredictor& p) { p.xp_a = Matrix::identity(4); }),
       d.x, "TensorPredictor: xp_a must be 5 × 5, one row and column per knot of margin a; got 4 × 4"},
      {"tensor, xp_b not square", edited(te_p, [](TensorPredictor& p) { p.xp_b = Matrix(4, 5); }), d.x,
       "TensorPredictor: xp_b must be 4 × 4, one row and column per knot of margin b; got 4 × 5"},
      {"tensor, margin knots swapped", edited(te_p, [](TensorPredictor& p) { std::swap(p.knots_a, p.knots_b); }),
       d.x, "TensorPredictor: xp_a must be 4 × 4, one row and column per knot of margin a; got 5 × 5"},
      {"tensor, centring a row short", edited(te_p, [](TensorPredictor& p) { p.centring = Matrix(19, 19); }), d.x,
       "TensorPredictor: centring must have 20 rows, one per tensor basis function; got 19"},
      {"additive, cols_used short", edited(mix_p, [](AdditivePredictor& p) { p.cols_used.resize(2); }), d.x,
       "AdditivePredictor: term 2 has no cols_used entry (2 entries for 5 terms)"},
      {"additive, empty cols_used entry", edited(mix_p, [](AdditivePredictor& p) { p.cols_used[3] = {}; }), d.x,
       "AdditivePredictor: term 3 has an empty cols_used entry"},
      {"additive, corrupted term", edited(mix_p, [&](AdditivePredictor& p) { p.term_predictors[4] = bad_cr; }), d.x,
       "CrPredictor: centring must have 10 rows, one per knot; got 9"},
      // Sizes that cannot be held, reported before anything is allocated.
      {"cr on too many rows", d.cr.predictor, huge, "CrPredictor: a 4294967296 × 10 matrix is too large"},
      {"re on too many rows", d.re.predictor, huge, "RePredictor: a 4294967296 × 4 matrix is too large"},
      {"tensor on too many rows", Predictor{te_p}, huge, "TensorPredictor: a 4294967296 × 5 matrix is too large"},
      {"additive on too many rows", d.mix.predictor, huge, "CrPredictor: a 4294967296 × 6 matrix is too large"},
      // An empty centring admits a reparam_v of no rows and any width,
      // which no memory backs.
      {"stored width too large",
       edited(st_p,
              [](CrStablePredictor& p) {
                p.centring = Matrix(8, 0);
                p.reparam_v.rows = 0;
                p.reparam_v.cols = std::uint64_t{1} << 40;
                p.reparam_v.data.clear();
              }),
       d.x, "CrStablePredictor: a 70 × 1099511627776 matrix is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = predictor_design_matrix(c.predictor, c.x);
    ASSERT_FALSE(m.has_value());
    expect_invalid_parameter(m.error(), c.message);
  }
}

}  // namespace
}  // namespace kavri::design
