// A fit holds one model matrix: the design's, which the driver owns for the
// whole fit while the problem and every refit of the search borrow it.
//
// The test binary's global operator delete is replaced (for every test; it
// only frees unless a test watches): while watching, each sized release of a
// block of exactly n·p doubles that holds X's bytes counts as one copy of X.
// The driver releases its own X when the fit returns, so a fit that never
// copies X counts exactly one.
// The replacement below allocates with malloc and frees with free; seen
// inlined, that pairing is what the compiler's new/delete check flags.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "design/additive.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "design/cr.h"
#include "fit/dispatch.h"
#include "fit/plain_driver.h"
#include "design_fixtures.h"
#include "test_util.h"

namespace {

bool g_watching = false;
const void* g_reference = nullptr;
std::size_t g_reference_bytes = 0;
std::size_t g_copies = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The library's temporary buffers (std::stable_sort's) take the nothrow
// form; it must come from the same allocator as the deletes below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t size) noexcept {
  if (g_watching && p != nullptr && size == g_reference_bytes && std::memcmp(p, g_reference, size) == 0)
    ++g_copies;
  std::free(p);
}

namespace kavri::fit {
namespace {

using linalg::Matrix;
using linalg::Vector;

// Copies of the model matrix released during one fit of `family`.
template <class F>
std::size_t copies_in_fit(const F& family, const Matrix& x, const Vector& y, const std::optional<Vector>& w) {
  const std::vector<design::TermSpec> terms{testing::cr_term(0, 7), testing::cr_term(1, 5)};
  auto reference = design::build_additive_design(x, terms);
  auto design = design::build_additive_design(x, terms);
  EXPECT_TRUE(reference.has_value() && design.has_value());
  std::optional<linalg::VectorView> wv;
  if (w) wv = linalg::VectorView(*w);
  const Matrix& rx = reference->model_matrix;
  g_reference = rx.data.data();
  g_reference_bytes = rx.data.size() * sizeof(double);
  g_copies = 0;
  g_watching = true;
  auto fitted = fit_family(family, std::move(*design), x.rows, y, wv);
  g_watching = false;
  EXPECT_TRUE(fitted.has_value()) << fitted.error().display();
  return g_copies;
}

TEST(ModelMatrix, OneCopyPerFitOwnedByTheDriver) {
  const std::size_t n = 400;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Matrix x(n, 2);
  Vector normal(n), counts(n), positive(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    x(i, 1) = u(gen);
    const double eta = 0.5 + std::sin(3.0 * x(i, 0)) + 0.3 * x(i, 1);
    normal[i] = eta + 0.3 * std::normal_distribution<double>(0.0, 1.0)(gen);
    counts[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen));
    positive[i] = std::exp(eta) * std::exp(0.2 * std::normal_distribution<double>(0.0, 1.0)(gen));
    w[i] = 0.5 + u(gen);
  }
  // One family of each inner-fit kind, with and without prior weights.
  EXPECT_EQ(copies_in_fit(family::gaussian_identity(), x, normal, std::nullopt), 1u);
  EXPECT_EQ(copies_in_fit(family::gaussian_identity(), x, normal, w), 1u);
  EXPECT_EQ(copies_in_fit(family::poisson_log(), x, counts, w), 1u);
  EXPECT_EQ(copies_in_fit(family::inverse_gaussian_log(), x, positive, std::nullopt), 1u);
}

// The drivers reached by name own the single smooth they build; the search's
// refits and the final fit borrow it.
TEST(ModelMatrix, OneCopyPerFitOfTheOtherFamilies) {
  const std::size_t n = 300;
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Matrix x(n, 1);
  Vector counts(n), normal(n), categories(n);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    const double eta = 0.5 + std::sin(3.0 * x(i, 0));
    counts[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen));
    normal[i] = eta + 0.3 * std::normal_distribution<double>(0.0, 1.0)(gen);
    categories[i] = 1.0 + static_cast<double>(i % 3);
  }
  auto reference = design::build_single_cr_design(x, 7);
  ASSERT_TRUE(reference.has_value());
  const Matrix& rx = reference->model_matrix;
  struct Case {
    const char* family;
    const Vector* y;
  };
  for (const Case& c : {Case{"negbin", &counts}, Case{"tdist", &normal}, Case{"tweedie", &counts},
                        Case{"ocat", &categories}, Case{"elf", &normal}}) {
    SCOPED_TRACE(c.family);
    FitRequest request{.family_name = c.family, .x = x, .y = *c.y, .weights = std::nullopt, .k = 7,
                       .design = "cr", .theta = {}, .nu = {}, .sigma2 = {}, .tweedie_p = {}, .tweedie_phi = {},
                       .r = 3, .tau = {}, .elf_sigma = {}, .elf_lambda = {}};
    g_reference = rx.data.data();
    g_reference_bytes = rx.data.size() * sizeof(double);
    g_copies = 0;
    g_watching = true;
    auto fitted = fit_by_family_name(request);
    g_watching = false;
    ASSERT_TRUE(fitted.has_value()) << fitted.error().display();
    EXPECT_EQ(g_copies, 1u);
  }
}

}  // namespace
}  // namespace kavri::fit
