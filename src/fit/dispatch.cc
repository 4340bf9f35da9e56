#include "fit/dispatch.h"

#include <string>
#include <utility>
#include <variant>

#include "common/format.h"
#include "common/quote.h"
#include "design/additive.h"
#include "design/single_design.h"
#include "design/sizes.h"
#include "family/elf.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "fit/ocat_driver.h"
#include "fit/plain_driver.h"
#include "fit/quantile.h"
#include "fit/shape_driver.h"

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

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

struct PlainStart {
  FamilyId id;
};
struct QuantileStart {
  double tau;
  double sigma;   // not above 0: chosen by the driver
  double lambda;  // not above 0: σ
};
// A shape-managed family value holding the start of its search; a scale
// (θ, σ², φ) the caller left out starts from the data's.
template <class F>
struct ShapeStart {
  F family;
  StartScale scale;
};
StartScale scale_start(const std::optional<double>& option) {
  return option ? StartScale::Given : StartScale::FromData;
}
// What a single-smooth driver starts from: a plain family, a shape-managed
// family's start, or the quantile options.
using SingleSmoothStart = std::variant<PlainStart, ShapeStart<family::NegBin>, ShapeStart<family::TDist>,
                                       ShapeStart<family::Tweedie>, QuantileStart>;

// The options of family `id` (not "ocat") with their defaults, after the
// checks that need no data.
Result<SingleSmoothStart> single_smooth_start(FamilyId id, const FitRequest& request) {
  using common::format_double;
  switch (id) {
    case FamilyId::NegBin: {
      const double theta = request.theta.value_or(2.0);
      if (theta <= 0.0) return invalid_parameter("negbin theta must be > 0; got theta=" + format_double(theta));
      return ShapeStart<family::NegBin>{family::negbin_log(theta), scale_start(request.theta)};
    }
    case FamilyId::TDist:
      return ShapeStart<family::TDist>{family::tdist_identity(request.nu.value_or(5.0), request.sigma2.value_or(1.0)),
                                       scale_start(request.sigma2)};
    case FamilyId::Tweedie: {
      const double p = request.tweedie_p.value_or(1.5);
      if (!(p > 1.0 && p < 2.0))
        return invalid_parameter("tweedie p must be in (1, 2); got tweedie_p=" + format_double(p));
      return ShapeStart<family::Tweedie>{family::tweedie_log(p, request.tweedie_phi.value_or(1.0)),
                                         scale_start(request.tweedie_phi)};
    }
    case FamilyId::Elf: {
      const double tau = request.tau.value_or(0.5);
      if (!(tau > 0.0 && tau < 1.0))
        return invalid_parameter("elf/quantile tau must be in (0, 1); got tau=" + format_double(tau));
      return QuantileStart{tau, request.elf_sigma.value_or(0.0), request.elf_lambda.value_or(0.0)};
    }
    default: return PlainStart{id};
  }
}

}  // namespace

std::optional<FamilyId> family_by_name(std::string_view name) {
  for (const FamilyName& entry : kFamilyNames)
    if (entry.name == name) return entry.id;
  return std::nullopt;
}

Result<FittedGam> fit_by_family_name(const FitRequest& request) {
  const std::optional<FamilyId> id = family_by_name(request.family_name);
  if (!id)
    return invalid_parameter("unknown family " + common::quoted_literal(request.family_name) +
                             "; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, "
                             "inverse_gaussian, negbin, tdist, tweedie, ocat, elf");
  const std::uint64_t n = request.x.rows;
  const linalg::VectorView y = request.y;
  const std::optional<linalg::VectorView>& weights = request.weights;

  if (*id == FamilyId::Ocat) {
    if (!request.r) return invalid_parameter("family='ocat' requires r=K (number of ordered categories, K >= 3)");
    const std::uint64_t r = *request.r;
    if (r < 3) return invalid_parameter("ocat requires r >= 3, got r=" + common::format_count(r));
    // The search over ρ and r − 2 thresholds holds an (r − 1)² Hessian.
    KAVRI_TRY_VOID(design::require_matrix_fits("ocat", r - 1, r - 1));
    return fit_ocat(family::ocat_new(linalg::Vector(r - 2, 0.0), r), request.x, y, weights, request.design,
                    request.k);
  }

  KAVRI_TRY(const SingleSmoothStart start, single_smooth_start(*id, request));
  KAVRI_TRY(design::ModelDesign design,
            design::build_named_single_design(request.x, request.design, request.k,
                                              [&] { return check_data_before_design(n, y, weights); }));
  return std::visit(Overloaded{
                        [&](const PlainStart& s) {
                          return visit_plain_family(s.id, [&](const auto& family) -> Result<FittedGam> {
                            return fit_family(family, std::move(design), n, y, weights);
                          });
                        },
                        [&](const QuantileStart& s) {
                          return fit_elf(s.tau, s.sigma, s.lambda, std::move(design), n, y, weights);
                        },
                        [&](const auto& shape) {
                          return fit_shape_aware(shape.family, std::move(design), n, y, weights, nullptr,
                                                 shape.scale);
                        },
                    },
                    start);
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
