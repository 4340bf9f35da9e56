#include "linalg/error.h"

#include "common/format.h"

namespace kavri {

const std::string& KavriError::message() const {
  static const std::string kEmpty;
  if (const auto* p = std::get_if<InvalidParameter>(&payload)) return p->message;
  if (const auto* p = std::get_if<SingularSystem>(&payload)) return p->message;
  if (const auto* p = std::get_if<Linalg>(&payload)) return p->message;
  return kEmpty;
}

std::string KavriError::display() const {
  if (const auto* p = std::get_if<InvalidParameter>(&payload)) return p->message;
  if (const auto* p = std::get_if<SingularSystem>(&payload)) return "singular system: " + p->message;
  if (const auto* p = std::get_if<Linalg>(&payload)) return "linalg failure: " + p->message;
  const auto& nc = std::get<NotConverged>(payload);
  return "solver did not converge after " + common::format_count(nc.iters) +
         " iterations (last grad norm = " + common::format_exponent3(nc.grad_norm) + ")";
}

}  // namespace kavri
