#include "fit/persistence/json_token.h"

#include <cassert>
#include <limits>

#include "common/quote.h"
#include "fit/persistence/number_text.h"

namespace kavri::fit::persistence {

std::string describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::Null: return "null";
    case TokenKind::Bool: return token.boolean ? "boolean `true`" : "boolean `false`";
    case TokenKind::Unsigned: return "integer `" + std::to_string(token.unsigned_value) + "`";
    case TokenKind::Signed: return "integer `" + std::to_string(token.signed_value) + "`";
    case TokenKind::Float: return "floating point `" + number_text(token.float_value) + "`";
    case TokenKind::String: return "string " + common::quoted_literal(token.text);
    case TokenKind::BeginArray: return "sequence";
    case TokenKind::BeginObject: return "map";
    case TokenKind::Key:
    case TokenKind::EndObject:
    case TokenKind::EndArray: break;
  }
  assert(false && "keys and closing brackets start no value");
  return {};
}

std::string invalid_type(const Token& found, std::string_view expected) {
  std::string out = "invalid type: " + describe(found) + ", expected ";
  out += expected;
  return out;
}

std::string invalid_integer_value(const Token& found, std::string_view expected) {
  std::string out = "invalid value: " + describe(found) + ", expected ";
  out += expected;
  return out;
}

std::string invalid_length(std::uint64_t length, std::string_view expected) {
  std::string out = "invalid length " + std::to_string(length) + ", expected ";
  out += expected;
  return out;
}

std::string elements_in_sequence(std::uint64_t n) {
  return n == 1 ? "1 element in sequence" : std::to_string(n) + " elements in sequence";
}

RuleResult<double> read_f64(const Token& token) {
  switch (token.kind) {
    case TokenKind::Unsigned: return static_cast<double>(token.unsigned_value);
    case TokenKind::Signed: return static_cast<double>(token.signed_value);
    case TokenKind::Float: return token.float_value;
    case TokenKind::Null: return std::numeric_limits<double>::quiet_NaN();
    default: return std::unexpected(invalid_type(token, "f64"));
  }
}

RuleResult<std::uint64_t> read_usize(const Token& token) {
  if (token.kind == TokenKind::Unsigned) return token.unsigned_value;
  if (token.kind == TokenKind::Signed) return std::unexpected(invalid_integer_value(token, "usize"));
  return std::unexpected(invalid_type(token, "usize"));
}

RuleResult<std::uint8_t> read_u8(const Token& token) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint8_t>::max();
  if (token.kind == TokenKind::Unsigned && token.unsigned_value <= kMax) {
    return static_cast<std::uint8_t>(token.unsigned_value);
  }
  if (token.kind == TokenKind::Unsigned || token.kind == TokenKind::Signed) {
    return std::unexpected(invalid_integer_value(token, "u8"));
  }
  return std::unexpected(invalid_type(token, "u8"));
}

RuleResult<bool> read_bool(const Token& token) {
  if (token.kind == TokenKind::Bool) return token.boolean;
  return std::unexpected(invalid_type(token, "a boolean"));
}

}  // namespace kavri::fit::persistence
