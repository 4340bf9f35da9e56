// The persistence frame of a fitted model: a 17-byte header (the magic
// "KAVRI", the format version as an unsigned 32-bit integer, the body length
// as an unsigned 64-bit integer, both little-endian) followed by the body,
// compact JSON text of the model without a byte-order mark.
//
// The header has no padding and no checksum; readers ignore bytes after the
// announced body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kavri::fit::persistence {

inline constexpr std::array<std::uint8_t, 5> kMagic = {'K', 'A', 'V', 'R', 'I'};
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kVersionOffset = 5;
inline constexpr std::size_t kLengthOffset = 9;
inline constexpr std::size_t kHeaderSize = 17;

// The version of the {"v","dim","data"} array form, independent of
// kFormatVersion.
inline constexpr std::uint64_t kArrayFormVersion = 1;

}  // namespace kavri::fit::persistence
