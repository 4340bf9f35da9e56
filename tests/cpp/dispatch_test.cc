#include "fit/dispatch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "design/additive.h"
#include "design_fixtures.h"
#include "fit/plain_driver.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;
using namespace std::literals;

// Every accepted name with its family and, for a plain family, the display
// name of the family value the visit hands over (empty otherwise).
struct NameCase {
  std::string_view name;
  FamilyId id;
  std::string_view visited;
};

constexpr NameCase kNames[] = {
    {"gaussian", FamilyId::Gaussian, "Gaussian"},
    {"bernoulli", FamilyId::Bernoulli, "Bernoulli"},
    {"binomial", FamilyId::Bernoulli, "Bernoulli"},
    {"poisson", FamilyId::Poisson, "Poisson"},
    {"quasipoisson", FamilyId::QuasiPoisson, "QuasiPoisson"},
    {"quasibinomial", FamilyId::QuasiBinomial, "QuasiBinomial"},
    {"gamma", FamilyId::Gamma, "Gamma"},
    {"inverse_gaussian", FamilyId::InverseGaussian, "InverseGaussian"},
    {"inverse.gaussian", FamilyId::InverseGaussian, "InverseGaussian"},
    {"negbin", FamilyId::NegBin, ""},
    {"nb", FamilyId::NegBin, ""},
    {"tdist", FamilyId::TDist, ""},
    {"scat", FamilyId::TDist, ""},
    {"tweedie", FamilyId::Tweedie, ""},
    {"tw", FamilyId::Tweedie, ""},
    {"elf", FamilyId::Elf, ""},
    {"quantile", FamilyId::Elf, ""},
    {"ocat", FamilyId::Ocat, ""},
};

TEST(FamilyNames, EveryNameSelectsItsFamilyAndThePlainOnesVisitTheirValue) {
  std::set<FamilyId> seen;
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(std::string(c.name));
    const std::optional<FamilyId> id = family_by_name(c.name);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, c.id);
    EXPECT_EQ(is_plain(*id), !c.visited.empty());
    if (is_plain(*id)) {
      EXPECT_EQ(visit_plain_family(*id, [](const auto& family) { return std::string(family.display_name()); }),
                c.visited);
    }
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 12u);
}

TEST(FamilyNames, MatchesWholeNamesByteForByte) {
  for (const std::string_view name :
       {""sv, "Gaussian"sv, "GAMMA"sv, " poisson"sv, "poisson "sv, "inverse gaussian"sv, "inverse-gaussian"sv,
        "inversegaussian"sv, "binom"sv, "negbinomial"sv, "t"sv, "quasi"sv, "gaussian\0"sv, "elf\n"sv}) {
    SCOPED_TRACE(std::string(name));
    EXPECT_FALSE(family_by_name(name).has_value());
  }
}

std::string refused(const std::string& quoted) {
  return "fit_additive: family " + quoted +
         " is shape-managed and restricted to single-smooth in 94b; use kavri.fit(family=" + quoted +
         ", …) or wait for multi-smooth shape-aware support. Supported additive families: gaussian, "
         "bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma, inverse_gaussian";
}

// Each case fails at one step; the inputs also break the steps after it, so
// a reordering shows.
TEST(FitAdditive, ChecksTermsThenNameThenDesignThenData) {
  const std::size_t n = 40;
  const Matrix x = testing::mixed_covariates(n);
  const Vector y(n, 1.0), short_y(n - 1, 1.0);
  const std::vector<design::TermSpec> none, good{testing::cr_term(0, 5)}, bad_column{testing::cr_term(7, 5)};
  struct Case {
    const char* label;
    std::string_view family;
    const std::vector<design::TermSpec>* terms;
    const Vector* y;
    std::string message;
    const Matrix* x_used = nullptr;     // x when absent
    const Vector* weights = nullptr;
  };
  const Matrix no_rows(0, 4);
  const Vector no_y, zero_weights(n, 0.0), short_zero_weights(n - 1, 0.0);
  const Case cases[] = {
      {"no terms, unknown name", "nope", &none, &short_y, "fit_additive: terms list must be non-empty"},
      {"no terms, shape family", "negbin", &none, &short_y, "fit_additive: terms list must be non-empty"},
      {"shape family", "negbin", &bad_column, &short_y, refused("\"negbin\"")},
      {"quantile alias", "quantile", &good, &y, refused("\"quantile\"")},
      {"case differs", "Gaussian", &bad_column, &short_y, refused("\"Gaussian\"")},
      {"escaped name", "tw\n\"", &good, &y, refused(R"("tw\n\"")")},
      // No rows and all-zero weights leave nothing to fit: named before
      // the design is built, and after the request's own checks.
      {"no rows after the name", "negbin", &bad_column, &no_y, refused("\"negbin\""), &no_rows},
      {"no rows before the design", "gaussian", &bad_column, &no_y, "x must have at least one row", &no_rows},
      {"zero weights before the design", "poisson", &bad_column, &y, "prior weights must not all be zero", nullptr,
       &zero_weights},
      // Their place among the driver's checks holds: after the counts.
      {"zero weights after the row count", "poisson", &good, &short_y,
       "x and y must have the same number of rows; got x.nrows()=40, y.len()=39", nullptr, &zero_weights},
      {"zero weights of the wrong length wait for the design", "poisson", &bad_column, &y,
       "Additive term 0 reads column 7 but x has only 4 columns", nullptr, &short_zero_weights},
      {"design after the name", "gaussian", &bad_column, &short_y,
       "Additive term 0 reads column 7 but x has only 4 columns"},
      {"driver last", "gamma", &good, &short_y,
       "x and y must have the same number of rows; got x.nrows()=40, y.len()=39"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto family = additive_family(c.family, *c.terms);
    std::optional<linalg::VectorView> w;
    if (c.weights) w = linalg::VectorView(*c.weights);
    auto fitted = fit_additive(c.family, c.x_used ? *c.x_used : x, *c.y, *c.terms, w);
    ASSERT_FALSE(fitted.has_value());
    testing::expect_invalid_parameter(fitted.error(), c.message);
    if (!family) {
      testing::expect_invalid_parameter(family.error(), c.message);
    } else {
      EXPECT_EQ(*family, *family_by_name(c.family));
    }
  }
}

void expect_same_bits(const Vector& actual, const Vector& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual[i]), std::bit_cast<std::uint64_t>(expected[i])) << "at " << i;
}

// The alias, the terms and the weights reach the driver unchanged: the
// result is the driver's own, bit for bit.
TEST(FitAdditive, IsTheDriverOnTheAdditiveDesign) {
  const std::size_t n = 160;
  const Matrix x = testing::mixed_covariates(n);
  std::mt19937 gen(23);
  std::normal_distribution<double> noise(0.0, 1.0);
  Vector y(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = std::exp(0.4 * x(i, 0) + 0.3 * x(i, 2)) * std::exp(0.2 * noise(gen));
    w[i] = 0.5 + static_cast<double>(i % 5) * 0.25;
  }
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 6), testing::re_term(1), testing::cr_term(2, 5)};

  auto fitted = fit_additive("inverse.gaussian", x, y, terms, linalg::VectorView(w));
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  auto design = design::build_additive_design(x, terms);
  ASSERT_TRUE(design.has_value());
  auto direct = fit_family(family::inverse_gaussian_log(), std::move(*design), n, y, linalg::VectorView(w));
  ASSERT_TRUE(direct.has_value()) << direct.error().display();

  expect_same_bits(fitted->beta, direct->beta);
  expect_same_bits(fitted->rho, direct->rho);
  expect_same_bits(fitted->vcov.data, direct->vcov.data);
  expect_same_bits({fitted->scale, fitted->edf_total, fitted->reml_value},
                   {direct->scale, direct->edf_total, direct->reml_value});
  EXPECT_EQ(fitted->link_kind, LinkKind::Log);
  EXPECT_EQ(fitted->predictor, direct->predictor);
}

}  // namespace
}  // namespace kavri::fit
