// The shortest decimal digits of a finite double: the digit string
// d1 d2 … dk (no trailing zeros) that reads back to exactly the value, and
// the decimal exponent E of d1, so that |x| = d1.d2…dk × 10^E.
//
// Both number texts of the system (message slots and the persistence body)
// lay these digits out; neither layout is a C++ library format.
#pragma once

#include <string>

namespace kavri::common {

struct ShortestDigits {
  bool negative = false;  // the sign bit, set for -0.0 too
  std::string digits;     // "0" for zero
  int exponent = 0;       // E; 0 for zero
};

// `value` must be finite.
ShortestDigits shortest_digits(double value);

}  // namespace kavri::common
