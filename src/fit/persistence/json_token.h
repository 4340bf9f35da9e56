// One JSON event as the body readers see it, the text that describes a value
// found where another was expected, and the rules that turn scalar tokens
// into doubles, counts, bytes and booleans.
//
// A token comes either from the JSON library while the body is read or from
// a value kept in memory (kept_value.h). Numbers keep their JSON category:
// a non-negative integer, a negative integer, or any other number as a
// double (a "-0" is the double -0.0). An array or object replayed from a
// kept value announces its element count; one read from the body does not.
// Rule failures are message texts, wrapped by the model reader with the
// position where they happened.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kavri::fit::persistence {

enum class TokenKind {
  Null,
  Bool,
  Unsigned,  // 0 ..= 2^64 − 1
  Signed,    // −2^63 ..= −1
  Float,
  String,
  Key,
  BeginObject,
  EndObject,
  BeginArray,
  EndArray,
};

struct Token {
  TokenKind kind = TokenKind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  double float_value = 0.0;
  std::string_view text = {};          // String and Key; valid while the token is fed
  std::optional<std::uint64_t> count = std::nullopt;  // elements of a replayed BeginArray or BeginObject

  bool starts_container() const { return kind == TokenKind::BeginObject || kind == TokenKind::BeginArray; }
};

// Texts of failures that belong to the JSON reading itself rather than to a
// field rule.
inline constexpr std::string_view kExtraElementsText = "array has more elements than expected";
inline constexpr std::string_view kMissingValueText = "expected value";
inline constexpr std::string_view kRecursionLimitText = "recursion limit exceeded";

template <class T>
using RuleResult = std::expected<T, std::string>;

// "null", "boolean `true`", "integer `5`", "floating point `2.5`",
// "string \"x\"", "sequence" or "map". `token` starts a value.
std::string describe(const Token& token);

// "invalid type: {found}, expected {expected}".
std::string invalid_type(const Token& found, std::string_view expected);
// "invalid value: integer `{}`, expected {expected}".
std::string invalid_integer_value(const Token& found, std::string_view expected);
// "invalid length {length}, expected {expected}".
std::string invalid_length(std::uint64_t length, std::string_view expected);
// "{n} elements in sequence", or "1 element in sequence".
std::string elements_in_sequence(std::uint64_t n);

// Any number; null reads as NaN, the form non-finite values are written in.
RuleResult<double> read_f64(const Token& token);
// A non-negative integer.
RuleResult<std::uint64_t> read_usize(const Token& token);
// An integer from 0 to 255.
RuleResult<std::uint8_t> read_u8(const Token& token);
RuleResult<bool> read_bool(const Token& token);

}  // namespace kavri::fit::persistence
