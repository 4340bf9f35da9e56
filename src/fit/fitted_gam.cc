#include "fit/fitted_gam.h"

#include "family/link.h"

namespace kavri::fit {

std::string_view link_kind_name(LinkKind kind) {
  switch (kind) {
    case LinkKind::Identity: return "Identity";
    case LinkKind::Log: return "Log";
    case LinkKind::Logit: return "Logit";
  }
  return "Identity";
}

double inverse_link(LinkKind kind, double eta) {
  switch (kind) {
    case LinkKind::Identity: return family::IdentityLink::link_inverse(eta);
    case LinkKind::Log: return family::LogLink::link_inverse(eta);
    case LinkKind::Logit: return family::LogitLink::link_inverse(eta);
  }
  return eta;
}

}  // namespace kavri::fit
