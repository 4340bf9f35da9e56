// Bit-level records of complete fits, one per plain family, single smooth
// and additive with prior weights: the coefficients, log smoothing
// parameters, criterion value, effective degrees of freedom, outer
// iterations and the serialized frame must stay exactly what they were when
// the values below were recorded. A change in any operation order of the
// fitting path shows up here first, long before a tolerance-based test
// would notice.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design/cr.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/persistence/writer.h"
#include "fit/plain_driver.h"
#include "test_util.h"

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

// FNV-1a over the bytes of a sequence: equal digests mean equal bits.
template <class T>
std::uint64_t digest(std::span<const T> values) {
  std::uint64_t h = 14695981039346656037ull;
  const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
  for (std::size_t i = 0; i < values.size_bytes(); ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
  return h;
}

struct Record {
  std::uint64_t beta, rho, reml_value, edf_total, n_iters, frame;
};

Record record_of(const FittedGam& m) {
  const std::vector<std::uint8_t> frame = persistence::serialize_fitted_gam(m);
  return {digest(std::span<const double>(m.beta)), digest(std::span<const double>(m.rho)),
          std::bit_cast<std::uint64_t>(m.reml_value), std::bit_cast<std::uint64_t>(m.edf_total), m.n_iters,
          digest(std::span<const std::uint8_t>(frame))};
}

enum class Noise { Normal, Counts, Binary, GammaLike, InverseGaussianLike };

struct Data {
  Matrix x;  // n × 2
  Vector y;
  Vector w;
};

// Two covariates, η = 0.3 + sin(3x₁) − 0.5x₁ + 0.6·cos(4x₂), noise of the
// family's kind, weights in [0.5, 2].
Data simulate(Noise noise, std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Data d{Matrix(n, 2), Vector(n), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const double a = u(gen), b = u(gen);
    d.x(i, 0) = a;
    d.x(i, 1) = b;
    const double eta = 0.3 + std::sin(3.0 * a) - 0.5 * a + 0.6 * std::cos(4.0 * b);
    switch (noise) {
      case Noise::Normal: d.y[i] = eta + 0.4 * std::normal_distribution<double>(0.0, 1.0)(gen); break;
      case Noise::Counts:
        d.y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen));
        break;
      case Noise::Binary: d.y[i] = u(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0; break;
      case Noise::GammaLike: d.y[i] = std::exp(eta) * std::gamma_distribution<double>(4.0, 0.25)(gen); break;
      case Noise::InverseGaussianLike:
        d.y[i] = std::exp(eta) * std::exp(0.3 * std::normal_distribution<double>(0.0, 1.0)(gen));
        break;
    }
    d.w[i] = 0.5 + 1.5 * u(gen);
  }
  return d;
}

template <class F>
Result<FittedGam> fit_case(F family, bool additive, const Data& d) {
  const std::size_t n = d.y.size();
  if (additive) {
    const std::vector<design::TermSpec> terms{{design::TermSpec::Cr{.col = 0, .k = 8}},
                                              {design::TermSpec::Cr{.col = 1, .k = 6}}};
    auto design = design::build_additive_design(d.x, terms);
    EXPECT_TRUE(design.has_value());
    return fit_family(family, std::move(*design), n, d.y, linalg::VectorView(d.w));
  }
  auto design = design::build_single_cr_design(linalg::MatrixView(d.x.data.data(), n, 1, 2, 1), 10);
  EXPECT_TRUE(design.has_value());
  return fit_family(family, std::move(*design), n, d.y, std::nullopt);
}

struct Case {
  const char* name;
  Noise noise;
  bool additive;
  Record expected;
};

template <class F>
void check(F family, const Case& c) {
  SCOPED_TRACE(c.name);
  const Data d = simulate(c.noise, 240, 97);
  auto fitted = fit_case(family, c.additive, d);
  ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
  const Record r = record_of(*fitted);
  EXPECT_EQ(r.beta, c.expected.beta);
  EXPECT_EQ(r.rho, c.expected.rho);
  EXPECT_EQ(r.reml_value, c.expected.reml_value);
  EXPECT_EQ(r.edf_total, c.expected.edf_total);
  EXPECT_EQ(r.n_iters, c.expected.n_iters);
  EXPECT_EQ(r.frame, c.expected.frame);
}

TEST(FitRecord, EveryPlainFamilyFitsBitForBitAsRecorded) {
  // clang-format off
  const Case cases[] = {
      {"gaussian", Noise::Normal, false, {0x45e758d0b6953201ull, 0x0a4886c6562a8c10ull, 0x406a635d203e6d44ull, 0x4015d2979dfea24eull, 4, 0x2783bd75ef7c4905ull}},
      {"gaussian additive", Noise::Normal, true, {0x76667ea1a92f57d1ull, 0x3632c84c1fd6b287ull, 0x40629709994a3617ull, 0x402289a3ac6b94a0ull, 6, 0xb9c9ba6ee2f2a6b6ull}},
      {"bernoulli", Noise::Binary, false, {0x0fa568479ddbff42ull, 0x6bb40b09061a3752ull, 0x406361b6d293f32full, 0x400c6b8ed2c25614ull, 5, 0xbbbac3b4438b2d94ull}},
      {"bernoulli additive", Noise::Binary, true, {0x56d6272716d40609ull, 0x8824b741af33ef98ull, 0x4066fb998b1820e8ull, 0x401275fc282af8feull, 14, 0xd2acab7fb2c3a824ull}},
      {"quasibinomial", Noise::Binary, false, {0x8c45063f74fa6401ull, 0x556581cd1560cfadull, 0x4077388aed519eebull, 0x400ae4819f95dee5ull, 5, 0x5d0126143645b8beull}},
      {"quasibinomial additive", Noise::Binary, true, {0x1ccbe475005b9e6bull, 0xd8429c7fadedf345ull, 0x40787fd78f6611d6ull, 0x40114daa3a81c911ull, 19, 0x82cb5b95f07f5738ull}},
      {"poisson", Noise::Counts, false, {0x7a3dd208bdca59c5ull, 0xef42735bd5284d01ull, 0x4062665522c6af66ull, 0x400e728f52a11fd8ull, 5, 0x9e7775bd8f8ca7abull}},
      {"poisson additive", Noise::Counts, true, {0xb529b4c32f265507ull, 0x83fe91d3f280d510ull, 0x405ecec2ef9bd797ull, 0x401b1c0644e91d3full, 6, 0x4161d668db733f6eull}},
      {"quasipoisson", Noise::Counts, false, {0xd3af37a3004a4bcdull, 0xf5ef70222c213e06ull, 0x4078df6723eaf4f2ull, 0x400b6de6d23f4272ull, 4, 0xac380e27079dab58ull}},
      {"quasipoisson additive", Noise::Counts, true, {0x2d9cf4aebcfa6763ull, 0x5b45740b81b2c55dull, 0x4077e7491bcf99b8ull, 0x40199ddc90b48a80ull, 6, 0xa778a456633230b7ull}},
      {"gamma", Noise::GammaLike, false, {0x18ed4d6bff879f57ull, 0x26c30e438bc2e202ull, 0x40777f5a62768738ull, 0x4012dce9d9c22a8dull, 5, 0x604933b797d4c3e4ull}},
      {"gamma additive", Noise::GammaLike, true, {0x50f8d1997edb562aull, 0xfb07797f6daf1657ull, 0x407487faf2c5786cull, 0x402168a236da3893ull, 5, 0xa2032bbaf4711a45ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0xa5422c060d6b903eull, 0x6a4373b66354ae0cull, 0x4075a418d1b2be70ull, 0x40144f7cec6b2e1aull, 5, 0x802cd1c846a7859cull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0x2acab38caee94638ull, 0xd4a9caa2f7767bb3ull, 0x40701cf346bd7b18ull, 0x402366dc21b9f21bull, 5, 0x56c9915f82fcde71ull}},
  };
  // clang-format on
  check(family::gaussian_identity(), cases[0]);
  check(family::gaussian_identity(), cases[1]);
  check(family::bernoulli_logit(), cases[2]);
  check(family::bernoulli_logit(), cases[3]);
  check(family::quasibinomial_logit(), cases[4]);
  check(family::quasibinomial_logit(), cases[5]);
  check(family::poisson_log(), cases[6]);
  check(family::poisson_log(), cases[7]);
  check(family::quasipoisson_log(), cases[8]);
  check(family::quasipoisson_log(), cases[9]);
  check(family::gamma_log(), cases[10]);
  check(family::gamma_log(), cases[11]);
  check(family::inverse_gaussian_log(), cases[12]);
  check(family::inverse_gaussian_log(), cases[13]);
}

}  // namespace
}  // namespace kavri::fit
