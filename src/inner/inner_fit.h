// The result of every inner fit: the coefficients of one penalized model at
// fixed smoothing (and shape) parameters, with the working quantities and the
// Cholesky factor that the criterion and the fit summaries read.
//
// Every array is owned by the record; the factor is lower triangular with
// zeros above the diagonal. A fit returns a complete record or an error,
// never a partial one.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "linalg/block_factor.h"
#include "linalg/matrix.h"

namespace kavri::inner {

struct InnerFit {
  linalg::Vector beta;              // p coefficients
  linalg::Vector eta;               // n, the linear predictor of the final state
  linalg::Vector mu;                // n, link_inverse(eta)
  linalg::Vector working_weights;   // n, W of the last system formed
  linalg::Vector working_response;  // n, z of the last system formed
  linalg::Matrix factor;            // p × p lower L with L·L' = X'WX + S_λ (+ the fit's ridge, if any)
  double deviance = 0.0;            // Σ_i w_i·d(y_i, μ_i) at the final μ
  double pearson = 0.0;             // Σ_i W_i·(z_i − η_i)²
  std::uint64_t n = 0;              // rows of X
  std::uint64_t p = 0;              // columns of X
  std::uint64_t iterations = 0;     // iterations begun
  bool converged = false;
  // H's factor in block form, for a design fitted in random-effect block
  // form; `factor` is then empty. Read through `fit_factor.h`.
  std::optional<linalg::BlockFactor> block_factor = std::nullopt;
};

// The record of an iterative fit: n and p from η and β.
inline InnerFit iterative_fit_record(linalg::Vector beta, linalg::Vector eta, linalg::Vector mu,
                                     linalg::Vector weights, linalg::Vector response, linalg::Matrix factor,
                                     double deviance, double pearson, std::uint64_t iterations, bool converged) {
  const std::uint64_t n = eta.size(), p = beta.size();
  return InnerFit{.beta = std::move(beta),
                  .eta = std::move(eta),
                  .mu = std::move(mu),
                  .working_weights = std::move(weights),
                  .working_response = std::move(response),
                  .factor = std::move(factor),
                  .deviance = deviance,
                  .pearson = pearson,
                  .n = n,
                  .p = p,
                  .iterations = iterations,
                  .converged = converged};
}

}  // namespace kavri::inner
