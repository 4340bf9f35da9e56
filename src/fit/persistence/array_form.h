// The decoder of a persisted vector or matrix: the object form
// {"v":1,"dim":[...],"data":[...]} with its keys in any order, or the
// sequence form [v, dim, data]. "dim" holds one count for a vector and two
// (rows, columns) for a matrix; "data" holds the entries in row-major order,
// null standing for NaN.
//
// The same decoder reads a member streamed from the body and a value kept
// inside a predictor. The two differ only where an array has more elements
// than the form allows: from the body that is an error of the JSON reading,
// from a kept value an "invalid length" naming the total.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "fit/persistence/decoder.h"
#include "linalg/matrix.h"

namespace kavri::fit::persistence {

class ArrayFormDecoder : public Decoder {
 public:
  explicit ArrayFormDecoder(linalg::Vector& out) : out_(&out), ndim_(1) {}
  explicit ArrayFormDecoder(linalg::Matrix& out) : out_(&out), ndim_(2) {}

  Step feed(const Token& token, DecoderStack& stack) override;

 private:
  enum class State { Start, Key, Value, Element };
  enum class Part { Version, Dim, Data };

  Step read_part(Part part, const Token& token, DecoderStack& stack);
  Step finish(DecoderStack& stack);

  std::variant<linalg::Vector*, linalg::Matrix*> out_;
  std::size_t ndim_;
  State state_ = State::Start;
  Part pending_ = Part::Version;
  std::uint64_t elements_ = 0;            // sequence form: elements read
  std::optional<std::uint64_t> total_;    // sequence form from a kept value: its length
  bool have_version_ = false;
  bool have_dim_ = false;
  bool have_data_ = false;
  std::vector<std::uint64_t> dim_;
  std::vector<double> data_;
};

}  // namespace kavri::fit::persistence
