// The compact per-row form of a design against its dense model matrix: the
// cross products, X·β, X'v and the leverage sums from both must agree to
// rounding, and fits from either must agree to well within the inner
// tolerance.
#include "design/compact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "basis/cr.h"
#include "design/additive.h"
#include "design/assembly.h"
#include "design/cr.h"
#include "design/re.h"
#include "family/binomial.h"
#include "family/gaussian.h"
#include "family/poisson.h"
#include "fit/plain_driver.h"
#include "linalg/lapack.h"
#include "linalg/products.h"
#include "test_util.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;

// Largest entry difference over the largest entry: 1e-10 leaves several
// digits of room above the few ulps the two summation orders differ by,
// and is far below any wrong entry or misplaced block.
constexpr double kProductTolerance = 1e-10;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double relative_gap(const Vector& actual, const Vector& expected) {
  double gap = 0.0, scale = 0.0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    gap = std::max(gap, std::fabs(actual[i] - expected[i]));
    scale = std::max(scale, std::fabs(expected[i]));
  }
  return gap / scale;
}

// n rows over [0, 1): columns 0, 1 and 3 continuous, column 2 one of
// seven levels. More rows than one block of the products, and not a
// multiple of it.
Matrix covariates(std::size_t n) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Matrix x(n, 4);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    x(i, 1) = u(gen) * u(gen);  // skewed: uneven knot spacing
    x(i, 2) = std::floor(7.0 * u(gen)) - 3.0;
    x(i, 3) = u(gen);
  }
  return x;
}

struct Products {
  Matrix xtwx;
  Vector xtwz, eta, xtv, form_sum, forms;
};

// Every product from the dense X and from the compact form, with the same
// weights, z, β, v and V.
void expect_products_agree(const ModelDesign& d) {
  ASSERT_TRUE(d.compact.has_value());
  const Matrix& x = d.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  ASSERT_EQ(d.compact->rows, n);
  ASSERT_EQ(d.compact->cols, p);
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector w(n), z(n), beta(p);
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = 0.2 + (u(gen) + 1.0);
    z[i] = u(gen);
  }
  for (double& b : beta) b = u(gen);
  const Matrix v = testing::random_spd(p, 9);

  Products dense;
  dense.xtwx = linalg::weighted_gram(x, w);
  Vector wz(n);
  for (std::size_t i = 0; i < n; ++i) wz[i] = w[i] * z[i];
  dense.xtwz = linalg::multiply(x.view().transposed(), wz);
  dense.eta = testing::naive_product(x, Matrix(p, 1, beta)).data;
  dense.xtv = linalg::multiply(x.view().transposed(), z);
  dense.form_sum = linalg::weighted_row_form_sum(x, v, w);
  dense.forms = linalg::row_quadratic_forms(x, v);

  Products compact;
  CompactWorkspace ws;
  compact_cross_products(*d.compact, w, VectorView(z), compact.xtwx, &compact.xtwz, ws);
  compact_linear_predictor(*d.compact, beta, compact.eta, ws);
  compact.xtv = compact_transpose_times(*d.compact, z, ws);
  compact.form_sum = compact_weighted_row_form_sum(*d.compact, v, w, ws, &compact.forms);

  EXPECT_LE(relative_gap(compact.xtwx.data, dense.xtwx.data), kProductTolerance);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < a; ++b) EXPECT_EQ(compact.xtwx(a, b), compact.xtwx(b, a));
  EXPECT_LE(relative_gap(compact.xtwz, dense.xtwz), kProductTolerance);
  EXPECT_LE(relative_gap(compact.eta, dense.eta), kProductTolerance);
  EXPECT_LE(relative_gap(compact.xtv, dense.xtv), kProductTolerance);
  EXPECT_LE(relative_gap(compact.form_sum, dense.form_sum), kProductTolerance);
  EXPECT_LE(relative_gap(compact.forms, dense.forms), kProductTolerance);

  // Along β: the rule's w and v from η = X·β, block by block, in the same
  // pass as X'·diag(w)·X and X'·v.
  Vector w_eta(n), v_eta(n);
  for (std::size_t i = 0; i < n; ++i) {
    w_eta[i] = w[i] * (1.0 + 0.5 * std::tanh(dense.eta[i]));
    v_eta[i] = z[i] * dense.eta[i];
  }
  struct Rule {
    const Vector* w;
    const Vector* z;
  } rule{&w, &z};
  Matrix gram;
  Vector sum;
  compact_cross_products_along(
      *d.compact, beta,
      {.fn =
           [](void* context, std::size_t first, std::size_t rows, const double* eta, double* wr, double* vr) {
             const Rule& r = *static_cast<Rule*>(context);
             for (std::size_t k = 0; k < rows; ++k) {
               wr[k] = (*r.w)[first + k] * (1.0 + 0.5 * std::tanh(eta[k]));
               vr[k] = (*r.z)[first + k] * eta[k];
             }
           },
       .context = &rule},
      gram, sum, ws);
  EXPECT_LE(relative_gap(gram.data, linalg::weighted_gram(x, w_eta).data), kProductTolerance);
  EXPECT_LE(relative_gap(sum, linalg::multiply(x.view().transposed(), v_eta)), kProductTolerance);

  // Unit weights given with stride 0 read as ones.
  Matrix unit_gram;
  compact_cross_products(*d.compact, family::unit_weights(n), std::nullopt, unit_gram, nullptr, ws);
  EXPECT_LE(relative_gap(unit_gram.data, linalg::weighted_gram(x, Vector(n, 1.0)).data), kProductTolerance);

  // η visited block by block, never whole, is η; the residual products at β
  // are the deviance and X'W(y − η) formed from the dense η.
  Vector blocks(n, kNaN);
  struct Copy {
    Vector* out;
  } copy{&blocks};
  compact_linear_predictor_blocks(*d.compact, beta, ws,
                                  {.fn =
                                       [](void* context, std::size_t first, std::size_t rows, const double* v) {
                                         Vector& out = *static_cast<Copy*>(context)->out;
                                         std::copy(v, v + rows, out.begin() + static_cast<std::ptrdiff_t>(first));
                                       },
                                   .context = &copy});
  EXPECT_EQ(blocks, compact.eta);
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted);
    double deviance = 0.0;
    Vector wr(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double r = z[i] - dense.eta[i];
      wr[i] = (weighted ? w[i] : 1.0) * r;
      deviance += wr[i] * r;
    }
    const ResidualProducts got = compact_residual_products(
        *d.compact, beta, z, weighted ? std::optional<VectorView>(w) : std::nullopt, ws);
    EXPECT_NEAR(got.deviance, deviance, kProductTolerance * deviance);
    EXPECT_LE(relative_gap(got.xtw_residual, linalg::multiply(x.view().transposed(), wr)), kProductTolerance);
  }
}

TEST(CompactDesign, ProductsEqualTheDenseOnesForEveryTermKind) {
  const Matrix x = covariates(2500);
  const linalg::MatrixView col0(x.data.data(), x.rows, 1, 4, 1);
  const linalg::MatrixView col2(x.data.data() + 2, x.rows, 1, 4, 1);
  using T = TermSpec;
  struct Case {
    std::string name;
    Result<ModelDesign> design;
  };
  std::vector<Case> cases;
  cases.push_back({"cr", build_single_cr_design(col0, 8)});
  cases.push_back({"cr_stable", build_single_cr_stable_design(col0, 8)});
  cases.push_back({"re", build_single_re_design(col2)});
  cases.push_back({"te", build_additive_design(x, std::vector<T>{{T::Te{0, 1, 5, 4}}})});
  cases.push_back({"mixed", build_additive_design(x, std::vector<T>{{T::Cr{0, 9}},
                                                                    {T::CrStable{1, 6}},
                                                                    {T::Re{2}},
                                                                    {T::Cr{3, 5}}})});
  cases.push_back({"mixed with te", build_additive_design(x, std::vector<T>{{T::Re{2}},
                                                                            {T::Cr{3, 7}},
                                                                            {T::Te{1, 0, 4, 6}}})});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.design.has_value()) << c.design.error().display();
    expect_products_agree(*c.design);
  }
}

TEST(CompactDesign, SplineRowsOutsideTheKnotsContinueLinearly) {
  // Knots inside the data: rows below the first and above the last knot
  // take the straight continuation, as the basis evaluator does.
  const Matrix x = covariates(1500);
  const linalg::MatrixView col0(x.data.data(), x.rows, 1, 4, 1);
  auto knots = basis::validate_cr_knots(Vector{0.2, 0.35, 0.5, 0.8});
  ASSERT_TRUE(knots.has_value());
  const Matrix transform = testing::random_matrix(4, 3, 4);
  std::vector<CompactTerm> terms;
  terms.push_back(compact_intercept());
  terms.push_back(compact_spline_term(compact_spline_margin(col0, 0, knots->knots), knots->knots, transform, 1));
  std::optional<CompactDesign> compact = compact_design(x.rows, 4, std::move(terms));
  ASSERT_TRUE(compact.has_value());
  ModelDesign d;
  d.model_matrix = prepend_intercept_column(linalg::multiply(basis::cr_basis_matrix(*knots, col0), transform));
  d.compact = std::move(compact);
  expect_products_agree(d);
}

TEST(CompactDesign, TheMarginLocatesEachRowInTheIntervalTheBasisSearchFinds) {
  // Values at every knot and a few ulps either side. Just below a knot the
  // position's fraction can round up to the next integer; the interval read
  // off the margin must still be the one the evaluator counts, so that the
  // row built from it is the same row bit for bit.
  const Vector knot_sets[] = {{0.0, 0.1, 0.25, 0.3, 0.7, 1.0, 3.0, 7.0, 8.0, 9.5},
                              {-3.0, -2.5, -1.0, 0.125, 0.2, 0.3}};
  std::size_t rounded_up = 0;
  for (const Vector& t : knot_sets) {
    Vector column;
    for (double knot : t) {
      column.push_back(knot);
      double below = knot, above = knot;
      for (int step = 0; step < 3; ++step) {
        below = std::nextafter(below, -INFINITY);
        above = std::nextafter(above, INFINITY);
        column.push_back(below);
        column.push_back(above);
      }
    }
    const Matrix x(column.size(), 1, column);
    const CompactMargin margin = compact_spline_margin(x, 0, t);
    const basis::CrRowEvaluator evaluator(basis::validate_cr_knots(t).value());
    Vector searched(t.size()), located(t.size());
    for (std::size_t i = 0; i < column.size(); ++i) {
      const double v = column[i];
      if (v < t.front() || v > t.back()) continue;
      const std::size_t j = margin_interval(margin, t, i, v);
      if (static_cast<std::size_t>(margin.position[i]) > j && v < t.back()) ++rounded_up;
      evaluator.row(v, searched.data());
      evaluator.row_in_interval(v, j, located.data());
      for (std::size_t c = 0; c < t.size(); ++c)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(located[c]), std::bit_cast<std::uint64_t>(searched[c]))
            << "row " << i << " at " << v << ", entry " << c;
    }
  }
  // The fixture reaches the correction.
  EXPECT_GT(rounded_up, 0u);
}

TEST(CompactDesign, ARandomEffectWithVeryManyLevelsKeepsTheDensePath) {
  // Every row its own level: the tables would outgrow X itself.
  const Matrix x = covariates(2500);
  const linalg::MatrixView col0(x.data.data(), x.rows, 1, 4, 1);
  auto d = build_single_re_design(col0);
  ASSERT_TRUE(d.has_value());
  EXPECT_FALSE(d->compact.has_value());
  auto few = build_single_re_design(linalg::MatrixView(x.data.data() + 2, x.rows, 1, 4, 1));
  ASSERT_TRUE(few.has_value());
  EXPECT_TRUE(few->compact.has_value());
}

// ρ, edf and the criterion of a fit from the compact form against the fit
// of the same design without it. Where every smoothing parameter has a
// clear optimum the two differ by rounding only (about 1e-13 measured);
// 1e-6 is the bound the fits are held to. Where the criterion flattens
// towards ρ = ∞ the stopping point itself moves with any change of
// rounding, so the data give every term curvature to fit.
template <class F>
void expect_fits_agree(const F& family, const ModelDesign& design, const Vector& y) {
  ASSERT_TRUE(design.compact.has_value());
  ModelDesign dense = design;
  dense.compact.reset();
  const std::uint64_t n = y.size();
  auto a = fit::fit_family(family, design, n, y, std::nullopt);
  auto b = fit::fit_family(family, std::move(dense), n, y, std::nullopt);
  ASSERT_TRUE(a.has_value()) << a.error().display();
  ASSERT_TRUE(b.has_value()) << b.error().display();
  ASSERT_EQ(a->rho.size(), b->rho.size());

  for (std::size_t j = 0; j < a->rho.size(); ++j) testing::expect_close(a->rho[j], b->rho[j], 1e-6);
  testing::expect_close(a->edf_total, b->edf_total, 1e-6);
  testing::expect_close(a->reml_value, b->reml_value, 1e-6);
}

TEST(CompactDesign, FitsAgreeWithTheDensePath) {
  const Matrix x = covariates(1200);
  using T = TermSpec;
  auto design = build_additive_design(x, std::vector<T>{{T::Cr{0, 8}}, {T::Re{2}}, {T::Te{1, 3, 4, 4}}});
  ASSERT_TRUE(design.has_value());
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Vector counts(x.rows), binary(x.rows), normal(x.rows);
  for (std::size_t i = 0; i < x.rows; ++i) {
    const double eta = std::sin(3.0 * x(i, 0)) + 0.3 * std::cos(2.0 * x(i, 2)) +
                       std::sin(6.0 * x(i, 1)) * std::cos(5.0 * x(i, 3));
    counts[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen));
    binary[i] = u(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
    normal[i] = eta + 0.3 * std::normal_distribution<double>(0.0, 1.0)(gen);
  }
  {
    SCOPED_TRACE("poisson");
    expect_fits_agree(family::poisson_log(), *design, counts);
  }
  {
    SCOPED_TRACE("bernoulli");
    expect_fits_agree(family::bernoulli_logit(), *design, binary);
  }
  {
    SCOPED_TRACE("gaussian");
    expect_fits_agree(family::gaussian_identity(), *design, normal);
  }
}

}  // namespace
}  // namespace kavri::design
