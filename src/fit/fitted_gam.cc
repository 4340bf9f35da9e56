#include "fit/fitted_gam.h"

#include "family/link.h"

namespace kavri::fit {

double inverse_link(LinkKind kind, double eta) {
  switch (kind) {
    case LinkKind::Identity: return family::IdentityLink::link_inverse(eta);
    case LinkKind::Log: return family::LogLink::link_inverse(eta);
    case LinkKind::Logit: return family::LogitLink::link_inverse(eta);
  }
  return eta;
}

}  // namespace kavri::fit
