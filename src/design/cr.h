// Cubic regression spline terms, centred to sum to zero over the data, and
// the single-smooth designs "cr" and "cr_stable" built from them.
//
// A term of k knots has k − 1 columns B·Z (B the raw basis, Z the centring)
// and the penalty Z'·S'·Z, where S' is the spline penalty rescaled so that
// its largest absolute row sum is ‖B‖∞²: the penalty then does not depend on
// the covariate's units. The stable variant rotates the term by the
// eigenvectors of its penalty, largest eigenvalue first.
#pragma once

#include <cstdint>

#include "design/compact.h"
#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

struct CrTerm {
  linalg::Vector knots;     // k validated knots
  linalg::Matrix centring;  // Z, k × (k − 1)
  linalg::Matrix basis;     // B·Z, n × (k − 1)
  linalg::Matrix penalty;   // Z'·S'·Z, (k − 1) × (k − 1)
  CompactMargin margin;     // each row's place among the knots, for the compact form
};

struct CrStableTerm {
  linalg::Vector knots;      // k validated knots
  linalg::Matrix centring;   // Z, k × (k − 1)
  linalg::Matrix reparam_v;  // V, eigenvectors of Z'·S'·Z in descending eigenvalue order
  linalg::Matrix basis;      // (B·Z)·V, n × (k − 1)
  linalg::Matrix penalty;    // V'·(Z'·S'·Z)·V, diagonal up to rounding
  CompactMargin margin;      // each row's place among the knots, for the compact form
};

// The term of column `col` (< columns of x) with k knots. Fails on a
// non-finite value in the column, then with the errors of knot placement.
[[nodiscard]] Result<CrTerm> build_cr_term(linalg::MatrixView x, std::uint64_t col, std::uint64_t k);

// As `build_cr_term`, then the stable reparametrisation; its failure is
// Linalg "eigh failed in StableReparam: {}".
[[nodiscard]] Result<CrStableTerm> build_cr_stable_term(linalg::MatrixView x, std::uint64_t col,
                                                        std::uint64_t k);

// Designs [1 | term of column 0] with one penalty; x must have a column.
[[nodiscard]] Result<ModelDesign> build_single_cr_design(linalg::MatrixView x, std::uint64_t k);
[[nodiscard]] Result<ModelDesign> build_single_cr_stable_design(linalg::MatrixView x, std::uint64_t k);

}  // namespace kavri::design
