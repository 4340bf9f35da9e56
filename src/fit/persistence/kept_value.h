// JSON values held in memory: what the predictor reader keeps of a
// predictor's members while it looks for the "kind" tag, to decode them once
// the variant is known.
//
// Values are kept as their token stream on a tape: one byte of kind and
// eight of payload per token, and the bytes of strings and keys beside, so
// that keeping a value costs a small multiple of its JSON text whatever its
// form (the text of one number or bracket is at least one byte, the next
// separator aside). A `KeptValue` is a position on a tape; containers are
// walked in document order, members with repeated keys included.
//
// Numbers keep their token category (json_token.h). The JSON library has
// checked the syntax and the reader the nesting budget before a token is
// kept, so the tape always holds balanced values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fit/persistence/decoder.h"
#include "fit/persistence/json_token.h"

namespace kavri::fit::persistence {

class KeptValue;
struct KeptMember;
template <class Walk>
class KeptRange;
struct ElementWalk;
struct MemberWalk;
// Values that follow one another on a tape: the elements of an array, or
// values kept one after another.
using KeptElements = KeptRange<ElementWalk>;
// Members (a key token, then its value) that follow one another on a tape:
// the members of an object, or members kept one after another.
using KeptMembers = KeptRange<MemberWalk>;

class KeptTape {
 public:
  // Appends the next token. True when it completes a value outside every
  // container: a scalar, or the bracket that closes one (never a key).
  bool append(const Token& token);

  // Tokens kept so far, and values outside every container.
  std::size_t size() const { return kinds_.size(); }
  std::uint64_t top_level_count() const { return top_level_; }

  // The token at `at`; an opening bracket carries its element count.
  Token token(std::size_t at) const;
  TokenKind kind(std::size_t at) const { return static_cast<TokenKind>(kinds_[at]); }
  // Past the value that starts at `at`.
  std::size_t next(std::size_t at) const;
  // The closing bracket of the container that opens at `at`, and its
  // element count.
  std::size_t closing(std::size_t at) const { return slots_[at]; }
  std::uint64_t count(std::size_t at) const { return slots_[slots_[at]]; }

 private:
  std::string_view text(std::size_t at) const;  // of a string or key token

  std::vector<std::uint8_t> kinds_;
  // Per token: a number's bits; the offset of a string's or key's length in
  // text_; an opening bracket's closing bracket; a closing bracket's element
  // count.
  std::vector<std::uint64_t> slots_;
  std::string text_;                  // per string or key: 8 length bytes, then the bytes
  std::vector<std::size_t> open_;     // the containers being filled, innermost last
  std::vector<std::uint64_t> counts_;  // their elements so far
  std::uint64_t top_level_ = 0;
};

// A value on a tape; the tape must outlive it.
class KeptValue {
 public:
  KeptValue(const KeptTape& tape, std::size_t at) : tape_(&tape), at_(at) {}

  // The token that starts the value: the scalar itself, or the opening
  // bracket of an array or object with its element count.
  Token head() const { return tape_->token(at_); }
  bool is_array() const { return tape_->kind(at_) == TokenKind::BeginArray; }
  bool is_object() const { return tape_->kind(at_) == TokenKind::BeginObject; }
  bool is_null() const { return tape_->kind(at_) == TokenKind::Null; }

  // The elements of an array or the members of an object.
  KeptElements elements() const;
  KeptMembers members() const;

  const KeptTape& tape() const { return *tape_; }
  std::size_t position() const { return at_; }

 private:
  const KeptTape* tape_;
  std::size_t at_;
};

// One member of a kept object.
struct KeptMember {
  std::string_view key;
  KeptValue value;
};

// How a range steps over its items: a value at a time, or a key and its
// value at a time.
struct ElementWalk {
  static KeptValue read(const KeptTape& tape, std::size_t at) { return KeptValue(tape, at); }
  static std::size_t after(const KeptTape& tape, std::size_t at) { return tape.next(at); }
};
struct MemberWalk {
  static KeptMember read(const KeptTape& tape, std::size_t at) {
    return {tape.token(at).text, KeptValue(tape, at + 1)};
  }
  static std::size_t after(const KeptTape& tape, std::size_t at) { return tape.next(at + 1); }
};

// The items on a tape from position `first` up to `last`.
template <class Walk>
class KeptRange {
 public:
  KeptRange(const KeptTape& tape, std::size_t first, std::size_t last, std::uint64_t count)
      : tape_(&tape), first_(first), last_(last), count_(count) {}

  class Iterator {
   public:
    auto operator*() const { return Walk::read(*tape_, at_); }
    Iterator& operator++() {
      at_ = Walk::after(*tape_, at_);
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    friend class KeptRange;
    Iterator(const KeptTape* tape, std::size_t at) : tape_(tape), at_(at) {}
    const KeptTape* tape_;
    std::size_t at_;
  };

  Iterator begin() const { return Iterator(tape_, first_); }
  Iterator end() const { return Iterator(tape_, last_); }
  std::uint64_t size() const { return count_; }
  // The items after the first; the range must not be empty.
  KeptRange rest() const { return KeptRange(*tape_, Walk::after(*tape_, first_), last_, count_ - 1); }

 private:
  const KeptTape* tape_;
  std::size_t first_, last_;
  std::uint64_t count_;
};

inline KeptElements KeptValue::elements() const {
  return KeptElements(*tape_, at_ + 1, tape_->closing(at_), tape_->count(at_));
}

inline KeptMembers KeptValue::members() const {
  return KeptMembers(*tape_, at_ + 1, tape_->closing(at_), tape_->count(at_));
}

// Reads `value` with `decoder`, feeding it the value's tokens in document
// order; Done, or Failed with the text on `stack`.
Step decode_kept(std::unique_ptr<Decoder> decoder, const KeptValue& value, DecoderStack& stack);

}  // namespace kavri::fit::persistence
