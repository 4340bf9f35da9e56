#include "design/additive.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/quote.h"
#include "design/compact.h"
#include "design/covariates.h"
#include "design/cr.h"
#include "design/penalty.h"
#include "design/predictor_matrix.h"
#include "design/re.h"
#include "design/sizes.h"
#include "design/tensor.h"
#include "linalg/lapack.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;

// What one term contributes before the blocks are laid side by side.
struct BuiltTerm {
  Matrix block;                  // n × w; 0 × w for a random effect, whose indicators are written in place
  std::vector<Matrix> penalties;  // w × w each, in smoothing-parameter order
  Predictor predictor;
  std::optional<CompactMargin> margin;  // a spline's, as its builder located the rows
};

// The term's compact rows, placed at model-matrix column `start`; absent
// when the term has none. A spline takes over its built margin.
std::optional<CompactTerm> compact_term(const TermSpec& spec, BuiltTerm& t, MatrixView x, std::uint64_t start) {
  const Predictor& predictor = t.predictor;
  if (spec.is<TermSpec::Cr>()) {
    const CrPredictor& p = predictor.as<CrPredictor>();
    return compact_spline_term(std::move(*t.margin), p.knots, p.centring, start);
  }
  if (spec.is<TermSpec::CrStable>()) {
    const CrStablePredictor& p = predictor.as<CrStablePredictor>();
    return compact_spline_term(std::move(*t.margin), p.knots, linalg::multiply(p.centring, p.reparam_v), start);
  }
  if (const auto* re = std::get_if<TermSpec::Re>(&spec.payload))
    return compact_level_term(x, re->col, predictor.as<RePredictor>().levels, start);
  const TensorPredictor& p = predictor.as<TensorPredictor>();
  return compact_tensor_term(x, p.col_a, p.col_b, p.knots_a, p.knots_b, p.centring, start);
}

std::vector<std::uint64_t> columns_of(const TermSpec& term) {
  if (const auto* te = std::get_if<TermSpec::Te>(&term.payload)) return {te->col_a, te->col_b};
  if (const auto* cr = std::get_if<TermSpec::Cr>(&term.payload)) return {cr->col};
  if (const auto* st = std::get_if<TermSpec::CrStable>(&term.payload)) return {st->col};
  return {term.as<TermSpec::Re>().col};
}

std::string count(std::uint64_t v) { return common::format_count(v); }

// The term as written in the Python term list: (0, "cr"), ((0, 1), "te").
// Built by appending: GCC 12 at -O3 misreads chained `"(" + std::string`
// as an overlapping copy (-Wrestrict).
std::string term_text(const TermSpec& term) {
  std::string cols;
  const char* basis = "re";
  if (const auto* te = std::get_if<TermSpec::Te>(&term.payload)) {
    cols.append("(").append(count(te->col_a)).append(", ").append(count(te->col_b)).append(")");
    basis = "te";
  } else if (const auto* cr = std::get_if<TermSpec::Cr>(&term.payload)) {
    cols = count(cr->col);
    basis = "cr";
  } else if (const auto* st = std::get_if<TermSpec::CrStable>(&term.payload)) {
    cols = count(st->col);
    basis = "cr_stable";
  } else {
    cols = count(term.as<TermSpec::Re>().col);
  }
  std::string out = "(";
  out.append(cols).append(", ").append(common::quoted_literal(basis)).append(")");
  return out;
}

// Every spline and tensor term leaves the centred linear trend of each of
// its columns unpenalised. Two such terms on a common column hold that trend
// twice: their difference moves neither the fitted values nor any penalty,
// so X'WX + S_λ is singular for every λ. A random effect's penalty is full
// rank, so it may share a column with anything. A tensor term that repeats
// one column is singular by itself; its builder refuses it with the reason.
Result<void> require_unshared_columns(std::span<const TermSpec> terms,
                                      const std::vector<std::vector<std::uint64_t>>& cols_used) {
  const auto same_columns = [](const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    return a == b || (a.size() == 2 && b.size() == 2 && a[0] == b[1] && a[1] == b[0]);
  };
  std::map<std::uint64_t, std::size_t> first_reader;  // column → first term that reads it
  for (std::size_t j = 0; j < terms.size(); ++j) {
    const TermSpec& b = terms[j];
    if (b.is<TermSpec::Re>()) continue;
    if (const auto* te = std::get_if<TermSpec::Te>(&b.payload); te != nullptr && te->col_a == te->col_b) continue;
    for (std::uint64_t c : cols_used[j]) {
      const auto earlier = first_reader.find(c);
      if (earlier == first_reader.end()) continue;
      const std::size_t i = earlier->second;
      const TermSpec& a = terms[i];
      std::string advice = "drop one of them";
      if (a.is<TermSpec::Te>() != b.is<TermSpec::Te>())
        advice = "use " + term_text(a.is<TermSpec::Te>() ? a : b) + " alone, which smooths column " + count(c) +
                 " too";
      else if (same_columns(cols_used[i], cols_used[j]))
        advice = "drop the duplicate";
      return invalid_parameter("Additive terms " + count(i) + " " + term_text(a) + " and " + count(j) + " " +
                               term_text(b) + " share column " + count(c) +
                               ": both leave its linear trend unpenalised, so the model cannot be identified; " +
                               advice);
    }
    for (std::uint64_t c : cols_used[j]) first_reader.emplace(c, j);
  }
  return {};
}

struct TermBuilder {
  MatrixView x;

  Result<BuiltTerm> operator()(const TermSpec::Cr& t) const {
    KAVRI_TRY(CrTerm term, build_cr_term(x, t.col, t.k));
    std::vector<Matrix> penalties;
    penalties.push_back(std::move(term.penalty));
    return BuiltTerm{std::move(term.basis), std::move(penalties),
                     Predictor{CrPredictor{.knots = std::move(term.knots), .centring = std::move(term.centring)}},
                     std::move(term.margin)};
  }
  Result<BuiltTerm> operator()(const TermSpec::CrStable& t) const {
    KAVRI_TRY(CrStableTerm term, build_cr_stable_term(x, t.col, t.k));
    std::vector<Matrix> penalties;
    penalties.push_back(std::move(term.penalty));
    return BuiltTerm{std::move(term.basis), std::move(penalties),
                     Predictor{CrStablePredictor{.knots = std::move(term.knots),
                                                 .centring = std::move(term.centring),
                                                 .reparam_v = std::move(term.reparam_v)}},
                     std::move(term.margin)};
  }
  Result<BuiltTerm> operator()(const TermSpec::Re& t) const {
    // The n × L indicator block would double the design's peak beside the
    // model matrix: it is written there directly.
    KAVRI_TRY(std::vector<double> levels, re_levels(x, t.col));
    std::vector<Matrix> penalties;
    penalties.push_back(Matrix::identity(levels.size()));
    return BuiltTerm{Matrix(0, levels.size()), std::move(penalties),
                     Predictor{RePredictor{.levels = std::move(levels)}}, std::nullopt};
  }
  Result<BuiltTerm> operator()(const TermSpec::Te& t) const {
    KAVRI_TRY(TensorTerm term, build_tensor_term(x, t.col_a, t.col_b, t.k_a, t.k_b));
    std::vector<Matrix> penalties;
    for (Matrix& p : term.penalties) penalties.push_back(std::move(p));
    return BuiltTerm{std::move(term.basis), std::move(penalties), Predictor{std::move(term.predictor)},
                     std::nullopt};
  }
};

// The rank of the sum of a term's penalties. Terms occupy disjoint blocks,
// so the rank of the sum over the design is the sum of these; a
// single-penalty term keeps its penalty's own rank.
Result<std::uint64_t> term_rank(const std::vector<Matrix>& penalties, std::uint64_t own_rank) {
  if (penalties.size() == 1) return own_rank;
  const Matrix sum = total_penalty(penalties, linalg::Vector(penalties.size(), 0.0));
  KAVRI_TRY(const PenaltySummary summary, penalty_rank_and_log_pdet(sum));
  return summary.rank;
}

// Writes a term's columns into the model matrix from column `start`: a
// random effect's indicators directly, each row's level kept in
// `row_level` for the block form, another term's block by copy (the block
// is released).
void place_term_columns(const TermSpec& spec, BuiltTerm& t, MatrixView x, std::uint64_t start, Matrix& model_matrix,
                        std::vector<std::uint32_t>& row_level) {
  const std::size_t n = model_matrix.rows;
  if (const auto* re = std::get_if<TermSpec::Re>(&spec.payload)) {
    const std::vector<double>& levels = t.predictor.as<RePredictor>().levels;
    const bool indexed = levels.size() < linalg::kNoLevel;
    if (indexed) row_level.assign(n, linalg::kNoLevel);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t l = re_level_index(levels, x(i, re->col));
      if (l >= levels.size()) continue;
      model_matrix(i, start + l) = 1.0;
      if (indexed) row_level[i] = static_cast<std::uint32_t>(l);
    }
  } else {
    const std::uint64_t w = t.block.cols;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < w; ++j) model_matrix(i, start + j) = t.block(i, j);
  }
  t.block = Matrix();
}

// The design's penalties with their ranks and log pseudo-determinants.
struct PenaltyLists {
  std::vector<Matrix> penalties;
  std::vector<std::uint64_t> ranks;
  std::vector<double> log_pdets;
};

// Appends a term's penalties, embedded at column `start` of a q × q
// matrix; returns the rank of the term's penalty sum.
Result<std::uint64_t> add_term_penalties(const std::vector<Matrix>& own, std::uint64_t start, std::uint64_t q,
                                         PenaltyLists& out) {
  std::uint64_t own_rank = 0;
  for (const Matrix& p : own) {
    // The embedding adds only zero eigenvalues: the term's own block
    // has the same rank and log pseudo-determinant at its size.
    Matrix embedded = embed_penalty(p, start, q);
    KAVRI_TRY(const PenaltySummary summary, penalty_rank_and_log_pdet(p));
    out.penalties.push_back(std::move(embedded));
    out.ranks.push_back(summary.rank);
    out.log_pdets.push_back(summary.log_pdet);
    own_rank = summary.rank;
  }
  return term_rank(own, own_rank);
}

// The n × q design from the built terms: the model matrix, the embedded
// penalties, the predictor and, when every term has one, the compact form.
Result<ModelDesign> assemble_additive_design(MatrixView x, std::span<const TermSpec> terms,
                                             std::vector<BuiltTerm>& built,
                                             std::vector<std::vector<std::uint64_t>> cols_used, std::uint64_t q) {
  const std::uint64_t n = x.rows;
  Matrix model_matrix(n, q);
  for (std::size_t i = 0; i < n; ++i) model_matrix(i, 0) = 1.0;
  PenaltyLists lists;
  std::vector<ColumnRange> ranges;
  std::vector<Predictor> term_predictors;
  std::uint64_t ranked = 0;
  std::uint64_t start = 1;
  std::vector<CompactTerm> compact_terms;
  compact_terms.push_back(compact_intercept());
  bool compact = true;
  TermRowLevels row_levels(built.size());
  for (std::size_t term = 0; term < built.size(); ++term) {
    BuiltTerm& t = built[term];
    const std::uint64_t w = t.block.cols;
    place_term_columns(terms[term], t, x, start, model_matrix, row_levels[term]);
    ranges.push_back({start, start + w});
    KAVRI_TRY(const std::uint64_t rank, add_term_penalties(t.penalties, start, q, lists));
    ranked += rank;
    if (compact) {
      std::optional<CompactTerm> c = compact_term(terms[term], t, x, start);
      if (c) compact_terms.push_back(std::move(*c));
      else compact = false;
    }
    term_predictors.push_back(std::move(t.predictor));
    start += w;
  }

  ModelDesign design{
      .penalties = std::move(lists.penalties),
      .penalty_ranks = std::move(lists.ranks),
      .penalty_log_pdets = std::move(lists.log_pdets),
      .model_matrix = std::move(model_matrix),
      .null_space_dim = ranked <= q ? q - ranked : 0,
      .predictor = Predictor{AdditivePredictor{.term_predictors = std::move(term_predictors),
                                               .cols_used = std::move(cols_used),
                                               .term_col_ranges = std::move(ranges)}},
      .compact = compact ? compact_design(n, q, std::move(compact_terms)) : std::nullopt,
  };
  design.re_blocks = re_blocks(design, row_levels);
  return design;
}

}  // namespace

Result<ModelDesign> build_additive_design(MatrixView x, std::span<const TermSpec> terms) {
  if (terms.empty()) return invalid_parameter("Additive design needs at least one term");
  const std::uint64_t n = x.rows, d = x.cols;
  std::vector<std::vector<std::uint64_t>> cols_used;
  cols_used.reserve(terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    cols_used.push_back(columns_of(terms[i]));
    for (std::uint64_t c : cols_used.back())
      if (c >= d)
        return invalid_parameter("Additive term " + count(i) + " reads column " + count(c) + " but x has only " +
                                 count(d) + " columns");
  }
  KAVRI_TRY_VOID(require_unshared_columns(terms, cols_used));

  std::vector<BuiltTerm> built;
  built.reserve(terms.size());
  std::uint64_t q = 1;
  for (const TermSpec& term : terms) {
    KAVRI_TRY(BuiltTerm t, std::visit(TermBuilder{x}, term.payload));
    // Checked at every step, so q stays below twice kMaxMatrixDimension and
    // the sum cannot wrap.
    q += t.block.cols;
    KAVRI_TRY_VOID(require_matrix_fits("Additive design", n, q));
    KAVRI_TRY_VOID(require_matrix_fits("Additive design", q, q));
    built.push_back(std::move(t));
  }

  // The model matrix and each embedded penalty are the largest matrices here.
  return naming_allocation_failure("Additive design", largest_shape({{n, q}, {q, q}}), [&]() -> Result<ModelDesign> {
    return assemble_additive_design(x, terms, built, std::move(cols_used), q);
  });
}

Result<Matrix> additive_predictor_matrix(const AdditivePredictor& predictor, MatrixView x_new) {
  const std::uint64_t n = x_new.rows, d = x_new.cols;
  const std::size_t n_terms = predictor.term_predictors.size();
  std::vector<Matrix> results;
  results.reserve(n_terms);
  std::uint64_t q = 1;
  for (std::size_t i = 0; i < n_terms; ++i) {
    if (i >= predictor.cols_used.size())
      return invalid_parameter("AdditivePredictor: term " + count(i) + " has no cols_used entry (" +
                               count(predictor.cols_used.size()) + " entries for " + count(n_terms) + " terms)");
    const std::vector<std::uint64_t>& cols = predictor.cols_used[i];
    for (std::uint64_t c : cols)
      if (c >= d)
        return invalid_parameter("AdditivePredictor: term " + count(i) + " expects column " + count(c) +
                                 " but x has only " + count(d) + " columns");
    const Predictor& term = predictor.term_predictors[i];
    MatrixView input = x_new;
    if (!term.is<TensorPredictor>()) {
      if (cols.empty())
        return invalid_parameter("AdditivePredictor: term " + count(i) + " has an empty cols_used entry");
      input = column_matrix(x_new, cols.front());
    }
    KAVRI_TRY(Matrix r, predictor_design_matrix(term, input));
    // The term's own intercept is dropped. Checked at every step, so q
    // cannot wrap.
    q += r.cols - 1;
    KAVRI_TRY_VOID(require_matrix_fits("AdditivePredictor", n, q));
    results.push_back(std::move(r));
  }

  Matrix out(n, q);
  for (std::size_t i = 0; i < n; ++i) out(i, 0) = 1.0;
  std::size_t start = 1;
  for (const Matrix& r : results) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 1; j < r.cols; ++j) out(i, start + j - 1) = r(i, j);
    start += r.cols - 1;
  }
  return out;
}

}  // namespace kavri::design
