#include "fit/shape_driver.h"

#include <string>

#include "common/format.h"

namespace kavri::fit {

Result<void> require_single_smooth(const design::ModelDesign& design, std::string_view what) {
  if (design.penalties.size() == 1) return {};
  return invalid_parameter(std::string(what) + " is restricted to single-smooth fits in 94b; got " +
                           common::format_count(design.penalties.size()) + " terms");
}

}  // namespace kavri::fit
