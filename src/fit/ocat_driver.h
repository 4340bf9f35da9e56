// The fit driver of the ordered categorical family: it builds the single
// smooth itself, checks the categories, searches the log smoothing
// parameter and the thresholds jointly from ρ = ln(mean prior weight) and
// the given thresholds, makes the final full-Newton fit and assembles the
// model.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "design/records.h"
#include "family/ocat.h"
#include "fit/fitted_gam.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// The smallest mean prior weight of an ordered fit: its working weights are
// floored at 1e-12 (`inner::kOcatWeightFloor`), which must stay negligible
// against ½·w·d2 of a typical row (d2 about 0.1 or more): 2e-5 of it at
// this mean. Below it the floor, not the data, would decide the fit.
inline constexpr double kMinMeanOcatWeight = 1e-6;

// The mean prior weight, 1 when the weights are absent (or their mean is
// not positive and finite): the number of replicates a row stands for, by
// which the data outweigh a penalty of fixed size.
double mean_prior_weight(const std::optional<linalg::VectorView>& prior_weights);

// InvalidParameter "Ocat requires observations in every category 1..={};
// none in {}" naming the categories (runs written a..=b) without a row of
// positive prior weight; y must have passed `Ocat::check_response`.
[[nodiscard]] Result<void> check_categories_observed(linalg::VectorView y,
                                                     std::optional<linalg::VectorView> prior_weights,
                                                     std::uint64_t n_cats);

// The fit, with n_cats ≥ 3 (the caller's check). In this order: the design
// (`design::build_named_single_design`, after `check_data_before_design`),
// rows and prior weights (`check_rows_and_weights`), the categories of y
// (`Ocat::check_response`),
// n_cats − 2 thresholds ("Ocat init_theta length must equal n_cats - 2 = {}
// (log-gap thresholds between adjacent categories above the first); got
// {}"), one penalty ("ocat is restricted to single-smooth fits in 94b; got
// {} terms"), room for the search's Hessian, every category observed
// (`check_categories_observed`), the mean of the weights ("ocat prior weights must have a
// mean of at least 0.000001; got {}"). Every failure is a core error. The search
// starts at ρ = ln(mean prior weight), where the penalty weighs as the
// data do. The model reports scale 1, H⁻¹
// as its covariance and the fitted thresholds as `shape_params`.
[[nodiscard]] Result<FittedGam> fit_ocat(family::Ocat family, linalg::MatrixView x, linalg::VectorView y,
                                         std::optional<linalg::VectorView> prior_weights, std::string_view design,
                                         std::uint64_t k, inner::FitCounters* counters = nullptr);
// The same over a design already built from n rows, from the check of rows
// and prior weights on.
[[nodiscard]] Result<FittedGam> fit_ocat(family::Ocat family, design::ModelDesign design, std::uint64_t n,
                                         linalg::VectorView y, std::optional<linalg::VectorView> prior_weights,
                                         inner::FitCounters* counters = nullptr);

}  // namespace kavri::fit
