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
      {"gaussian", Noise::Normal, false, {0x45e758d0b6953201ull, 0x0a4886c6562a8c10ull, 0x406a635d203e6d44ull, 0x4015d2979dfea24eull, 4, 0x31ea829ae9a2bd87ull}},
      {"gaussian additive", Noise::Normal, true, {0x367d67e2d4307801ull, 0x1e3c85242ec99d6dull, 0x40629709994a3615ull, 0x402289a3ac7edc5aull, 6, 0xd92b589040baa9aeull}},
      {"bernoulli", Noise::Binary, false, {0xbfcc4f92778b459full, 0x2c713d4352cac6e3ull, 0x406361b6d293f315ull, 0x400c6b8ed2c256bfull, 5, 0xc3764f61fc148999ull}},
      {"bernoulli additive", Noise::Binary, true, {0xdd2b9e1cdca26287ull, 0x53806fcab5ecbda0ull, 0x4066fb998bb414c8ull, 0x401276031c432560ull, 13, 0x99b1b766e55c88b2ull}},
      {"quasibinomial", Noise::Binary, false, {0xa48f95ca82c3af03ull, 0xc9e5c3177d648cb2ull, 0x4077388aed519edfull, 0x400ae48154b589ceull, 5, 0xbf15f0aa9612ba3cull}},
      {"quasibinomial additive", Noise::Binary, true, {0x854642e8fc9431d1ull, 0x0bd7dd60b86a243bull, 0x40787fd78f7e2b78ull, 0x40114dac01c6e0c1ull, 14, 0xc3f58c9b3f6bcd4dull}},
      {"poisson", Noise::Counts, false, {0xde9f16eedc6af864ull, 0x08156ab6d1ed54a2ull, 0x4062665522c63324ull, 0x400e728f6128108eull, 5, 0x61f5003dee8a3f5full}},
      {"poisson additive", Noise::Counts, true, {0xd796e665aa3c4816ull, 0x8debbe4775b3f223ull, 0x405ecec2ef9bd6b9ull, 0x401b1c0644e996b5ull, 6, 0x8388a5bd9540487eull}},
      {"quasipoisson", Noise::Counts, false, {0x8fed6fd66e41b76bull, 0xf7d27b707e27e417ull, 0x4078df6723eaf4ffull, 0x400b6de6d23f68e2ull, 4, 0x528d2c2eac43f80dull}},
      {"quasipoisson additive", Noise::Counts, true, {0xbb17d791f46e5a39ull, 0xb2c6d7f7f52a4ae2ull, 0x4077e7491bcf9912ull, 0x40199ddc90b5228cull, 6, 0xbb0e79d55ee03c43ull}},
      {"gamma", Noise::GammaLike, false, {0xdd4215d3c9e89f72ull, 0xe40818c7a66e6dedull, 0x40777f70a9df800cull, 0x4012dedc24f88e19ull, 5, 0xbba5160690b5045eull}},
      {"gamma additive", Noise::GammaLike, true, {0xfac56d329ac39489ull, 0x4ac22d5b22a4cbd6ull, 0x40748855cc0337b0ull, 0x402166a325500d97ull, 4, 0xef0baddecdddc1d9ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0x6adb8e0f4479b1d3ull, 0x78093ea036fcebfdull, 0x4075a418d1b2be6eull, 0x40144851ab66a730ull, 5, 0xdab559b703907574ull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0xc33b4e0962b2061dull, 0x4f32f002b586012cull, 0x40701cf346bd7b1aull, 0x40235a28b39bc024ull, 5, 0x3f39cd012700b258ull}},
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
