#include "fit/persistence/kept_value.h"

#include <cassert>
#include <type_traits>
#include <utility>

namespace kavri::fit::persistence {

Token head_token(const KeptValue& value) {
  return std::visit(
      [](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        Token t;
        if constexpr (std::is_same_v<V, KeptValue::Null>) {
          t.kind = TokenKind::Null;
        } else if constexpr (std::is_same_v<V, bool>) {
          t.kind = TokenKind::Bool;
          t.boolean = v;
        } else if constexpr (std::is_same_v<V, std::uint64_t>) {
          t.kind = TokenKind::Unsigned;
          t.unsigned_value = v;
        } else if constexpr (std::is_same_v<V, std::int64_t>) {
          t.kind = TokenKind::Signed;
          t.signed_value = v;
        } else if constexpr (std::is_same_v<V, double>) {
          t.kind = TokenKind::Float;
          t.float_value = v;
        } else if constexpr (std::is_same_v<V, std::string>) {
          t.kind = TokenKind::String;
          t.text = v;
        } else if constexpr (std::is_same_v<V, KeptValue::Array>) {
          t.kind = TokenKind::BeginArray;
          t.count = v.size();
        } else {
          t.kind = TokenKind::BeginObject;
          t.count = v.size();
        }
        return t;
      },
      value.value);
}

KeptValue* KeptBuilder::add(KeptValue value) {
  if (open_.empty()) {
    root_ = std::move(value);
    return &root_;
  }
  KeptValue& parent = *open_.back();
  if (auto* array = std::get_if<KeptValue::Array>(&parent.value)) {
    array->push_back(std::move(value));
    return &array->back();
  }
  auto& object = std::get<KeptValue::Object>(parent.value);
  object.push_back({std::move(pending_key_), std::move(value)});
  return &object.back().value;
}

bool KeptBuilder::feed(const Token& token) {
  // Pointers on `open_` stay valid: a container only grows while it is the
  // innermost one, and its ancestors do not change until it closes.
  switch (token.kind) {
    case TokenKind::Key: pending_key_ = std::string(token.text); return false;
    case TokenKind::BeginArray: open_.push_back(add(KeptValue{KeptValue::Array{}})); return false;
    case TokenKind::BeginObject: open_.push_back(add(KeptValue{KeptValue::Object{}})); return false;
    case TokenKind::EndArray:
    case TokenKind::EndObject: open_.pop_back(); break;
    case TokenKind::Null: add(KeptValue{KeptValue::Null{}}); break;
    case TokenKind::Bool: add(KeptValue{token.boolean}); break;
    case TokenKind::Unsigned: add(KeptValue{token.unsigned_value}); break;
    case TokenKind::Signed: add(KeptValue{token.signed_value}); break;
    case TokenKind::Float: add(KeptValue{token.float_value}); break;
    case TokenKind::String: add(KeptValue{std::string(token.text)}); break;
  }
  return open_.empty();
}

namespace {

Token bracket(TokenKind kind) {
  Token t;
  t.kind = kind;
  return t;
}

// The tokens of `value` after its head token.
Step replay_rest(const KeptValue& value, DecoderStack& stack) {
  if (const auto* array = value.array()) {
    for (const KeptValue& item : *array) {
      if (stack.feed(head_token(item)) == Step::Failed) return Step::Failed;
      if (replay_rest(item, stack) == Step::Failed) return Step::Failed;
    }
    return stack.feed(bracket(TokenKind::EndArray));
  }
  if (const auto* object = value.object()) {
    for (const KeptMember& member : *object) {
      Token key = bracket(TokenKind::Key);
      key.text = member.key;
      if (stack.feed(key) == Step::Failed) return Step::Failed;
      if (stack.feed(head_token(member.value)) == Step::Failed) return Step::Failed;
      if (replay_rest(member.value, stack) == Step::Failed) return Step::Failed;
    }
    return stack.feed(bracket(TokenKind::EndObject));
  }
  return Step::More;
}

}  // namespace

Step decode_kept(std::unique_ptr<Decoder> decoder, const KeptValue& value, DecoderStack& stack) {
  if (stack.start(std::move(decoder), head_token(value)) == Step::Failed) return Step::Failed;
  return replay_rest(value, stack) == Step::Failed ? Step::Failed : Step::Done;
}

}  // namespace kavri::fit::persistence
