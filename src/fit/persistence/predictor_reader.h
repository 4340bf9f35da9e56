// The reader of a persisted `Predictor`, the value of the model's
// "predictor" member. The variant is named by a "kind" member that may stand
// anywhere in the object (or by the first element of the array form), so the
// value is read in two stages: the first resolves the tag as soon as it is
// met and keeps every other member (kept_value.h); once the value has closed,
// the second decodes the variant's fields from the kept members.
//
// Term predictors of an additive predictor are read from kept values by the
// same rules, except that their tag may also be the variant index (0 "cr",
// 1 "re", 2 "cr_stable", 3 "additive", 4 "tensor"). Only structure is
// checked: knots, shapes and column numbers are taken as stored.
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
  std::optional<KeptBuilder> member_;  // the member or element being kept
  std::string member_key_;
  KeptValue::Object members_;   // object form, "kind" left out
  KeptValue::Array elements_;   // array form, tag left out
};

}  // namespace kavri::fit::persistence
