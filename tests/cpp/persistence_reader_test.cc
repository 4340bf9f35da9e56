#include "fit/persistence/reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fit/persistence/writer.h"
#include "persistence_frames.h"
#include "persistence_samples.h"
#include "test_util.h"

namespace kavri::fit::persistence {
namespace {

using namespace std::string_view_literals;
using linalg::Matrix;
using testing::decode_failure;
using testing::expect_body_failure;
using testing::expect_invalid_parameter;
using testing::expect_read;
using testing::frame_of;

// Every required member with its smallest value; no "shape_params".
const std::string kMinimalBody =
    R"({"beta":[1,[0],[]],"rho":[1,[0],[]],"lambda":[1,[0],[]],"scale":0,"edf_total":0,)"
    R"("edf_per_term":[1,[0],[]],"n":0,"n_iters":0,"converged":false,"reml_value":0,)"
    R"("predictor":["re",[]],"vcov":[1,[0,0],[]],"link_kind":"Log"})";

// The same members in the array form.
const std::string kMinimalElements =
    R"([1,[0],[]],[1,[0],[]],[1,[0],[]],0,0,[1,[0],[]],0,0,false,0,["re",[]],[1,[0,0],[]],"Log")";

std::vector<std::uint8_t> header(std::uint32_t version, std::uint64_t length) {
  std::vector<std::uint8_t> h = {'K', 'A', 'V', 'R', 'I'};
  for (std::size_t i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(version >> (8 * i)));
  for (std::size_t i = 0; i < 8; ++i) h.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  return h;
}

void expect_same_model(const FittedGam& actual, const FittedGam& expected) {
  EXPECT_EQ(actual.beta, expected.beta);
  EXPECT_EQ(actual.rho, expected.rho);
  EXPECT_EQ(actual.lambda, expected.lambda);
  EXPECT_EQ(actual.scale, expected.scale);
  EXPECT_EQ(actual.edf_total, expected.edf_total);
  EXPECT_EQ(actual.edf_per_term, expected.edf_per_term);
  EXPECT_EQ(actual.n, expected.n);
  EXPECT_EQ(actual.n_iters, expected.n_iters);
  EXPECT_EQ(actual.converged, expected.converged);
  EXPECT_EQ(actual.reml_value, expected.reml_value);
  EXPECT_TRUE(actual.predictor == expected.predictor);
  EXPECT_EQ(actual.vcov, expected.vcov);
  EXPECT_EQ(actual.link_kind, expected.link_kind);
  EXPECT_EQ(actual.shape_params, expected.shape_params);
}

TEST(PersistenceReader, ReadsTheWorkedExampleAndWritesItBackUnchanged) {
  const std::vector<std::uint8_t> frame = frame_of(testing::kGoldenBody);
  auto model = deserialize_fitted_gam(frame);
  ASSERT_TRUE(model.has_value()) << model.error().message();
  expect_same_model(*model, testing::golden_model());
  EXPECT_EQ(serialize_fitted_gam(*model), frame);
}

TEST(PersistenceReader, RoundTripsEveryPredictorVariantBitForBit) {
  for (const auto& sample : testing::sample_models()) {
    SCOPED_TRACE(sample.name);
    const std::vector<std::uint8_t> frame = serialize_fitted_gam(sample.model);
    auto model = deserialize_fitted_gam(frame);
    ASSERT_TRUE(model.has_value()) << model.error().message();
    // The written digits single out each double, the sign of zero included,
    // so equal frames mean bit-identical finite values.
    EXPECT_EQ(serialize_fitted_gam(*model), frame);
    if (std::string(sample.name) != "non_finite") expect_same_model(*model, sample.model);
  }
}

TEST(PersistenceReader, ReadsNullDoublesAsNaN) {
  auto model = deserialize_fitted_gam(serialize_fitted_gam(testing::non_finite_model()));
  ASSERT_TRUE(model.has_value()) << model.error().message();
  // NaN and both infinities are all written as null.
  EXPECT_TRUE(std::isnan(model->scale));
  EXPECT_TRUE(std::isnan(model->edf_total));
  EXPECT_TRUE(std::isnan(model->reml_value));
  ASSERT_EQ(model->beta.size(), 2u);
  EXPECT_TRUE(std::isnan(model->beta[0]));
  EXPECT_EQ(model->beta[1], 1.0);
  ASSERT_EQ(model->vcov.data.size(), 2u);
  EXPECT_TRUE(std::isnan(model->vcov.data[0]));
  EXPECT_TRUE(std::signbit(model->vcov.data[1]));
  const Matrix& centring = model->predictor.as<design::CrPredictor>().centring;
  ASSERT_EQ(centring.data.size(), 6u);
  EXPECT_TRUE(std::isnan(centring(0, 0)));
  EXPECT_EQ(centring(0, 1), 1.0);
  EXPECT_TRUE(std::isnan(centring(1, 0)));
  EXPECT_TRUE(std::isnan(centring(2, 0)));
}

TEST(PersistenceReader, FrameChecksRunInOrderAtTheirBoundaries) {
  auto bytes = [](std::vector<std::uint8_t> h, std::size_t body_bytes) {
    h.resize(h.size() + body_bytes, ' ');
    return h;
  };
  const std::string prefix = "FittedGam::deserialize: ";
  std::vector<std::uint8_t> lower_magic = header(1, 0);
  for (std::size_t i = 0; i < 5; ++i) lower_magic[i] = static_cast<std::uint8_t>("kavri"[i]);
  std::vector<std::uint8_t> short_frame = header(1, 0);
  short_frame.pop_back();
  struct Case {
    const char* name;
    std::vector<std::uint8_t> frame;
    std::string message;
  } cases[] = {
      {"empty", {}, prefix + "buffer too short (0 < 17 header bytes)"},
      {"16 bytes", short_frame, prefix + "buffer too short (16 < 17 header bytes)"},
      // The magic is checked before the body length: this frame is far too short for it.
      {"wrong magic", [] { auto h = header(1, 1000); h[4] = 'X'; return h; }(),
       prefix + "bad magic; expected [75, 65, 86, 82, 73], got [75, 65, 86, 82, 88]"},
      {"lower-case magic", lower_magic, prefix + "bad magic; expected [75, 65, 86, 82, 73], got [107, 97, 118, 114, 105]"},
      {"version 2", header(2, ~std::uint64_t{0}),
       prefix + "unsupported format_version=2 (this build expects 1). Re-serialize with a matching kavri release, "
                "or roll a migration."},
      {"version bytes big-endian", [] { auto h = header(1, 0); h[5] = 0; h[8] = 1; return h; }(),
       prefix + "unsupported format_version=16777216 (this build expects 1). Re-serialize with a matching kavri "
                "release, or roll a migration."},
      {"length 2^64 - 1", header(1, ~std::uint64_t{0}), prefix + "length overflow"},
      {"length 2^64 - 17", header(1, 18446744073709551599ull), prefix + "length overflow"},
      {"length 2^64 - 18", header(1, 18446744073709551598ull),
       prefix + "truncated body (have 0 bytes, header says 18446744073709551598 payload bytes follow the 17-byte header)"},
      {"one byte short", bytes(header(1, 3), 2),
       prefix + "truncated body (have 2 bytes, header says 3 payload bytes follow the 17-byte header)"},
      {"empty body", header(1, 0),
       decode_failure(1, "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = deserialize_fitted_gam(c.frame);
    ASSERT_FALSE(result.has_value());
    expect_invalid_parameter(result.error(), c.message);
  }
}

TEST(PersistenceReader, AcceptsEveryFormOfAValidBody) {
  const FittedGam golden = testing::golden_model();
  {
    SCOPED_TRACE("bytes after the announced body are not read");
    std::vector<std::uint8_t> frame = frame_of(testing::kGoldenBody);
    frame.insert(frame.end(), {'x', 0, 0xFF});
    auto model = deserialize_fitted_gam(frame);
    ASSERT_TRUE(model.has_value()) << model.error().message();
    expect_same_model(*model, golden);
  }
  {
    SCOPED_TRACE("whitespace between tokens and after the value");
    std::string spaced;
    for (char c : testing::kGoldenBody) {
      spaced += c;
      if (c == ',' || c == ':' || c == '{') spaced += "\n\t ";
    }
    expect_same_model(expect_read(spaced + " \r\n\t"), golden);
  }
  {
    SCOPED_TRACE("members in reverse order, an unknown member, and the array form of a vector");
    const std::string body =
        R"({"shape_params":[1,[0],[]],"link_kind":"Log","vcov":{"dim":[3,3],"data":[0.01,0,0,0,0.04,1e-7,0,1e-7,0.09],"v":1},)"
        R"("predictor":{"centring":[1,[3,2],[-0.5,-0.5,0.75,-0.25,-0.25,0.75]],"knots":[1,[3],[0,0.5,1]],"kind":"cr"},)"
        R"("comment":{"any":["json",null,true,{"v":2}]},"reml_value":123.25,"converged":true,"n_iters":4,"n":100,)"
        R"("edf_per_term":[1,[1],[1.5]],"edf_total":2.5,"scale":1,"lambda":[1,[1],[1]],"rho":[1,[1],[0]],)"
        R"("beta":{"data":[0.5,-1.25,2],"dim":[3],"v":1}})";
    expect_same_model(expect_read(body), golden);
  }
  {
    SCOPED_TRACE("without shape_params");
    const FittedGam m = expect_read(kMinimalBody);
    EXPECT_TRUE(m.shape_params.empty());
    EXPECT_EQ(m.link_kind, LinkKind::Log);
    EXPECT_TRUE(m.predictor.is<design::RePredictor>());
    EXPECT_EQ(m.vcov.rows, 0u);
  }
  {
    SCOPED_TRACE("array form with 13 and with 14 elements");
    EXPECT_TRUE(expect_read("[" + kMinimalElements + "]").shape_params.empty());
    EXPECT_EQ(expect_read("[" + kMinimalElements + R"(,[1,[2],[3,-4]]])").shape_params, (linalg::Vector{3.0, -4.0}));
  }
  {
    SCOPED_TRACE("numbers of every category where a double is read");
    std::string body = kMinimalBody;
    body.replace(body.find(R"("scale":0)"), 9, R"("scale":-0)");
    body.replace(body.find(R"("edf_total":0)"), 13, R"("edf_total":null)");
    body.replace(body.find(R"("reml_value":0)"), 14, R"("reml_value":-2.5e-320)");
    body.replace(body.find(R"("beta":[1,[0],[]])"), 17, R"("beta":[1,[4],[3,-3,18446744073709551615,1e-400]])");
    const FittedGam m = expect_read(body);
    EXPECT_EQ(m.scale, 0.0);
    EXPECT_TRUE(std::signbit(m.scale));
    EXPECT_TRUE(std::isnan(m.edf_total));
    EXPECT_EQ(m.reml_value, -2.5e-320);  // subnormal
    EXPECT_EQ(m.beta, (linalg::Vector{3.0, -3.0, 18446744073709551615.0, 0.0}));
  }
  {
    SCOPED_TRACE("link names in the map form; vector keys given twice");
    std::string body = kMinimalBody;
    body.replace(body.find(R"("link_kind":"Log")"), 17, R"("link_kind":{"Logit":null})");
    body.replace(body.find(R"("rho":[1,[0],[]])"), 16, R"("rho":{"v":1,"data":[1],"dim":[5],"data":[1,2],"dim":[2]})");
    const FittedGam m = expect_read(body);
    EXPECT_EQ(m.link_kind, LinkKind::Logit);
    EXPECT_EQ(m.rho, (linalg::Vector{1.0, 2.0}));
  }
}

TEST(PersistenceReader, RejectsEachBrokenBodyWithItsRuleText) {
  struct Case {
    std::string_view body;  // '|' marks the reported column
    const char* text;
  } cases[] = {
      // the value as a whole
      {"5|", "invalid type: integer `5`, expected struct FittedGam"},
      {R"("a\"b"|)", R"(invalid type: string "a\"b", expected struct FittedGam)"},
      {"null|", "invalid type: null, expected struct FittedGam"},
      {"{}|", "missing field `beta`"},
      {R"({"beta":[1,[0],[]],"beta"|:[1,[0],[]]})", "duplicate field `beta`"},
      {R"({"scale":0,"scale"|)", "duplicate field `scale`"},  // before the truncation is seen
      {"[]|", "invalid length 0, expected struct FittedGam with 14 elements"},
      {R"([[1,[0],[]],[1,[0],[]],[1,[0],[]],0,0,[1,[0],[]],0,0,false,0,["re",[]],[1,[0,0],[]]]|)",
       "invalid length 12, expected struct FittedGam with 14 elements"},
      {R"([[1,[0],[]],[1,[0],[]],[1,[0],[]],0,0,[1,[0],[]],0,0,false,0,["re",[]],[1,[0,0],[]],"Log",[1,[0],[]],0|])",
       "array has more elements than expected"},
      // counts
      {R"({"n":3.0|})", "invalid type: floating point `3.0`, expected usize"},
      {R"({"n":1e2|})", "invalid type: floating point `100.0`, expected usize"},
      {R"({"n":-1|})", "invalid value: integer `-1`, expected usize"},
      {R"({"n":-0|})", "invalid type: floating point `-0.0`, expected usize"},
      {R"({"n":18446744073709551616|})", "invalid type: floating point `1.8446744073709552e+19`, expected usize"},
      {R"({"n_iters":"3"|})", R"(invalid type: string "3", expected usize)"},
      {R"({"n_iters":[|]})", "invalid type: sequence, expected usize"},
      // doubles and booleans
      {R"({"scale":true|})", "invalid type: boolean `true`, expected f64"},
      {R"({"edf_total":{|}})", "invalid type: map, expected f64"},
      {R"({"reml_value":"x"|})", R"(invalid type: string "x", expected f64)"},
      {R"({"converged":1|})", "invalid type: integer `1`, expected a boolean"},
      {R"({"converged":null|})", "invalid type: null, expected a boolean"},
      // link names
      {R"({"link_kind":"Probit"|})", "unknown variant `Probit`, expected one of `Identity`, `Log`, `Logit`"},
      {R"({"link_kind":"log"|})", "unknown variant `log`, expected one of `Identity`, `Log`, `Logit`"},
      {R"({"link_kind":{"Foo"|:null}})", "unknown variant `Foo`, expected one of `Identity`, `Log`, `Logit`"},
      {R"({"link_kind":{"Log":1|}})", "invalid type: integer `1`, expected unit"},
      {R"({"link_kind":{"Log":null,"Logit"|:null}})", "expected value"},
      {R"({"link_kind":{}|})", "expected value"},
      {R"({"link_kind":5|})", "expected value"},
      {R"({"link_kind":[|]})", "expected value"},
      // vectors and matrices
      {R"({"beta":5|})", "invalid type: integer `5`, expected ndarray representation"},
      {R"({"beta":{"v":2|}})", "unknown array version: 2"},
      {R"({"beta":{"v":0|}})", "unknown array version: 0"},
      {R"({"beta":{"v":256|}})", "invalid value: integer `256`, expected u8"},
      {R"({"beta":{"v":-1|}})", "invalid value: integer `-1`, expected u8"},
      {R"({"beta":{"v":1.0|}})", "invalid type: floating point `1.0`, expected u8"},
      {R"({"beta":{"v":1,"dim":[0],"data":[],"v":3|}})", "unknown array version: 3"},
      {R"({"beta":{"v":1,"w"|:0}})", "unknown field `w`, expected one of `v`, `dim`, `data`"},
      {R"({"beta":{"dim":[0],"data":[]}|})", "missing field `v`"},
      {R"({"beta":{"v":1}|})", "missing field `data`"},
      {R"({"beta":{"v":1,"data":[]}|})", "missing field `dim`"},
      {R"({"beta":{"v":1,"dim":[3],"data":[1.0,2.0]}|})", "data and dimension must match in size"},
      {R"({"vcov":{"v":1,"dim":[2,3],"data":[1,2,3,4,5]}|})", "data and dimension must match in size"},
      // 2^32 · 2^32 wraps to 0 in 64 bits; it must not match an empty "data"
      {R"({"vcov":{"v":1,"dim":[4294967296,4294967296],"data":[]}|})", "data and dimension must match in size"},
      {R"({"beta":{"v":1,"dim":[]|}})", "invalid length 0, expected an array of length 1"},
      {R"({"vcov":{"v":1,"dim":[3]|}})", "invalid length 1, expected an array of length 2"},
      {R"({"beta":{"v":1,"dim":[1,2|]}})", "array has more elements than expected"},
      {R"({"beta":{"v":1,"dim":"3"|}})", R"(invalid type: string "3", expected an array of length 1)"},
      {R"({"beta":{"v":1,"dim":[1.5|]}})", "invalid type: floating point `1.5`, expected usize"},
      {R"({"beta":{"v":1,"dim":[1],"data":5|}})", "invalid type: integer `5`, expected a sequence"},
      {R"({"beta":{"v":1,"dim":[1],"data":["a"|]}})", R"(invalid type: string "a", expected f64)"},
      {R"({"beta":{"v":1,"dim":[1],"data":[[|]]}})", "invalid type: sequence, expected f64"},
      {R"({"beta":[1,[0]]|})", "invalid length 2, expected ndarray representation"},
      {R"({"beta":[1,[0],[],0|]})", "array has more elements than expected"},
      {R"({"beta":[2|,[0],[]]})", "unknown array version: 2"},
      // reading the JSON itself
      {R"({"scale":1e400|})", "number overflow parsing '1e400'"},
      {R"({"scale":-1e400|})", "number overflow parsing '-1e400'"},
      {"\xEF\xBB\xBF|{}", "byte-order mark not allowed"},
      {"{\"n\":\0|}"sv, "unexpected NUL byte"},
      {"{\"a\":\"x\0|\"}"sv, "unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    expect_body_failure(c.body, c.text);
  }
}

TEST(PersistenceReader, RejectsAnythingButWhitespaceAfterTheValue) {
  struct Case {
    const char* name;
    std::string trailer;
    std::size_t column;  // counted from the end of the valid body
    std::string text;
  } cases[] = {
      {"a number", " 1", 2, "syntax error while parsing value - unexpected number literal; expected end of input"},
      {"a NUL byte", std::string("\0{}", 3), 1, "unexpected NUL byte"},
      {"a NUL after spaces", std::string("  \0", 3), 3, "unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = deserialize_fitted_gam(frame_of(kMinimalBody + c.trailer));
    ASSERT_FALSE(result.has_value());
    expect_invalid_parameter(result.error(), decode_failure(kMinimalBody.size() + c.column, c.text));
  }
}

TEST(PersistenceReader, ReportsLineAndColumnOfAMultiLineBody) {
  auto result = deserialize_fitted_gam(frame_of("{\n\n  \"n\": 3.0}"));
  ASSERT_FALSE(result.has_value());
  expect_invalid_parameter(result.error(), decode_failure(10, "invalid type: floating point `3.0`, expected usize", 3));
}

TEST(PersistenceReader, LimitsNestingTo127OpenValuesOutsideUnknownMembers) {
  // Root object and predictor object are two open values; the unknown
  // predictor member adds the rest, all kept for the second stage.
  auto with_predictor_nesting = [](std::size_t arrays) {
    std::string body = kMinimalBody;
    const std::string nested = std::string(arrays, '[') + std::string(arrays, ']');
    body.replace(body.find(R"(["re",[]])"), 9, R"({"kind":"re","levels":[],"x":)" + nested + "}");
    return body;
  };
  expect_read(with_predictor_nesting(125));
  auto result = deserialize_fitted_gam(frame_of(with_predictor_nesting(126)));
  ASSERT_FALSE(result.has_value());
  const std::size_t column = kMinimalBody.find(R"(["re",[]])") + std::string(R"({"kind":"re","levels":[],"x":)").size() + 126;
  expect_invalid_parameter(result.error(), decode_failure(column, "recursion limit exceeded"));

  // The array form's root counts too: the vector's data array is the fourth level.
  std::string deep_levels = "[" + kMinimalElements + "]";
  const std::size_t at = deep_levels.find(R"(["re",[]])");
  deep_levels.replace(at, 9, R"(["re",)" + std::string(126, '[') + std::string(126, ']') + "]");
  expect_body_failure(deep_levels.substr(0, at + 6 + 126) + "|" + deep_levels.substr(at + 6 + 126),
                      "recursion limit exceeded");

  // An unknown member of the model object is skipped at any depth.
  const std::size_t kDeep = 200000;
  std::string skipped = kMinimalBody;
  skipped.insert(1, R"("deep":)" + std::string(kDeep, '[') + "{\"k\":" + std::string(kDeep, '[') + "1" +
                        std::string(kDeep, ']') + "}" + std::string(kDeep, ']') + ",");
  EXPECT_EQ(expect_read(skipped).link_kind, LinkKind::Log);
}

}  // namespace
}  // namespace kavri::fit::persistence
