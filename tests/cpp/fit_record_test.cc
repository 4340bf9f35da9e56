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
      {"gaussian", Noise::Normal, false, {0x759329254043c600ull, 0x0914fac834574106ull, 0x406a635d203fa47eull, 0x4015d287cac3bb03ull, 4, 0xfd43033397f46b39ull}},
      {"gaussian additive", Noise::Normal, true, {0x76667ea1a92f57d1ull, 0x3632c84c1fd6b287ull, 0x40629709994a3617ull, 0x402289a3ac6b94a0ull, 5, 0x681c97edcd020b0aull}},
      {"bernoulli", Noise::Binary, false, {0x8f6c93acc5044492ull, 0x54ae0ee009b80e94ull, 0x406361b6d2947dcaull, 0x400c6b7be18bb730ull, 5, 0x501667016442fbcbull}},
      {"bernoulli additive", Noise::Binary, true, {0xd36858708c176bb1ull, 0x6f00c59a6b83acf5ull, 0x4066fb998b8415deull, 0x401276028fa21e82ull, 13, 0xb8edc8fe2a15dc9eull}},
      {"quasibinomial", Noise::Binary, false, {0xafa7c09e8edb2b9full, 0x9d00d307f107bdc2ull, 0x4077388aed519effull, 0x400ae4819f9caf2aull, 4, 0xc62c881030e0ba37ull}},
      {"quasibinomial additive", Noise::Binary, true, {0x518d9afad1f5bb60ull, 0x4a6af3a74c8c60b7ull, 0x40787fd78f7e33efull, 0x40114dacb9511922ull, 13, 0x85754505a2e3758eull}},
      {"poisson", Noise::Counts, false, {0xaf7a52b4f1f363a6ull, 0xd3b90f99d3c60ac4ull, 0x4062665522c63326ull, 0x400e728f52a153eaull, 4, 0x5cc513f70cb2ca39ull}},
      {"poisson additive", Noise::Counts, true, {0x869ff460ea29ffb5ull, 0x0d493aa7e186c208ull, 0x405ecec2ef9de9dfull, 0x401b1bfb160872d2ull, 6, 0xf75bc8e256d35ec0ull}},
      {"quasipoisson", Noise::Counts, false, {0xbf577a5fe2635224ull, 0x6a9c32c778dcd9efull, 0x4078df6723eaf737ull, 0x400b6de385df057cull, 4, 0xdcc6bd8758fc9d13ull}},
      {"quasipoisson additive", Noise::Counts, true, {0x9a8824e851a27c5cull, 0x614e4e6010b868c9ull, 0x4077e7491bd094a4ull, 0x40199dcc7c82cff7ull, 6, 0x228be63deb73515dull}},
      {"gamma", Noise::GammaLike, false, {0x7d4ed9566183cabdull, 0x23e8e5e533e50b54ull, 0x40777f70a9df8010ull, 0x4012dedc0640700eull, 4, 0xa28b9097d3a8b563ull}},
      {"gamma additive", Noise::GammaLike, true, {0xfac56d329ac39489ull, 0x4ac22d5b22a4cbd6ull, 0x40748855cc0337b0ull, 0x402166a325500d97ull, 4, 0xef0baddecdddc1d9ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0x93df801150616559ull, 0x9f7c726acf1bd7f9ull, 0x4075a418d1b2c030ull, 0x4014485008e27f5full, 5, 0x6526fb5d1777d226ull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0x694c373ee0256b4cull, 0xfd395b8e1b912d61ull, 0x40701cf346bd8c9cull, 0x40235a271d3b7c75ull, 5, 0x2d063352f60379fbull}},
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
