// The fitted model: the single result of every fit and of loading a saved
// model, read by the Python class and by the persistence writer.
//
// Fields are in declared and persisted order. A fit sets all fourteen;
// `beta` has as many entries as the model matrix that `predictor` rebuilds
// has columns, `vcov` is square of that size, and `rho`, `lambda` and
// `edf_per_term` have one entry per penalty. A loaded model carries whatever
// its bytes held, so readers of a `FittedGam` check the sizes they rely on.
// The record is never changed after it is built.
#pragma once

#include <cstdint>

#include "design/records.h"
#include "family/link.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// The link of a fitted model; stated by each family's link.
using family::LinkKind;

// μ from η for a link: the inverse link of response-scale predictions.
double inverse_link(LinkKind kind, double eta);

struct FittedGam {
  linalg::Vector beta;          // coefficients; entry 0 is the intercept
  linalg::Vector rho;           // log smoothing parameters, one per penalty
  linalg::Vector lambda;        // exp(rho)
  double scale = 0.0;           // reported scale; NaN when it cannot be estimated
  double edf_total = 0.0;       // tr(H⁻¹X'WX)
  linalg::Vector edf_per_term;  // one per penalty
  std::uint64_t n = 0;          // observations
  std::uint64_t n_iters = 0;    // Newton steps the outer search began
  bool converged = false;       // outer search and final inner fit both converged
  double reml_value = 0.0;      // criterion value where the outer search stopped
  design::Predictor predictor;  // rebuilds the model matrix at new covariates
  linalg::Matrix vcov;          // posterior covariance of beta, p × p
  LinkKind link_kind = LinkKind::Identity;
  linalg::Vector shape_params;  // family shape coordinates; empty for the plain families
};

}  // namespace kavri::fit
