#include "fit/persistence/predictor_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "fit/persistence/reader.h"
#include "persistence_frames.h"
#include "persistence_samples.h"

namespace kavri::fit::persistence {
namespace {

using design::Predictor;
using linalg::Matrix;

// A model body around the given predictor text.
std::string body_with(const std::string& predictor) {
  return R"({"beta":[1,[0],[]],"rho":[1,[0],[]],"lambda":[1,[0],[]],"scale":0,"edf_total":0,)"
         R"("edf_per_term":[1,[0],[]],"n":0,"n_iters":0,"converged":false,"reml_value":0,"predictor":)" +
         predictor + R"(,"vcov":[1,[0,0],[]],"link_kind":"Log"})";
}

// The sequence form of a matrix with integral entries.
std::string matrix_text(const Matrix& m) {
  std::string text = "[1,[" + std::to_string(m.rows) + "," + std::to_string(m.cols) + "],[";
  for (std::size_t i = 0; i < m.data.size(); ++i) {
    if (i > 0) text += ",";
    text += std::to_string(static_cast<long long>(m.data[i]));
  }
  return text + "]]";
}

// Knots and centring of a three-knot spline, in both array forms, and the
// fields of a tensor term of two three-knot margins.
const std::string kKnots = R"({"v":1,"dim":[3],"data":[0,0.5,1]})";
const std::string kCentring = R"([1,[3,2],[-1,-1,1,0,0,1]])";
const std::string kSquare = R"({"v":1,"dim":[1,1],"data":[1]})";
const std::string kCrFields = R"("knots":)" + kKnots + R"(,"centring":)" + kCentring;
const std::string kTensorFields = R"("col_a":0,"col_b":1,"bs_a":"cr","bs_b":"cr","knots_a":)" + kKnots +
                                  R"(,"knots_b":)" + kKnots + R"(,"xp_a":)" + matrix_text(Matrix::identity(3)) +
                                  R"(,"xp_b":)" + matrix_text(Matrix::identity(3)) + R"(,"centring":)" +
                                  matrix_text(testing::differences_from_first(9));

Predictor cr() {
  return {design::CrPredictor{.knots = {0.0, 0.5, 1.0}, .centring = Matrix(3, 2, {-1.0, -1.0, 1.0, 0.0, 0.0, 1.0})}};
}

Predictor tensor() {
  return {design::TensorPredictor{.col_a = 0, .col_b = 1, .knots_a = {0.0, 0.5, 1.0}, .knots_b = {0.0, 0.5, 1.0},
                                  .xp_a = Matrix::identity(3), .xp_b = Matrix::identity(3),
                                  .centring = testing::differences_from_first(9)}};
}

Predictor read_predictor(const std::string& text) { return testing::expect_read(body_with(text)).predictor; }

// A tensor predictor object with one of its fields' text replaced.
std::string tensor_with(const std::string& field, const std::string& replacement) {
  std::string fields = kTensorFields;
  fields.replace(fields.find(field), field.size(), replacement);
  return R"({"kind":"tensor",)" + fields + "}";
}

TEST(PersistencePredictorReader, AcceptsTheTagAnywhereAndEveryPayloadForm) {
  struct Case {
    const char* name;
    std::string text;
    Predictor expected;
  } cases[] = {
      {"tag first", R"({"kind":"cr",)" + kCrFields + "}", cr()},
      {"tag last", "{" + kCrFields + R"(,"kind":"cr"})", cr()},
      {"array form", R"(["cr",)" + kKnots + "," + kCentring + "]", cr()},
      {"members of other variants ignored", R"({"kind":"cr","levels":5,)" + kCrFields + R"(,"reparam_v":null})", cr()},
      {"levels of every number category",
       R"({"kind":"re","levels":[-3,1,2.5,18446744073709551615]})",
       {design::RePredictor{.levels = {-3.0, 1.0, 2.5, 18446744073709551615.0}}}},
      {"margin bases as maps",
       tensor_with(R"("bs_a":"cr","bs_b":"cr")", R"("bs_a":{"cr":null},"bs_b":{"cr":{}})"), tensor()},
      {"tensor", R"({"kind":"tensor",)" + kTensorFields + "}", tensor()},
      {"empty additive", R"({"kind":"additive","term_predictors":[],"cols_used":[],"term_col_ranges":[]})",
       {design::AdditivePredictor{}}},
      {"terms tagged by index, by name and in array form, nested",
       R"({"cols_used":[[0],[],[1,2]],"term_col_ranges":[[1,2],[2,2],[2,5]],"kind":"additive","term_predictors":[)"
       R"({"kind":0,)" + kCrFields + R"(},)"
       R"([3,[[1,[]]],[[7]],[[0,18446744073709551615]]],)"
       R"({"kind":"tensor",)" + kTensorFields + R"(}]})",
       {design::AdditivePredictor{
           .term_predictors = {cr(),
                               {design::AdditivePredictor{.term_predictors = {{design::RePredictor{}}},
                                                          .cols_used = {{7}},
                                                          .term_col_ranges = {{0, 18446744073709551615ull}}}},
                               tensor()},
           .cols_used = {{0}, {}, {1, 2}},
           .term_col_ranges = {{1, 2}, {2, 2}, {2, 5}},
       }}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(read_predictor(c.text) == c.expected);
  }
}

TEST(PersistencePredictorReader, RejectsEachBrokenPredictorWithItsRuleText) {
  const std::string variants = "expected one of `cr`, `re`, `cr_stable`, `additive`, `tensor`";
  auto term = [](const std::string& t) {
    return R"({"kind":"additive","cols_used":[],"term_col_ranges":[],"term_predictors":[)" + t + "]}|";
  };
  struct Case {
    std::string text;  // '|' marks the reported column
    std::string message;
  } cases[] = {
      // the tag, during the first stage
      {"5|", "invalid type: integer `5`, expected internally tagged enum Predictor"},
      {"null|", "invalid type: null, expected internally tagged enum Predictor"},
      {R"({"kind":0|})", "invalid type: integer `0`, expected variant identifier"},
      {R"({"kind":{|}})", "invalid type: map, expected variant identifier"},
      {R"({"kind":"spline"|})", "unknown variant `spline`, " + variants},
      {R"({"kind":"cr","kind"|:"cr"})", "duplicate field `kind`"},
      {R"({"kind":"re","levels":5,"kind"|:"re"})", "duplicate field `kind`"},
      {R"({"levels":5,"kind":"nope"|})", "unknown variant `nope`, " + variants},
      {"{" + kCrFields + "}|", "missing field `kind`"},
      {"[]|", "missing field `kind`"},
      {"[0|]", "invalid type: integer `0`, expected variant identifier"},
      // payload, object form
      {R"({"kind":"cr",)" + kCrFields + R"(,"knots":)" + kKnots + "}|", "duplicate field `knots`"},
      {R"({"kind":"cr","knots":)" + kKnots + "}|", "missing field `centring`"},
      {R"({"kind":"cr_stable","reparam_v":)" + kSquare + R"(,"centring":)" + kSquare + "}|", "missing field `knots`"},
      {R"({"kind":"tensor"}|)", "missing field `col_a`"},
      {R"({"kind":"re","levels":5}|)", "invalid type: integer `5`, expected a sequence"},
      {R"({"kind":"re","levels":["a"]}|)", R"(invalid type: string "a", expected f64)"},
      {R"({"kind":"re","levels":[{}]}|)", "invalid type: map, expected f64"},
      // payload, array form: element rules run before the length check
      {R"(["cr",)" + kKnots + "]|", "invalid length 1, expected struct CrPredictor with 2 elements"},
      {R"(["re"]|)", "invalid length 0, expected struct RePredictor with 1 element"},
      {R"(["re",[],5]|)", "invalid length 2, expected 1 element in sequence"},
      {R"(["re",5,6]|)", "invalid type: integer `5`, expected a sequence"},
      {R"(["cr_stable",)" + kKnots + "," + kSquare + "," + kSquare + ",0]|",
       "invalid length 4, expected 3 elements in sequence"},
      {R"(["additive",[],[]]|)", "invalid length 2, expected struct AdditivePredictor with 3 elements"},
      {R"(["tensor"]|)", "invalid length 0, expected struct TensorPredictor with 9 elements"},
      // kept vectors and matrices count extra elements themselves
      {R"({"kind":"cr","knots":[1,[1,2],[0]],"centring":)" + kCentring + "}|",
       "invalid length 2, expected 1 element in sequence"},
      {R"({"kind":"cr","knots":[1,[1],[0],0],"centring":)" + kCentring + "}|",
       "invalid length 4, expected 3 elements in sequence"},
      {R"({"kind":"cr","knots":{"v":2},"centring":)" + kCentring + "}|", "unknown array version: 2"},
      {R"({"kind":"cr","knots":)" + kKnots + R"(,"centring":{"v":1,"dim":[2],"data":[]}}|)",
       "invalid length 1, expected an array of length 2"},
      {R"({"kind":"cr","knots":)" + kKnots + R"(,"centring":{"v":1,"dim":[2,2],"data":[1]}}|)",
       "data and dimension must match in size"},
      // tensor fields
      {tensor_with(R"("col_a":0)", R"("col_a":-1)") + "|", "invalid value: integer `-1`, expected usize"},
      {tensor_with(R"("col_b":1)", R"("col_b":1.5)") + "|", "invalid type: floating point `1.5`, expected usize"},
      {R"({"kind":"tensor","col_a":"0"}|)", R"(invalid type: string "0", expected usize)"},
      {R"({"kind":"tensor","bs_a":0}|)", "invalid type: integer `0`, expected string or map"},
      {R"({"kind":"tensor","bs_a":null}|)", "invalid type: null, expected string or map"},
      {R"({"kind":"tensor","bs_a":[]}|)", "invalid type: sequence, expected string or map"},
      {R"({"kind":"tensor","bs_a":{}}|)", "invalid value: map, expected map with a single key"},
      {R"({"kind":"tensor","bs_a":{"x":null,"cr":null}}|)", "invalid value: map, expected map with a single key"},
      {R"({"kind":"tensor","bs_b":"te"}|)", "unknown variant `te`, expected `cr`"},
      {R"({"kind":"tensor","bs_b":{"te":null}}|)", "unknown variant `te`, expected `cr`"},
      {R"({"kind":"tensor","bs_b":{"cr":1}}|)", "invalid type: integer `1`, expected unit"},
      {R"({"kind":"tensor","bs_b":{"cr":{"a":1}}}|)", "invalid type: map, expected unit"},
      // additive fields and term predictors
      {R"({"kind":"additive","term_predictors":5}|)", "invalid type: integer `5`, expected a sequence"},
      {term("5"), "invalid type: integer `5`, expected internally tagged enum Predictor"},
      {term(R"({"kind":5})"), "invalid value: integer `5`, expected variant index 0 <= i < 5"},
      {term("[5]"), "invalid value: integer `5`, expected variant index 0 <= i < 5"},
      {term(R"({"kind":-1})"), "invalid type: integer `-1`, expected variant identifier"},
      {term(R"({"kind":1.0})"), "invalid type: floating point `1.0`, expected variant identifier"},
      {term(R"({"kind":[]})"), "invalid type: sequence, expected variant identifier"},
      {term(R"({"kind":"x"})"), "unknown variant `x`, " + variants},
      {term("{}"), "missing field `kind`"},
      {term("[]"), "missing field `kind`"},
      {term(R"({"levels":5,"kind":"re","kind":1})"), "duplicate field `kind`"},
      {term(R"({"kind":"re","levels":[true]})"), "invalid type: boolean `true`, expected f64"},
      {term(R"({"kind":1})"), "missing field `levels`"},
      {R"({"kind":"additive","cols_used":5}|)", "invalid type: integer `5`, expected a sequence"},
      {R"({"kind":"additive","cols_used":[5]}|)", "invalid type: integer `5`, expected a sequence"},
      {R"({"kind":"additive","cols_used":[[0,-1]]}|)", "invalid value: integer `-1`, expected usize"},
      {R"({"kind":"additive","term_col_ranges":5}|)", "invalid type: integer `5`, expected a sequence"},
      {R"({"kind":"additive","term_col_ranges":[5]}|)", "invalid type: integer `5`, expected a tuple of size 2"},
      {R"({"kind":"additive","term_col_ranges":[[]]}|)", "invalid length 0, expected a tuple of size 2"},
      {R"({"kind":"additive","term_col_ranges":[[1]]}|)", "invalid length 1, expected a tuple of size 2"},
      {R"({"kind":"additive","term_col_ranges":[[1,2,3]]}|)", "invalid length 3, expected 2 elements in sequence"},
      {R"({"kind":"additive","term_col_ranges":[[1,-2,3]]}|)", "invalid value: integer `-2`, expected usize"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing::expect_body_failure(body_with(c.text), c.message);
  }
}

// The shapes the rules allow at their edges load as stored.
TEST(PersistencePredictorReader, AcceptsTheShapesOfFitsDownToTheirSmallest) {
  const Matrix stable_v(2, 2, {0.0, 1.0, 1.0, 0.0});
  design::TensorPredictor four_by_three = tensor().as<design::TensorPredictor>();
  four_by_three.knots_a = {0.0, 1.0, 2.0, 3.0};
  four_by_three.xp_a = Matrix::identity(4);
  four_by_three.centring = testing::differences_from_first(12);
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kTiny = std::numeric_limits<double>::denorm_min();
  struct Case {
    const char* name;
    std::string text;
    Predictor expected;
  } cases[] = {
      {"cr_stable of three knots", R"({"kind":"cr_stable",)" + kCrFields + R"(,"reparam_v":[1,[2,2],[0,1,1,0]]})",
       {design::CrStablePredictor{.knots = cr().as<design::CrPredictor>().knots,
                                  .centring = cr().as<design::CrPredictor>().centring,
                                  .reparam_v = stable_v}}},
      {"tensor of four and three knots",
       R"({"kind":"tensor","col_a":0,"col_b":1,"bs_a":"cr","bs_b":"cr","knots_a":[1,[4],[0,1,2,3]],"knots_b":)" +
           kKnots + R"(,"xp_a":)" + matrix_text(Matrix::identity(4)) + R"(,"xp_b":)" +
           matrix_text(Matrix::identity(3)) + R"(,"centring":)" + matrix_text(testing::differences_from_first(12)) +
           "}",
       {four_by_three}},
      {"no levels", R"({"kind":"re","levels":[]})", {design::RePredictor{}}},
      {"one level", R"({"kind":"re","levels":[5]})", {design::RePredictor{.levels = {5.0}}}},
      // A fit sorts −0.0 before 0.0 and keeps both.
      {"both zeros", R"({"kind":"re","levels":[-0,0]})", {design::RePredictor{.levels = {-0.0, 0.0}}}},
      {"the extreme doubles",
       R"({"kind":"re","levels":[-1.7976931348623157e308,-5e-324,-0.0,0.0,5e-324,1.7976931348623157e308]})",
       {design::RePredictor{.levels = {-kMax, -kTiny, -0.0, 0.0, kTiny, kMax}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Predictor p = read_predictor(c.text);
    EXPECT_TRUE(p == c.expected);
    if (p.is<design::RePredictor>()) {
      // == does not tell the zeros apart.
      const auto& levels = p.as<design::RePredictor>().levels;
      const auto& expected = c.expected.as<design::RePredictor>().levels;
      for (std::size_t i = 0; i < levels.size(); ++i) EXPECT_EQ(std::signbit(levels[i]), std::signbit(expected[i]));
    }
  }
}

// Shapes no fit produces are refused once the payload's fields are read, at
// the end of the predictor, naming the field.
TEST(PersistencePredictorReader, RejectsShapesNoFitProduces) {
  auto cr_text = [](const std::string& knots, const std::string& centring) {
    return R"({"kind":"cr","knots":)" + knots + R"(,"centring":)" + centring + "}";
  };
  auto cr_with = [&](const std::string& knots, const std::string& centring) { return cr_text(knots, centring) + "|"; };
  auto tensor_edit = [](const std::string& field, const std::string& replacement) {
    return tensor_with(field, replacement) + "|";
  };
  auto levels = [](const std::string& values) { return R"({"kind":"re","levels":)" + values + "}|"; };
  // 6000 knots and no centring columns: one stored coefficient would ask
  // for a basis of 6000 functions.
  std::string many_knots = "[1,[6000],[0";
  for (int i = 1; i < 6000; ++i) many_knots.append(",").append(std::to_string(i));
  many_knots += "]]";
  const std::string square3 = matrix_text(Matrix::identity(3));
  struct Case {
    const char* name;
    std::string text;  // '|' marks the reported column
    std::string message;
  } cases[] = {
      {"6000 knots, 6000 × 0 centring", cr_with(many_knots, "[1,[6000,0],[]]"),
       "invalid shape of `centring`: 6000 × 0, expected 6000 × 5999 for 6000 knots"},
      {"centring a column short", cr_with(kKnots, "[1,[3,1],[1,0,-1]]"),
       "invalid shape of `centring`: 3 × 1, expected 3 × 2 for 3 knots"},
      {"centring a column over", cr_with(kKnots, matrix_text(Matrix(3, 3))),
       "invalid shape of `centring`: 3 × 3, expected 3 × 2 for 3 knots"},
      {"centring transposed", cr_with(kKnots, matrix_text(Matrix(2, 3))),
       "invalid shape of `centring`: 2 × 3, expected 3 × 2 for 3 knots"},
      {"two knots", cr_with("[1,[2],[0,1]]", "[1,[2,1],[-1,1]]"),
       "invalid length of `knots`: 2, expected at least 3 knots"},
      {"no knots", cr_with("[1,[0],[]]", "[1,[0,0],[]]"), "invalid length of `knots`: 0, expected at least 3 knots"},
      {"array form", R"(["cr",)" + kKnots + ",[1,[4,3],[0,0,0,0,0,0,0,0,0,0,0,0]]]|",
       "invalid shape of `centring`: 4 × 3, expected 3 × 2 for 3 knots"},
      {"cr_stable rotation as wide as the knots",
       R"({"kind":"cr_stable",)" + kCrFields + R"(,"reparam_v":)" + square3 + "}|",
       "invalid shape of `reparam_v`: 3 × 3, expected 2 × 2 for 3 knots"},
      {"cr_stable centring before rotation",
       R"({"kind":"cr_stable","knots":)" + kKnots + R"(,"centring":[1,[3,0],[]],"reparam_v":[1,[0,0],[]]})" + "|",
       "invalid shape of `centring`: 3 × 0, expected 3 × 2 for 3 knots"},
      {"tensor margin of two knots", tensor_edit(R"("knots_a":)" + kKnots, R"("knots_a":[1,[2],[0,1]])"),
       "invalid length of `knots_a`: 2, expected at least 3 knots"},
      {"tensor transform of the other margin", tensor_edit(R"("xp_b":)" + square3, R"("xp_b":[1,[2,2],[1,0,0,1]])"),
       "invalid shape of `xp_b`: 2 × 2, expected 3 × 3 for 3 knots in `knots_b`"},
      {"tensor centring without columns",
       tensor_edit(R"("centring":)" + matrix_text(testing::differences_from_first(9)), R"("centring":[1,[9,0],[]])"),
       "invalid shape of `centring`: 9 × 0, expected 9 × 8 for 3 × 3 margin knots"},
      {"reversed levels", levels("[6,4,2,0]"),
       "invalid value of `levels`: 4 at index 1 after 6, expected strictly increasing levels"},
      {"repeated level", levels("[0,1,1]"),
       "invalid value of `levels`: 1 at index 2 after 1, expected strictly increasing levels"},
      {"0.0 before -0.0", levels("[0,-0]"),
       "invalid value of `levels`: -0 at index 1 after 0, expected strictly increasing levels"},
      {"null level", levels("[0,null]"), "invalid value of `levels`: NaN at index 1, expected finite levels"},
      {"a term of an additive predictor",
       R"({"kind":"additive","cols_used":[[0]],"term_col_ranges":[[1,3]],"term_predictors":[)" +
           cr_text(kKnots, "[1,[2,2],[1,0,0,1]]") + "]}|",
       "invalid shape of `centring`: 2 × 2, expected 3 × 2 for 3 knots"},
      // Structure first: a field's own rule and a missing field come before any shape.
      {"field rule before shape", R"({"kind":"cr","knots":[1,[2],[0,1]],"centring":5}|)",
       "invalid type: integer `5`, expected ndarray representation"},
      {"missing field before shape", R"({"kind":"cr","knots":[1,[2],[0,1]]}|)", "missing field `centring`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::expect_body_failure(body_with(c.text), c.message);
  }
}

}  // namespace
}  // namespace kavri::fit::persistence
