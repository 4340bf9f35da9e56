#include "fit/persistence/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fit/persistence/format.h"
#include "fit/persistence/number_text.h"
#include "persistence_samples.h"

namespace kavri::fit::persistence {
namespace {

using linalg::Matrix;
using testing::golden_model;
using testing::kGoldenBody;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string body_of(const std::vector<std::uint8_t>& frame) {
  return std::string(frame.begin() + static_cast<std::ptrdiff_t>(kHeaderSize), frame.end());
}

TEST(PersistenceWriter, WritesTheWorkedExampleByteForByte) {
  const std::vector<std::uint8_t> header = {0x4B, 0x41, 0x56, 0x52, 0x49, 0x01, 0x00, 0x00, 0x00,
                                            0x1C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ASSERT_EQ(kGoldenBody.size(), 540u);
  std::vector<std::uint8_t> expected = header;
  expected.insert(expected.end(), kGoldenBody.begin(), kGoldenBody.end());

  const std::vector<std::uint8_t> frame = serialize_fitted_gam(golden_model());
  EXPECT_EQ(body_of(frame), kGoldenBody);
  EXPECT_EQ(frame, expected);
}

TEST(PersistenceWriter, NumberTextSwitchesToExponentsOutsideTheSixteenDigitWindow) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-2.0, "-2.0"}, {1500.0, "1500.0"},
      {123.456, "123.456"}, {0.1, "0.1"}, {0.001234, "0.001234"},
      // E = 15 is the last plain exponent, E = 16 the first exponent form
      {1e15, "1000000000000000.0"}, {1234567890123456.8, "1234567890123456.8"}, {1e16, "1e+16"},
      {2.5e17, "2.5e+17"},
      // E = -5 is the last plain exponent below zero
      {1e-5, "0.00001"}, {-1.5e-5, "-0.000015"}, {1e-6, "1e-6"}, {1e-7, "1e-7"}, {-1.25e-7, "-1.25e-7"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"}, {1.0 / 3.0, "0.3333333333333333"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = number_text(c.value);
    EXPECT_EQ(text, c.text);
    // The digits identify the double exactly, sign of zero included.
    const double back = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(back, c.value);
    EXPECT_EQ(std::signbit(back), std::signbit(c.value));
  }
}

TEST(PersistenceWriter, WritesEveryPredictorVariantWithTagFirstAndFieldsInOrder) {
  struct Case {
    const char* name;
    design::Predictor predictor;
    const char* text;
  } cases[] = {
      {"re", {design::RePredictor{.levels = {1.0, -0.0, kNaN}}}, R"({"kind":"re","levels":[1.0,-0.0,null]})"},
      {"cr",
       {design::CrPredictor{.knots = {}, .centring = Matrix(2, 3, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0})}},
       R"({"kind":"cr","knots":{"v":1,"dim":[0],"data":[]},)"
       R"("centring":{"v":1,"dim":[2,3],"data":[1.0,2.0,3.0,4.0,5.0,6.0]}})"},
      {"cr_stable",
       {design::CrStablePredictor{.knots = {0.0}, .centring = Matrix(1, 0), .reparam_v = Matrix(0, 0)}},
       R"({"kind":"cr_stable","knots":{"v":1,"dim":[1],"data":[0.0]},"centring":{"v":1,"dim":[1,0],"data":[]},)"
       R"("reparam_v":{"v":1,"dim":[0,0],"data":[]}})"},
      {"tensor",
       {design::TensorPredictor{.col_a = 2, .col_b = 7, .bs_a = design::MarginBasis::Cr,
                                .bs_b = design::MarginBasis::Cr, .knots_a = {1.0}, .knots_b = {},
                                .xp_a = Matrix(1, 1, {2.0}), .xp_b = Matrix(0, 0),
                                .centring = Matrix(1, 2, {kInf, 3.0})}},
       R"({"kind":"tensor","col_a":2,"col_b":7,"bs_a":"cr","bs_b":"cr",)"
       R"("knots_a":{"v":1,"dim":[1],"data":[1.0]},"knots_b":{"v":1,"dim":[0],"data":[]},)"
       R"("xp_a":{"v":1,"dim":[1,1],"data":[2.0]},"xp_b":{"v":1,"dim":[0,0],"data":[]},)"
       R"("centring":{"v":1,"dim":[1,2],"data":[null,3.0]}})"},
      {"additive",
       {design::AdditivePredictor{
           .term_predictors = {{design::RePredictor{.levels = {5.0}}}, {design::AdditivePredictor{}}},
           .cols_used = {{0}, {}},
           .term_col_ranges = {{1, 2}, {2, 2}},
       }},
       R"({"kind":"additive","term_predictors":[{"kind":"re","levels":[5.0]},)"
       R"({"kind":"additive","term_predictors":[],"cols_used":[],"term_col_ranges":[]}],)"
       R"("cols_used":[[0],[]],"term_col_ranges":[[1,2],[2,2]]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body;
    serialize_predictor(c.predictor, body);
    EXPECT_EQ(body, c.text);
  }
}

TEST(PersistenceWriter, WritesNonFiniteDoublesAsNull) {
  FittedGam m = golden_model();
  m.scale = kNaN;
  m.edf_total = kInf;
  m.reml_value = -kInf;
  m.beta = {kNaN, -0.0};
  m.vcov = Matrix(1, 2, {-kInf, 1.0});
  m.shape_params = {kNaN};
  const std::string body = body_of(serialize_fitted_gam(m));
  for (const char* fragment : {R"("beta":{"v":1,"dim":[2],"data":[null,-0.0]})", R"("scale":null,)",
                               R"("edf_total":null,)", R"("reml_value":null,)",
                               R"("vcov":{"v":1,"dim":[1,2],"data":[null,1.0]})",
                               R"("shape_params":{"v":1,"dim":[1],"data":[null]}})"}) {
    SCOPED_TRACE(fragment);
    EXPECT_NE(body.find(fragment), std::string::npos) << body;
  }
}

TEST(PersistenceWriter, HeaderAnnouncesTheBodyLength) {
  for (const auto& sample : testing::sample_models()) {
    SCOPED_TRACE(sample.name);
    const std::vector<std::uint8_t> frame = serialize_fitted_gam(sample.model);
    ASSERT_GT(frame.size(), kHeaderSize);
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < 8; ++i) length |= static_cast<std::uint64_t>(frame[kLengthOffset + i]) << (8 * i);
    EXPECT_EQ(length, frame.size() - kHeaderSize);
    EXPECT_EQ(serialize_fitted_gam(sample.model), frame);
  }
}

}  // namespace
}  // namespace kavri::fit::persistence
