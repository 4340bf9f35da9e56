// Hand-built fitted models for the persistence tests and the reader's fuzz
// seeds: the worked example of the frame layout, and one model per predictor
// variant whose doubles cover the number layouts (negative zero, subnormals,
// both exponent forms, integral values).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "design/records.h"
#include "fit/fitted_gam.h"

namespace kavri::testing {

using design::Predictor;
using fit::FittedGam;
using linalg::Matrix;

// One-smooth model with k = 3, numbers chosen to show the layout.
inline FittedGam golden_model() {
  return FittedGam{
      .beta = {0.5, -1.25, 2.0},
      .rho = {0.0},
      .lambda = {1.0},
      .scale = 1.0,
      .edf_total = 2.5,
      .edf_per_term = {1.5},
      .n = 100,
      .n_iters = 4,
      .converged = true,
      .reml_value = 123.25,
      .predictor = {design::CrPredictor{.knots = {0.0, 0.5, 1.0},
                                        .centring = Matrix(3, 2, {-0.5, -0.5, 0.75, -0.25, -0.25, 0.75})}},
      .vcov = Matrix(3, 3, {0.01, 0.0, 0.0, 0.0, 0.04, 1e-7, 0.0, 1e-7, 0.09}),
      .link_kind = fit::LinkKind::Log,
      .shape_params = {},
  };
}

// The body of golden_model(), 540 bytes.
inline const std::string kGoldenBody =
    R"({"beta":{"v":1,"dim":[3],"data":[0.5,-1.25,2.0]},"rho":{"v":1,"dim":[1],"data":[0.0]},)"
    R"("lambda":{"v":1,"dim":[1],"data":[1.0]},"scale":1.0,"edf_total":2.5,)"
    R"("edf_per_term":{"v":1,"dim":[1],"data":[1.5]},"n":100,"n_iters":4,"converged":true,)"
    R"("reml_value":123.25,"predictor":{"kind":"cr","knots":{"v":1,"dim":[3],"data":[0.0,0.5,1.0]},)"
    R"("centring":{"v":1,"dim":[3,2],"data":[-0.5,-0.5,0.75,-0.25,-0.25,0.75]}},)"
    R"("vcov":{"v":1,"dim":[3,3],"data":[0.01,0.0,0.0,0.0,0.04,1e-7,0.0,1e-7,0.09]},)"
    R"("link_kind":"Log","shape_params":{"v":1,"dim":[0],"data":[]}})";

inline Predictor sample_cr() {
  return {design::CrPredictor{.knots = {-0.0, 1e-300, 2.5e17},
                              .centring = Matrix(3, 2, {-0.5, 1.0 / 3.0, 5e-324, -1e-6, 0.1, 1e15})}};
}

inline Predictor sample_re() { return {design::RePredictor{.levels = {-3.0, 0.0, 2.5, 1e16}}}; }

inline Predictor sample_cr_stable() {
  return {design::CrStablePredictor{
      .knots = {0.0, 0.25, 0.75, 1.0},
      .centring = Matrix(4, 3, {-0.25, -0.25, -0.25, 0.75, -0.25, -0.25, -0.25, 0.75, -0.25, -0.25, -0.25, 0.75}),
      .reparam_v = Matrix(3, 3, {0.8, -0.6, 0.0, 0.6, 0.8, 0.0, 0.0, 0.0, -1.0}),
  }};
}

// Columns e_{j+1} − e_0: a sum-to-zero centring of k basis functions, k × (k − 1).
inline Matrix differences_from_first(std::size_t k) {
  Matrix z(k, k - 1);
  for (std::size_t j = 0; j + 1 < k; ++j) {
    z(0, j) = -1.0;
    z(j + 1, j) = 1.0;
  }
  return z;
}

inline Predictor sample_tensor() {
  return {design::TensorPredictor{
      .col_a = 0,
      .col_b = 18446744073709551615ull,
      .bs_a = design::MarginBasis::Cr,
      .bs_b = design::MarginBasis::Cr,
      .knots_a = {0.0, 0.5, 1.0},
      .knots_b = {-1.0, 1.0, 3.0},
      .xp_a = Matrix::identity(3),
      .xp_b = Matrix(3, 3, {2.0, 0.0, 0.0, 0.0, -0.0, 0.0, 0.0, 0.0, 1e-5}),
      .centring = differences_from_first(9),
  }};
}

// Additive terms of every variant, one of them additive itself.
inline Predictor sample_additive() {
  design::AdditivePredictor inner{
      .term_predictors = {sample_re()},
      .cols_used = {{2}},
      .term_col_ranges = {{1, 5}},
  };
  return {design::AdditivePredictor{
      .term_predictors = {sample_cr(), sample_cr_stable(), sample_tensor(), Predictor{inner}, sample_re()},
      .cols_used = {{0}, {1}, {0, 1}, {}, {3, 4, 5}},
      .term_col_ranges = {{1, 3}, {3, 6}, {6, 14}, {14, 18}, {18, 22}},
  }};
}

inline FittedGam model_with(Predictor predictor) {
  FittedGam m = golden_model();
  m.predictor = std::move(predictor);
  m.beta = {1.0, -2.0, 1e-7, 1.7976931348623157e308};
  m.rho = {-0.0, 3.0};
  m.lambda = {1.0, 20.085536923187668};
  m.edf_per_term = {0.999, 1e-20};
  m.vcov = Matrix(2, 2, {4.0, -0.5, -0.5, 0.25});
  m.link_kind = fit::LinkKind::Logit;
  m.shape_params = {0.0, -1.5};
  m.n = 18446744073709551615ull;
  m.n_iters = 0;
  m.converged = false;
  return m;
}

// A model holding every kind of non-finite double where a double is stored
// (the predictor's too, in its centring: knots and levels must be finite
// to load).
inline FittedGam non_finite_model() {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  FittedGam m = model_with(
      {design::CrPredictor{.knots = {0.0, 1.0, 2.0}, .centring = Matrix(3, 2, {kNaN, 1.0, -kInf, 0.0, kInf, -0.0})}});
  m.scale = kNaN;
  m.edf_total = kInf;
  m.reml_value = -kInf;
  m.beta = {kNaN, 1.0};
  m.vcov = Matrix(1, 2, {kInf, -0.0});
  return m;
}

struct SampleModel {
  const char* name;
  FittedGam model;
};

inline std::vector<SampleModel> sample_models() {
  return {
      {"golden", golden_model()},
      {"cr", model_with(sample_cr())},
      {"re", model_with(sample_re())},
      {"cr_stable", model_with(sample_cr_stable())},
      {"additive", model_with(sample_additive())},
      {"tensor", model_with(sample_tensor())},
      {"non_finite", non_finite_model()},
  };
}

}  // namespace kavri::testing
