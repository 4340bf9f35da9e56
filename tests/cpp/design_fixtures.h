// Covariates and term requests shared by the additive, tensor and rebuild
// tests: a few columns of known character, so that each test can say which
// kind of term reads which column.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "design/records.h"
#include "linalg/matrix.h"

namespace kavri::testing {

// n × 4, row-major:
//   column 0  an uneven smooth covariate, all values distinct
//   column 1  three levels 0.5, 1.5, 2.5, cycling
//   column 2  a second smooth covariate, all values distinct, not monotone in
//             the row index
//   column 3  four levels −1, 0, 1, 2, cycling with a period prime to 3
inline linalg::Matrix mixed_covariates(std::size_t n) {
  linalg::Matrix x(n, 4);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = n > 1 ? static_cast<double>(i) / static_cast<double>(n - 1) : 0.0;
    x(i, 0) = 3.0 * t * t + 0.4 * std::sin(7.0 * t) - 1.0;
    x(i, 1) = 0.5 + static_cast<double>(i % 3);
    x(i, 2) = std::cos(11.0 * t) + 0.25 * t;
    x(i, 3) = -1.0 + static_cast<double>(i % 4);
  }
  return x;
}

// Term requests, as the module's term grammar produces them.
inline design::TermSpec cr_term(std::uint64_t col, std::uint64_t k) { return {design::TermSpec::Cr{col, k}}; }
inline design::TermSpec cr_stable_term(std::uint64_t col, std::uint64_t k) {
  return {design::TermSpec::CrStable{col, k}};
}
inline design::TermSpec re_term(std::uint64_t col) { return {design::TermSpec::Re{col}}; }
inline design::TermSpec te_term(std::uint64_t col_a, std::uint64_t col_b, std::uint64_t k_a, std::uint64_t k_b) {
  return {design::TermSpec::Te{col_a, col_b, k_a, k_b}};
}

}  // namespace kavri::testing
