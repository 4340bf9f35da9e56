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
      {"gaussian", Noise::Normal, false, {0x47617064da200a0bull, 0x525ef573a04f0651ull, 0x406a635d203e6d44ull, 0x4015d2979dfea249ull, 4, 0x7390264f7b28cd87ull}},
      {"gaussian additive", Noise::Normal, true, {0x2e43b342d3b02dfeull, 0xeaa495ace3e274beull, 0x40629709994a3618ull, 0x402289a3aed48ba8ull, 6, 0x2e6dc2dc40f54b51ull}},
      {"bernoulli", Noise::Binary, false, {0x08d676c2159d935full, 0xf257dde3df06affaull, 0x406361b6d293f32cull, 0x400c6b8ed2c2594eull, 5, 0xc3f4a2a1a713b814ull}},
      {"bernoulli additive", Noise::Binary, true, {0x32c5832f04eacc6eull, 0xe760298a297ac685ull, 0x4066fb998aefb22full, 0x40127602ac470360ull, 15, 0xd4b63b66660b8114ull}},
      {"quasibinomial", Noise::Binary, false, {0x164a91d5bb7c8479ull, 0xbc808adc3373b491ull, 0x4077388aed50d83cull, 0x400ae4818ca8d860ull, 6, 0x1a74c9907594006dull}},
      {"quasibinomial additive", Noise::Binary, true, {0x3fa749ad875415c0ull, 0x334f0530f4d6c315ull, 0x40787fd79213f096ull, 0x40114dae0eafc812ull, 13, 0x18835cd2417ccd12ull}},
      {"poisson", Noise::Counts, false, {0x7037bd05a440a30bull, 0xe68ce322b4f51cb4ull, 0x4062665522c69b48ull, 0x400e728f5649b7d9ull, 5, 0x4c6cc99375f9d853ull}},
      {"poisson additive", Noise::Counts, true, {0x66723528d28c2b73ull, 0xdcab9bf70de28667ull, 0x405ecec2ef9bd795ull, 0x401b1c0644e923a7ull, 6, 0xb3d4947efd6632fbull}},
      {"quasipoisson", Noise::Counts, false, {0xf308f3a884507aafull, 0xb3a19bcd9a96ef5dull, 0x4078df6723eaf4f2ull, 0x400b6de6d23f42ceull, 4, 0xc8623dc9b4e9eac4ull}},
      {"quasipoisson additive", Noise::Counts, true, {0x15433c922c5a2dbdull, 0xf3577e775ce9b835ull, 0x4077e7491bcf99b7ull, 0x40199ddc90b49b28ull, 6, 0xac5226bd261fd809ull}},
      {"gamma", Noise::GammaLike, false, {0x143be156b85deb5bull, 0xff2748a83308812aull, 0x40777f70a9df8009ull, 0x4012dedbf7579abbull, 5, 0x80bb0dff72eedd26ull}},
      {"gamma additive", Noise::GammaLike, true, {0x0ef093559fe9c657ull, 0x06d8dc0267dbc696ull, 0x40748855cc0337aeull, 0x402166a3258fa11cull, 5, 0x24673ef355f0ba28ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0xdcdd827da24bc8c4ull, 0x7d960e67b0c61316ull, 0x4075a418d1b2be6full, 0x40144851ab6679c9ull, 5, 0xfd1f4eb7d2fa848cull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0x071a762f42c4fb24ull, 0x8ac3ef0fbf3e0d42ull, 0x40701cf346bd7b16ull, 0x40235a28b39b8d7cull, 5, 0x8582b72f02ab485cull}},
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
