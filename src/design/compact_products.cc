#include "design/compact_products.h"

#include <algorithm>

#include "design/compact_kernels.h"
#include "linalg/lapack.h"

namespace kavri::design {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;
using namespace detail;

// Rows whose run starts and coefficients are held at a time: every term's
// share of a block stays in cache while the pairs of terms read it.
constexpr std::size_t kBlockRows = 1024;

std::size_t block_rows(const CompactDesign& d) { return std::min<std::size_t>(d.rows, kBlockRows); }

// Sizes the block buffers for every term's runs.
void prepare_runs(const CompactDesign& d, RunBlock& runs) {
  runs.position_offset.resize(d.terms.size());
  runs.coefficient_offset.resize(d.terms.size());
  std::size_t p = 0, c = 0;
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    const RunShape s = run_shape(d.terms[t]);
    runs.position_offset[t] = p;
    runs.coefficient_offset[t] = c;
    p += kBlockRows * s.runs;
    c += kBlockRows * s.runs * s.length;
  }
  runs.positions.resize(p);
  runs.coefficients.resize(c);
}

const std::uint32_t* positions(const RunBlock& runs, std::size_t t) {
  return runs.positions.data() + runs.position_offset[t];
}
const double* coefficients(const RunBlock& runs, std::size_t t) {
  return runs.coefficients.data() + runs.coefficient_offset[t];
}

// Calls body(first, rows) for each block after filling the runs of every
// term (of every term t with needed[t], when given).
template <class Body>
void for_each_block(const CompactDesign& d, RunBlock& runs, Body&& body, const std::vector<char>* needed = nullptr) {
  const std::size_t n = d.rows;
  for (std::size_t first = 0; first < n; first += kBlockRows) {
    const std::size_t rows = std::min(kBlockRows, n - first);
    for (std::size_t t = 0; t < d.terms.size(); ++t)
      if (needed == nullptr || (*needed)[t])
        fill_runs(d.terms[t], first, rows, runs.positions.data() + runs.position_offset[t],
                  runs.coefficients.data() + runs.coefficient_offset[t]);
    body(first, rows);
  }
}

// The pairs (a ≤ b) whose products come from b's segment moments: a spline
// with itself and with the intercept.
bool by_moments(const CompactDesign& d, std::size_t a, std::size_t b) {
  return is_spline(d.terms[b]) && (a == b || is_intercept(d.terms[a]));
}

// The terms whose runs some pair still reads: all but the splines whose
// every pair goes by moments, and the intercept when its only partners are
// itself (a constant) and splines (moments).
std::vector<char> runs_needed(const CompactDesign& d) {
  std::vector<char> needed(d.terms.size(), 1);
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    if (is_intercept(d.terms[t])) {
      bool only_splines = true;
      for (std::size_t o = 0; o < d.terms.size(); ++o)
        if (!is_intercept(d.terms[o]) && !is_spline(d.terms[o])) only_splines = false;
      needed[t] = only_splines ? 0 : 1;
      continue;
    }
    if (!is_spline(d.terms[t])) continue;
    bool alone = true;
    for (std::size_t o = 0; o < d.terms.size(); ++o)
      if (o != t && !is_intercept(d.terms[o])) alone = false;
    needed[t] = alone ? 0 : 1;
  }
  return needed;
}

// The terms whose runs a product of one n-vector reads: the splines go by
// moments and the intercept by one sum.
std::vector<char> runs_needed_by_vector_products(const CompactDesign& d) {
  std::vector<char> needed(d.terms.size(), 1);
  for (std::size_t t = 0; t < d.terms.size(); ++t)
    if (is_spline(d.terms[t]) || is_intercept(d.terms[t])) needed[t] = 0;
  return needed;
}

// The index of pair (a, b), a ≤ b, among the m(m + 1)/2 tables.
std::size_t pair_index(std::size_t m, std::size_t a, std::size_t b) { return a * (2 * m - a + 1) / 2 + (b - a); }

// The table of spline t with an intercept before it, if there is one.
const Matrix* intercept_table(const CompactDesign& d, const std::vector<Matrix>& tables, std::size_t t) {
  for (std::size_t a = 0; a < t; ++a)
    if (is_intercept(d.terms[a])) return &tables[pair_index(d.terms.size(), a, t)];
  return nullptr;
}

// Zero per-term local vectors and zero moments of every spline.
void reset_locals(const CompactDesign& d, std::vector<Vector>& locals) {
  locals.resize(d.terms.size());
  for (std::size_t t = 0; t < d.terms.size(); ++t) locals[t].assign(local_dim(d.terms[t]), 0.0);
}
template <std::size_t Degree>
void reset_moments(const CompactDesign& d, std::vector<SegmentSums<Degree>>& moments) {
  moments.resize(d.terms.size());
  for (std::size_t t = 0; t < d.terms.size(); ++t)
    if (is_spline(d.terms[t])) moments[t].reset(segment_count(d.terms[t].margins[0]));
}

// S_t'·s for a block of s and a term other than a spline: the intercept's
// as one sum held in registers (its runs need not be filled), any other
// term's from its runs.
void accumulate_runs_sum(const CompactTerm& term, const RunBlock& runs, std::size_t t, std::size_t rows,
                         const double* s, double* sum) {
  if (is_intercept(term)) {
    sum[0] += block_sum(rows, s);
    return;
  }
  with_shape(run_shape(term), [&](auto r, auto l) {
    accumulate_local<decltype(r)::value, decltype(l)::value>(rows, positions(runs, t), coefficients(runs, t), s, sum);
  });
}

// S_t'·s for a block of s and every term, a spline's by its moments.
void accumulate_term_sums(const CompactDesign& d, const RunBlock& runs, std::size_t first, std::size_t rows,
                          const double* s, std::vector<Vector>& sums, std::vector<SegmentSums<3>>& moments) {
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    const CompactTerm& term = d.terms[t];
    if (is_spline(term)) {
      accumulate_moments<3>(term.margins[0], first, rows, s, moments[t]);
    } else {
      accumulate_runs_sum(term, runs, t, rows, s, sums[t].data());
    }
  }
}

// Each spline's moments of degree three added into its local sums.
void add_spline_moment_sums(const CompactDesign& d, const std::vector<SegmentSums<3>>& moments,
                            std::vector<Vector>& sums) {
  for (std::size_t t = 0; t < d.terms.size(); ++t)
    if (is_spline(d.terms[t])) add_moment_sums(spline_segments(d.terms[t].margins[0]), moments[t], sums[t].data());
}

// The terms' local vectors mapped to p: out[start_t + j] = (G_t'·local_t)_j.
Vector map_locals(const CompactDesign& d, const std::vector<Vector>& locals) {
  Vector out(d.cols, 0.0);
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    const CompactTerm& term = d.terms[t];
    for (std::size_t l = 0; l < local_dim(term); ++l) {
      const double v = locals[t][l];
      if (v == 0.0) continue;
      const double* g = term.map.row(l);
      for (std::size_t j = 0; j < width(term); ++j) out[term.start + j] += g[j] * v;
    }
  }
  return out;
}

// ---- X'WX and X'Wz ----

void reset_tables(const CompactDesign& d, std::vector<Matrix>& tables) {
  const std::size_t m = d.terms.size();
  tables.resize(m * (m + 1) / 2);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      Matrix& table = tables[k];
      table.rows = local_dim(d.terms[a]);
      table.cols = local_dim(d.terms[b]);
      table.data.assign(table.rows * table.cols, 0.0);
    }
}

// The pairs (a, b ≥ a) of one block whose tables accumulate from runs.
void accumulate_pairs_of(const CompactDesign& d, std::size_t a, std::size_t rows, const double* w,
                         CrossProductsWorkspace& cw) {
  const std::size_t m = d.terms.size();
  const std::uint32_t* pa = positions(cw.runs, a);
  const double* ca = coefficients(cw.runs, a);
  with_shape(run_shape(d.terms[a]), [&](auto ra, auto la) {
    for (std::size_t b = a; b < m; ++b) {
      double* table = cw.tables[pair_index(m, a, b)].data.data();
      const std::size_t ld = local_dim(d.terms[b]);
      if (is_intercept(d.terms[a]) && is_intercept(d.terms[b])) {
        table[0] += block_sum(rows, w);
      } else if (by_moments(d, a, b)) {
        continue;
      } else if (b == a) {
        accumulate_pair<decltype(ra)::value, decltype(la)::value, decltype(ra)::value, decltype(la)::value, true>(
            rows, pa, ca, pa, ca, w, table, ld);
      } else {
        with_shape(run_shape(d.terms[b]), [&](auto rb, auto lb) {
          accumulate_pair<decltype(ra)::value, decltype(la)::value, decltype(rb)::value, decltype(lb)::value>(
              rows, pa, ca, positions(cw.runs, b), coefficients(cw.runs, b), w, table, ld);
        });
      }
    }
  });
}

// One block's share of every table, of the splines' moments and, with wz,
// of S'·wz; wr and wz hold the block's rows contiguously.
void accumulate_block_products(const CompactDesign& d, std::size_t first, std::size_t rows, const double* wr,
                               const double* wz, CrossProductsWorkspace& cw) {
  for (std::size_t a = 0; a < d.terms.size(); ++a) {
    accumulate_pairs_of(d, a, rows, wr, cw);
    const CompactTerm& term = d.terms[a];
    if (is_spline(term)) {
      if (wz != nullptr) {
        accumulate_weighted_moments(term.margins[0], first, rows, wr, wz, cw.weight_moments[a],
                                    cw.response_moments[a]);
      } else {
        accumulate_moments<6>(term.margins[0], first, rows, wr, cw.weight_moments[a]);
      }
    } else if (wz != nullptr) {
      accumulate_runs_sum(term, cw.runs, a, rows, wz, cw.response_sums[a].data());
    }
  }
}

// The same from w and z given whole, with S'·(w ⊙ z).
void accumulate_cross_block(const CompactDesign& d, VectorView w, std::optional<VectorView> z, std::size_t first,
                            std::size_t rows, CrossProductsWorkspace& cw) {
  const double* wr = w.data + first;
  if (w.stride != 1) {
    // Weights given with another stride (unit weights: stride 0) are
    // gathered for the block, which the kernels read contiguously.
    cw.block_weights.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) cw.block_weights[r] = w[first + r];
    wr = cw.block_weights.data();
  }
  double* wz = cw.weighted_response.data();
  if (z)
    for (std::size_t r = 0; r < rows; ++r) wz[r] = wr[r] * (*z)[first + r];
  accumulate_block_products(d, first, rows, wr, z ? wz : nullptr, cw);
}

// The splines' moments into their tables (and sums): coefficient products
// are polynomials in u whose moments were summed.
void add_spline_moments_to_tables(const CompactDesign& d, bool with_response, CrossProductsWorkspace& cw) {
  const std::size_t m = d.terms.size();
  for (std::size_t t = 0; t < m; ++t) {
    if (!is_spline(d.terms[t])) continue;
    const SplineSegments seg = spline_segments(d.terms[t].margins[0]);
    add_moment_products(seg, cw.weight_moments[t], cw.tables[pair_index(m, t, t)]);
    for (std::size_t a = 0; a < t; ++a)
      if (is_intercept(d.terms[a]))
        add_moment_sums(seg, cw.weight_moments[t], cw.tables[pair_index(m, a, t)].data.data());
    if (with_response) add_moment_sums(seg, cw.response_moments[t], cw.response_sums[t].data());
  }
}

// G_a'·table_ab·G_b into the p × p result, both triangles. A term's own
// table holds its upper triangle only, from runs or from moments.
void map_tables(const CompactDesign& d, CrossProductsWorkspace& cw, Matrix& xtwx) {
  const std::size_t m = d.terms.size(), p = d.cols;
  for (std::size_t a = 0; a < m; ++a) {
    Matrix& table = cw.tables[pair_index(m, a, a)];
    for (std::size_t i = 0; i < table.rows; ++i)
      for (std::size_t j = 0; j < i; ++j) table(i, j) = table(j, i);
  }
  xtwx.rows = p;
  xtwx.cols = p;
  xtwx.data.assign(p * p, 0.0);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      const CompactTerm& ta = d.terms[a];
      const CompactTerm& tb = d.terms[b];
      linalg::multiply_into(cw.tables[k], tb.map, cw.product);
      linalg::multiply_into(ta.map.view().transposed(), cw.product, cw.block);
      const std::size_t wa = width(ta), wb = width(tb);
      for (std::size_t i = 0; i < wa; ++i)
        for (std::size_t j = 0; j < wb; ++j) {
          // A diagonal block is symmetric up to rounding: its two halves are
          // averaged so that the whole matrix is exactly symmetric.
          const double v = a == b ? (cw.block(i, j) + cw.block(j, i)) * 0.5 : cw.block(i, j);
          xtwx(ta.start + i, tb.start + j) = v;
          xtwx(tb.start + j, ta.start + i) = v;
        }
    }
}

// ---- η = X·β ----

// γ_t = G_t·β_t, the coefficients in each term's local space, and each
// spline's share of η as a cubic per segment.
void prepare_predictor(const CompactDesign& d, VectorView beta, PredictorWorkspace& pw) {
  const std::size_t m = d.terms.size();
  pw.gamma.resize(m);
  pw.cubics.resize(m);
  for (std::size_t t = 0; t < m; ++t) {
    const CompactTerm& term = d.terms[t];
    Vector& gamma = pw.gamma[t];
    gamma.assign(local_dim(term), 0.0);
    for (std::size_t l = 0; l < local_dim(term); ++l) {
      const double* g = term.map.row(l);
      double sum = 0.0;
      for (std::size_t j = 0; j < width(term); ++j) sum += g[j] * beta[term.start + j];
      gamma[l] = sum;
    }
    if (is_spline(term)) segment_cubics(spline_segments(term.margins[0]), gamma, pw.cubics[t]);
  }
}

// η over one block into out (zeroed here, while the block is in cache).
void block_predictor(const CompactDesign& d, const PredictorWorkspace& pw, const RunBlock& runs, std::size_t first,
                     std::size_t rows, double* out) {
  std::fill(out, out + rows, 0.0);
  for (std::size_t t = 0; t < d.terms.size(); ++t) {
    const CompactTerm& term = d.terms[t];
    if (is_intercept(term)) {
      const double share = pw.gamma[t][0];
      for (std::size_t r = 0; r < rows; ++r) out[r] += share;
    } else if (is_spline(term)) {
      const CompactMargin& margin = term.margins[0];
      const double* cubics = pw.cubics[t].values.data();
      for (std::size_t r = 0; r < rows; ++r) {
        double u = 0.0;
        const std::size_t g = segment_of(margin, margin.position[first + r], u);
        out[r] += horner<4>(cubics + 4 * g, u);
      }
    } else {
      with_shape(run_shape(term), [&](auto r, auto l) {
        add_predictions<decltype(r)::value, decltype(l)::value>(rows, positions(runs, t), coefficients(runs, t),
                                                                pw.gamma[t].data(), out);
      });
    }
  }
}

// η block by block into `eta` at the block's rows, or, without `eta`, into
// one block of scratch; `visit` sees each block once it is complete.
template <class Visit>
void linear_predictor_blocks(const CompactDesign& d, VectorView beta, Vector* eta, PredictorWorkspace& pw,
                             Visit&& visit) {
  prepare_predictor(d, beta, pw);
  const std::vector<char> needed = runs_needed_by_vector_products(d);
  if (eta != nullptr) {
    eta->resize(d.rows);
  } else {
    pw.block_eta.resize(block_rows(d));
  }
  prepare_runs(d, pw.runs);
  for_each_block(
      d, pw.runs,
      [&](std::size_t first, std::size_t rows) {
        double* const out = eta != nullptr ? eta->data() + first : pw.block_eta.data();
        block_predictor(d, pw, pw.runs, first, rows, out);
        visit(first, rows, static_cast<const double*>(out));
      },
      &needed);
}

// ---- Σ s·(x'Vx)·x ----

// A_ab = G_a·V_ab·G_b' in the local spaces, a ≤ b, and each spline's share
// of q, with itself and with the intercept, as a polynomial of degree six
// per segment.
void prepare_forms(const CompactDesign& d, MatrixView v, RowFormWorkspace& fw) {
  const std::size_t m = d.terms.size();
  fw.tables.resize(m * (m + 1) / 2);
  for (std::size_t a = 0, k = 0; a < m; ++a)
    for (std::size_t b = a; b < m; ++b, ++k) {
      const CompactTerm& ta = d.terms[a];
      const CompactTerm& tb = d.terms[b];
      const MatrixView block(v.data + static_cast<std::ptrdiff_t>(ta.start) * v.row_stride +
                                 static_cast<std::ptrdiff_t>(tb.start) * v.col_stride,
                             width(ta), width(tb), v.row_stride, v.col_stride);
      linalg::multiply_into(block, tb.map.view().transposed(), fw.product);
      linalg::multiply_into(ta.map, fw.product, fw.tables[k]);
    }
  fw.forms.resize(m);
  for (std::size_t t = 0; t < m; ++t)
    if (is_spline(d.terms[t]))
      segment_forms(spline_segments(d.terms[t].margins[0]), fw.tables[pair_index(m, t, t)],
                    intercept_table(d, fw.tables, t), fw.forms[t]);
}

// q over one block from the pairs that go by runs, then the splines' forms.
void block_forms(const CompactDesign& d, const RowFormWorkspace& fw, std::size_t first, std::size_t rows, double* q) {
  const std::size_t m = d.terms.size();
  std::fill(q, q + rows, 0.0);
  for (std::size_t a = 0; a < m; ++a)
    with_shape(run_shape(d.terms[a]), [&](auto ra, auto la) {
      for (std::size_t b = a; b < m; ++b) {
        if (by_moments(d, a, b)) continue;
        const Matrix& table = fw.tables[pair_index(m, a, b)];
        if (is_intercept(d.terms[a]) && is_intercept(d.terms[b])) {
          for (std::size_t r = 0; r < rows; ++r) q[r] += table.data[0];
          continue;
        }
        with_shape(run_shape(d.terms[b]), [&](auto rb, auto lb) {
          pair_forms<decltype(ra)::value, decltype(la)::value, decltype(rb)::value, decltype(lb)::value>(
              rows, positions(fw.runs, a), coefficients(fw.runs, a), positions(fw.runs, b), coefficients(fw.runs, b),
              table.data.data(), table.cols, a == b ? 1.0 : 2.0, q);
        });
      }
    });
  for (std::size_t t = 0; t < m; ++t) {
    if (!is_spline(d.terms[t])) continue;
    const CompactMargin& margin = d.terms[t].margins[0];
    const double* forms = fw.forms[t].values.data();
    for (std::size_t r = 0; r < rows; ++r) {
      double u = 0.0;
      const std::size_t g = segment_of(margin, margin.position[first + r], u);
      q[r] += horner<7>(forms + 7 * g, u);
    }
  }
}

// One smooth after the intercept: each row's segment is found once for its
// form and its share of the sums, instead of once for each.
void single_smooth_form_sums(const CompactDesign& d, VectorView s, RowFormWorkspace& fw, double* forms_out) {
  const double form = fw.tables[0].data[0];
  const CompactMargin& margin = d.terms[1].margins[0];
  const SegmentSums<6>& forms = fw.forms[1];
  SegmentSums<3>& moments = fw.moments[1];
  double* q = fw.block_forms.data();
  for (std::size_t first = 0; first < d.rows; first += kBlockRows) {
    const std::size_t rows = std::min(kBlockRows, d.rows - first);
    for (std::size_t r = 0; r < rows; ++r) {
      double u = 0.0;
      const std::size_t g = segment_of(margin, margin.position[first + r], u);
      const double f = form + horner<7>(forms.segment(g), u);
      if (forms_out != nullptr) forms_out[first + r] = f;
      double v = f * s[first + r];
      q[r] = v;
      double* at = moments.segment(g);
      at[0] += v;
      for (std::size_t k = 1; k <= 3; ++k) {
        v *= u;
        at[k] += v;
      }
    }
    fw.sums[0][0] += block_sum(rows, q);
  }
}

}  // namespace

void compact_cross_products(const CompactDesign& d, VectorView w, std::optional<VectorView> z, Matrix& xtwx,
                            Vector* xtwz, CompactWorkspace& ws) {
  CrossProductsWorkspace& cw = ws.cross;
  const std::vector<char> needed = runs_needed(d);
  prepare_runs(d, cw.runs);
  reset_tables(d, cw.tables);
  reset_moments(d, cw.weight_moments);
  if (z) {
    cw.weighted_response.resize(block_rows(d));
    reset_locals(d, cw.response_sums);
    reset_moments(d, cw.response_moments);
  }
  for_each_block(
      d, cw.runs,
      [&](std::size_t first, std::size_t rows) { accumulate_cross_block(d, w, z, first, rows, cw); },
      &needed);
  add_spline_moments_to_tables(d, z.has_value(), cw);
  map_tables(d, cw, xtwx);
  if (z && xtwz != nullptr) *xtwz = map_locals(d, cw.response_sums);
}

void compact_cross_products_along(const CompactDesign& d, VectorView beta, BlockRowRule rule, Matrix& xtwx,
                                  Vector& xtv, CompactWorkspace& ws) {
  CrossProductsWorkspace& cw = ws.cross;
  PredictorWorkspace& pw = ws.predictor;
  prepare_predictor(d, beta, pw);
  // Every term whose runs the predictor reads is one the tables read too.
  const std::vector<char> needed = runs_needed(d);
  prepare_runs(d, cw.runs);
  reset_tables(d, cw.tables);
  reset_moments(d, cw.weight_moments);
  reset_locals(d, cw.response_sums);
  reset_moments(d, cw.response_moments);
  const std::size_t width = block_rows(d);
  pw.block_eta.resize(width);
  cw.block_weights.resize(width);
  cw.weighted_response.resize(width);
  for_each_block(
      d, cw.runs,
      [&](std::size_t first, std::size_t rows) {
        block_predictor(d, pw, cw.runs, first, rows, pw.block_eta.data());
        rule.fn(rule.context, first, rows, pw.block_eta.data(), cw.block_weights.data(), cw.weighted_response.data());
        accumulate_block_products(d, first, rows, cw.block_weights.data(), cw.weighted_response.data(), cw);
      },
      &needed);
  add_spline_moments_to_tables(d, true, cw);
  map_tables(d, cw, xtwx);
  xtv = map_locals(d, cw.response_sums);
}

void compact_linear_predictor(const CompactDesign& d, VectorView beta, Vector& eta, CompactWorkspace& ws,
                              BlockVisitor visit) {
  linear_predictor_blocks(d, beta, &eta, ws.predictor, [&](std::size_t first, std::size_t rows, const double* values) {
    if (visit.fn != nullptr) visit.fn(visit.context, first, rows, values);
  });
}

void compact_linear_predictor_blocks(const CompactDesign& d, VectorView beta, CompactWorkspace& ws,
                                     BlockVisitor visit) {
  linear_predictor_blocks(d, beta, nullptr, ws.predictor,
                          [&](std::size_t first, std::size_t rows, const double* values) {
                            visit.fn(visit.context, first, rows, values);
                          });
}

ResidualProducts compact_residual_products(const CompactDesign& d, VectorView beta, VectorView y,
                                           std::optional<VectorView> w, CompactWorkspace& ws) {
  ResidualWorkspace& rw = ws.residual;
  reset_locals(d, rw.sums);
  reset_moments(d, rw.moments);
  rw.weighted_residual.resize(block_rows(d));
  double deviance = 0.0;
  linear_predictor_blocks(d, beta, nullptr, rw.predictor, [&](std::size_t first, std::size_t rows, const double* eta) {
    // r = y − η, then w·r, adding (w·r)·r (or r·r) to the deviance in row
    // order.
    double* wr = rw.weighted_residual.data();
    for (std::size_t r = 0; r < rows; ++r) {
      const double res = y[first + r] - eta[r];
      wr[r] = w ? (*w)[first + r] * res : res;
      deviance += wr[r] * res;
    }
    accumulate_term_sums(d, rw.predictor.runs, first, rows, wr, rw.sums, rw.moments);
  });
  add_spline_moment_sums(d, rw.moments, rw.sums);
  return {.deviance = deviance, .xtw_residual = map_locals(d, rw.sums)};
}

Vector compact_transpose_times(const CompactDesign& d, VectorView v, CompactWorkspace& ws) {
  TransposeWorkspace& tw = ws.transpose;
  // The kernels read v contiguously.
  Vector copy;
  const double* values = v.data;
  if (v.stride != 1) {
    copy = v.to_vector();
    values = copy.data();
  }
  const std::vector<char> needed = runs_needed_by_vector_products(d);
  prepare_runs(d, tw.runs);
  reset_locals(d, tw.sums);
  reset_moments(d, tw.moments);
  for_each_block(
      d, tw.runs,
      [&](std::size_t first, std::size_t rows) {
        accumulate_term_sums(d, tw.runs, first, rows, values + first, tw.sums, tw.moments);
      },
      &needed);
  add_spline_moment_sums(d, tw.moments, tw.sums);
  return map_locals(d, tw.sums);
}

Vector compact_weighted_row_form_sum(const CompactDesign& d, MatrixView v, VectorView s, CompactWorkspace& ws,
                                     Vector* forms) {
  RowFormWorkspace& fw = ws.row_form;
  double* forms_out = nullptr;
  if (forms != nullptr) {
    forms->resize(d.rows);
    forms_out = forms->data();
  }
  prepare_forms(d, v, fw);
  reset_moments(d, fw.moments);
  reset_locals(d, fw.sums);
  fw.block_forms.resize(block_rows(d));
  if (d.terms.size() == 2 && is_intercept(d.terms[0]) && is_spline(d.terms[1])) {
    single_smooth_form_sums(d, s, fw, forms_out);
  } else {
    const std::vector<char> needed = runs_needed(d);
    prepare_runs(d, fw.runs);
    for_each_block(
        d, fw.runs,
        [&](std::size_t first, std::size_t rows) {
          double* q = fw.block_forms.data();
          block_forms(d, fw, first, rows, q);
          if (forms_out != nullptr) std::copy(q, q + rows, forms_out + first);
          for (std::size_t r = 0; r < rows; ++r) q[r] *= s[first + r];
          accumulate_term_sums(d, fw.runs, first, rows, q, fw.sums, fw.moments);
        },
        &needed);
  }
  add_spline_moment_sums(d, fw.moments, fw.sums);
  return map_locals(d, fw.sums);
}

}  // namespace kavri::design
