// The writer of the persistence frame (layout in format.h): the model's
// fourteen fields as one compact JSON object, members in declared order.
//
// Vectors and matrices are {"v":1,"dim":[...],"data":[...]} with row-major
// data, "levels" and the additive bookkeeping plain arrays, a predictor an
// object led by its "kind" tag. Doubles follow number_text.h; a NaN or an
// infinity is written as null. Every model has a text, so writing cannot
// fail, and the same model always gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "design/records.h"
#include "fit/fitted_gam.h"

namespace kavri::fit::persistence {

// Bytes reserved for the body before writing starts.
inline constexpr std::size_t kInitialBodyCapacity = 128;

// The complete frame: header and body.
std::vector<std::uint8_t> serialize_fitted_gam(const FittedGam& model);

// Appends one predictor object to `body`; additive terms are written by the
// same rules.
void serialize_predictor(const design::Predictor& predictor, std::string& body);

}  // namespace kavri::fit::persistence
