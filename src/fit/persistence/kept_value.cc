#include "fit/persistence/kept_value.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

namespace kavri::fit::persistence {

namespace {

bool opens(TokenKind kind) { return kind == TokenKind::BeginArray || kind == TokenKind::BeginObject; }
bool closes(TokenKind kind) { return kind == TokenKind::EndArray || kind == TokenKind::EndObject; }

}  // namespace

bool KeptTape::append(const Token& token) {
  const std::size_t at = kinds_.size();
  // A container's elements are its values, an object's its keys.
  const bool counted = token.kind == TokenKind::Key || !closes(token.kind);
  if (!open_.empty()) {
    const bool object = kind(open_.back()) == TokenKind::BeginObject;
    if (counted && (token.kind == TokenKind::Key) == object) ++counts_.back();
  } else if (counted && token.kind != TokenKind::Key) {
    ++top_level_;
  }

  std::uint64_t slot = 0;
  switch (token.kind) {
    case TokenKind::Bool: slot = token.boolean ? 1 : 0; break;
    case TokenKind::Unsigned: slot = token.unsigned_value; break;
    case TokenKind::Signed: slot = std::bit_cast<std::uint64_t>(token.signed_value); break;
    case TokenKind::Float: slot = std::bit_cast<std::uint64_t>(token.float_value); break;
    case TokenKind::String:
    case TokenKind::Key: {
      slot = text_.size();
      const std::uint64_t length = token.text.size();
      text_.append(reinterpret_cast<const char*>(&length), sizeof length);
      text_.append(token.text);
      break;
    }
    default: break;
  }
  kinds_.push_back(static_cast<std::uint8_t>(token.kind));
  slots_.push_back(slot);

  if (opens(token.kind)) {
    open_.push_back(at);
    counts_.push_back(0);
    return false;
  }
  if (closes(token.kind)) {
    assert(!open_.empty());
    slots_[open_.back()] = at;
    slots_[at] = counts_.back();
    open_.pop_back();
    counts_.pop_back();
  }
  return open_.empty() && token.kind != TokenKind::Key;
}

std::string_view KeptTape::text(std::size_t at) const {
  const std::size_t offset = slots_[at];
  std::uint64_t length = 0;
  std::memcpy(&length, text_.data() + offset, sizeof length);
  return std::string_view(text_).substr(offset + sizeof length, length);
}

Token KeptTape::token(std::size_t at) const {
  Token t;
  t.kind = kind(at);
  const std::uint64_t slot = slots_[at];
  switch (t.kind) {
    case TokenKind::Bool: t.boolean = slot != 0; break;
    case TokenKind::Unsigned: t.unsigned_value = slot; break;
    case TokenKind::Signed: t.signed_value = std::bit_cast<std::int64_t>(slot); break;
    case TokenKind::Float: t.float_value = std::bit_cast<double>(slot); break;
    case TokenKind::String:
    case TokenKind::Key: t.text = text(at); break;
    case TokenKind::BeginArray:
    case TokenKind::BeginObject: t.count = count(at); break;
    default: break;
  }
  return t;
}

std::size_t KeptTape::next(std::size_t at) const { return opens(kind(at)) ? closing(at) + 1 : at + 1; }

Step decode_kept(std::unique_ptr<Decoder> decoder, const KeptValue& value, DecoderStack& stack) {
  const KeptTape& tape = value.tape();
  const std::size_t first = value.position(), last = tape.next(first);
  if (stack.start(std::move(decoder), tape.token(first)) == Step::Failed) return Step::Failed;
  for (std::size_t at = first + 1; at < last; ++at)
    if (stack.feed(tape.token(at)) == Step::Failed) return Step::Failed;
  return Step::Done;
}

}  // namespace kavri::fit::persistence
