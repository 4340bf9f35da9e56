// The Tweedie saturated log-likelihood against high-precision values of the
// compound Poisson–gamma log-density at μ = y, and its analytic shape
// gradient against central differences of the criterion terms it
// differentiates.
#include "family/tweedie.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

// The test binary's malloc family forwards to the C library's own and, while
// a test watches, adds up the bytes each call asks for: what the watched
// code allocates, whatever the process held before. (The sanitizer brings
// its own allocator and keeps these names.)
namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_requested{0};
}  // namespace

#ifndef __SANITIZE_ADDRESS__
namespace {
void count(std::size_t bytes) {
  if (g_counting.load(std::memory_order_relaxed)) g_requested.fetch_add(bytes, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
void* malloc(std::size_t size) noexcept {
  count(size);
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
  count(n * size);
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  count(size);
  return __libc_realloc(p, size);
}
void free(void* p) noexcept { __libc_free(p); }
}
#endif

namespace kavri::family {
namespace {

// The bytes requested from the allocator while f runs.
template <class F>
std::size_t bytes_requested(F&& f) {
  g_requested.store(0);
  g_counting.store(true);
  f();
  g_counting.store(false);
  return g_requested.load();
}

// ln f(y; μ = y) for (p, φ, y), computed to high precision independently
// of the series summed here. The window drops terms below 2^-104 of its
// start and the expansion beyond 10^5 terms is within 1e-10, so 1e-8 is the
// series' own accuracy with room for the rounding of ln Γ near 10^5.
TEST(TweedieLogDensity, MatchesHighPrecisionValues) {
  const struct {
    double p, phi, y, value;
  } table[] = {
      {1.5, 1.0, 1.0, -1.0286152203419826},      {1.05, 1.0, 50.0, -2.9748266459875652},
      {1.3, 1.0, 1000.0, -5.4097115190693455},   {1.7, 1.0, 3.7, -2.097865781885785},
      {1.95, 1e-4, 100.0, -0.80381605518050594}, {1.5, 1e-4, 1000.0, -1.494585102916832},
      {1.05, 1.0, 1e6, -8.1720817463567413},
  };
  for (const auto& row : table)
    EXPECT_NEAR(tweedie_saturated_loglik(row.p, row.phi, 0.0, row.y), row.value, 1e-8)
        << "p=" << row.p << " phi=" << row.phi << " y=" << row.y;
  EXPECT_EQ(tweedie_saturated_loglik(1.5, 1.0, 2.5, 0.0), 2.5);
  const Vector zeros(4, 0.0);
  EXPECT_EQ(tweedie_log(1.5, 1.0).saturated_loglik(zeros, 1.0), 0.0);
}

// Just below the switch to the expansion (start index 5·10^4 to 10^5) the
// summed window agrees with the expansion, written out here: its error
// falls as 1/j0², to a few 1e-10 here. A window capped 1000 terms past its
// start misses 3e-7 to 1.5e-4 of the logarithm here.
TEST(TweedieLogDensity, WideWindowsAgreeWithTheExpansionBelowTheSwitch) {
  const struct {
    double p, phi, y;
  } table[] = {{1.95, 3.147e-4, 100.0}, {1.5, 7.9e-4, 1000.0}, {1.05, 1.43, 2.0e5}};
  for (const auto& row : table) {
    const double j0 = std::pow(row.y, 2.0 - row.p) / ((2.0 - row.p) * row.phi);
    ASSERT_GT(j0, 5e4);
    ASSERT_LT(j0, static_cast<double>(kTweedieAsymptoticStart));
    const long double ly = std::log(static_cast<long double>(row.y));
    const long double expansion = -0.5L * (std::log(2.0L * 3.14159265358979323846L * row.phi) + row.p * ly) +
                                  row.p * (row.p - 3.0) * row.phi * std::exp((row.p - 2.0) * ly) / 24.0L;
    EXPECT_NEAR(tweedie_saturated_loglik(row.p, row.phi, 0.0, row.y), static_cast<double>(expansion), 1e-8)
        << "p=" << row.p << " j0=" << j0;
  }
}

// The criterion terms that the analytic gradient differentiates, at fixed
// means and penalty: (D + P)/(2φ) − (M_p/2)·ln(2πφ) − c(y; p, φ) with the
// weighted deviance D of the family at (t1, t2).
double shape_terms(const Tweedie& start, double t1, double t2, const Vector& y, const Vector& mu, const Vector& w,
                   double penalty, double m_p) {
  const double t[] = {t1, t2};
  const Tweedie f = start.family_from_theta(t);
  const double d = f.weighted_deviance(y, mu, w);
  return (d + penalty) / (2.0 * f.phi) - (m_p / 2.0) * std::log(kTwoPi * f.phi) - f.saturated_loglik(y, w, f.phi);
}

// Central differences with h = 1e-5 in t1 and t2: truncation h²/6·V''' and
// rounding eps·|V|/h stay near 1e-9 relative for these O(1–100) values;
// 1e-6 relative is the bar. Rows include zeros, series rows and rows whose
// window starts beyond 10^5 (y = 2000 at φ ≈ 3e-4), none near that switch.
TEST(TweedieShapeGradient, MatchesCentralDifferencesOfTheCriterionTerms) {
  const Vector y{0.0, 0.3, 1.2, 5.0, 0.0, 40.0, 2000.0, 7.5};
  const Vector mu{0.2, 0.5, 1.0, 4.0, 0.9, 35.0, 1800.0, 9.0};
  const Vector ones(y.size(), 1.0);
  const Vector unequal{1.0, 3.0, 2.0, 1.5, 1.0, 2.5, 1.0, 3.0};
  const double penalty = 1.7, m_p = 2.0;
  const double count = static_cast<double>(y.size()) - m_p;
  const Tweedie start = tweedie_log(1.5, 1.0);
  for (const Vector* w : {&ones, &unequal})
    for (const auto& [t1, t2] : std::vector<std::pair<double, double>>{{0.0, 0.0}, {-1.2, 1.5}, {0.7, -2.0}, {-8.0, 0.4}}) {
      const double t[] = {t1, t2};
      const Tweedie f = start.family_from_theta(t);
      const double dp = f.weighted_deviance(y, mu, *w) + penalty;
      const auto g = f.analytic_shape_score_gradient(y, mu, *w, dp, count, f.phi);
      ASSERT_TRUE(g.has_value());
      ASSERT_EQ(g->size(), 2u);
      const double h = 1e-5;
      const double n1 = (shape_terms(start, t1 + h, t2, y, mu, *w, penalty, m_p) -
                         shape_terms(start, t1 - h, t2, y, mu, *w, penalty, m_p)) / (2.0 * h);
      const double n2 = (shape_terms(start, t1, t2 + h, y, mu, *w, penalty, m_p) -
                         shape_terms(start, t1, t2 - h, y, mu, *w, penalty, m_p)) / (2.0 * h);
      EXPECT_NEAR((*g)[0], n1, 1e-6 * std::fabs(n1)) << "t1=" << t1 << " t2=" << t2;
      EXPECT_NEAR((*g)[1], n2, 1e-6 * std::fabs(n2)) << "t1=" << t1 << " t2=" << t2;
    }
  // Without weights the gradient is that of unit weights.
  const Tweedie f = tweedie_log(1.4, 0.6);
  const double dp = f.weighted_deviance(y, mu, ones) + penalty;
  EXPECT_EQ(*f.analytic_shape_score_gradient(y, mu, dp, count, 0.6),
            *f.analytic_shape_score_gradient(y, mu, ones, dp, count, 0.6));
}

// Responses far beyond the series range take the expansion: no walk over
// ~y^(2−p) terms and no table of that size. The value is the expansion
// written out here where the window would start beyond 10^5. What the calls
// allocate is counted (13 kB measured, the test's own vectors included):
// a table of one double per term would take 800 kB at the switch to the
// expansion alone and more for any of these responses; 100 kB lies between.
TEST(TweedieLogDensity, HugeResponsesStayBounded) {
  struct Call {
    double y, p, value;
    std::optional<Vector> gradient;
  };
  std::vector<Call> calls;
  calls.reserve(6);
  double saturated = 0.0;
  const std::size_t bytes = bytes_requested([&] {
    for (double y : {1e25, 1e300})
      for (double p : {1.05, 1.5, 1.95}) {
        const Vector ys{y, 3.0}, mus{y, 2.0};
        const Tweedie f = tweedie_log(p, 1.0);
        calls.push_back({y, p, tweedie_saturated_loglik(p, 1.0, 0.0, y),
                         f.analytic_shape_score_gradient(ys, mus, 10.0, 1.0, 1.0)});
      }
    // A start index beyond every integer: the window's arithmetic saturates.
    saturated = tweedie_saturated_loglik(1.05, 1e-12, 0.0, 1e300);
  });
  for (const Call& c : calls) {
    SCOPED_TRACE(::testing::Message() << "y=" << c.y << " p=" << c.p);
    EXPECT_TRUE(std::isfinite(c.value));
    // y = 1e25 at p = 1.95 starts its window near j = 355 and is summed.
    if (std::pow(c.y, 2.0 - c.p) / (2.0 - c.p) >= static_cast<double>(kTweedieAsymptoticStart)) {
      const long double ly = std::log(static_cast<long double>(c.y));
      const long double ref = -0.5L * (std::log(2.0L * 3.14159265358979323846L) + c.p * ly) +
                              c.p * (c.p - 3.0) * std::exp((c.p - 2.0) * ly) / 24.0L;
      EXPECT_NEAR(c.value, static_cast<double>(ref), 1e-12 * std::fabs(static_cast<double>(ref)));
    }
    ASSERT_TRUE(c.gradient.has_value());
    EXPECT_TRUE(std::isfinite((*c.gradient)[0]) && std::isfinite((*c.gradient)[1]));
  }
  EXPECT_TRUE(std::isfinite(saturated));
  // Nothing is counted under the sanitizer.
  EXPECT_LT(bytes, std::size_t{100} * 1024);
}

// A zero response adds nothing to c(y) and only its deviance term to the
// gradient; an empty response gives [k/2 − (D + P)/(2φ), 0].
TEST(TweedieShapeGradient, ZeroAndEmptyResponses) {
  const Tweedie f = tweedie_log(1.6, 0.5);
  const auto empty = f.analytic_shape_score_gradient(Vector{}, Vector{}, 3.0, 2.0, 0.5);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ((*empty)[0], 2.0 / 2.0 - 3.0 / (2.0 * 0.5));
  EXPECT_EQ((*empty)[1], 0.0);
  const Vector y(3, 0.0), mu{0.5, 1.0, 2.0};
  const double dp = f.weighted_deviance(y, mu, unit_weights(3)) + 1.0;
  const auto g = f.analytic_shape_score_gradient(y, mu, dp, 2.0, 0.5);
  EXPECT_NEAR((*g)[0], -(3.0 - 2.0) / 2.0 - dp / (2.0 * 0.5), 1e-14);
}

}  // namespace
}  // namespace kavri::family
