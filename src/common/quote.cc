#include "common/quote.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>

namespace kavri::common {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

#include "common/unicode_tables.inc"

bool in_ranges(std::span<const CodePointRange> table, char32_t cp) {
  auto it = std::upper_bound(table.begin(), table.end(), cp,
                             [](char32_t c, const CodePointRange& r) { return c < r.lo; });
  return it != table.begin() && cp <= std::prev(it)->hi;
}

// Decodes one UTF-8 sequence at `s`; returns its length, or 0 when the bytes
// are not a well-formed sequence.
std::size_t decode_utf8(std::string_view s, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void append_hex_escape(std::string& out, const char* prefix, std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s{%x}", prefix, v);
  out += buf;
}

}  // namespace

std::string quoted_literal(std::string_view utf8) {
  std::string out = "\"";
  while (!utf8.empty()) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(utf8, cp);
    if (len == 0) {
      append_hex_escape(out, "\\x", static_cast<unsigned char>(utf8[0]));
      utf8.remove_prefix(1);
      continue;
    }
    switch (cp) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      default:
        if (in_ranges(kNotPrintable, cp) || in_ranges(kGraphemeExtend, cp))
          append_hex_escape(out, "\\u", static_cast<std::uint32_t>(cp));
        else
          out.append(utf8.substr(0, len));
    }
    utf8.remove_prefix(len);
  }
  out += "\"";
  return out;
}

}  // namespace kavri::common
