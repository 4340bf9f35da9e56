// Frames around hand-written bodies for the reader tests, and the expected
// text of a body failure. A body may carry one '|' marking the column the
// failure is reported at: the character before it ends the token that
// fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fit/persistence/reader.h"
#include "fit/persistence/writer.h"
#include "test_util.h"

namespace kavri::testing {

// Header with format version 1 and the body's length, then the body.
inline std::vector<std::uint8_t> frame_of(std::string_view body) {
  std::vector<std::uint8_t> frame = {'K', 'A', 'V', 'R', 'I', 1, 0, 0, 0};
  for (std::size_t i = 0; i < 8; ++i) frame.push_back(static_cast<std::uint8_t>(body.size() >> (8 * i)));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

inline std::string body_of(const std::vector<std::uint8_t>& frame) {
  return std::string(frame.begin() + 17, frame.end());
}

inline std::string decode_failure(std::size_t column, std::string_view text, std::size_t line = 1) {
  const std::string c = std::to_string(column);
  return "FittedGam::deserialize: JSON decode failed at byte " + c + ": " + std::string(text) + " at line " +
         std::to_string(line) + " column " + c;
}

struct MarkedBody {
  std::string body;
  std::size_t column;
};

inline MarkedBody unmark(std::string_view marked) {
  const std::size_t at = marked.find('|');
  EXPECT_NE(at, std::string_view::npos) << "no marker in " << marked;
  std::string body(marked.substr(0, at));
  body += marked.substr(at + 1);
  return {body, at};
}

// Reading the marked body fails at the marker with `text`.
inline void expect_body_failure(std::string_view marked, std::string_view text) {
  const MarkedBody m = unmark(marked);
  auto result = fit::persistence::deserialize_fitted_gam(frame_of(m.body));
  ASSERT_FALSE(result.has_value()) << "accepted: " << m.body;
  expect_invalid_parameter(result.error(), decode_failure(m.column, text));
}

inline fit::FittedGam expect_read(std::string_view body) {
  auto result = fit::persistence::deserialize_fitted_gam(frame_of(body));
  EXPECT_TRUE(result.has_value()) << result.error().message();
  return result.has_value() ? std::move(*result) : fit::FittedGam{};
}

}  // namespace kavri::testing
