#include "fit/dispatch.h"

#include <string>
#include <type_traits>
#include <utility>

#include "common/quote.h"
#include "design/additive.h"
#include "fit/plain_driver.h"

namespace kavri::fit {
namespace {

struct FamilyName {
  std::string_view name;
  FamilyId id;
};

// Every name the entries accept; an alias follows its family's first name.
constexpr FamilyName kFamilyNames[] = {
    {"gaussian", FamilyId::Gaussian},
    {"bernoulli", FamilyId::Bernoulli},
    {"binomial", FamilyId::Bernoulli},
    {"poisson", FamilyId::Poisson},
    {"quasipoisson", FamilyId::QuasiPoisson},
    {"quasibinomial", FamilyId::QuasiBinomial},
    {"gamma", FamilyId::Gamma},
    {"inverse_gaussian", FamilyId::InverseGaussian},
    {"inverse.gaussian", FamilyId::InverseGaussian},
    {"negbin", FamilyId::NegBin},
    {"nb", FamilyId::NegBin},
    {"tdist", FamilyId::TDist},
    {"scat", FamilyId::TDist},
    {"tweedie", FamilyId::Tweedie},
    {"tw", FamilyId::Tweedie},
    {"elf", FamilyId::Elf},
    {"quantile", FamilyId::Elf},
    {"ocat", FamilyId::Ocat},
};

}  // namespace

std::optional<FamilyId> family_by_name(std::string_view name) {
  for (const FamilyName& entry : kFamilyNames)
    if (entry.name == name) return entry.id;
  return std::nullopt;
}

Result<FamilyId> additive_family(std::string_view family_name, std::span<const design::TermSpec> terms) {
  if (terms.empty()) return invalid_parameter("fit_additive: terms list must be non-empty");
  const std::optional<FamilyId> id = family_by_name(family_name);
  if (id && is_plain(*id)) return *id;
  const std::string quoted = common::quoted_literal(family_name);
  return invalid_parameter("fit_additive: family " + quoted +
                           " is shape-managed and restricted to single-smooth in 94b; use kavri.fit(family=" +
                           quoted +
                           ", …) or wait for multi-smooth shape-aware support. Supported additive families: "
                           "gaussian, bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma, "
                           "inverse_gaussian");
}

Result<FittedGam> fit_additive(std::string_view family_name, linalg::MatrixView x, linalg::VectorView y,
                               std::span<const design::TermSpec> terms,
                               std::optional<linalg::VectorView> weights) {
  KAVRI_TRY(const FamilyId id, additive_family(family_name, terms));
  KAVRI_TRY_VOID(check_data_before_design(x.rows, y, weights));
  KAVRI_TRY(design::ModelDesign design, design::build_additive_design(x, terms));
  return visit_plain_family(id, [&](const auto& family) -> Result<FittedGam> {
    return fit_family(family, std::move(design), x.rows, y, weights);
  });
}

}  // namespace kavri::fit
