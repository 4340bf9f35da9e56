#include "design/single_design.h"

#include "common/quote.h"
#include "design/cr.h"
#include "design/re.h"

namespace kavri::design {

Result<SingleDesign> single_design_named(std::string_view name) {
  if (name == "cr") return SingleDesign::Cr;
  if (name == "cr_stable") return SingleDesign::CrStable;
  if (name == "re") return SingleDesign::Re;
  return invalid_parameter("design must be 'cr', 're', or 'cr_stable'; got " + common::quoted_literal(name));
}

Result<ModelDesign> build_single_design(SingleDesign kind, linalg::MatrixView x, std::uint64_t k) {
  switch (kind) {
    case SingleDesign::CrStable: return build_single_cr_stable_design(x, k);
    case SingleDesign::Cr: return build_single_cr_design(x, k);
    case SingleDesign::Re: break;
  }
  return build_single_re_design(x);
}

}  // namespace kavri::design
