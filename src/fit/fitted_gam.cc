#include "fit/fitted_gam.h"

#include <cmath>

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
    case LinkKind::Identity: return eta;
    case LinkKind::Log: return std::exp(eta);
    case LinkKind::Logit: return family::logistic(eta);
  }
  return eta;
}

}  // namespace kavri::fit
