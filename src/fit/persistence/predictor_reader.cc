#include "fit/persistence/predictor_reader.h"

#include <array>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "fit/persistence/array_form.h"
#include "linalg/error.h"

namespace kavri::fit::persistence {
namespace {

using design::Predictor;

constexpr std::array<std::string_view, 5> kTags = {"cr", "re", "cr_stable", "additive", "tensor"};
constexpr std::string_view kExpectedPredictor = "internally tagged enum Predictor";
constexpr std::string_view kExpectedTag = "variant identifier";

RuleResult<std::size_t> tag_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kTags.size(); ++i)
    if (kTags[i] == name) return i;
  return std::unexpected("unknown variant `" + std::string(name) +
                         "`, expected one of `cr`, `re`, `cr_stable`, `additive`, `tensor`");
}

// The tag of a term predictor: a name or a variant index.
RuleResult<std::size_t> term_tag(const KeptValue& value) {
  const Token t = head_token(value);
  if (t.kind == TokenKind::String) return tag_by_name(t.text);
  if (t.kind == TokenKind::Unsigned) {
    if (t.unsigned_value < kTags.size()) return static_cast<std::size_t>(t.unsigned_value);
    return std::unexpected(invalid_integer_value(t, "variant index 0 <= i < 5"));
  }
  return std::unexpected(invalid_type(t, kExpectedTag));
}

// Field rules ---------------------------------------------------------------

template <class Out>
RuleResult<void> read_array_form(const KeptValue& value, Out& out) {
  DecoderStack stack;
  if (decode_kept(std::make_unique<ArrayFormDecoder>(out), value, stack) == Step::Failed) {
    return std::unexpected(stack.error());
  }
  return {};
}

RuleResult<void> read_count(const KeptValue& value, std::uint64_t& out) {
  auto count = read_usize(head_token(value));
  if (!count) return std::unexpected(std::move(count.error()));
  out = *count;
  return {};
}

const KeptValue::Array* sequence(const KeptValue& value, std::string& error) {
  const auto* array = value.array();
  if (!array) error = invalid_type(head_token(value), "a sequence");
  return array;
}

RuleResult<void> read_levels(const KeptValue& value, std::vector<double>& out) {
  std::string error;
  const auto* array = sequence(value, error);
  if (!array) return std::unexpected(std::move(error));
  for (const KeptValue& item : *array) {
    auto level = read_f64(head_token(item));
    if (!level) return std::unexpected(std::move(level.error()));
    out.push_back(*level);
  }
  return {};
}

RuleResult<void> read_margin_basis(const KeptValue& value, design::MarginBasis& out) {
  auto unknown = [](std::string_view name) {
    return std::unexpected("unknown variant `" + std::string(name) + "`, expected `cr`");
  };
  const Token t = head_token(value);
  if (t.kind == TokenKind::String) {
    if (t.text != "cr") return unknown(t.text);
  } else if (const auto* object = value.object()) {
    if (object->size() != 1) return std::unexpected(std::string("invalid value: map, expected map with a single key"));
    const KeptMember& only = object->front();
    if (only.key != "cr") return unknown(only.key);
    const auto* inner = only.value.object();
    const bool unit = std::holds_alternative<KeptValue::Null>(only.value.value) || (inner && inner->empty());
    if (!unit) return std::unexpected(invalid_type(head_token(only.value), "unit"));
  } else {
    return std::unexpected(invalid_type(t, "string or map"));
  }
  out = design::MarginBasis::Cr;
  return {};
}

RuleResult<void> read_cols_used(const KeptValue& value, std::vector<std::vector<std::uint64_t>>& out) {
  std::string error;
  const auto* terms = sequence(value, error);
  if (!terms) return std::unexpected(std::move(error));
  for (const KeptValue& term : *terms) {
    const auto* cols = sequence(term, error);
    if (!cols) return std::unexpected(std::move(error));
    std::vector<std::uint64_t>& row = out.emplace_back();
    for (const KeptValue& col : *cols) {
      KAVRI_TRY_VOID(read_count(col, row.emplace_back()));
    }
  }
  return {};
}

RuleResult<void> read_col_ranges(const KeptValue& value, std::vector<design::ColumnRange>& out) {
  constexpr std::string_view kTuple = "a tuple of size 2";
  std::string error;
  const auto* ranges = sequence(value, error);
  if (!ranges) return std::unexpected(std::move(error));
  for (const KeptValue& range : *ranges) {
    const auto* pair = range.array();
    if (!pair) return std::unexpected(invalid_type(head_token(range), kTuple));
    design::ColumnRange& r = out.emplace_back();
    std::uint64_t* ends[] = {&r.start, &r.end};
    for (std::size_t i = 0; i < 2; ++i) {
      if (i >= pair->size()) return std::unexpected(invalid_length(pair->size(), kTuple));
      KAVRI_TRY_VOID(read_count((*pair)[i], *ends[i]));
    }
    if (pair->size() > 2) return std::unexpected(invalid_length(pair->size(), elements_in_sequence(2)));
  }
  return {};
}

RuleResult<Predictor> read_term(const KeptValue& value);

RuleResult<void> read_terms(const KeptValue& value, std::vector<Predictor>& out) {
  std::string error;
  const auto* terms = sequence(value, error);
  if (!terms) return std::unexpected(std::move(error));
  for (const KeptValue& term : *terms) {
    auto p = read_term(term);
    if (!p) return std::unexpected(std::move(p.error()));
    out.push_back(std::move(*p));
  }
  return {};
}

// Payloads ------------------------------------------------------------------

template <class P>
struct Field {
  std::string_view name;
  RuleResult<void> (*read)(const KeptValue&, P&);
};

template <class P>
struct Payload;

template <>
struct Payload<design::CrPredictor> {
  using P = design::CrPredictor;
  static constexpr std::string_view kStruct = "struct CrPredictor with 2 elements";
  static constexpr std::array<Field<P>, 2> kFields = {{
      {"knots", [](const KeptValue& v, P& p) { return read_array_form(v, p.knots); }},
      {"centring", [](const KeptValue& v, P& p) { return read_array_form(v, p.centring); }},
  }};
};

template <>
struct Payload<design::RePredictor> {
  using P = design::RePredictor;
  static constexpr std::string_view kStruct = "struct RePredictor with 1 element";
  static constexpr std::array<Field<P>, 1> kFields = {{
      {"levels", [](const KeptValue& v, P& p) { return read_levels(v, p.levels); }},
  }};
};

template <>
struct Payload<design::CrStablePredictor> {
  using P = design::CrStablePredictor;
  static constexpr std::string_view kStruct = "struct CrStablePredictor with 3 elements";
  static constexpr std::array<Field<P>, 3> kFields = {{
      {"knots", [](const KeptValue& v, P& p) { return read_array_form(v, p.knots); }},
      {"centring", [](const KeptValue& v, P& p) { return read_array_form(v, p.centring); }},
      {"reparam_v", [](const KeptValue& v, P& p) { return read_array_form(v, p.reparam_v); }},
  }};
};

template <>
struct Payload<design::AdditivePredictor> {
  using P = design::AdditivePredictor;
  static constexpr std::string_view kStruct = "struct AdditivePredictor with 3 elements";
  static constexpr std::array<Field<P>, 3> kFields = {{
      {"term_predictors", [](const KeptValue& v, P& p) { return read_terms(v, p.term_predictors); }},
      {"cols_used", [](const KeptValue& v, P& p) { return read_cols_used(v, p.cols_used); }},
      {"term_col_ranges", [](const KeptValue& v, P& p) { return read_col_ranges(v, p.term_col_ranges); }},
  }};
};

template <>
struct Payload<design::TensorPredictor> {
  using P = design::TensorPredictor;
  static constexpr std::string_view kStruct = "struct TensorPredictor with 9 elements";
  static constexpr std::array<Field<P>, 9> kFields = {{
      {"col_a", [](const KeptValue& v, P& p) { return read_count(v, p.col_a); }},
      {"col_b", [](const KeptValue& v, P& p) { return read_count(v, p.col_b); }},
      {"bs_a", [](const KeptValue& v, P& p) { return read_margin_basis(v, p.bs_a); }},
      {"bs_b", [](const KeptValue& v, P& p) { return read_margin_basis(v, p.bs_b); }},
      {"knots_a", [](const KeptValue& v, P& p) { return read_array_form(v, p.knots_a); }},
      {"knots_b", [](const KeptValue& v, P& p) { return read_array_form(v, p.knots_b); }},
      {"xp_a", [](const KeptValue& v, P& p) { return read_array_form(v, p.xp_a); }},
      {"xp_b", [](const KeptValue& v, P& p) { return read_array_form(v, p.xp_b); }},
      {"centring", [](const KeptValue& v, P& p) { return read_array_form(v, p.centring); }},
  }};
};

// Object form: fields by name in document order, other keys ignored.
template <class P>
RuleResult<Predictor> payload_from_members(const KeptValue::Object& members) {
  const auto& fields = Payload<P>::kFields;
  P out{};
  std::array<bool, Payload<P>::kFields.size()> seen{};
  for (const KeptMember& member : members) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (member.key != fields[i].name) continue;
      if (seen[i]) return std::unexpected("duplicate field `" + std::string(fields[i].name) + "`");
      seen[i] = true;
      KAVRI_TRY_VOID(fields[i].read(member.value, out));
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (!seen[i]) return std::unexpected("missing field `" + std::string(fields[i].name) + "`");
  return Predictor{std::move(out)};
}

// Array form: the fields in declared order.
template <class P>
RuleResult<Predictor> payload_from_elements(std::span<const KeptValue> elements) {
  const auto& fields = Payload<P>::kFields;
  P out{};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i >= elements.size()) return std::unexpected(invalid_length(elements.size(), Payload<P>::kStruct));
    KAVRI_TRY_VOID(fields[i].read(elements[i], out));
  }
  if (elements.size() > fields.size()) {
    return std::unexpected(invalid_length(elements.size(), elements_in_sequence(fields.size())));
  }
  return Predictor{std::move(out)};
}

template <class Source>
RuleResult<Predictor> payload(std::size_t tag, const Source& source) {
  auto read = [&source]<class P>() {
    if constexpr (std::is_same_v<Source, KeptValue::Object>) {
      return payload_from_members<P>(source);
    } else {
      return payload_from_elements<P>(source);
    }
  };
  switch (tag) {
    case 0: return read.template operator()<design::CrPredictor>();
    case 1: return read.template operator()<design::RePredictor>();
    case 2: return read.template operator()<design::CrStablePredictor>();
    case 3: return read.template operator()<design::AdditivePredictor>();
    default: return read.template operator()<design::TensorPredictor>();
  }
}

RuleResult<Predictor> read_term(const KeptValue& value) {
  if (const auto* object = value.object()) {
    std::optional<std::size_t> tag;
    for (const KeptMember& member : *object) {
      if (member.key != "kind") continue;
      if (tag) return std::unexpected(std::string("duplicate field `kind`"));
      auto t = term_tag(member.value);
      if (!t) return std::unexpected(std::move(t.error()));
      tag = *t;
    }
    if (!tag) return std::unexpected(std::string("missing field `kind`"));
    return payload(*tag, *object);
  }
  if (const auto* array = value.array()) {
    if (array->empty()) return std::unexpected(std::string("missing field `kind`"));
    auto tag = term_tag(array->front());
    if (!tag) return std::unexpected(std::move(tag.error()));
    return payload(*tag, std::span<const KeptValue>(*array).subspan(1));
  }
  return std::unexpected(invalid_type(head_token(value), kExpectedPredictor));
}

// The top-level tag: a name only.
RuleResult<std::size_t> top_tag(const Token& token) {
  if (token.kind == TokenKind::String) return tag_by_name(token.text);
  return std::unexpected(invalid_type(token, kExpectedTag));
}

}  // namespace

Step PredictorDecoder::feed(const Token& token, DecoderStack& stack) {
  if (member_) {
    if (member_->feed(token)) {
      if (form_ == Form::Object) {
        members_.push_back({std::move(member_key_), member_->take()});
      } else {
        elements_.push_back(member_->take());
      }
      member_.reset();
    }
    return Step::More;
  }
  switch (form_) {
    case Form::Start:
      if (token.kind == TokenKind::BeginObject) {
        form_ = Form::Object;
      } else if (token.kind == TokenKind::BeginArray) {
        form_ = Form::Array;
      } else {
        return stack.fail(invalid_type(token, kExpectedPredictor));
      }
      return Step::More;

    case Form::Object:
      if (kind_value_next_) {
        kind_value_next_ = false;
        auto tag = top_tag(token);
        if (!tag) return stack.fail(std::move(tag.error()));
        tag_ = *tag;
        return Step::More;
      }
      if (token.kind == TokenKind::EndObject) return finish(stack);
      if (token.text == "kind") {
        if (tag_) return stack.fail("duplicate field `kind`");
        kind_value_next_ = true;
        return Step::More;
      }
      member_key_ = std::string(token.text);
      member_.emplace();
      return Step::More;

    case Form::Array:
      if (token.kind == TokenKind::EndArray) return finish(stack);
      if (!tag_) {
        auto tag = top_tag(token);
        if (!tag) return stack.fail(std::move(tag.error()));
        tag_ = *tag;
        return Step::More;
      }
      member_.emplace();
      if (member_->feed(token)) {
        elements_.push_back(member_->take());
        member_.reset();
      }
      return Step::More;
  }
  std::unreachable();
}

Step PredictorDecoder::finish(DecoderStack& stack) {
  if (!tag_) return stack.fail("missing field `kind`");
  auto p = form_ == Form::Object ? payload(*tag_, members_) : payload(*tag_, std::span<const KeptValue>(elements_));
  if (!p) return stack.fail(std::move(p.error()));
  out_ = std::move(*p);
  return Step::Done;
}

}  // namespace kavri::fit::persistence
