// Number texts for message slots.
//
// Messages put doubles in positional notation with the shortest digits that
// read back to the same value (1e-7 is "0.0000001", 1e23 is
// "100000000000000000000000", -0.0 is "-0", NaN is "NaN", infinities "inf" and
// "-inf"); the one exception is the gradient norm of the non-convergence
// message, written with four significant digits in exponent form
// ("1.235e-5", "1.000e0"). No C++ library formatter produces either layout.
#pragma once

#include <cstdint>
#include <string>

namespace kavri::common {

// Shortest round-trip digits, positional, never an exponent.
std::string format_double(double value);

// Four significant digits rounded from the exact binary value (ties to even),
// "d.ddde<exp>" with no '+' and no zero padding in the exponent; 0.000e0 for
// zero, NaN, inf, -inf.
std::string format_exponent3(double value);

// Plain decimal for counts and indices.
inline std::string format_count(std::uint64_t value) { return std::to_string(value); }

}  // namespace kavri::common
