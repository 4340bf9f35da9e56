#include "fit/summaries.h"

#include <cmath>

#include "inner/fit_factor.h"
#include "linalg/cholesky.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace kavri::fit {

double compute_edf_total(linalg::MatrixView x, linalg::VectorView w, const linalg::Matrix& factor) {
  const linalg::Matrix xtw = linalg::weighted_transpose(x, w);
  const linalg::Matrix xtwx = linalg::multiply(xtw, x);
  return linalg::trace_inverse_times(factor, xtwx);
}

namespace {

// Rows of the leading p × p block that are not entirely (±)0; NaN != 0.
std::size_t nonzero_rows(const linalg::Matrix& s, std::size_t p) {
  std::size_t r = 0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t c = 0; c < p; ++c)
      if (s(i, c) != 0.0) {
        ++r;
        break;
      }
  return r;
}

// r_j − exp(ρ_j)·tr(H⁻¹S_j) with the traces from `trace`.
template <class Trace>
linalg::Vector edf_per_term(const std::vector<linalg::Matrix>& penalties, linalg::VectorView rho, std::size_t p,
                            Trace trace) {
  linalg::Vector edf(penalties.size());
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const double lambda = std::exp(rho[j]);
    edf[j] = static_cast<double>(nonzero_rows(penalties[j], p)) - lambda * trace(penalties[j]);
  }
  return edf;
}

}  // namespace

linalg::Vector compute_edf_per_term(const std::vector<linalg::Matrix>& penalties, linalg::VectorView rho,
                                    std::size_t p, const linalg::Matrix& factor) {
  // No H⁻¹: each embedded penalty's trace reads L⁻¹ only over its block.
  const linalg::Matrix g = linalg::factor_inverse(factor);
  return edf_per_term(penalties, rho, p,
                      [&](const linalg::Matrix& s) { return linalg::trace_with_factor_inverse(g, s); });
}

linalg::Vector compute_edf_per_term(const std::vector<linalg::Matrix>& penalties, linalg::VectorView rho,
                                    std::size_t p, const linalg::BlockFactor& factor) {
  return edf_per_term(penalties, rho, p,
                      [&](const linalg::Matrix& s) { return linalg::block_trace_times(factor, s); });
}

linalg::Matrix scaled_covariance(const inner::InnerFit& fit, double scale) {
  if (!fit.block_factor) return scaled_covariance(fit.factor, scale);
  linalg::Matrix v = linalg::block_inverse(*fit.block_factor);
  if (scale != 1.0)
    for (double& e : v.data) e *= scale;
  return v;
}

linalg::Matrix scaled_covariance(const linalg::Matrix& factor, double scale) {
  linalg::Matrix v = linalg::inverse_from_cholesky(factor);
  // The solves leave the two triangles a few roundings apart; a covariance
  // is symmetric.
  const std::size_t p = v.rows;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = a + 1; b < p; ++b) v(a, b) = v(b, a) = (v(a, b) + v(b, a)) * 0.5;
  if (scale != 1.0)
    for (double& e : v.data) e *= scale;
  return v;
}

double normal_quantile(double prob) {
  // Acklam (2003), "An algorithm for computing the inverse normal
  // cumulative distribution function": coefficient sets a, b, c, d.
  constexpr double a[6] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                           1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  constexpr double b[5] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                           6.680131188771972e+01, -1.328068155288572e+01};
  constexpr double c[6] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                           -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  constexpr double d[4] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                           3.754408661907416e+00};
  constexpr double kLow = 0.02425, kHigh = 0.97575;

  auto tail = [&](double q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  };
  if (prob < kLow) return tail(std::sqrt(-2.0 * std::log(prob)));
  if (prob <= kHigh) {
    const double q = prob - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  }
  return -tail(std::sqrt(-2.0 * std::log(1.0 - prob)));
}

FittedGam assemble_fitted_gam(design::Predictor predictor, const std::vector<linalg::Matrix>& penalties,
                              outer::OuterState state, linalg::Vector rho, inner::InnerFit fit, FitSummary summary,
                              std::uint64_t n, LinkKind link_kind, linalg::Vector shape_params) {
  const std::size_t m = penalties.size();
  linalg::Vector lambda(m);
  for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(rho[j]);
  linalg::Vector edf_per_term = fit.block_factor
                                    ? compute_edf_per_term(penalties, rho, fit.p, *fit.block_factor)
                                    : compute_edf_per_term(penalties, rho, fit.p, fit.factor);
  return FittedGam{.beta = std::move(fit.beta),
                   .rho = std::move(rho),
                   .lambda = std::move(lambda),
                   .scale = summary.scale,
                   .edf_total = summary.edf_total,
                   .edf_per_term = std::move(edf_per_term),
                   .n = n,
                   .n_iters = state.iterations,
                   .converged = state.converged && fit.converged,
                   .reml_value = state.value,
                   .predictor = std::move(predictor),
                   .vcov = std::move(summary.vcov),
                   .link_kind = link_kind,
                   .shape_params = std::move(shape_params)};
}

}  // namespace kavri::fit
