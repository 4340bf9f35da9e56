// Quoted literals for message slots that echo a caller's text, such as an
// unknown family or design name.
//
// The text is wrapped in double quotes; '"' and '\' get a backslash; NUL,
// tab, CR and LF become \0 \t \r \n; any other non-printable or
// grapheme-extending code point becomes \u{hex} (lower-case hex). A single
// quote stays as it is. Input is UTF-8; bytes that do not decode are escaped
// one by one as \x{hh} rather than hidden behind a replacement character.
#pragma once

#include <string>
#include <string_view>

namespace kavri::common {

std::string quoted_literal(std::string_view utf8);

}  // namespace kavri::common
