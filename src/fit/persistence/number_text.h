// The text of a finite double in the persistence body, also used where a
// reader message quotes a number it found.
//
// Shortest round-trip digits; plain decimal with a forced ".0" when the
// decimal exponent E of the first digit is in [-5, 15] ("1.0", "1500.0",
// "0.00001"), exponent form otherwise ("1e+16", "1e-6", "5e-324"); the sign
// bit is always written ("-0.0"). Non-finite values have no text here: the
// writer stores them as null.
#pragma once

#include <string>

namespace kavri::fit::persistence {

// Plain decimal for kMinPlainExponent <= E <= kMaxPlainExponent.
inline constexpr int kMinPlainExponent = -5;
inline constexpr int kMaxPlainExponent = 15;

// Appends the text of `value`, which must be finite.
void append_number_text(std::string& out, double value);

std::string number_text(double value);

}  // namespace kavri::fit::persistence
