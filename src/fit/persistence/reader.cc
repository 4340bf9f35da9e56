#include "fit/persistence/reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "family/link.h"
#include "fit/persistence/array_form.h"
#include "fit/persistence/decoder.h"
#include "fit/persistence/format.h"
#include "fit/persistence/json_token.h"
#include "fit/persistence/predictor_reader.h"

namespace kavri::fit::persistence {
namespace {

constexpr std::string_view kPrefix = "FittedGam::deserialize: ";

// Members in persisted order; the array form takes them by position.
enum Member : std::size_t {
  kBeta, kRho, kLambda, kScale, kEdfTotal, kEdfPerTerm, kN, kNIters, kConverged,
  kRemlValue, kPredictor, kVcov, kLinkKind, kShapeParams, kMemberCount,
};
constexpr std::array<std::string_view, kMemberCount> kMemberKeys = {
    "beta", "rho", "lambda", "scale", "edf_total", "edf_per_term", "n",
    "n_iters", "converged", "reml_value", "predictor", "vcov", "link_kind", "shape_params",
};
// Every member but "shape_params", which defaults to empty.
constexpr std::size_t kRequiredMembers = kShapeParams;

RuleResult<LinkKind> link_by_name(std::string_view name) {
  if (const std::optional<LinkKind> kind = family::link_kind_by_name(name)) return *kind;
  return std::unexpected("unknown variant `" + std::string(name) + "`, expected one of `Identity`, `Log`, `Logit`");
}

// The object form of a link name, {"Log":null}, after the string form has
// been ruled out.
class LinkObjectDecoder : public Decoder {
 public:
  explicit LinkObjectDecoder(LinkKind& out) : out_(out) {}

  Step feed(const Token& token, DecoderStack& stack) override {
    switch (state_) {
      case State::Open: state_ = State::Key; return Step::More;
      case State::Key: {
        if (token.kind == TokenKind::EndObject) return stack.fail(std::string(kMissingValueText));
        auto link = link_by_name(token.text);
        if (!link) return stack.fail(std::move(link.error()));
        out_ = *link;
        state_ = State::Value;
        return Step::More;
      }
      case State::Value:
        if (token.kind != TokenKind::Null) return stack.fail(invalid_type(token, "unit"));
        state_ = State::Close;
        return Step::More;
      case State::Close:
        if (token.kind != TokenKind::EndObject) return stack.fail(std::string(kMissingValueText));
        return Step::Done;
    }
    std::unreachable();
  }

 private:
  enum class State { Open, Key, Value, Close };
  LinkKind& out_;
  State state_ = State::Open;
};

template <class T>
Step assign(RuleResult<T> value, T& out, DecoderStack& stack) {
  if (!value) return stack.fail(std::move(value.error()));
  out = *value;
  return Step::More;
}

// Reads the value of member `member` that starts with `first`.
Step read_member(std::size_t member, const Token& first, FittedGam& out, DecoderStack& stack) {
  switch (member) {
    case kBeta: return stack.start(std::make_unique<ArrayFormDecoder>(out.beta), first);
    case kRho: return stack.start(std::make_unique<ArrayFormDecoder>(out.rho), first);
    case kLambda: return stack.start(std::make_unique<ArrayFormDecoder>(out.lambda), first);
    case kScale: return assign(read_f64(first), out.scale, stack);
    case kEdfTotal: return assign(read_f64(first), out.edf_total, stack);
    case kEdfPerTerm: return stack.start(std::make_unique<ArrayFormDecoder>(out.edf_per_term), first);
    case kN: return assign(read_usize(first), out.n, stack);
    case kNIters: return assign(read_usize(first), out.n_iters, stack);
    case kConverged: return assign(read_bool(first), out.converged, stack);
    case kRemlValue: return assign(read_f64(first), out.reml_value, stack);
    case kPredictor: return stack.start(std::make_unique<PredictorDecoder>(out.predictor), first);
    case kVcov: return stack.start(std::make_unique<ArrayFormDecoder>(out.vcov), first);
    case kLinkKind:
      if (first.kind == TokenKind::String) return assign(link_by_name(first.text), out.link_kind, stack);
      if (first.kind == TokenKind::BeginObject) {
        return stack.start(std::make_unique<LinkObjectDecoder>(out.link_kind), first);
      }
      return stack.fail(std::string(kMissingValueText));
    default: return stack.start(std::make_unique<ArrayFormDecoder>(out.shape_params), first);
  }
}

class ModelObjectDecoder : public Decoder {
 public:
  explicit ModelObjectDecoder(FittedGam& out) : out_(out) {}

  Step feed(const Token& token, DecoderStack& stack) override {
    if (!opened_) {
      opened_ = true;
      return Step::More;
    }
    if (pending_) {
      const std::size_t member = *pending_;
      pending_.reset();
      return read_member(member, token, out_, stack);
    }
    if (token.kind == TokenKind::EndObject) {
      for (std::size_t m = 0; m < kRequiredMembers; ++m)
        if (!seen_[m]) return stack.fail("missing field `" + std::string(kMemberKeys[m]) + "`");
      return Step::Done;
    }
    const auto it = std::find(kMemberKeys.begin(), kMemberKeys.end(), token.text);
    if (it == kMemberKeys.end()) {
      stack.push(std::make_unique<SkipDecoder>());
      return Step::More;
    }
    const auto member = static_cast<std::size_t>(it - kMemberKeys.begin());
    if (seen_[member]) return stack.fail("duplicate field `" + std::string(token.text) + "`");
    seen_[member] = true;
    pending_ = member;
    return Step::More;
  }

 private:
  FittedGam& out_;
  bool opened_ = false;
  std::optional<std::size_t> pending_;
  std::array<bool, kMemberCount> seen_{};
};

class ModelArrayDecoder : public Decoder {
 public:
  explicit ModelArrayDecoder(FittedGam& out) : out_(out) {}

  Step feed(const Token& token, DecoderStack& stack) override {
    if (!opened_) {
      opened_ = true;
      return Step::More;
    }
    if (token.kind == TokenKind::EndArray) {
      if (read_ < kRequiredMembers) {
        return stack.fail(invalid_length(read_, "struct FittedGam with " + std::to_string(kMemberCount) + " elements"));
      }
      return Step::Done;
    }
    if (read_ == kMemberCount) return stack.fail(std::string(kExtraElementsText));
    return read_member(read_++, token, out_, stack);
  }

 private:
  FittedGam& out_;
  bool opened_ = false;
  std::size_t read_ = 0;
};

// A pointer into the body that records how far the JSON library has read,
// so that rule failures can name a position.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* base, const char* at, std::size_t* consumed)
      : base_(base), at_(at), consumed_(consumed) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    *consumed_ = static_cast<std::size_t>(at_ - base_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) { return a.at_ == b.at_; }

 private:
  const char* base_;
  const char* at_;
  std::size_t* consumed_;
};

// Receives the JSON library's events for the body and drives the decoders.
class BodyHandler {
 public:
  using json = nlohmann::json;

  BodyHandler(std::string_view body, FittedGam& out) : body_(body), out_(out) {}

  std::size_t* consumed() { return &consumed_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_text() const { return error_text_; }

  bool null() { return deliver(Token{.kind = TokenKind::Null}, consumed_); }
  bool boolean(bool b) { return deliver(Token{.kind = TokenKind::Bool, .boolean = b}, consumed_); }
  bool number_integer(json::number_integer_t v) {
    // Only a token with a minus sign arrives here, so a zero is "-0".
    if (v == 0) return deliver(Token{.kind = TokenKind::Float, .float_value = -0.0}, number_end());
    return deliver(Token{.kind = TokenKind::Signed, .signed_value = v}, number_end());
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return deliver(Token{.kind = TokenKind::Unsigned, .unsigned_value = v}, number_end());
  }
  bool number_float(json::number_float_t v, const json::string_t&) {
    return deliver(Token{.kind = TokenKind::Float, .float_value = v}, number_end());
  }
  bool string(json::string_t& s) { return deliver(Token{.kind = TokenKind::String, .text = s}, consumed_); }
  bool binary(json::binary_t&) { return false; }  // not produced by the JSON text reader
  bool start_object(std::size_t) { return deliver(Token{.kind = TokenKind::BeginObject}, consumed_); }
  bool key(json::string_t& k) { return deliver(Token{.kind = TokenKind::Key, .text = k}, consumed_); }
  bool end_object() { return deliver(Token{.kind = TokenKind::EndObject}, consumed_); }
  bool start_array(std::size_t) { return deliver(Token{.kind = TokenKind::BeginArray}, consumed_); }
  bool end_array() { return deliver(Token{.kind = TokenKind::EndArray}, consumed_); }
  bool parse_error(std::size_t position, const std::string&, const json::exception& error) {
    error_position_ = position;
    error_text_ = library_text(error.what());
    return false;
  }

 private:
  // The library reads one character past a number unless the body ends
  // there; a number's own last character is always a digit.
  std::size_t number_end() const {
    const bool looked_ahead = consumed_ > 0 && (body_[consumed_ - 1] < '0' || body_[consumed_ - 1] > '9');
    return looked_ahead ? consumed_ - 1 : consumed_;
  }

  // The library's message without its exception name and position prefix:
  // the position is added in our own layout.
  static std::string library_text(std::string_view what) {
    if (const auto p = what.find("] "); p != std::string_view::npos) what.remove_prefix(p + 2);
    if (what.starts_with("parse error")) {
      if (const auto p = what.find(": "); p != std::string_view::npos) what.remove_prefix(p + 2);
    }
    return std::string(what);
  }

  bool fail_at(std::size_t position, std::string text) {
    error_position_ = position;
    error_text_ = std::move(text);
    return false;
  }

  bool deliver(const Token& token, std::size_t position) {
    const bool counted = stack_.counts_nesting();
    if (token.starts_container() && counted) {
      if (open_ == kMaxOpenContainers) return fail_at(position, std::string(kRecursionLimitText));
      ++open_;
    } else if ((token.kind == TokenKind::EndObject || token.kind == TokenKind::EndArray) && counted) {
      --open_;
    }
    Step step;
    if (stack_.empty()) {
      if (token.kind == TokenKind::BeginObject) {
        step = stack_.start(std::make_unique<ModelObjectDecoder>(out_), token);
      } else if (token.kind == TokenKind::BeginArray) {
        step = stack_.start(std::make_unique<ModelArrayDecoder>(out_), token);
      } else {
        return fail_at(position, invalid_type(token, "struct FittedGam"));
      }
    } else {
      step = stack_.feed(token);
    }
    if (step == Step::Failed) return fail_at(position, stack_.error());
    return true;
  }

  std::string_view body_;
  FittedGam& out_;
  DecoderStack stack_;
  std::size_t consumed_ = 0;
  std::size_t open_ = 0;
  std::size_t error_position_ = 0;
  std::string error_text_;
};

std::string decode_failure(std::string_view body, std::size_t position, std::string_view text) {
  // Lines and columns as the JSON library counts them: the column is the
  // number of characters read on the current line.
  std::size_t line = 1;
  std::size_t line_start = 0;
  const std::size_t end = std::min(position, body.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (body[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const std::string column = std::to_string(position - line_start);
  std::string out(kPrefix);
  out += "JSON decode failed at byte " + column + ": ";
  out += text;
  out += " at line " + std::to_string(line) + " column " + column;
  return out;
}

Result<FittedGam> decode_body(std::string_view body) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (body.starts_with(kByteOrderMark)) {
    return invalid_parameter(decode_failure(body, kByteOrderMark.size(), "byte-order mark not allowed"));
  }
  FittedGam model;
  BodyHandler handler(body, model);
  const bool ok = nlohmann::json::sax_parse(CountingIterator(body.data(), body.data(), handler.consumed()),
                                            CountingIterator(body.data(), body.data() + body.size(), handler.consumed()),
                                            &handler);
  // The library takes a NUL byte for the end of the input; nothing after one
  // is read, so a NUL the reading reached is itself the failure.
  const std::size_t nul = body.find('\0');
  if (nul != std::string_view::npos && (ok || handler.error_position() > nul)) {
    return invalid_parameter(decode_failure(body, nul + 1, "unexpected NUL byte"));
  }
  if (!ok) return invalid_parameter(decode_failure(body, handler.error_position(), handler.error_text()));
  return model;
}

std::string byte_list(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += "]";
  return out;
}

std::uint64_t read_le(const std::uint8_t* at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

Result<FittedGam> deserialize_fitted_gam(std::span<const std::uint8_t> frame) {
  if (frame.size() < kHeaderSize) {
    return invalid_parameter(std::string(kPrefix) + "buffer too short (" + std::to_string(frame.size()) + " < " +
                             std::to_string(kHeaderSize) + " header bytes)");
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), frame.begin())) {
    return invalid_parameter(std::string(kPrefix) + "bad magic; expected " + byte_list(kMagic) + ", got " +
                             byte_list(frame.first(kMagic.size())));
  }
  const std::uint64_t version = read_le(frame.data() + kVersionOffset, 4);
  if (version != kFormatVersion) {
    return invalid_parameter(std::string(kPrefix) + "unsupported format_version=" + std::to_string(version) +
                             " (this build expects " + std::to_string(kFormatVersion) +
                             "). Re-serialize with a matching kavri release, or roll a migration.");
  }
  const std::uint64_t length = read_le(frame.data() + kLengthOffset, 8);
  if (length > std::numeric_limits<std::uint64_t>::max() - kHeaderSize) {
    return invalid_parameter(std::string(kPrefix) + "length overflow");
  }
  if (frame.size() - kHeaderSize < length) {
    return invalid_parameter(std::string(kPrefix) + "truncated body (have " + std::to_string(frame.size() - kHeaderSize) +
                             " bytes, header says " + std::to_string(length) + " payload bytes follow the " +
                             std::to_string(kHeaderSize) + "-byte header)");
  }
  const std::string_view body(reinterpret_cast<const char*>(frame.data() + kHeaderSize), length);
  return decode_body(body);
}

}  // namespace kavri::fit::persistence
