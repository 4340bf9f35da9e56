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
      {"bernoulli", Noise::Binary, false, {0x1fab837e8b16b38bull, 0x3e7ace48859e7161ull, 0x406361b6d293f331ull, 0x400c6b8ed2c2599dull, 5, 0x9c5cb9c252aad408ull}},
      {"bernoulli additive", Noise::Binary, true, {0x9823c533aebfca47ull, 0xfacabbdbc41231cbull, 0x4066fb998b1bb4eeull, 0x40127601aa0c826full, 15, 0x486431fe33d2c205ull}},
      {"quasibinomial", Noise::Binary, false, {0x37ebbdd4e5fb0cd7ull, 0xddbd4667b4e1443dull, 0x4077388aed50d828ull, 0x400ae4818ca96318ull, 6, 0x7d62a5223f027117ull}},
      {"quasibinomial additive", Noise::Binary, true, {0xc44332d1588792f8ull, 0x4691b247cf883d25ull, 0x40787fd7902752eaull, 0x40114da6c10fe583ull, 13, 0x33cbb1dec2344d67ull}},
      {"poisson", Noise::Counts, false, {0x3bdc2bc6c77f1859ull, 0x23e9969b3c25b198ull, 0x4062665522c69b40ull, 0x400e728f5649b1d6ull, 5, 0x7f80187f553679cdull}},
      {"poisson additive", Noise::Counts, true, {0x36298543680ab272ull, 0x45b404af10a8531full, 0x405ecec2ef9bd797ull, 0x401b1c0644e92394ull, 6, 0xa6c2ed7a7e2495c4ull}},
      {"quasipoisson", Noise::Counts, false, {0x26f5c1e86d517d87ull, 0xbc66dd9d57071562ull, 0x4078df6723eaf4f3ull, 0x400b6de6d23f42dcull, 4, 0x5d5fe83673a2239bull}},
      {"quasipoisson additive", Noise::Counts, true, {0xa8aa96d9cdeda736ull, 0x59a62d1899f1e2d8ull, 0x4077e7491bcf99b8ull, 0x40199ddc90b49b37ull, 6, 0x53ffcbc9117c3636ull}},
      {"gamma", Noise::GammaLike, false, {0x6eca63b2331e2bfcull, 0x81a5fbbb8eadeb22ull, 0x40777f70a9df800aull, 0x4012dedc24ef752bull, 5, 0xaff5aa9ed2e1afc7ull}},
      {"gamma additive", Noise::GammaLike, true, {0xa4d5bdb9d8bbf180ull, 0x01ed49abcd65554bull, 0x40748855cc0337afull, 0x402166a3258fa122ull, 5, 0x2b462038b1f3f403ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0x3b03ebbe2f819e5full, 0x4c48f32030763548ull, 0x4075a418d1b2be6eull, 0x40144851ab6679c6ull, 5, 0xcb30ae37df3d9183ull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0x9ef213d3a1b785d4ull, 0xd57f2363b3d693a0ull, 0x40701cf346bd7b19ull, 0x40235a28b39b8d7dull, 5, 0x2da7007e5bca07e2ull}},
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
