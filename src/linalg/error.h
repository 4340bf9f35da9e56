// The one error type of the core and the `Result` alias that carries it.
//
// Every fallible operation returns `Result<T>`: its value or a `KavriError`
// whose message is complete where the failure was detected. The core never
// throws; callers pass errors up unchanged with `KAVRI_TRY`.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

namespace kavri {

// An input violates a stated condition: an argument out of range, data
// outside a family's domain, a malformed design request or persisted model.
// Pick this whenever the caller could have avoided the failure.
struct InvalidParameter {
  std::string message;
};
// A Cholesky factorisation failed because the matrix is not numerically
// positive definite. The message names the place and ends with the LAPACK
// failure text.
struct SingularSystem {
  std::string message;
};
// The outer Newton search stopped at its iteration limit.
struct NotConverged {
  std::uint64_t iters = 0;
  double grad_norm = 0.0;
};
// An eigendecomposition failed inside a design builder; the message names the
// place and ends with the LAPACK failure text.
struct Linalg {
  std::string message;
};

struct KavriError {
  std::variant<InvalidParameter, SingularSystem, NotConverged, Linalg> payload;

  template <class V>
  bool is() const { return std::holds_alternative<V>(payload); }
  template <class V>
  const V& as() const { return std::get<V>(payload); }

  // The message of the three text variants; empty for NotConverged.
  const std::string& message() const;
  // "singular system: {}", "solver did not converge after {} iterations
  // (last grad norm = {})", "linalg failure: {}"; InvalidParameter shows its
  // bare message.
  std::string display() const;
};

template <class T>
using Result = std::expected<T, KavriError>;

// Shorthands for the failure side of a `Result`.
inline std::unexpected<KavriError> invalid_parameter(std::string message) {
  return std::unexpected(KavriError{InvalidParameter{std::move(message)}});
}
inline std::unexpected<KavriError> singular_system(std::string message) {
  return std::unexpected(KavriError{SingularSystem{std::move(message)}});
}
inline std::unexpected<KavriError> not_converged(std::uint64_t iters, double grad_norm) {
  return std::unexpected(KavriError{NotConverged{iters, grad_norm}});
}
inline std::unexpected<KavriError> linalg_error(std::string message) {
  return std::unexpected(KavriError{Linalg{std::move(message)}});
}

}  // namespace kavri

#define KAVRI_CONCAT_INNER_(a, b) a##b
#define KAVRI_CONCAT_(a, b) KAVRI_CONCAT_INNER_(a, b)
#define KAVRI_TRY_IMPL_(tmp, decl, expr)                     \
  auto tmp = (expr);                                         \
  if (!tmp.has_value()) return std::unexpected(std::move(tmp.error())); \
  decl = std::move(*tmp)
// KAVRI_TRY(auto fit, run_pirls(problem)); binds the value or returns the
// error from the enclosing function.
#define KAVRI_TRY(decl, expr) KAVRI_TRY_IMPL_(KAVRI_CONCAT_(kavri_try_, __LINE__), decl, expr)
// For Result<void> and results whose value is not needed.
#define KAVRI_TRY_VOID(expr)                                                   \
  do {                                                                         \
    auto kavri_try_void_ = (expr);                                             \
    if (!kavri_try_void_.has_value()) return std::unexpected(std::move(kavri_try_void_.error())); \
  } while (0)
