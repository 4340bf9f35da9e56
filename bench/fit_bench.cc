// Fits on simulated data at growing sizes and reports, per fit: wall time,
// peak memory, outer iterations, inner fits, PIRLS iterations, and time
// ratios against one X'WX formation of the same model matrix.
//
// Each case runs in a child process of its own, so that one case's heap
// does not inflate the next one's peak. Usage: kavri_fit_bench [case n
// [dense]], "dense" fitting from the model matrix without its compact form;
// with case one of gaussian, poisson, bernoulli (one "cr" term), additive
// (Gaussian, two "cr" and a "te" term), gaussian-te (one "cr" and a "te"
// term), poisson-3cr (three "cr" terms), poisson-te, bernoulli-te (three
// "cr" and a "te" term), or a shape family negbin, tdist, tweedie, ocat (one
// "cr" term, its fit time also against a Poisson fit of the same design);
// without arguments every case of the table below runs. `kavri_fit_bench
// poisson-re n L` fits a "cr" smooth beside an "re" term of L levels, and
// `gaussian-re` and `gamma-re` the same design in those families;
// `quantile-re n L` fits the median with the single "re" design of L levels,
// `negbin-re n L` the negative binomial and `ocat-re n L` four ordered
// categories with the same design.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "design/additive.h"
#include "design/compact.h"
#include "design/cr.h"
#include "design/re.h"
#include "fit/plain_driver.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/poisson.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/ocat_driver.h"
#include "fit/quantile.h"
#include "fit/shape_driver.h"
#include "inner/fit_at.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace {

using kavri::linalg::Matrix;
using kavri::linalg::Vector;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM").
double status_mib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t len = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, len, field) == 0 && line[len] == ':') return std::atof(line.c_str() + len + 1) / 1024.0;
  return NAN;
}

// Starts a new high-water mark at the current resident size.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

enum class Kind { Gaussian, Poisson, Bernoulli, Additive, GaussianTe, Poisson3Cr, PoissonTe, BernoulliTe };

// Cases with several terms on the count or binary scale.
bool several_terms(Kind k) { return k == Kind::Poisson3Cr || k == Kind::PoissonTe || k == Kind::BernoulliTe; }
bool is_poisson(Kind k) { return k == Kind::Poisson || k == Kind::Poisson3Cr || k == Kind::PoissonTe; }
bool is_bernoulli(Kind k) { return k == Kind::Bernoulli || k == Kind::BernoulliTe; }

struct Data {
  Matrix x;
  Vector y;
};

Data simulate(Kind kind, std::size_t n) {
  std::mt19937_64 gen(20240601);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.3);
  const std::size_t d = kind == Kind::Additive ? 4 : kind == Kind::GaussianTe ? 3 : several_terms(kind) ? 5 : 1;
  Data data{Matrix(n, d), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < d; ++j) data.x(i, j) = u(gen);
    const double f = std::sin(2.0 * std::numbers::pi * data.x(i, 0));
    if (several_terms(kind)) {
      // Three smooth effects, and a surface over the last two covariates.
      double eta = 0.2 + 0.5 * f + (data.x(i, 1) - 0.5) * (data.x(i, 1) - 0.5) + 0.3 * std::cos(3.0 * data.x(i, 2));
      if (kind != Kind::Poisson3Cr) eta += 0.4 * std::sin(3.0 * data.x(i, 3)) * std::cos(2.0 * data.x(i, 4));
      data.y[i] = is_poisson(kind) ? static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen))
                                   : (u(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0);
      continue;
    }
    switch (kind) {
      case Kind::Gaussian:
        data.y[i] = f + noise(gen);
        break;
      case Kind::Poisson:
        data.y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(0.5 + f))(gen));
        break;
      case Kind::Bernoulli:
        data.y[i] = u(gen) < 1.0 / (1.0 + std::exp(-f)) ? 1.0 : 0.0;
        break;
      case Kind::GaussianTe:
        data.y[i] = f + std::sin(3.0 * data.x(i, 1)) * std::cos(2.0 * data.x(i, 2)) + noise(gen);
        break;
      default: {
        const double g = 4.0 * (data.x(i, 1) - 0.5) * (data.x(i, 1) - 0.5);
        const double h = std::sin(3.0 * data.x(i, 2)) * std::cos(2.0 * data.x(i, 3));
        data.y[i] = f + g + h + noise(gen);
        break;
      }
    }
  }
  return data;
}

kavri::Result<kavri::design::ModelDesign> build(Kind kind, const Matrix& x) {
  using kavri::design::TermSpec;
  if (kind == Kind::Additive) {
    const std::vector<TermSpec> terms{{TermSpec::Cr{0, 10}}, {TermSpec::Cr{1, 10}}, {TermSpec::Te{2, 3, 5, 5}}};
    return kavri::design::build_additive_design(x, terms);
  }
  if (kind == Kind::GaussianTe) {
    const std::vector<TermSpec> terms{{TermSpec::Cr{0, 10}}, {TermSpec::Te{1, 2, 5, 5}}};
    return kavri::design::build_additive_design(x, terms);
  }
  if (several_terms(kind)) {
    std::vector<TermSpec> terms{{TermSpec::Cr{0, 10}}, {TermSpec::Cr{1, 10}}, {TermSpec::Cr{2, 10}}};
    if (kind != Kind::Poisson3Cr) terms.push_back({TermSpec::Te{3, 4, 5, 5}});
    return kavri::design::build_additive_design(x, terms);
  }
  return kavri::design::build_single_cr_design(x, 10);
}

template <class F>
kavri::Result<kavri::fit::FittedGam> fit(const F& family, kavri::design::ModelDesign design, const Vector& y,
                                         kavri::inner::FitCounters& counters) {
  const std::uint64_t n = y.size();
  return kavri::fit::fit_family(family, std::move(design), n, y, std::nullopt, &counters);
}

// The fastest of three runs of `f`.
template <class F>
double best_of_three(F&& f) {
  double best = INFINITY;
  for (int r = 0; r < 3; ++r) {
    const auto start = Clock::now();
    f();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

const char* name_of(Kind kind) {
  switch (kind) {
    case Kind::Gaussian: return "gaussian";
    case Kind::Poisson: return "poisson";
    case Kind::Bernoulli: return "bernoulli";
    case Kind::Additive: return "additive";
    case Kind::GaussianTe: return "gaussian-te";
    case Kind::Poisson3Cr: return "poisson-3cr";
    case Kind::PoissonTe: return "poisson-te";
    case Kind::BernoulliTe: return "bernoulli-te";
  }
  return "?";
}

int run_case(Kind kind, std::size_t n, bool dense) {
  // Every large array is mapped and unmapped on its own, so the resident
  // size follows what is alive.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const double base_mib = status_mib("VmRSS");
  const Data data = simulate(kind, n);
  const double data_mib = status_mib("VmRSS") - base_mib;  // x and y

  auto start = Clock::now();
  auto design = build(kind, data.x);
  const double t_build = seconds_since(start);
  if (!design) {
    std::printf("%s n=%zu: design failed: %s\n", name_of(kind), n, design.error().display().c_str());
    return 1;
  }
  if (dense) design->compact.reset();
  const std::size_t p = design->model_matrix.cols;
  const double x_mib = static_cast<double>(n * p * sizeof(double)) / (1024.0 * 1024.0);

  kavri::inner::FitCounters counter;
  reset_peak();
  start = Clock::now();
  kavri::Result<kavri::fit::FittedGam> fitted = [&] {
    if (is_poisson(kind)) return fit(kavri::family::poisson_log(), std::move(*design), data.y, counter);
    if (is_bernoulli(kind)) return fit(kavri::family::bernoulli_logit(), std::move(*design), data.y, counter);
    return fit(kavri::family::gaussian_identity(), std::move(*design), data.y, counter);
  }();
  const double t_fit = seconds_since(start);
  // The fit's peak above what was resident before the design existed,
  // less the simulated data: the design it owns (the model matrix, its
  // compact form, the penalties) and its working set.
  const double peak_mib = status_mib("VmHWM") - base_mib - data_mib;
  if (!fitted) {
    std::printf("%s n=%zu: fit failed: %s\n", name_of(kind), n, fitted.error().display().c_str());
    return 1;
  }

  // The reference products, on a fresh copy of the model matrix.
  auto again = build(kind, data.x);
  const Matrix& x = again->model_matrix;
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + 0.5 * std::cos(static_cast<double>(i));
  // Into buffers that stay allocated, as the inner fits form it.
  Matrix xtw, xtwx;
  const double t_xtwx = best_of_three([&] {
    kavri::linalg::weighted_transpose_into(x, w, xtw);
    kavri::linalg::multiply_into(xtw, x, xtwx);
  });
  // The same product from the compact form, as the inner fits form it.
  double t_compact = NAN;
  if (again->compact) {
    kavri::design::CompactWorkspace ws;
    Matrix gram;
    t_compact = best_of_three(
        [&] { kavri::design::compact_cross_products(*again->compact, w, std::nullopt, gram, nullptr, ws); });
  }
  const double t_xtx = best_of_three([&] { kavri::linalg::multiply_into(x.view().transposed(), x, xtwx); });
  // One write of an n × p matrix: fresh memory, each entry written once.
  const double t_write = best_of_three([&] {
    std::unique_ptr<double[]> written(new double[n * p]);
    for (std::size_t i = 0; i < n * p; ++i) written[i] = static_cast<double>(i % p);
    volatile double sink = written[n * p / 2];
    (void)sink;
  });

  std::printf("%s%-12s n=%-8zu p=%-3zu fit %8.3f s  build %7.3f s  X'WX %7.4f s  fit/X'WX %7.1f  build/write %5.2f",
              dense ? "dense " : "", name_of(kind), n, p, t_fit, t_build, t_xtwx, t_fit / t_xtwx, t_build / t_write);
  if (kind == Kind::Gaussian || kind == Kind::Additive || kind == Kind::GaussianTe)
    std::printf("  fit/(build+X'X) %5.2f  (build+fit)/X'WX %5.2f", t_fit / (t_build + t_xtx), (t_build + t_fit) / t_xtwx);
  std::printf("  compact X'WX %7.4f s", t_compact);
  std::printf("\n          outer %llu  evaluations %llu  value trials %llu  inner fits %llu  PIRLS iters %llu"
              "  converged %d  edf %.3f",
              static_cast<unsigned long long>(fitted->n_iters), static_cast<unsigned long long>(counter.evaluations),
              static_cast<unsigned long long>(counter.values), static_cast<unsigned long long>(counter.inner_fits),
              static_cast<unsigned long long>(counter.pirls_iterations), fitted->converged ? 1 : 0, fitted->edf_total);
  std::printf("  peak %8.1f MiB  X %7.1f MiB  peak/X %4.2f", peak_mib, x_mib, peak_mib / x_mib);

  if (kind == Kind::Poisson || kind == Kind::Bernoulli) {  // one "cr" term
    // The inner fit at the chosen ρ outside the search, complete and cut
    // after its first iteration: the difference is what each further
    // iteration costs, without the start and the record of the result.
    kavri::design::ModelDesign copy = std::move(*again);
    if (dense) copy.compact.reset();
    auto poisson = kavri::fit::make_fit_problem(kavri::family::poisson_log(), copy, data.y, std::nullopt);
    auto bernoulli = kavri::fit::make_fit_problem(kavri::family::bernoulli_logit(), copy, data.y, std::nullopt);
    std::uint64_t iterations = 0;
    auto inner_fit = [&] {
      auto f = kind == Kind::Poisson ? kavri::inner::fit_at(poisson, fitted->rho)
                                     : kavri::inner::fit_at(bernoulli, fitted->rho);
      iterations = f->iterations;
    };
    const double t_full = best_of_three(inner_fit);
    const std::uint64_t full_iterations = iterations;
    poisson.settings.max_iter = 1;
    bernoulli.settings.max_iter = 1;
    const double t_first = best_of_three(inner_fit);
    const double whole = t_full / static_cast<double>(full_iterations);
    const double marginal = (t_full - t_first) / static_cast<double>(full_iterations - 1);
    std::printf("\n          PIRLS iteration %.4f s = %.2f X'WX (whole fit / iterations: %.2f X'WX, %llu iterations)",
                marginal, marginal / t_xtwx, whole / t_xtwx, static_cast<unsigned long long>(full_iterations));
  }
  std::printf("\n");
  return 0;
}

// ---- Shape families: one "cr" term (k = 10) over x ~ U(0, 1), f = sin 2πx.

enum class ShapeKind { NegBin, TDist, Tweedie, Ocat };
constexpr ShapeKind kShapeKinds[] = {ShapeKind::NegBin, ShapeKind::TDist, ShapeKind::Tweedie, ShapeKind::Ocat};

const char* name_of(ShapeKind kind) {
  switch (kind) {
    case ShapeKind::NegBin: return "negbin";
    case ShapeKind::TDist: return "tdist";
    case ShapeKind::Tweedie: return "tweedie";
    case ShapeKind::Ocat: return "ocat";
  }
  return "?";
}

// Negative binomial (θ = 3) around e^(0.5 + f); t (ν = 4, σ = 0.3) around
// f; Tweedie (p = 1.5, φ = 1) around e^(0.3 + 0.6f); four ordered
// categories of 2f plus logistic noise cut at −1, 0, 1.
Data simulate_shape(ShapeKind kind, std::size_t n) {
  std::mt19937_64 gen(20240602);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::student_t_distribution<double> t4(4.0);
  Data data{Matrix(n, 1), Vector(n)};
  for (std::size_t i = 0; i < n; ++i) {
    data.x(i, 0) = u(gen);
    const double f = std::sin(2.0 * std::numbers::pi * data.x(i, 0));
    switch (kind) {
      case ShapeKind::NegBin: {
        const double mu = std::exp(0.5 + f);
        data.y[i] = static_cast<double>(
            std::poisson_distribution<int>(std::gamma_distribution<double>(3.0, mu / 3.0)(gen))(gen));
        break;
      }
      case ShapeKind::TDist:
        data.y[i] = f + 0.3 * t4(gen);
        break;
      case ShapeKind::Tweedie: {
        const double mu = std::exp(0.3 + 0.6 * f), p = 1.5, phi = 1.0;
        const int count = std::poisson_distribution<int>(std::pow(mu, 2.0 - p) / (phi * (2.0 - p)))(gen);
        double y = 0.0;
        for (int j = 0; j < count; ++j)
          y += std::gamma_distribution<double>((2.0 - p) / (p - 1.0), phi * (p - 1.0) * std::pow(mu, p - 1.0))(gen);
        data.y[i] = y;
        break;
      }
      case ShapeKind::Ocat: {
        const double v = std::min(std::max(u(gen), 1e-12), 1.0 - 1e-12);
        const double latent = 2.0 * f + std::log(v / (1.0 - v));
        data.y[i] = latent > 1.0 ? 4.0 : latent > 0.0 ? 3.0 : latent > -1.0 ? 2.0 : 1.0;
        break;
      }
    }
  }
  return data;
}

int run_shape_case(ShapeKind kind, std::size_t n) {
  const Data data = simulate_shape(kind, n);
  auto design = kavri::design::build_single_cr_design(data.x, 10);
  if (!design) {
    std::printf("%s n=%zu: design failed: %s\n", name_of(kind), n, design.error().display().c_str());
    return 1;
  }
  kavri::inner::FitCounters counter;
  auto start = Clock::now();
  kavri::Result<kavri::fit::FittedGam> fitted = [&]() -> kavri::Result<kavri::fit::FittedGam> {
    using kavri::fit::fit_shape_aware;
    switch (kind) {
      case ShapeKind::NegBin: return fit_shape_aware(kavri::family::negbin_log(2.0), *design, n, data.y, std::nullopt, &counter);
      case ShapeKind::TDist: return fit_shape_aware(kavri::family::tdist_identity(5.0, 1.0), *design, n, data.y, std::nullopt, &counter);
      case ShapeKind::Tweedie: return fit_shape_aware(kavri::family::tweedie_log(1.5, 1.0), *design, n, data.y, std::nullopt, &counter);
      case ShapeKind::Ocat: break;
    }
    return kavri::fit::fit_ocat(kavri::family::ocat_identity(4), data.x, data.y, std::nullopt, "cr", 10, &counter);
  }();
  const double t_fit = seconds_since(start);
  if (!fitted) {
    std::printf("%s n=%zu: fit failed: %s\n", name_of(kind), n, fitted.error().display().c_str());
    return 1;
  }
  // The Poisson fit of the same design on counts around e^(0.5 + f).
  Vector counts(n);
  std::mt19937_64 gen(20240603);
  for (std::size_t i = 0; i < n; ++i)
    counts[i] = static_cast<double>(
        std::poisson_distribution<int>(std::exp(0.5 + std::sin(2.0 * std::numbers::pi * data.x(i, 0))))(gen));
  kavri::inner::FitCounters poisson_counter;
  start = Clock::now();
  auto poisson = fit(kavri::family::poisson_log(), *design, counts, poisson_counter);
  const double t_poisson = seconds_since(start);
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + 0.5 * std::cos(static_cast<double>(i));
  Matrix xtw, xtwx;
  const Matrix& x = design->model_matrix;
  const double t_xtwx = best_of_three([&] {
    kavri::linalg::weighted_transpose_into(x, w, xtw);
    kavri::linalg::multiply_into(xtw, x, xtwx);
  });
  std::printf("%-12s n=%-8zu fit %8.3f s  X'WX %7.4f s  fit/X'WX %7.1f  fit/Poisson fit %5.2f (Poisson %.3f s%s)",
              name_of(kind), n, t_fit, t_xtwx, t_fit / t_xtwx, t_fit / t_poisson, t_poisson, poisson ? "" : ", failed");
  const double per_evaluation =
      counter.evaluations > 0
          ? static_cast<double>(counter.inner_fits - counter.values - 1) / static_cast<double>(counter.evaluations)
          : NAN;
  std::printf("\n          outer %llu  evaluations %llu  value trials %llu  inner fits %llu (%.1f per evaluation)"
              "  converged %d  shape",
              static_cast<unsigned long long>(fitted->n_iters), static_cast<unsigned long long>(counter.evaluations),
              static_cast<unsigned long long>(counter.values), static_cast<unsigned long long>(counter.inner_fits),
              per_evaluation, fitted->converged ? 1 : 0);
  for (double v : fitted->shape_params) std::printf(" %.4f", v);
  std::printf("\n");
  return 0;
}

bool parse_shape_kind(const char* s, ShapeKind& kind) {
  for (ShapeKind k : kShapeKinds)
    if (std::strcmp(s, name_of(k)) == 0) {
      kind = k;
      return true;
    }
  return false;
}

// ---- Random effects with many levels ----
// A "cr" smooth of column 0 and an "re" term of column 1 whose levels
// 0, ..., L − 1 each hold n/L rows in a shuffled order (every level is
// present), each level with an effect of its own, on the scale of the
// family: `kavri_fit_bench poisson-re n L [dense]` (Poisson counts),
// `gaussian-re` (noise of sd 0.3) or `gamma-re` (shape 5), "dense"
// factoring H whole. `quantile-re` fits the median of the Gaussian case's
// y without its smooth effect with the single "re" design (the intercept
// and the L levels: the quantile fit takes one penalty), `negbin-re`
// negative binomial counts (θ = 3) of that design and `ocat-re` four
// ordered categories of it, logistic noise cut at −1, 0, 1.
enum class ReFamily { Poisson, Gaussian, Gamma, Quantile, NegBin, Ocat };

const char* name_of(ReFamily f) {
  switch (f) {
    case ReFamily::Poisson: return "poisson-re";
    case ReFamily::Gaussian: return "gaussian-re";
    case ReFamily::Gamma: return "gamma-re";
    case ReFamily::Quantile: return "quantile-re";
    case ReFamily::NegBin: return "negbin-re";
    case ReFamily::Ocat: return "ocat-re";
  }
  return "";
}

bool parse_re_family(const char* s, ReFamily& family) {
  for (ReFamily f :
       {ReFamily::Poisson, ReFamily::Gaussian, ReFamily::Gamma, ReFamily::Quantile, ReFamily::NegBin, ReFamily::Ocat})
    if (std::strcmp(s, name_of(f)) == 0) {
      family = f;
      return true;
    }
  return false;
}

int run_re_case(ReFamily family, std::size_t n, std::size_t levels, bool dense) {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const double base_mib = status_mib("VmRSS");
  std::mt19937_64 gen(20240611);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> effect(0.0, 0.5);
  Vector b(levels);
  for (double& v : b) v = effect(gen);
  std::vector<std::size_t> level(n);
  for (std::size_t i = 0; i < n; ++i) level[i] = i % levels;
  std::shuffle(level.begin(), level.end(), gen);
  Matrix x(n, 2);
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    const std::size_t l = level[i];
    x(i, 1) = static_cast<double>(l);
    // The single "re" design has no smooth to take the sine up.
    const bool single = family == ReFamily::Quantile || family == ReFamily::NegBin || family == ReFamily::Ocat;
    const double smooth = single ? 0.0 : std::sin(2.0 * std::numbers::pi * x(i, 0));
    const double eta = 0.5 + smooth + b[l];
    switch (family) {
      case ReFamily::Poisson: y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(gen)); break;
      case ReFamily::Gaussian:
      case ReFamily::Quantile: y[i] = eta + std::normal_distribution<double>(0.0, 0.3)(gen); break;
      case ReFamily::Gamma: y[i] = std::gamma_distribution<double>(5.0, std::exp(eta) / 5.0)(gen); break;
      case ReFamily::NegBin: {
        const double rate = std::gamma_distribution<double>(3.0, std::exp(eta) / 3.0)(gen);
        y[i] = static_cast<double>(std::poisson_distribution<int>(rate)(gen));
        break;
      }
      case ReFamily::Ocat: {
        const double v = std::min(std::max(u(gen), 1e-12), 1.0 - 1e-12);
        const double latent = eta + std::log(v / (1.0 - v));
        y[i] = latent > 1.0 ? 4.0 : latent > 0.0 ? 3.0 : latent > -1.0 ? 2.0 : 1.0;
        break;
      }
    }
  }
  const double data_mib = status_mib("VmRSS") - base_mib;
  using kavri::design::TermSpec;
  const std::vector<TermSpec> terms{{TermSpec::Cr{0, 10}}, {TermSpec::Re{1}}};
  reset_peak();
  auto start = Clock::now();
  auto design = family == ReFamily::Quantile || family == ReFamily::NegBin || family == ReFamily::Ocat
                    ? kavri::design::build_single_re_design(kavri::linalg::MatrixView(x.data.data() + 1, n, 1, 2, 1))
                    : kavri::design::build_additive_design(x, terms);
  const double t_build = seconds_since(start);
  if (!design) {
    std::printf("%s n=%zu: design failed: %s\n", name_of(family), n, design.error().display().c_str());
    return 1;
  }
  if (dense) design->re_blocks.reset();
  const std::size_t p = design->model_matrix.cols;
  kavri::inner::FitCounters counter;
  start = Clock::now();
  auto fitted = [&] {
    switch (family) {
      case ReFamily::Gaussian: return fit(kavri::family::gaussian_identity(), std::move(*design), y, counter);
      case ReFamily::Gamma: return fit(kavri::family::gamma_log(), std::move(*design), y, counter);
      case ReFamily::Quantile:
        return kavri::fit::fit_elf(0.5, 0.0, 0.0, std::move(*design), n, y, std::nullopt, &counter);
      case ReFamily::NegBin:
        return kavri::fit::fit_shape_aware(kavri::family::negbin_log(2.0), std::move(*design), n, y, std::nullopt,
                                           &counter);
      case ReFamily::Ocat:
        return kavri::fit::fit_ocat(kavri::family::ocat_identity(4), std::move(*design), n, y, std::nullopt, &counter);
      case ReFamily::Poisson: break;
    }
    return fit(kavri::family::poisson_log(), std::move(*design), y, counter);
  }();
  const double t_fit = seconds_since(start);
  const double peak_mib = status_mib("VmHWM") - base_mib - data_mib;
  if (!fitted) {
    std::printf("%s n=%zu: fit failed: %s\n", name_of(family), n, fitted.error().display().c_str());
    return 1;
  }
  std::printf("%s%-12s n=%-8zu levels=%-6zu p=%-6zu fit %8.3f s  build %7.3f s  outer %llu  evaluations %llu"
              "  inner fits %llu  converged %d  edf %.4f  peak %8.1f MiB (design and fit)\n",
              dense ? "dense " : "", name_of(family), n, levels, p, t_fit, t_build,
              static_cast<unsigned long long>(fitted->n_iters), static_cast<unsigned long long>(counter.evaluations),
              static_cast<unsigned long long>(counter.inner_fits), fitted->converged ? 1 : 0, fitted->edf_total,
              peak_mib);
  return 0;
}

bool parse_kind(const char* s, Kind& kind) {
  for (Kind k : {Kind::Gaussian, Kind::Poisson, Kind::Bernoulli, Kind::Additive, Kind::GaussianTe, Kind::Poisson3Cr,
                 Kind::PoissonTe, Kind::BernoulliTe})
    if (std::strcmp(s, name_of(k)) == 0) {
      kind = k;
      return true;
    }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (ShapeKind shape{}; argc == 3 && parse_shape_kind(argv[1], shape))
    return run_shape_case(shape, std::strtoull(argv[2], nullptr, 10));
  if (ReFamily re{}; (argc == 4 || argc == 5) && parse_re_family(argv[1], re))
    return run_re_case(re, std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                       argc == 5 && std::strcmp(argv[4], "dense") == 0);
  if (argc == 3 || argc == 4) {
    Kind kind{};
    if (!parse_kind(argv[1], kind)) {
      std::fprintf(stderr, "unknown case %s\n", argv[1]);
      return 2;
    }
    return run_case(kind, std::strtoull(argv[2], nullptr, 10), argc == 4 && std::strcmp(argv[3], "dense") == 0);
  }
  struct Case {
    Kind kind;
    std::size_t n;
  };
  std::vector<Case> cases;
  for (std::size_t n : {10000u, 100000u, 1000000u})
    for (Kind k : {Kind::Gaussian, Kind::Poisson, Kind::Bernoulli}) cases.push_back({k, n});
  cases.push_back({Kind::Additive, 100000});
  cases.push_back({Kind::GaussianTe, 1000000});
  for (std::size_t n : {100000u, 1000000u})
    for (Kind k : {Kind::Poisson3Cr, Kind::PoissonTe, Kind::BernoulliTe}) cases.push_back({k, n});
  std::printf("serial BLAS: %s\n", kavri::linalg::blas_is_serial() ? "yes" : "no");
  int status = 0;
  for (const Case& c : cases) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      const int rc = run_case(c.kind, c.n, false);
      std::fflush(stdout);
      std::_Exit(rc);
    }
    int child_status = 0;
    waitpid(child, &child_status, 0);
    if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) status = 1;
  }
  for (std::size_t n : {100000u, 1000000u})
    for (ShapeKind k : kShapeKinds) {
      std::fflush(stdout);
      const pid_t child = fork();
      if (child == 0) {
        const int rc = run_shape_case(k, n);
        std::fflush(stdout);
        std::_Exit(rc);
      }
      int child_status = 0;
      waitpid(child, &child_status, 0);
      if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) status = 1;
    }
  return status;
}
