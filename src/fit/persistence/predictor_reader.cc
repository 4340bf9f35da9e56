#include "fit/persistence/predictor_reader.h"

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "common/format.h"
#include "common/numeric.h"
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
  const Token t = value.head();
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
  auto count = read_usize(value.head());
  if (!count) return std::unexpected(std::move(count.error()));
  out = *count;
  return {};
}

RuleResult<KeptElements> sequence(const KeptValue& value) {
  if (!value.is_array()) return std::unexpected(invalid_type(value.head(), "a sequence"));
  return value.elements();
}

RuleResult<void> read_levels(const KeptValue& value, std::vector<double>& out) {
  KAVRI_TRY(const KeptElements items, sequence(value));
  out.reserve(items.size());
  for (const KeptValue item : items) {
    auto level = read_f64(item.head());
    if (!level) return std::unexpected(std::move(level.error()));
    out.push_back(*level);
  }
  return {};
}

RuleResult<void> read_margin_basis(const KeptValue& value, design::MarginBasis& out) {
  auto unknown = [](std::string_view name) {
    return std::unexpected("unknown variant `" + std::string(name) + "`, expected `cr`");
  };
  const Token t = value.head();
  if (t.kind == TokenKind::String) {
    if (t.text != "cr") return unknown(t.text);
  } else if (value.is_object()) {
    const KeptMembers members = value.members();
    if (members.size() != 1) return std::unexpected(std::string("invalid value: map, expected map with a single key"));
    const KeptMember only = *members.begin();
    if (only.key != "cr") return unknown(only.key);
    const bool unit = only.value.is_null() || (only.value.is_object() && only.value.members().size() == 0);
    if (!unit) return std::unexpected(invalid_type(only.value.head(), "unit"));
  } else {
    return std::unexpected(invalid_type(t, "string or map"));
  }
  out = design::MarginBasis::Cr;
  return {};
}

RuleResult<void> read_cols_used(const KeptValue& value, std::vector<std::vector<std::uint64_t>>& out) {
  KAVRI_TRY(const KeptElements terms, sequence(value));
  for (const KeptValue term : terms) {
    KAVRI_TRY(const KeptElements cols, sequence(term));
    std::vector<std::uint64_t>& row = out.emplace_back();
    for (const KeptValue col : cols) {
      KAVRI_TRY_VOID(read_count(col, row.emplace_back()));
    }
  }
  return {};
}

RuleResult<void> read_col_ranges(const KeptValue& value, std::vector<design::ColumnRange>& out) {
  constexpr std::string_view kTuple = "a tuple of size 2";
  KAVRI_TRY(const KeptElements ranges, sequence(value));
  for (const KeptValue range : ranges) {
    if (!range.is_array()) return std::unexpected(invalid_type(range.head(), kTuple));
    const KeptElements pair = range.elements();
    design::ColumnRange& r = out.emplace_back();
    std::uint64_t* ends[] = {&r.start, &r.end};
    auto end = pair.begin();
    for (std::size_t i = 0; i < 2; ++i, ++end) {
      if (i >= pair.size()) return std::unexpected(invalid_length(pair.size(), kTuple));
      KAVRI_TRY_VOID(read_count(*end, *ends[i]));
    }
    if (pair.size() > 2) return std::unexpected(invalid_length(pair.size(), elements_in_sequence(2)));
  }
  return {};
}

RuleResult<Predictor> read_term(const KeptValue& value);

RuleResult<void> read_terms(const KeptValue& value, std::vector<Predictor>& out) {
  KAVRI_TRY(const KeptElements terms, sequence(value));
  for (const KeptValue term : terms) {
    auto p = read_term(term);
    if (!p) return std::unexpected(std::move(p.error()));
    out.push_back(std::move(*p));
  }
  return {};
}

// Shapes ---------------------------------------------------------------------
//
// A loaded model is used without further checks of size, so each payload
// must have the shape that a fit gives it: a method's work then grows with
// the arrays stored, never with a count that stands for arrays left out.

std::string dims(std::uint64_t rows, std::uint64_t cols) {
  return common::format_count(rows) + " × " + common::format_count(cols);
}

// A spline or margin fits at least three knots.
RuleResult<void> require_knots(std::string_view field, const linalg::Vector& knots) {
  if (knots.size() >= 3) return {};
  return std::unexpected("invalid length of `" + std::string(field) + "`: " + common::format_count(knots.size()) +
                         ", expected at least 3 knots");
}

RuleResult<void> require_shape(std::string_view field, const linalg::Matrix& m, std::uint64_t rows,
                               std::uint64_t cols, std::string_view reason) {
  if (m.rows == rows && m.cols == cols) return {};
  return std::unexpected("invalid shape of `" + std::string(field) + "`: " + dims(m.rows, m.cols) + ", expected " +
                         dims(rows, cols) + " " + std::string(reason));
}

// The order in which a fit sorts levels: ascending, −0.0 before 0.0.
bool level_before(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

RuleResult<void> require_levels(const std::vector<double>& levels) {
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const std::string at = common::format_double(levels[i]) + " at index " + common::format_count(i);
    if (!std::isfinite(levels[i])) {
      return std::unexpected("invalid value of `levels`: " + at + ", expected finite levels");
    }
    if (i > 0 && !level_before(levels[i - 1], levels[i])) {
      return std::unexpected("invalid value of `levels`: " + at + " after " + common::format_double(levels[i - 1]) +
                             ", expected strictly increasing levels");
    }
  }
  return {};
}

// Z of a k-knot spline: k × (k − 1).
RuleResult<void> require_spline(const linalg::Vector& knots, const linalg::Matrix& centring) {
  KAVRI_TRY_VOID(require_knots("knots", knots));
  const std::uint64_t k = knots.size();
  return require_shape("centring", centring, k, k - 1, "for " + common::format_count(k) + " knots");
}

// Payloads ------------------------------------------------------------------

template <class P>
struct Field {
  std::string_view name;
  RuleResult<void> (*read)(const KeptValue&, P&);
};

// A field that holds an array form, read into member M of P.
template <class P, auto M>
constexpr Field<P> array_field(std::string_view name) {
  return {name, [](const KeptValue& v, P& p) { return read_array_form(v, p.*M); }};
}

template <class P>
struct Payload;

template <>
struct Payload<design::CrPredictor> {
  using P = design::CrPredictor;
  static constexpr std::string_view kStruct = "struct CrPredictor with 2 elements";
  static constexpr std::array<Field<P>, 2> kFields = {{
      array_field<P, &P::knots>("knots"),
      array_field<P, &P::centring>("centring"),
  }};
  static RuleResult<void> check(const P& p) { return require_spline(p.knots, p.centring); }
};

template <>
struct Payload<design::RePredictor> {
  using P = design::RePredictor;
  static constexpr std::string_view kStruct = "struct RePredictor with 1 element";
  static constexpr std::array<Field<P>, 1> kFields = {{
      {"levels", [](const KeptValue& v, P& p) { return read_levels(v, p.levels); }},
  }};
  static RuleResult<void> check(const P& p) { return require_levels(p.levels); }
};

template <>
struct Payload<design::CrStablePredictor> {
  using P = design::CrStablePredictor;
  static constexpr std::string_view kStruct = "struct CrStablePredictor with 3 elements";
  static constexpr std::array<Field<P>, 3> kFields = {{
      array_field<P, &P::knots>("knots"),
      array_field<P, &P::centring>("centring"),
      array_field<P, &P::reparam_v>("reparam_v"),
  }};
  // V rotates the k − 1 centred columns.
  static RuleResult<void> check(const P& p) {
    KAVRI_TRY_VOID(require_spline(p.knots, p.centring));
    const std::uint64_t m = p.knots.size() - 1;
    return require_shape("reparam_v", p.reparam_v, m, m, "for " + common::format_count(p.knots.size()) + " knots");
  }
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
  // Each term was checked as it was read.
  static RuleResult<void> check(const P&) { return {}; }
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
      array_field<P, &P::knots_a>("knots_a"),
      array_field<P, &P::knots_b>("knots_b"),
      array_field<P, &P::xp_a>("xp_a"),
      array_field<P, &P::xp_b>("xp_b"),
      array_field<P, &P::centring>("centring"),
  }};
  // Square margin transforms, and Z of the k_a·k_b tensor basis functions.
  static RuleResult<void> check(const P& p) {
    KAVRI_TRY_VOID(require_knots("knots_a", p.knots_a));
    KAVRI_TRY_VOID(require_knots("knots_b", p.knots_b));
    const std::uint64_t k_a = p.knots_a.size(), k_b = p.knots_b.size();
    KAVRI_TRY_VOID(require_shape("xp_a", p.xp_a, k_a, k_a, "for " + common::format_count(k_a) + " knots in `knots_a`"));
    KAVRI_TRY_VOID(require_shape("xp_b", p.xp_b, k_b, k_b, "for " + common::format_count(k_b) + " knots in `knots_b`"));
    const std::string reason = "for " + dims(k_a, k_b) + " margin knots";
    const std::optional<std::uint64_t> k = common::checked_mul(k_a, k_b);
    if (!k) return std::unexpected("invalid shape of `centring`: " + dims(p.centring.rows, p.centring.cols) +
                                   ", expected one row per tensor basis function " + reason);
    return require_shape("centring", p.centring, *k, *k - 1, reason);
  }
};

// Object form: fields by name in document order, other keys ignored.
template <class P>
RuleResult<Predictor> payload_from_members(const KeptMembers& members) {
  const auto& fields = Payload<P>::kFields;
  P out{};
  std::array<bool, Payload<P>::kFields.size()> seen{};
  for (const KeptMember member : members) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (member.key != fields[i].name) continue;
      if (seen[i]) return std::unexpected("duplicate field `" + std::string(fields[i].name) + "`");
      seen[i] = true;
      KAVRI_TRY_VOID(fields[i].read(member.value, out));
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (!seen[i]) return std::unexpected("missing field `" + std::string(fields[i].name) + "`");
  KAVRI_TRY_VOID(Payload<P>::check(out));
  return Predictor{std::move(out)};
}

// Array form: the fields in declared order.
template <class P>
RuleResult<Predictor> payload_from_elements(const KeptElements& elements) {
  const auto& fields = Payload<P>::kFields;
  P out{};
  std::size_t i = 0;
  for (auto element = elements.begin(); i < fields.size() && i < elements.size(); ++i, ++element) {
    KAVRI_TRY_VOID(fields[i].read(*element, out));
  }
  if (elements.size() < fields.size()) return std::unexpected(invalid_length(elements.size(), Payload<P>::kStruct));
  if (elements.size() > fields.size()) {
    return std::unexpected(invalid_length(elements.size(), elements_in_sequence(fields.size())));
  }
  KAVRI_TRY_VOID(Payload<P>::check(out));
  return Predictor{std::move(out)};
}

template <class Source>
RuleResult<Predictor> payload(std::size_t tag, const Source& source) {
  auto read = [&source]<class P>() {
    if constexpr (std::is_same_v<Source, KeptMembers>) {
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
  if (value.is_object()) {
    std::optional<std::size_t> tag;
    for (const KeptMember member : value.members()) {
      if (member.key != "kind") continue;
      if (tag) return std::unexpected(std::string("duplicate field `kind`"));
      auto t = term_tag(member.value);
      if (!t) return std::unexpected(std::move(t.error()));
      tag = *t;
    }
    if (!tag) return std::unexpected(std::string("missing field `kind`"));
    return payload(*tag, value.members());
  }
  if (value.is_array()) {
    const KeptElements elements = value.elements();
    if (elements.size() == 0) return std::unexpected(std::string("missing field `kind`"));
    auto tag = term_tag(*elements.begin());
    if (!tag) return std::unexpected(std::move(tag.error()));
    return payload(*tag, elements.rest());
  }
  return std::unexpected(invalid_type(value.head(), kExpectedPredictor));
}

// The top-level tag: a name only.
RuleResult<std::size_t> top_tag(const Token& token) {
  if (token.kind == TokenKind::String) return tag_by_name(token.text);
  return std::unexpected(invalid_type(token, kExpectedTag));
}

}  // namespace

Step PredictorDecoder::feed(const Token& token, DecoderStack& stack) {
  if (keeping_) {
    keeping_ = !tape_.append(token);
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
      tape_.append(token);  // the key; its value follows
      keeping_ = true;
      return Step::More;

    case Form::Array:
      if (token.kind == TokenKind::EndArray) return finish(stack);
      if (!tag_) {
        auto tag = top_tag(token);
        if (!tag) return stack.fail(std::move(tag.error()));
        tag_ = *tag;
        return Step::More;
      }
      keeping_ = !tape_.append(token);
      return Step::More;
  }
  std::unreachable();
}

Step PredictorDecoder::finish(DecoderStack& stack) {
  if (!tag_) return stack.fail("missing field `kind`");
  const std::uint64_t kept = tape_.top_level_count();
  auto p = form_ == Form::Object ? payload(*tag_, KeptMembers(tape_, 0, tape_.size(), kept))
                                 : payload(*tag_, KeptElements(tape_, 0, tape_.size(), kept));
  if (!p) return stack.fail(std::move(p.error()));
  out_ = std::move(*p);
  return Step::Done;
}

}  // namespace kavri::fit::persistence
