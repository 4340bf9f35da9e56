#include "family/elf.h"

#include <cmath>
#include <limits>
#include <string>

#include "common/format.h"
#include "common/numeric.h"
#include "linalg/ln_gamma.h"
#include "linalg/products.h"

namespace kavri::family {
namespace {

double row_constant(const Elf& f) {
  const double lam = common::floor_at(f.lambda, kElfParameterFloor);
  const double sig = common::floor_at(f.sigma, kElfParameterFloor);
  const double tau = f.tau;
  const double h = lam * tau * std::log(tau) / sig + std::log(1.0 - tau) * lam * (1.0 - tau) / sig - std::log(lam);
  const double a = lam * tau / sig, b = lam * (1.0 - tau) / sig;
  const double log_beta = linalg::ln_gamma(a) + linalg::ln_gamma(b) - linalg::ln_gamma(a + b);
  return h - log_beta;
}

}  // namespace

Result<void> Elf::check_parameters() const {
  if (!(tau > 0.0 && tau < 1.0)) return invalid_parameter("ELF τ must be in (0, 1); got " + common::format_double(tau));
  const std::string sigma_lambda = "; got σ=" + common::format_double(sigma) + " λ=" + common::format_double(lambda);
  if (sigma <= 0.0 || lambda <= 0.0) return invalid_parameter("ELF σ and λ must be > 0" + sigma_lambda);
  if (!std::isfinite(sigma) || !std::isfinite(lambda)) return invalid_parameter("ELF σ and λ must be finite" + sigma_lambda);
  return {};
}

double Elf::saturated_loglik(VectorView y, double /*phi*/) const {
  const double c0 = row_constant(*this);
  double c = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) c += c0;
  return c;
}

double Elf::saturated_loglik(VectorView y, VectorView w, double /*phi*/) const {
  double total = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) total += w[i];
  return row_constant(*this) * total;
}

double elf_objective(const Elf& family, linalg::MatrixView x, VectorView y, VectorView w, VectorView beta,
                     linalg::MatrixView s_lambda, double c) {
  double sum = 0.0;
  for (std::size_t i = 0; i < x.rows; ++i) {
    double eta = 0.0;
    for (std::size_t j = 0; j < x.cols; ++j) eta += x(i, j) * beta[j];
    const double term = family.unit_deviance(y[i], eta);
    if (!std::isfinite(term)) return std::numeric_limits<double>::infinity();
    sum += w[i] * term;
  }
  return sum + c * linalg::quadratic_form(s_lambda, beta);
}

}  // namespace kavri::family
