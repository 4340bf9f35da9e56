// The response checks of every family with a static check: a NaN or
// infinite y is named as not finite, whatever the family's domain, and the
// first offending row decides which message a response gets.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>

#include "family/binomial.h"
#include "family/family.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/negbin.h"
#include "family/poisson.h"
#include "family/tdist.h"
#include "family/tweedie.h"

namespace kavri::family {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Check = Result<void> (*)(VectorView);

struct FamilyCheck {
  std::string_view name;
  Check check;
};

constexpr FamilyCheck kFamilies[] = {
    {"Gaussian", &Gaussian::check_response},
    {"Poisson", &Poisson::check_response},
    {"QuasiPoisson", &QuasiPoisson::check_response},
    {"Bernoulli", &Bernoulli::check_response},
    {"QuasiBinomial", &QuasiBinomial::check_response},
    {"Gamma", &Gamma::check_response},
    {"InverseGaussian", &InverseGaussian::check_response},
    {"NegBin", &NegBin::check_response},
    {"TDist", &TDist::check_response},
    {"Tweedie", &Tweedie::check_response},
};

void expect_rejected(const Result<void>& r, std::string_view message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is<InvalidParameter>());
  EXPECT_EQ(r.error().message(), message);
}

TEST(ResponseChecks, NonFiniteResponsesAreNamedAsNotFiniteInEveryFamily) {
  struct NonFinite {
    double value;
    std::string_view text;
  };
  // +inf lies on the side of y ≥ 0 and y > 0, -inf on the other.
  constexpr NonFinite kValues[] = {{kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
  for (const FamilyCheck& f : kFamilies) {
    for (const NonFinite& v : kValues) {
      SCOPED_TRACE(std::string(f.name) + " at y=" + std::string(v.text));
      // 1 and 0.5 lie in every domain, so row 2 is the first offending row.
      expect_rejected(f.check(Vector{1.0, 0.5, v.value, 1.0}),
                      "y must be finite; got y=" + std::string(v.text) + " at row 2");
    }
  }
}

TEST(ResponseChecks, TheFirstOffendingRowChoosesTheMessage) {
  struct Case {
    const char* name;
    Check check;
    Vector y;
    const char* message;
  } cases[] = {
      {"a negative count before inf", &Poisson::check_response, {1.0, -1.0, kInf},
       "Poisson requires y ≥ 0; got y=-1 at row 1"},
      {"inf before a negative count", &NegBin::check_response, {1.0, kInf, -1.0},
       "y must be finite; got y=inf at row 1"},
      {"zero before NaN", &Gamma::check_response, {0.0, kNaN}, "Gamma requires y > 0; got y=0 at row 0"},
      {"NaN before zero", &Tweedie::check_response, {kNaN, -2.0}, "y must be finite; got y=NaN at row 0"},
      {"above one before -inf", &QuasiBinomial::check_response, {0.5, 2.0, -kInf},
       "QuasiBinomial requires y in [0, 1]; got y=2 at row 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_rejected(c.check(c.y), c.message);
  }
}

}  // namespace
}  // namespace kavri::family
