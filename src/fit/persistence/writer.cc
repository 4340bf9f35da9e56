#include "fit/persistence/writer.h"

#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <variant>

#include "family/link.h"
#include "fit/persistence/format.h"
#include "fit/persistence/number_text.h"

namespace kavri::fit::persistence {
namespace {

void put_double(std::string& out, double value) {
  if (std::isfinite(value)) {
    append_number_text(out, value);
  } else {
    out += "null";
  }
}

void put_count(std::string& out, std::uint64_t value) { out += std::to_string(value); }

// `"key":`, preceded by a comma unless it is the object's first member.
void put_key(std::string& out, std::string_view key, bool first = false) {
  if (!first) out.push_back(',');
  out.push_back('"');
  out += key;
  out += "\":";
}

// "[a,b,...]" with each element written by `put`.
template <class Range, class Put>
void put_list(std::string& out, const Range& items, Put put) {
  out.push_back('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.push_back(',');
    first = false;
    put(out, item);
  }
  out.push_back(']');
}

void put_array_form(std::string& out, const std::vector<std::uint64_t>& dims, const std::vector<double>& data) {
  out += "{\"v\":";
  put_count(out, kArrayFormVersion);
  out += ",\"dim\":";
  put_list(out, dims, put_count);
  out += ",\"data\":";
  put_list(out, data, put_double);
  out.push_back('}');
}

void put_vector(std::string& out, const linalg::Vector& v) { put_array_form(out, {v.size()}, v); }

void put_matrix(std::string& out, const linalg::Matrix& m) { put_array_form(out, {m.rows, m.cols}, m.data); }

void put_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

void put_string(std::string& out, std::string_view text) {
  out.push_back('"');
  out += text;
  out.push_back('"');
}

void put_predictor(std::string& out, const design::Predictor& predictor) { serialize_predictor(predictor, out); }

// `"key":` and the value as `put` writes it; after a comma unless first.
template <class T, class Put>
void put_member(std::string& out, std::string_view key, const T& value, Put put, bool first = false) {
  put_key(out, key, first);
  put(out, value);
}

void put_payload(std::string& out, const design::CrPredictor& p) {
  put_member(out, "knots", p.knots, put_vector);
  put_member(out, "centring", p.centring, put_matrix);
}

void put_payload(std::string& out, const design::RePredictor& p) {
  put_key(out, "levels");
  put_list(out, p.levels, put_double);
}

void put_payload(std::string& out, const design::CrStablePredictor& p) {
  put_member(out, "knots", p.knots, put_vector);
  put_member(out, "centring", p.centring, put_matrix);
  put_member(out, "reparam_v", p.reparam_v, put_matrix);
}

void put_payload(std::string& out, const design::AdditivePredictor& p) {
  put_key(out, "term_predictors");
  put_list(out, p.term_predictors, put_predictor);
  put_key(out, "cols_used");
  put_list(out, p.cols_used, [](std::string& o, const std::vector<std::uint64_t>& cols) { put_list(o, cols, put_count); });
  put_key(out, "term_col_ranges");
  put_list(out, p.term_col_ranges, [](std::string& o, const design::ColumnRange& r) {
    put_list(o, std::array{r.start, r.end}, put_count);
  });
}

void put_payload(std::string& out, const design::TensorPredictor& p) {
  put_member(out, "col_a", p.col_a, put_count);
  put_member(out, "col_b", p.col_b, put_count);
  // MarginBasis has the single kind Cr.
  put_member(out, "bs_a", std::string_view("cr"), put_string);
  put_member(out, "bs_b", std::string_view("cr"), put_string);
  put_member(out, "knots_a", p.knots_a, put_vector);
  put_member(out, "knots_b", p.knots_b, put_vector);
  put_member(out, "xp_a", p.xp_a, put_matrix);
  put_member(out, "xp_b", p.xp_b, put_matrix);
  put_member(out, "centring", p.centring, put_matrix);
}

template <class P>
constexpr std::string_view tag_of() {
  if constexpr (std::is_same_v<P, design::CrPredictor>) return "cr";
  else if constexpr (std::is_same_v<P, design::RePredictor>) return "re";
  else if constexpr (std::is_same_v<P, design::CrStablePredictor>) return "cr_stable";
  else if constexpr (std::is_same_v<P, design::AdditivePredictor>) return "additive";
  else return "tensor";
}

void put_le(std::uint8_t* out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void serialize_predictor(const design::Predictor& predictor, std::string& body) {
  std::visit(
      [&body](const auto& payload) {
        using P = std::decay_t<decltype(payload)>;
        body.push_back('{');
        put_member(body, "kind", tag_of<P>(), put_string, /*first=*/true);
        put_payload(body, payload);
        body.push_back('}');
      },
      predictor.payload);
}

std::vector<std::uint8_t> serialize_fitted_gam(const FittedGam& model) {
  std::string body;
  body.reserve(kInitialBodyCapacity);
  body.push_back('{');
  put_member(body, "beta", model.beta, put_vector, /*first=*/true);
  put_member(body, "rho", model.rho, put_vector);
  put_member(body, "lambda", model.lambda, put_vector);
  put_member(body, "scale", model.scale, put_double);
  put_member(body, "edf_total", model.edf_total, put_double);
  put_member(body, "edf_per_term", model.edf_per_term, put_vector);
  put_member(body, "n", model.n, put_count);
  put_member(body, "n_iters", model.n_iters, put_count);
  put_member(body, "converged", model.converged, put_bool);
  put_member(body, "reml_value", model.reml_value, put_double);
  put_member(body, "predictor", model.predictor, put_predictor);
  put_member(body, "vcov", model.vcov, put_matrix);
  put_member(body, "link_kind", family::link_kind_name(model.link_kind), put_string);
  put_member(body, "shape_params", model.shape_params, put_vector);
  body.push_back('}');

  std::vector<std::uint8_t> frame(kHeaderSize + body.size());
  std::memcpy(frame.data(), kMagic.data(), kMagic.size());
  put_le(frame.data() + kVersionOffset, kFormatVersion, 4);
  put_le(frame.data() + kLengthOffset, body.size(), 8);
  std::memcpy(frame.data() + kHeaderSize, body.data(), body.size());
  return frame;
}

}  // namespace kavri::fit::persistence
