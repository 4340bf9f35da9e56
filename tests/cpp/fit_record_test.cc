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
      {"gaussian", Noise::Normal, false, {0x71e8a9012f7c1d88ull, 0x59265b4711765ce6ull, 0x406a635d203e6d44ull, 0x4015d2979dfea220ull, 4, 0xf51357294226022full}},
      {"gaussian additive", Noise::Normal, true, {0x44a2553d6c76a493ull, 0x1cce70cddeb4f52full, 0x40629709994a3617ull, 0x402289a3ac6b958eull, 6, 0x2cca1d78514f75ebull}},
      {"bernoulli", Noise::Binary, false, {0x2154e7a417d36824ull, 0xab8ff2d87ea948a8ull, 0x406361b6d293f330ull, 0x400c6b8ed2c2599cull, 5, 0x0bade6759231d465ull}},
      {"bernoulli additive", Noise::Binary, true, {0x6cce121a424e475eull, 0x2e692fcef5362e39ull, 0x4066fb998b18f860ull, 0x401275fcbad59de3ull, 15, 0xc3b4742822897eabull}},
      {"quasibinomial", Noise::Binary, false, {0x0955d86f386d42e8ull, 0xf136711b1cfcb978ull, 0x4077388aed50d826ull, 0x400ae4818ca9314eull, 6, 0x8ca2aa273aecc3caull}},
      {"quasibinomial additive", Noise::Binary, true, {0x4e42e294a40a3b33ull, 0xfc444d3d76a336b5ull, 0x40787fd78f7ff52cull, 0x40114dab6909fff8ull, 13, 0x999780efc0ef0975ull}},
      {"poisson", Noise::Counts, false, {0x20199feb5872828full, 0xa281a1e14164ee68ull, 0x4062665522c69b46ull, 0x400e728f5649b350ull, 5, 0x8274e3a6bb9eb407ull}},
      {"poisson additive", Noise::Counts, true, {0x647869eacffe5a17ull, 0x4c1d2a8303733438ull, 0x405ecec2ef9bd795ull, 0x401b1c0644e923bcull, 6, 0x9a22a151cc58bc0eull}},
      {"quasipoisson", Noise::Counts, false, {0xadecde22fd0a1291ull, 0xbc66dd9d57071562ull, 0x4078df6723eaf4f3ull, 0x400b6de6d23f42dcull, 4, 0xe9eab56dc3286504ull}},
      {"quasipoisson additive", Noise::Counts, true, {0x262a68f7f134f368ull, 0x594d61b88f260552ull, 0x4077e7491bcf99b8ull, 0x40199ddc90b49b46ull, 6, 0x8cfb8ed394f41ae4ull}},
      {"gamma", Noise::GammaLike, false, {0xea7c3a261093afe4ull, 0x1d600e6f5045bc38ull, 0x40777f70a9df8010ull, 0x4012dedc24ef7536ull, 5, 0x8ba5b374c5e00c3aull}},
      {"gamma additive", Noise::GammaLike, true, {0x174d1853b372b412ull, 0x8baf8df3aab3f4cbull, 0x40748855cc0337aeull, 0x402166a3258fa11full, 5, 0x2b1604a5dc98c711ull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0xc819d9933cfcb58aull, 0x6a4373b66354ae0cull, 0x4075a418d1b2be6eull, 0x40144851ab6679c0ull, 5, 0xf6aaaa41a701fdadull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0xea4a55a4b378f679ull, 0x22fe647c52674a5bull, 0x40701cf346bd7b1aull, 0x40235a28b39b8d89ull, 5, 0x8ccae59d976b4675ull}},
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
