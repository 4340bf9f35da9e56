#include "fit/persistence/decoder.h"

#include <cassert>
#include <utility>

namespace kavri::fit::persistence {

Step DecoderStack::run_top(const Token& token) {
  const std::size_t index = decoders_.size() - 1;
  const Step step = decoders_[index]->feed(token, *this);
  if (step == Step::Done) {
    // A decoder that finishes has started no child that is still open.
    assert(decoders_.size() == index + 1);
    decoders_.pop_back();
  }
  return step;
}

Step DecoderStack::start(std::unique_ptr<Decoder> child, const Token& first) {
  decoders_.push_back(std::move(child));
  return run_top(first) == Step::Failed ? Step::Failed : Step::More;
}

Step DecoderStack::feed(const Token& token) {
  assert(!decoders_.empty());
  return run_top(token);
}

Step DecoderStack::fail(std::string text) {
  error_ = std::move(text);
  return Step::Failed;
}

Step SkipDecoder::feed(const Token& token, DecoderStack&) {
  switch (token.kind) {
    case TokenKind::BeginObject:
    case TokenKind::BeginArray: ++open_; return Step::More;
    case TokenKind::EndObject:
    case TokenKind::EndArray: --open_; return open_ == 0 ? Step::Done : Step::More;
    case TokenKind::Key: return Step::More;
    default: return open_ == 0 ? Step::Done : Step::More;
  }
}

}  // namespace kavri::fit::persistence
