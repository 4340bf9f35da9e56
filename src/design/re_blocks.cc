#include "design/re_blocks.h"

#include <cmath>
#include <limits>

#include "design/records.h"
#include "linalg/products.h"

namespace kavri::design {

namespace {

// The "re" term with most levels: its index among the design's terms and
// its columns [start, end).
struct WidestReTerm {
  std::size_t term = 0;
  ColumnRange range;
};

std::optional<WidestReTerm> widest_re_term(const Predictor& predictor, std::uint64_t p) {
  if (predictor.is<RePredictor>()) return WidestReTerm{0, ColumnRange{1, p}};
  if (!predictor.is<AdditivePredictor>()) return std::nullopt;
  const AdditivePredictor& additive = predictor.as<AdditivePredictor>();
  std::optional<WidestReTerm> widest;
  for (std::size_t t = 0; t < additive.term_predictors.size() && t < additive.term_col_ranges.size(); ++t) {
    if (!additive.term_predictors[t].is<RePredictor>()) continue;
    const ColumnRange r = additive.term_col_ranges[t];
    if (!widest || r.end - r.start > widest->range.end - widest->range.start) widest = WidestReTerm{t, r};
  }
  return widest;
}

// S has no entry off its diagonal in the rows of [start, end).
bool diagonal_on(const linalg::Matrix& s, ColumnRange r) {
  for (std::uint64_t i = r.start; i < r.end; ++i) {
    const double* row = s.row(i);
    for (std::size_t j = 0; j < s.cols; ++j)
      if (j != i && row[j] != 0.0) return false;
  }
  return true;
}

}  // namespace

std::optional<ReBlocks> re_blocks(const ModelDesign& design, const TermRowLevels& row_levels) {
  const linalg::Matrix& x = design.model_matrix;
  const std::uint64_t n = x.rows, p = x.cols;
  const std::optional<WidestReTerm> widest = widest_re_term(design.predictor, p);
  if (!widest) return std::nullopt;
  const ColumnRange range = widest->range;
  if (range.end <= range.start || range.end > p) return std::nullopt;
  const std::uint64_t q = range.end - range.start;
  if (q > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  if (widest->term >= row_levels.size() || row_levels[widest->term].size() != n) return std::nullopt;
  const std::vector<std::uint32_t>& level = row_levels[widest->term];
  for (const std::uint32_t l : level)
    if (l != linalg::kNoLevel && l >= q) return std::nullopt;
  for (const linalg::Matrix& s : design.penalties)
    if (!diagonal_on(s, range)) return std::nullopt;

  std::vector<std::uint64_t> diagonal;
  for (std::uint64_t c = range.start; c < range.end; ++c) diagonal.push_back(c);
  ReBlocks out{linalg::block_partition(p, std::move(diagonal)), {}, level, {}};
  const std::vector<std::uint64_t>& dense = out.partition.dense;
  out.dense_x = linalg::Matrix(n, dense.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = x.row(i);
    for (std::size_t a = 0; a < dense.size(); ++a) out.dense_x(i, a) = row[dense[a]];
  }
  for (const linalg::Matrix& s : design.penalties) out.penalties.push_back(linalg::block_system_of(s, out.partition));
  return out;
}

linalg::BlockSystem block_total_penalty(const ReBlocks& blocks, linalg::VectorView rho) {
  const std::size_t k = blocks.partition.dense.size(), q = blocks.partition.diagonal.size();
  linalg::BlockSystem s{linalg::Matrix(k, k), linalg::Matrix(k, q), linalg::Vector(q, 0.0)};
  for (std::size_t j = 0; j < blocks.penalties.size(); ++j) linalg::add_scaled(s, blocks.penalties[j], std::exp(rho[j]));
  return s;
}

linalg::BlockSystem re_weighted_gram(const ReBlocks& blocks, linalg::VectorView w) {
  const std::size_t n = blocks.dense_x.rows, k = blocks.dense_x.cols, q = blocks.partition.diagonal.size();
  linalg::BlockSystem h{linalg::weighted_gram(blocks.dense_x, w), linalg::Matrix(k, q), linalg::Vector(q, 0.0)};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t l = blocks.level[i];
    if (l == linalg::kNoLevel) continue;
    const double wi = w[i];
    h.d[l] += wi;
    const double* xi = blocks.dense_x.row(i);
    for (std::size_t a = 0; a < k; ++a) h.b(a, l) += wi * xi[a];
  }
  return h;
}

linalg::Vector re_transpose_times(const ReBlocks& blocks, linalg::VectorView v) {
  const linalg::BlockPartition& part = blocks.partition;
  const std::size_t n = blocks.dense_x.rows, k = blocks.dense_x.cols, q = part.diagonal.size();
  linalg::Vector dense(k, 0.0), diagonal(q, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double vi = v[i];
    const double* xi = blocks.dense_x.row(i);
    for (std::size_t a = 0; a < k; ++a) dense[a] += xi[a] * vi;
    if (blocks.level[i] != linalg::kNoLevel) diagonal[blocks.level[i]] += vi;
  }
  linalg::Vector out(part.size());
  for (std::size_t a = 0; a < k; ++a) out[part.dense[a]] = dense[a];
  for (std::size_t l = 0; l < q; ++l) out[part.diagonal[l]] = diagonal[l];
  return out;
}

linalg::Vector re_times(const ReBlocks& blocks, linalg::VectorView beta) {
  const linalg::BlockPartition& part = blocks.partition;
  const std::size_t n = blocks.dense_x.rows, k = blocks.dense_x.cols;
  linalg::Vector bd(k);
  for (std::size_t a = 0; a < k; ++a) bd[a] = beta[part.dense[a]];
  linalg::Vector eta(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = blocks.dense_x.row(i);
    double e = 0.0;
    for (std::size_t a = 0; a < k; ++a) e += xi[a] * bd[a];
    if (blocks.level[i] != linalg::kNoLevel) e += beta[part.diagonal[blocks.level[i]]];
    eta[i] = e;
  }
  return eta;
}

}  // namespace kavri::design
