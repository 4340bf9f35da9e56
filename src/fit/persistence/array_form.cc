#include "fit/persistence/array_form.h"

#include <memory>
#include <string>
#include <utility>

#include "fit/persistence/format.h"

namespace kavri::fit::persistence {
namespace {

constexpr std::uint64_t kSequenceFormElements = 3;  // [v, dim, data]

// Reads the elements of "dim" after its opening bracket.
class DimDecoder : public Decoder {
 public:
  DimDecoder(std::size_t ndim, std::optional<std::uint64_t> total, std::vector<std::uint64_t>& out)
      : ndim_(ndim), total_(total), out_(out) {
    out_.clear();
  }

  Step feed(const Token& token, DecoderStack& stack) override {
    if (!opened_) {  // the opening bracket
      opened_ = true;
      return Step::More;
    }
    if (token.kind == TokenKind::EndArray) {
      if (out_.size() < ndim_) {
        return stack.fail(invalid_length(out_.size(), "an array of length " + std::to_string(ndim_)));
      }
      return Step::Done;
    }
    if (out_.size() == ndim_) {
      if (total_) return stack.fail(invalid_length(*total_, elements_in_sequence(ndim_)));
      return stack.fail(std::string(kExtraElementsText));
    }
    auto count = read_usize(token);
    if (!count) return stack.fail(std::move(count.error()));
    out_.push_back(*count);
    return Step::More;
  }

 private:
  std::size_t ndim_;
  std::optional<std::uint64_t> total_;
  std::vector<std::uint64_t>& out_;
  bool opened_ = false;
};

// Reads the numbers of "data" after its opening bracket. Entries from the
// body are appended as they come: nothing is reserved from a stored size.
// A kept array announces how many values it holds in memory, and exactly
// that is reserved.
class DataDecoder : public Decoder {
 public:
  explicit DataDecoder(std::vector<double>& out) : out_(out) { out_.clear(); }

  Step feed(const Token& token, DecoderStack& stack) override {
    if (!opened_) {  // the opening bracket
      opened_ = true;
      if (token.count) out_.reserve(*token.count);
      return Step::More;
    }
    if (token.kind == TokenKind::EndArray) return Step::Done;
    auto value = read_f64(token);
    if (!value) return stack.fail(std::move(value.error()));
    out_.push_back(*value);
    return Step::More;
  }

 private:
  std::vector<double>& out_;
  bool opened_ = false;
};

}  // namespace

Step ArrayFormDecoder::feed(const Token& token, DecoderStack& stack) {
  switch (state_) {
    case State::Start:
      if (token.kind == TokenKind::BeginObject) {
        state_ = State::Key;
        return Step::More;
      }
      if (token.kind == TokenKind::BeginArray) {
        state_ = State::Element;
        total_ = token.count;
        return Step::More;
      }
      return stack.fail(invalid_type(token, "ndarray representation"));

    case State::Key:
      if (token.kind == TokenKind::EndObject) return finish(stack);
      if (token.text == "v") {
        pending_ = Part::Version;
      } else if (token.text == "dim") {
        pending_ = Part::Dim;
      } else if (token.text == "data") {
        pending_ = Part::Data;
      } else {
        return stack.fail("unknown field `" + std::string(token.text) + "`, expected one of `v`, `dim`, `data`");
      }
      state_ = State::Value;
      return Step::More;

    case State::Value:
      state_ = State::Key;
      return read_part(pending_, token, stack);

    case State::Element:
      if (token.kind == TokenKind::EndArray) {
        if (elements_ < kSequenceFormElements) {
          return stack.fail(invalid_length(elements_, "ndarray representation"));
        }
        return finish(stack);
      }
      if (elements_ == kSequenceFormElements) {
        if (total_) return stack.fail(invalid_length(*total_, elements_in_sequence(kSequenceFormElements)));
        return stack.fail(std::string(kExtraElementsText));
      }
      return read_part(static_cast<Part>(elements_++), token, stack);
  }
  std::unreachable();
}

Step ArrayFormDecoder::read_part(Part part, const Token& token, DecoderStack& stack) {
  switch (part) {
    case Part::Version: {
      auto version = read_u8(token);
      if (!version) return stack.fail(std::move(version.error()));
      if (*version != kArrayFormVersion) {
        return stack.fail("unknown array version: " + std::to_string(*version));
      }
      have_version_ = true;
      return Step::More;
    }
    case Part::Dim:
      if (token.kind != TokenKind::BeginArray) {
        return stack.fail(invalid_type(token, "an array of length " + std::to_string(ndim_)));
      }
      have_dim_ = true;
      return stack.start(std::make_unique<DimDecoder>(ndim_, token.count, dim_), token);
    case Part::Data:
      if (token.kind != TokenKind::BeginArray) return stack.fail(invalid_type(token, "a sequence"));
      have_data_ = true;
      return stack.start(std::make_unique<DataDecoder>(data_), token);
  }
  std::unreachable();
}

Step ArrayFormDecoder::finish(DecoderStack& stack) {
  if (!have_version_) return stack.fail("missing field `v`");
  if (!have_data_) return stack.fail("missing field `data`");
  if (!have_dim_) return stack.fail("missing field `dim`");
  // A stored size is untrusted: an overflowing product cannot match.
  std::uint64_t size = 1;
  for (std::uint64_t d : dim_) {
    if (__builtin_mul_overflow(size, d, &size)) return stack.fail("data and dimension must match in size");
  }
  if (size != data_.size()) return stack.fail("data and dimension must match in size");
  if (auto* vector = std::get_if<linalg::Vector*>(&out_)) {
    **vector = std::move(data_);
  } else {
    linalg::Matrix& m = *std::get<linalg::Matrix*>(out_);
    m.rows = dim_[0];
    m.cols = dim_[1];
    m.data = std::move(data_);
  }
  return Step::Done;
}

}  // namespace kavri::fit::persistence
