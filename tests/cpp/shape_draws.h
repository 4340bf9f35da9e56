// Responses of the shape-managed families around `true_eta` (or a curve
// of their own), drawn with a fixed seed, for tests of their criterion and
// their fits.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

#include "inner_fixture.h"
#include "linalg/matrix.h"

namespace kavri::testing {

// Compound Poisson–gamma draws with mean μ, power p and dispersion φ.
inline Vector tweedie_draws(const Vector& x, double p, double phi, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double mu = std::exp(0.3 + 0.6 * std::sin(3.0 * x[i]));
    const double rate = std::pow(mu, 2.0 - p) / (phi * (2.0 - p));
    const double shape = (2.0 - p) / (p - 1.0);
    const double scale = phi * (p - 1.0) * std::pow(mu, p - 1.0);
    const int count = std::poisson_distribution<int>(rate)(gen);
    double s = 0.0;
    for (int j = 0; j < count; ++j) s += std::gamma_distribution<double>(shape, scale)(gen);
    y[i] = s;
  }
  return y;
}

// Negative binomial draws (a gamma mixture of Poissons) with θ = 3.
inline Vector negbin_draws(const Vector& x, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double mu = std::exp(testing::true_eta(x[i]));
    const double rate = std::gamma_distribution<double>(3.0, mu / 3.0)(gen);
    y[i] = static_cast<double>(std::poisson_distribution<int>(rate)(gen));
  }
  return y;
}

// Categories 1..R of a logistic latent variable against cut points −1, 0, 1, …
inline Vector ocat_draws(const Vector& x, std::uint64_t n_cats, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(1e-12, 1.0 - 1e-12);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = u(gen);
    const double latent = 2.0 * std::sin(3.0 * x[i]) + std::log(v / (1.0 - v));
    double cat = 1.0;
    for (std::uint64_t k = 1; k <= n_cats - 1; ++k)
      if (latent > -1.0 + static_cast<double>(k - 1)) cat = static_cast<double>(k + 1);
    y[i] = cat;
  }
  return y;
}

// t draws with ν = 4 around the mean curve.
inline Vector tdist_draws(const Vector& x, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::student_t_distribution<double> t(4.0);
  Vector y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = testing::true_eta(x[i]) + 0.3 * t(gen);
  return y;
}

}  // namespace kavri::testing
