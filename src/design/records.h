// The records that the design builders hand to the rest of the system: the
// typed term request `TermSpec`, the `Predictor` that rebuilds a model
// matrix at new covariates, the `ModelDesign` given to a fit driver and the
// `PenaltySummary` of one penalty.
//
// Records are plain aggregates that own their arrays; matrices are
// row-major, column numbers and counts unsigned 64-bit. Field order is the
// persisted order. Model-matrix column 0 is always the intercept.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "design/compact.h"
#include "design/re_blocks.h"
#include "linalg/matrix.h"

namespace kavri::design {

// One additive term as requested by the caller; no field has a default.
struct TermSpec {
  // Cubic regression spline of column `col` with `k` knots.
  struct Cr {
    std::uint64_t col = 0;
    std::uint64_t k = 0;
    friend bool operator==(const Cr&, const Cr&) = default;
  };
  // The same spline after the stable (eigenvector) reparametrisation.
  struct CrStable {
    std::uint64_t col = 0;
    std::uint64_t k = 0;
    friend bool operator==(const CrStable&, const CrStable&) = default;
  };
  // Random effect: one indicator column per distinct value of `col`.
  struct Re {
    std::uint64_t col = 0;
    friend bool operator==(const Re&, const Re&) = default;
  };
  // Tensor product of a `k_a`-knot spline of `col_a` and a `k_b`-knot
  // spline of `col_b`.
  struct Te {
    std::uint64_t col_a = 0;
    std::uint64_t col_b = 0;
    std::uint64_t k_a = 0;
    std::uint64_t k_b = 0;
    friend bool operator==(const Te&, const Te&) = default;
  };

  std::variant<Cr, CrStable, Re, Te> payload;

  template <class V>
  bool is() const { return std::holds_alternative<V>(payload); }
  template <class V>
  const V& as() const { return std::get<V>(payload); }
  friend bool operator==(const TermSpec&, const TermSpec&) = default;
};

// The basis kind of a tensor margin; persisted as "cr".
enum class MarginBasis { Cr };

struct CrPredictor {
  linalg::Vector knots;     // k strictly increasing knots
  linalg::Matrix centring;  // Z, k × (k − 1)
  friend bool operator==(const CrPredictor&, const CrPredictor&) = default;
};

struct RePredictor {
  std::vector<double> levels;  // sorted, bit-distinct; level j is indicator column j
  friend bool operator==(const RePredictor&, const RePredictor&) = default;
};

struct CrStablePredictor {
  linalg::Vector knots;      // k strictly increasing knots
  linalg::Matrix centring;   // Z, k × (k − 1)
  linalg::Matrix reparam_v;  // V, (k − 1) × (k − 1), descending eigenvalue order
  friend bool operator==(const CrStablePredictor&, const CrStablePredictor&) = default;
};

// Columns [start, end) of one term's block in the model matrix.
struct ColumnRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // exclusive
  friend bool operator==(const ColumnRange&, const ColumnRange&) = default;
};

struct Predictor;

struct AdditivePredictor {
  std::vector<Predictor> term_predictors;              // one per term, in term order
  std::vector<std::vector<std::uint64_t>> cols_used;   // per term the covariate columns it reads
  std::vector<ColumnRange> term_col_ranges;            // per term; the first starts at 1
  friend bool operator==(const AdditivePredictor&, const AdditivePredictor&);
};

struct TensorPredictor {
  std::uint64_t col_a = 0;  // covariate column of margin a
  std::uint64_t col_b = 0;  // covariate column of margin b
  MarginBasis bs_a = MarginBasis::Cr;
  MarginBasis bs_b = MarginBasis::Cr;
  linalg::Vector knots_a;   // k_a knots
  linalg::Vector knots_b;   // k_b knots
  linalg::Matrix xp_a;      // k_a × k_a, applied to the margin-a basis (identity at fit time)
  linalg::Matrix xp_b;      // k_b × k_b, the same for margin b
  linalg::Matrix centring;  // Z, (k_a·k_b) × (k_a·k_b − 1)
  friend bool operator==(const TensorPredictor&, const TensorPredictor&) = default;
};

// What a fitted model keeps to rebuild its model matrix. The alternative
// order is the variant index (0 "cr", 1 "re", 2 "cr_stable", 3 "additive",
// 4 "tensor").
struct Predictor {
  std::variant<CrPredictor, RePredictor, CrStablePredictor, AdditivePredictor, TensorPredictor> payload;

  template <class V>
  bool is() const { return std::holds_alternative<V>(payload); }
  template <class V>
  const V& as() const { return std::get<V>(payload); }
  friend bool operator==(const Predictor&, const Predictor&) = default;
};

inline bool operator==(const AdditivePredictor& a, const AdditivePredictor& b) {
  return a.term_predictors == b.term_predictors && a.cols_used == b.cols_used &&
         a.term_col_ranges == b.term_col_ranges;
}

// The complete design of one model, moved into a fit driver. The three
// penalty lists run in smoothing-parameter order and have equal length.
struct ModelDesign {
  std::vector<linalg::Matrix> penalties;        // p × p each, zero outside its term's block
  std::vector<std::uint64_t> penalty_ranks;     // `rank` of each penalty
  std::vector<double> penalty_log_pdets;        // `log_pdet` of each penalty
  linalg::Matrix model_matrix;                  // n × p, column 0 all 1.0
  std::uint64_t null_space_dim = 0;             // M_p = p − rank(Σ penalties): unpenalised directions
  Predictor predictor;
  // The same X in compact per-row form for the inner loops, when the
  // builder made one; absent, every product reads the model matrix.
  std::optional<CompactDesign> compact = std::nullopt;
  // X in random-effect block form (`re_blocks`), when it has an "re" term;
  // absent, the fits factor H densely.
  std::optional<ReBlocks> re_blocks = std::nullopt;
};

// Rank and log pseudo-determinant of one penalty.
struct PenaltySummary {
  std::uint64_t rank = 0;  // eigenvalues above the threshold
  double log_pdet = 0.0;   // sum of their natural logarithms
};

}  // namespace kavri::design
