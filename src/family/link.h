// Link functions η = g(μ) shared by the families, with the floors and clamps
// that keep every logarithm and division defined.
//
// A link is an empty type with static `link`, `link_inverse` and
// `link_derivative` (g'(μ) = dη/dμ); a family inherits the one it uses. NaN
// means take the floor (`common::floor_at`); the logit clamp lets NaN through.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/numeric.h"

namespace kavri::family {

// The link of a fitted model, stored in one byte and persisted by name.
// Each link type states its own, so a family's fitted model names the
// inverse link the family was fitted with.
enum class LinkKind : std::uint8_t {
  Identity = 0,  // μ = η
  Log = 1,       // μ = exp(η)
  Logit = 2,     // μ = 1 / (1 + exp(−η)), formed without overflow
};

// The persisted names of the links, indexed by their byte.
inline constexpr std::array<std::string_view, 3> kLinkKindNames = {"Identity", "Log", "Logit"};

inline std::string_view link_kind_name(LinkKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kLinkKindNames.size() ? kLinkKindNames[index] : kLinkKindNames[0];
}

// The link a persisted name stands for; none for an unknown name.
inline std::optional<LinkKind> link_kind_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kLinkKindNames.size(); ++i)
    if (kLinkKindNames[i] == name) return static_cast<LinkKind>(i);
  return std::nullopt;
}

// Floor of means (and of some responses) before a logarithm or a division:
// far below any mean a fit can use, yet its logarithm is finite.
inline constexpr double kLogFloor = 1e-300;
// The logit clamp keeps μ this far from 0 and 1, so g'(μ) stays near 1e15.
inline constexpr double kLogitLow = 1e-15;
inline constexpr double kLogitHigh = 0.999999999999999;

// max(μ, 1e-300); NaN gives 1e-300.
inline double log_floor(double mu) { return common::floor_at(mu, kLogFloor); }

// μ clamped into [1e-15, 0.999999999999999]; NaN stays NaN.
inline double logit_clamp(double mu) {
  if (mu < kLogitLow) return kLogitLow;
  if (mu > kLogitHigh) return kLogitHigh;
  return mu;
}

// 1/(1 + e^(−η)) without overflow: the exponential is only ever taken of a
// non-positive argument, so η = ±800 gives exactly 1 and 0. NaN stays NaN.
inline double logistic(double eta) {
  // Both branches take exp(−|η|); selecting the numerator instead of
  // branching keeps the bits and costs no misprediction when the signs of
  // η alternate from row to row.
  const double e = std::exp(-std::fabs(eta));
  return common::select(eta >= 0.0, 1.0, e) / (e + 1.0);
}

struct IdentityLink {
  static constexpr LinkKind link_kind() { return LinkKind::Identity; }
  static double link(double mu) { return mu; }
  static double link_inverse(double eta) { return eta; }
  static double link_derivative(double /*mu*/) { return 1.0; }
};

struct LogLink {
  static constexpr LinkKind link_kind() { return LinkKind::Log; }
  static double link(double mu) { return std::log(log_floor(mu)); }
  // No clamp: an overflowing mean is left for the caller's finiteness checks.
  static double link_inverse(double eta) { return std::exp(eta); }
  static double link_derivative(double mu) { return 1.0 / log_floor(mu); }
};

struct LogitLink {
  static constexpr LinkKind link_kind() { return LinkKind::Logit; }
  static double link(double mu) {
    const double c = logit_clamp(mu);
    return std::log(c / (1.0 - c));
  }
  static double link_inverse(double eta) { return logistic(eta); }
  static double link_derivative(double mu) {
    const double c = logit_clamp(mu);
    return 1.0 / ((1.0 - c) * c);
  }
};

}  // namespace kavri::family
