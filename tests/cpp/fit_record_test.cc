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
      {"gaussian", Noise::Normal, false, {0x22f099690ad8e241ull, 0xd9a0d9624f37a778ull, 0x406a635d203e6d44ull, 0x4015d2979dfea237ull, 4, 0xeb59660e69db45a6ull}},
      {"gaussian additive", Noise::Normal, true, {0x65b823db89914233ull, 0x4713a0b6bf0a985full, 0x40629709994a3617ull, 0x402289a3ac6b9525ull, 6, 0xe757dc589e53bfd0ull}},
      {"bernoulli", Noise::Binary, false, {0x0b9b2b267db134a7ull, 0x82c40f98798f116aull, 0x406361b6d293f332ull, 0x400c6b8ed2c25684ull, 5, 0xd3178216cb2efcc7ull}},
      {"bernoulli additive", Noise::Binary, true, {0xe1aff965c7da8b2dull, 0xeab980daea225725ull, 0x4066fb998c41073cull, 0x401275ff98b09795ull, 15, 0x23f8f548203d2813ull}},
      {"quasibinomial", Noise::Binary, false, {0x213c30aa08a85af8ull, 0x715195cc4744b157ull, 0x4077388aed519f00ull, 0x400ae48109ce657aull, 5, 0x8b510eca24ff41e8ull}},
      {"quasibinomial additive", Noise::Binary, true, {0x1b4c2e29f8a46682ull, 0x1a792749f842d477ull, 0x40787fd78fee5fd7ull, 0x40114daaf7160b87ull, 15, 0x7b92a05721c060ddull}},
      {"poisson", Noise::Counts, false, {0x30e399a8e79c25caull, 0xa908105af0219e1eull, 0x4062665522c6af68ull, 0x400e728f52a154efull, 5, 0x40dcd1ad98c624c5ull}},
      {"poisson additive", Noise::Counts, true, {0x5fecaea5cc4b17a8ull, 0xa01263bc78f499a6ull, 0x405ecec2ef9bd77full, 0x401b1c0644e99602ull, 6, 0x36bee2d7318660e8ull}},
      {"quasipoisson", Noise::Counts, false, {0x75cd51a76337af8eull, 0x3a3ed7f0d27282eaull, 0x4078df6723eaf4eeull, 0x400b6de6d23f6743ull, 4, 0x2f00715ffc933c14ull}},
      {"quasipoisson additive", Noise::Counts, true, {0xbfd775a952e622a8ull, 0x0c4d75757963fe08ull, 0x4077e7491bcf99abull, 0x40199ddc90b521dfull, 6, 0xffa92973d843f8a6ull}},
      {"gamma", Noise::GammaLike, false, {0x95b6d1e7b24f3c18ull, 0xffafb2e3a777c154ull, 0x40777f5a6276870eull, 0x4012dce9d9c45f6dull, 5, 0xacc90bcf40c0b302ull}},
      {"gamma additive", Noise::GammaLike, true, {0x1705cc384d7c946dull, 0xaff9254aa151930eull, 0x407487faf2c58089ull, 0x402168a236734059ull, 4, 0x4e538dd42384c2acull}},
      {"inverse gaussian", Noise::InverseGaussianLike, false, {0xd086c8765bdbea68ull, 0x76b7e5f367ff1edeull, 0x4075a418d1b2be6full, 0x40144f7cec6b2e16ull, 5, 0x859f95d12f8557e5ull}},
      {"inverse gaussian additive", Noise::InverseGaussianLike, true, {0x7f93c9202c87313full, 0x91437c7e8e7503bdull, 0x40701cf346bd7b1aull, 0x402366dc21b9f221ull, 5, 0x2359252428061606ull}},
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
