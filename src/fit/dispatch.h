// The family-name entries of the core: the request record of `fit`, the one
// table of family names, the visit of a plain family into its driver, and
// `fit_additive` from its family name to the fitted model.
//
// Names are matched byte for byte (no case folding, no trimming). Every
// failure is InvalidParameter with its complete message, so the caller
// passes it on unchanged.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "design/records.h"
#include "family/binomial.h"
#include "family/gamma.h"
#include "family/gaussian.h"
#include "family/inverse_gaussian.h"
#include "family/poisson.h"
#include "fit/fitted_gam.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::fit {

// What `fit` is asked for, as converted from the caller's arguments and not
// yet checked. The views borrow the caller's arrays for the call; an option
// the caller left out is absent.
struct FitRequest {
  std::string family_name;
  linalg::MatrixView x;
  linalg::VectorView y;
  std::optional<linalg::VectorView> weights;
  std::uint64_t k;
  std::string design;
  std::optional<double> theta;
  std::optional<double> nu;
  std::optional<double> sigma2;
  std::optional<double> tweedie_p;
  std::optional<double> tweedie_phi;
  std::optional<std::uint64_t> r;
  std::optional<double> tau;
  std::optional<double> elf_sigma;
  std::optional<double> elf_lambda;
};

// The families a name can select. The first seven are the plain families,
// fitted by `fit_family` alone; the others carry shape parameters, a
// quantile or ordered categories.
enum class FamilyId {
  Gaussian,
  Bernoulli,
  Poisson,
  QuasiPoisson,
  QuasiBinomial,
  Gamma,
  InverseGaussian,
  NegBin,
  TDist,
  Tweedie,
  Elf,
  Ocat,
};

// The family of an accepted name or alias: "gaussian"; "bernoulli",
// "binomial"; "poisson"; "quasipoisson"; "quasibinomial"; "gamma";
// "inverse_gaussian", "inverse.gaussian"; "negbin", "nb"; "tdist", "scat";
// "tweedie", "tw"; "elf", "quantile"; "ocat". Absent for any other text.
std::optional<FamilyId> family_by_name(std::string_view name);

constexpr bool is_plain(FamilyId id) {
  switch (id) {
    case FamilyId::Gaussian:
    case FamilyId::Bernoulli:
    case FamilyId::Poisson:
    case FamilyId::QuasiPoisson:
    case FamilyId::QuasiBinomial:
    case FamilyId::Gamma:
    case FamilyId::InverseGaussian: return true;
    case FamilyId::NegBin:
    case FamilyId::TDist:
    case FamilyId::Tweedie:
    case FamilyId::Elf:
    case FamilyId::Ocat: return false;
  }
  return false;
}

// Calls `visitor` with the value of the plain family `id` and returns its
// result; the visitor returns one type for all seven families. `id` must be
// plain (`is_plain`).
template <class Visitor>
decltype(auto) visit_plain_family(FamilyId id, Visitor&& visitor) {
  switch (id) {
    case FamilyId::Gaussian: return std::forward<Visitor>(visitor)(family::gaussian_identity());
    case FamilyId::Bernoulli: return std::forward<Visitor>(visitor)(family::bernoulli_logit());
    case FamilyId::Poisson: return std::forward<Visitor>(visitor)(family::poisson_log());
    case FamilyId::QuasiPoisson: return std::forward<Visitor>(visitor)(family::quasipoisson_log());
    case FamilyId::QuasiBinomial: return std::forward<Visitor>(visitor)(family::quasibinomial_logit());
    case FamilyId::Gamma: return std::forward<Visitor>(visitor)(family::gamma_log());
    case FamilyId::InverseGaussian: return std::forward<Visitor>(visitor)(family::inverse_gaussian_log());
    case FamilyId::NegBin:
    case FamilyId::TDist:
    case FamilyId::Tweedie:
    case FamilyId::Elf:
    case FamilyId::Ocat: break;
  }
  assert(false && "only a plain family is visited");
  std::unreachable();
}

// The fit of one smooth of column 0 of x for a family named by the request.
// In this order: the name ("unknown family {quoted}; supported: gaussian,
// bernoulli, poisson, quasipoisson, quasibinomial, gamma, inverse_gaussian,
// negbin, tdist, tweedie, ocat, elf"); for "ocat" the number of categories
// ("family='ocat' requires r=K (number of ordered categories, K >= 3)",
// "ocat requires r >= 3, got r={}", the size of the search) and then
// `fit_ocat`; for the others the defaults of the family's options (θ = 2;
// ν = 5, σ² = 1; p = 1.5, φ = 1; τ = 0.5, σ and λ automatic) and their
// checks ("negbin theta must be > 0; got theta={}", "tweedie p must be in
// (1, 2); got tweedie_p={}", "elf/quantile tau must be in (0, 1); got
// tau={}"), the design (`design::build_named_single_design`), then the family's
// driver. Options of other families are ignored. The first failure is the
// result, passed on unchanged from the builders and drivers.
[[nodiscard]] Result<FittedGam> fit_by_family_name(const FitRequest& request);

// The plain family of an additive request, after its checks in this order:
// a non-empty term list ("fit_additive: terms list must be non-empty"), then
// the name, which must select a plain family; any other name, known or not,
// fails with "fit_additive: family {quoted} is shape-managed and restricted
// to single-smooth in 94b; use kavri.fit(family={quoted}, …) or wait for
// multi-smooth shape-aware support. Supported additive families: gaussian,
// bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma,
// inverse_gaussian" ({quoted} is `common::quoted_literal` of the name).
[[nodiscard]] Result<FamilyId> additive_family(std::string_view family_name,
                                               std::span<const design::TermSpec> terms);

// The additive fit: `additive_family`, then `check_data_before_design`
// (rows of x, prior weights not all zero), then
// `design::build_additive_design` of x and the terms, then the plain driver
// with n = rows of x; the first failure is passed on unchanged. A caller
// that must report the request's own checks before anything else about its
// arrays may run `additive_family` first; it is repeated here at no cost.
[[nodiscard]] Result<FittedGam> fit_additive(std::string_view family_name, linalg::MatrixView x,
                                             linalg::VectorView y, std::span<const design::TermSpec> terms,
                                             std::optional<linalg::VectorView> weights);

}  // namespace kavri::fit
