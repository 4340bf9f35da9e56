// The push-down reader behind the body decoders. The JSON library reports
// the body as a stream of tokens; each decoder reads one value from that
// stream and sits on a stack while it does, so nesting is held in data, not
// in the call stack.
//
// A decoder that meets the first token of a nested value starts a child
// decoder with it; tokens then go to the child until it has read its whole
// value and is popped. A decoder writes its result into storage it was given
// when it was made; its parent is not called back, so a parent sets its own
// next state before it starts a child. The first failure stops the stack and
// keeps its text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fit/persistence/json_token.h"

namespace kavri::fit::persistence {

enum class Step {
  More,    // the value goes on
  Done,    // the value is complete; the decoder is popped
  Failed,  // a rule failed; the stack holds the text
};

class DecoderStack;

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Receives the next token of this decoder's value (the first one included).
  virtual Step feed(const Token& token, DecoderStack& stack) = 0;
  // False only for a decoder that skips a value the nesting budget does not
  // cover.
  virtual bool counts_nesting() const { return true; }
};

class DecoderStack {
 public:
  // Pushes `child` and hands it `first`, the first token of its value.
  // Returns More, or Failed when the child fails.
  Step start(std::unique_ptr<Decoder> child, const Token& first);
  // Pushes `child`; the next token is the first of its value.
  void push(std::unique_ptr<Decoder> child) { decoders_.push_back(std::move(child)); }
  // Hands `token` to the innermost decoder.
  Step feed(const Token& token);
  // Records a rule failure; returns Failed.
  Step fail(std::string text);

  bool empty() const { return decoders_.empty(); }
  bool counts_nesting() const { return decoders_.empty() || decoders_.back()->counts_nesting(); }
  const std::string& error() const { return error_; }

 private:
  Step run_top(const Token& token);

  std::vector<std::unique_ptr<Decoder>> decoders_;
  std::string error_;
};

// Skips one whole value, whose syntax the JSON library checks as it reads.
// Its brackets are only counted, so any depth is skipped in constant stack.
class SkipDecoder : public Decoder {
 public:
  Step feed(const Token& token, DecoderStack& stack) override;
  bool counts_nesting() const override { return false; }

 private:
  std::uint64_t open_ = 0;
};

}  // namespace kavri::fit::persistence
