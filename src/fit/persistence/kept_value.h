// A JSON value held in memory: what the predictor reader keeps of a
// predictor's members while it looks for the "kind" tag, to decode them once
// the variant is known.
//
// Numbers keep their token category (json_token.h); object members stay in
// document order, repeated keys included. The JSON library has checked the
// syntax and the reader the nesting budget before a value is kept, so a kept
// value is never deeper than the body allows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "fit/persistence/decoder.h"
#include "fit/persistence/json_token.h"

namespace kavri::fit::persistence {

struct KeptMember;

struct KeptValue {
  struct Null {};
  using Array = std::vector<KeptValue>;
  using Object = std::vector<KeptMember>;
  std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> value;

  const Array* array() const { return std::get_if<Array>(&value); }
  const Object* object() const { return std::get_if<Object>(&value); }
};

struct KeptMember {
  std::string key;
  KeptValue value;
};

// The token that starts `value`: the scalar itself, or the opening bracket
// of an array or object with its element count.
Token head_token(const KeptValue& value);

// Builds one kept value from the tokens of that value, iteratively.
class KeptBuilder {
 public:
  // Takes the next token; true once the value is complete.
  bool feed(const Token& token);
  // The complete value; the builder is then spent.
  KeptValue take() { return std::move(root_); }

 private:
  // Places `value` in the innermost open container (or as the root).
  KeptValue* add(KeptValue value);

  KeptValue root_;
  std::vector<KeptValue*> open_;  // the containers being filled, innermost last
  std::string pending_key_;
};

// Reads `value` with `decoder`, feeding it the value's tokens in document
// order; Done, or Failed with the text on `stack`.
Step decode_kept(std::unique_ptr<Decoder> decoder, const KeptValue& value, DecoderStack& stack);

}  // namespace kavri::fit::persistence
