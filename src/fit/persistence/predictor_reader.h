// The reader of a persisted `Predictor`, the value of the model's
// "predictor" member. The variant is named by a "kind" member that may stand
// anywhere in the object (or by the first element of the array form), so the
// value is read in two stages: the first resolves the tag as soon as it is
// met and keeps every other member (kept_value.h); once the value has closed,
// the second decodes the variant's fields from the kept members.
//
// Term predictors of an additive predictor are read from kept values by the
// same rules, except that their tag may also be the variant index (0 "cr",
// 1 "re", 2 "cr_stable", 3 "additive", 4 "tensor").
//
// Each payload must have the shapes a fit gives it, so that the work of a
// loaded model's methods is bounded by the arrays the frame stores: a spline
// or tensor margin has at least 3 knots; for k knots the centring is
// k × (k − 1) and a stable spline's rotation (k − 1) × (k − 1); a tensor
// term's transforms are k_a × k_a and k_b × k_b and its centring
// (k_a·k_b) × (k_a·k_b − 1); "re" levels are finite and strictly increasing
// (−0.0 before 0.0). These rules run after the payload's fields are read.
// Knot values, the additive bookkeeping and column numbers are taken as
// stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "design/records.h"
#include "fit/persistence/decoder.h"
#include "fit/persistence/kept_value.h"

namespace kavri::fit::persistence {

class PredictorDecoder : public Decoder {
 public:
  explicit PredictorDecoder(design::Predictor& out) : out_(out) {}

  Step feed(const Token& token, DecoderStack& stack) override;

 private:
  enum class Form { Start, Object, Array };

  Step finish(DecoderStack& stack);

  design::Predictor& out_;
  Form form_ = Form::Start;
  std::optional<std::size_t> tag_;
  bool kind_value_next_ = false;  // the object form's "kind" key was just read
  bool keeping_ = false;          // a member's or element's value is going onto the tape
  // Object form: the members, "kind" left out; array form: the elements
  // after the tag.
  KeptTape tape_;
};

}  // namespace kavri::fit::persistence
