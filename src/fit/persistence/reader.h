// The reader of the persistence frame (format.h): checks the 17-byte header,
// decodes exactly the announced body and returns the model it holds.
//
// The body may be the object form (the fourteen keys in any order, unknown
// keys skipped, "shape_params" optional) or the array form (the member values
// in persisted order). A double may be stored as null, which reads as NaN:
// that is how non-finite values are written. Beyond structure, only the
// predictor's own shapes are checked (predictor_reader.h): sizes that
// disagree between members are taken as stored, so users of a loaded model
// check the sizes they rely on. Every failure is an InvalidParameter whose
// message begins "FittedGam::deserialize: ".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fit/fitted_gam.h"
#include "linalg/error.h"

namespace kavri::fit::persistence {

// At most this many arrays and objects may be open at once while the body is
// read; the value of an unknown model member is exempt.
inline constexpr std::size_t kMaxOpenContainers = 127;

[[nodiscard]] Result<FittedGam> deserialize_fitted_gam(std::span<const std::uint8_t> frame);

}  // namespace kavri::fit::persistence
