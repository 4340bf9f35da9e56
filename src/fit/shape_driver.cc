#include "fit/shape_driver.h"

#include <string>

#include "common/format.h"

namespace kavri::fit {

Result<void> require_single_smooth(const design::ModelDesign& design, std::string_view what) {
  if (design.penalties.size() == 1) return {};
  return invalid_parameter(std::string(what) + " is restricted to single-smooth fits in 94b; got " +
                           common::format_count(design.penalties.size()) + " terms");
}

Result<void> require_replicate_weight_range(std::string_view family, linalg::VectorView w) {
  double sum = 0.0;
  std::size_t positive = 0;
  for (std::size_t i = 0; i < w.size; ++i) {
    sum += w[i];
    if (w[i] > 0.0) ++positive;
  }
  const double mean = sum / static_cast<double>(positive);
  if (mean >= kMinMeanReplicateWeight && mean <= kMaxMeanReplicateWeight) return {};
  return invalid_parameter(std::string(family) +
                           " prior weights count replicates: their mean must lie within [1e-100, 1e100]; got " +
                           common::format_double(mean));
}

}  // namespace kavri::fit
