#include "inner/observed_info.h"

#include <cmath>
#include <optional>
#include <utility>

#include "family/inverse_gaussian.h"
#include "family/link.h"
#include "inner/pirls.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::inner {
namespace {

// The per-observation pieces at (y, μ) with prior weight w: the weight
// w·ω of H_obs and its derivative with respect to η.
struct ObservedWeight {
  double weight;
  double dweight_deta;
};

ObservedWeight observed_weight(const family::InverseGaussian& fam, double y, double mu, double w) {
  const double m = family::log_floor(mu);
  const double v = fam.variance(mu);         // max(μ³, 1e-300)
  const double g = fam.link_derivative(mu);  // 1/m
  const double a = 3.0 * mu * mu / v;        // V'/V, V' = 3μ² at the raw μ
  const double b = (-1.0 / (m * m)) / g;     // g''/g'
  const double alpha = fam.observed_weight_factor(y, mu);
  const double e = 1.0 / (v * g * g);  // the expected weight 1/(V·g'²)
  ObservedWeight out{.weight = e * w * alpha, .dweight_deta = 0.0};
  if (!(g < kFlatLinkDerivative)) {
    // dα/dμ = (V''/V − a² + g'''/g' − b²)·(y − μ) − (a + b), and
    // d(α·e)/dμ = e·(dα/dμ − α·(a + 2b)); dμ/dη = 1/g'.
    const double second = 6.0 * mu / v - a * a + (2.0 / (m * m * m)) / g - b * b;
    const double alpha_prime = second * (y - mu) - (a + b);
    out.dweight_deta = w * (e * (alpha_prime - alpha * (a + 2.0 * b)) / g);
  }
  return out;
}

bool usable_eigenvalues(const linalg::Vector& values) {
  for (double v : values)
    if (!std::isfinite(v) || std::fabs(v) < kObservedEigenFloor) return false;
  return true;
}

void add_observed_information(const fit::FitProblem<family::InverseGaussian>& problem, linalg::MatrixView s, InnerFit& fit) {
  const family::InverseGaussian& fam = problem.family;
  const linalg::MatrixView x = problem.model_matrix;
  const std::size_t n = x.rows, p = x.cols;
  const linalg::VectorView w = family::weights_or_ones(problem.prior_weights, n);

  linalg::Vector weight(n), dweight(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ObservedWeight o = observed_weight(fam, problem.y[i], fit.mu[i], w[i]);
    if (!std::isfinite(o.weight)) return;
    weight[i] = o.weight;
    dweight[i] = o.dweight_deta;
  }

  linalg::Matrix h = linalg::multiply(linalg::weighted_transpose(x, weight), x);
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) h(j, k) += s(j, k);
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = j + 1; k < p; ++k) {
      const double mean = (h(j, k) + h(k, j)) * 0.5;
      h(j, k) = mean;
      h(k, j) = mean;
    }

  auto eig = linalg::eigh(std::move(h));
  if (!eig || !usable_eigenvalues(eig->values)) return;

  double log_det = 0.0;
  for (double v : eig->values) log_det += std::log(std::fabs(v));

  // H_obs⁻¹ = Σ_k v_k·v_k'/λ_k exists for an indefinite H_obs as well.
  linalg::Matrix inv(p, p);
  for (std::size_t k = 0; k < p; ++k) {
    const double r = 1.0 / eig->values[k];
    for (std::size_t j = 0; j < p; ++j) {
      const double rv = r * eig->vectors(j, k);
      for (std::size_t l = 0; l < p; ++l) inv(j, l) += rv * eig->vectors(l, k);
    }
  }

  // Row i of X·H⁻¹' holds Σ_k H⁻¹_jk·x_ik.
  const linalg::Matrix x_inv = linalg::multiply(x, inv.view().transposed());
  linalg::Vector leverage(n);
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < p; ++j) sum += x(i, j) * x_inv(i, j);
    leverage[i] = sum;
  }

  const linalg::Vector s_beta = linalg::multiply(s, fit.beta);
  linalg::Vector u = linalg::multiply(inv, s_beta);
  for (double& v : u) v = -v;
  linalg::Vector deta_drho = linalg::multiply(x, u);

  double trace = 0.0;
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) trace += inv(j, k) * s(k, j);

  fit.stored_log_det = log_det;
  fit.observed_info = ObservedInfoBlock{.dweight_deta = std::move(dweight),
                                        .leverage = std::move(leverage),
                                        .deta_drho = std::move(deta_drho),
                                        .trace_hinv_s = trace,
                                        .hessian_inverse = std::move(inv)};
}

}  // namespace

Result<InnerFit> pirls_fit_inverse_gaussian(const fit::FitProblem<family::InverseGaussian>& problem, linalg::Matrix s_lambda) {
  const linalg::MatrixView s = detail::leading_block(s_lambda, problem.model_matrix.cols);
  KAVRI_TRY(InnerFit fit, pirls_loop(problem.family, detail::inputs_of(problem), s));
  add_observed_information(problem, s, fit);
  return fit;
}

}  // namespace kavri::inner
