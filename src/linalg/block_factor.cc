#include "linalg/block_factor.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "linalg/cholesky.h"

namespace kavri::linalg {

namespace {

// Rows of E'·G formed at a time by `block_inverse`: the q × q block of H⁻¹
// is written a band at a time, without a second q × q buffer.
constexpr std::size_t kInverseBandRows = 256;

void symmetrise(Matrix& m) {
  for (std::size_t a = 0; a < m.rows; ++a)
    for (std::size_t b = a + 1; b < m.cols; ++b) m(a, b) = m(b, a) = (m(a, b) + m(b, a)) * 0.5;
}

// Σ_ab X_ab·Y_ba, which is tr(X·Y).
double trace_of_product(const Matrix& x, const Matrix& y) {
  double s = 0.0;
  for (std::size_t a = 0; a < x.rows; ++a)
    for (std::size_t b = 0; b < x.cols; ++b) s += x(a, b) * y(b, a);
  return s;
}

// (H⁻¹)_ij of columns i and j of H.
double inverse_entry(const BlockFactor& f, std::size_t i, std::size_t j) {
  const BlockPartition& part = f.partition;
  const std::size_t pi = part.position[i], pj = part.position[j];
  const bool di = part.is_diagonal[i] != 0, dj = part.is_diagonal[j] != 0;
  if (!di && !dj) return f.schur_inverse(pi, pj);
  if (!di) return -f.g(pi, pj);
  if (!dj) return -f.g(pj, pi);
  double s = i == j ? 1.0 / f.d[pi] : 0.0;
  for (std::size_t a = 0; a < f.dense_size(); ++a) s += f.e(a, pi) * f.g(a, pj);
  return s;
}

// x_a with S·x_a = r, from the Schur factor, or from S⁻¹ where S has none.
Vector schur_solve(const BlockFactor& f, const Vector& r) {
  if (r.empty()) return {};
  if (f.schur_factor.rows == 0) return multiply(f.schur_inverse, VectorView(r));
  return back_substitute_transposed(f.schur_factor, forward_substitute(f.schur_factor, r));
}

// u'·S⁻¹·u, overwriting u: by the Schur factor, u ← L⁻¹u and the sum of
// squares; without one, from S⁻¹.
double schur_form(const BlockFactor& f, Vector& u) {
  const std::size_t k = u.size();
  double form = 0.0;
  if (f.schur_factor.rows == 0) {
    for (std::size_t a = 0; a < k; ++a) {
      double s = 0.0;
      for (std::size_t b = 0; b < k; ++b) s += f.schur_inverse(a, b) * u[b];
      form += u[a] * s;
    }
    return form;
  }
  const Matrix& l = f.schur_factor;
  for (std::size_t a = 0; a < k; ++a) {
    double s = u[a];
    for (std::size_t b = 0; b < a; ++b) s -= l(a, b) * u[b];
    u[a] = s / l(a, a);
    form += u[a] * u[a];
  }
  return form;
}

// E = B·D⁻¹ and S = A − E·B' (S's lower triangle only, from A's, unless
// `full`): the product's two triangles differ by rounding.
Matrix schur_complement(const BlockSystem& h, BlockFactor& f, bool full) {
  const std::size_t k = h.a.rows, q = h.d.size();
  f.d = h.d;
  f.e = h.b;
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t l = 0; l < q; ++l) f.e(a, l) /= h.d[l];
  if (k == 0) return Matrix();
  Matrix schur = multiply(f.e, h.b.view().transposed());
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = 0; b <= a; ++b) schur(a, b) = h.a(a, b) - schur(a, b);
  if (full)
    for (std::size_t a = 0; a < k; ++a)
      for (std::size_t b = a + 1; b < k; ++b) schur(a, b) = schur(b, a);
  return schur;
}

// S⁻¹ and G = S⁻¹·E from S's Cholesky factor.
void finish_from_schur_factor(BlockFactor& f, Matrix l) {
  double t = 0.0;
  for (std::size_t j = 0; j < l.rows; ++j) t += std::log(l(j, j));
  f.schur_log_det = 2.0 * t;
  f.schur_factor = std::move(l);
  f.schur_inverse = inverse_from_cholesky(f.schur_factor);
  symmetrise(f.schur_inverse);
  f.g = multiply(f.schur_inverse, f.e);
}

// Q = M_b − E·diag(m_d) and K = M_a − E·M_b' − Q·E' of a block matrix M.
struct Projected {
  Matrix q;  // k × q
  Matrix k;  // k × k
};

Projected project(const BlockFactor& f, const BlockSystem& m) {
  const std::size_t k = f.dense_size(), q = f.diagonal_size();
  Projected out{m.b, m.a};
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t l = 0; l < q; ++l) out.q(a, l) -= f.e(a, l) * m.d[l];
  if (k == 0) return out;
  const Matrix emb = multiply(f.e, m.b.view().transposed());
  const Matrix qe = multiply(out.q, f.e.view().transposed());
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = 0; b < k; ++b) out.k(a, b) -= emb(a, b) + qe(a, b);
  return out;
}

}  // namespace

BlockPartition block_partition(std::uint64_t p, std::vector<std::uint64_t> diagonal) {
  BlockPartition part;
  part.position.assign(p, 0);
  part.is_diagonal.assign(p, 0);
  for (std::uint64_t c : diagonal) {
    assert(c < p);
    part.is_diagonal[c] = 1;
  }
  for (std::uint64_t c = 0; c < p; ++c) {
    if (part.is_diagonal[c]) {
      part.position[c] = part.diagonal.size();
      part.diagonal.push_back(c);
    } else {
      part.position[c] = part.dense.size();
      part.dense.push_back(c);
    }
  }
  return part;
}

BlockSystem block_system_of(MatrixView h, const BlockPartition& part) {
  const std::size_t k = part.dense.size(), q = part.diagonal.size();
  BlockSystem out{Matrix(k, k), Matrix(k, q), Vector(q)};
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) out.a(a, b) = h(part.dense[a], part.dense[b]);
    for (std::size_t l = 0; l < q; ++l) out.b(a, l) = h(part.dense[a], part.diagonal[l]);
  }
  for (std::size_t l = 0; l < q; ++l) out.d[l] = h(part.diagonal[l], part.diagonal[l]);
  return out;
}

void add_to_block_system(const BlockPartition& part, MatrixView s, double scale, BlockSystem& h) {
  const std::size_t k = part.dense.size(), q = part.diagonal.size();
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) h.a(a, b) += scale * s(part.dense[a], part.dense[b]);
    for (std::size_t l = 0; l < q; ++l) h.b(a, l) += scale * s(part.dense[a], part.diagonal[l]);
  }
  for (std::size_t l = 0; l < q; ++l) h.d[l] += scale * s(part.diagonal[l], part.diagonal[l]);
}

Vector block_system_times(const BlockPartition& part, const BlockSystem& m, VectorView x) {
  const std::size_t k = part.dense.size(), q = part.diagonal.size();
  Vector out(part.size());
  Vector xd(q), yd(q);
  for (std::size_t l = 0; l < q; ++l) {
    xd[l] = x[part.diagonal[l]];
    yd[l] = m.d[l] * xd[l];
  }
  for (std::size_t a = 0; a < k; ++a) {
    const double xa = x[part.dense[a]];
    double s = 0.0;
    for (std::size_t b = 0; b < k; ++b) s += m.a(a, b) * x[part.dense[b]];
    const double* row = m.b.row(a);
    for (std::size_t l = 0; l < q; ++l) {
      s += row[l] * xd[l];
      yd[l] += row[l] * xa;
    }
    out[part.dense[a]] = s;
  }
  for (std::size_t l = 0; l < q; ++l) out[part.diagonal[l]] = yd[l];
  return out;
}

double block_quadratic_form(const BlockPartition& part, const BlockSystem& m, VectorView x) {
  const Vector mx = block_system_times(part, m, x);
  double s = 0.0;
  for (std::size_t i = 0; i < mx.size(); ++i) s += x[i] * mx[i];
  return s;
}

void add_scaled(BlockSystem& h, const BlockSystem& m, double scale) {
  for (std::size_t i = 0; i < h.a.data.size(); ++i) h.a.data[i] += scale * m.a.data[i];
  for (std::size_t i = 0; i < h.b.data.size(); ++i) h.b.data[i] += scale * m.b.data[i];
  for (std::size_t i = 0; i < h.d.size(); ++i) h.d[i] += scale * m.d[i];
}

LapackResult<BlockFactor> block_cholesky(const BlockSystem& h, BlockPartition partition) {
  const std::size_t k = h.a.rows, q = h.d.size();
  assert(partition.dense.size() == k && partition.diagonal.size() == q);
  for (std::size_t l = 0; l < q; ++l)
    if (!(h.d[l] > 0.0))
      return std::unexpected(
          LinalgFailure{LinalgFailure::Kind::LapackComputationalFailure, static_cast<std::int32_t>(l + 1)});
  BlockFactor f;
  f.partition = std::move(partition);
  Matrix schur = schur_complement(h, f, false);
  if (k == 0) {
    f.g = Matrix(0, q);
    return f;
  }
  auto l = cholesky_lower(schur);
  if (!l) {
    LinalgFailure failure = l.error();
    if (failure.return_code > 0) failure.return_code += static_cast<std::int32_t>(q);
    return std::unexpected(failure);
  }
  finish_from_schur_factor(f, std::move(*l));
  return f;
}

std::optional<BlockFactor> block_symmetric_factor(const BlockSystem& h, BlockPartition partition, double floor) {
  if (auto f = block_cholesky(h, partition)) return std::move(*f);
  const std::size_t k = h.a.rows, q = h.d.size();
  for (std::size_t l = 0; l < q; ++l)
    if (!std::isfinite(h.d[l]) || std::fabs(h.d[l]) < floor) return std::nullopt;
  BlockFactor f;
  f.partition = std::move(partition);
  Matrix schur = schur_complement(h, f, true);
  if (k == 0) {
    f.g = Matrix(0, q);
    return f;
  }
  if (auto l = cholesky_lower(schur)) {
    finish_from_schur_factor(f, std::move(*l));
    return f;
  }
  auto eig = eigh(std::move(schur));
  if (!eig) return std::nullopt;
  // S⁻¹ = Σ_j v_j·v_j'/σ_j exists for an indefinite S as well.
  f.schur_log_det = 0.0;
  for (double v : eig->values) {
    if (!std::isfinite(v) || std::fabs(v) < floor) return std::nullopt;
    f.schur_log_det += std::log(std::fabs(v));
  }
  f.schur_inverse = Matrix(k, k);
  for (std::size_t j = 0; j < k; ++j) {
    const double r = 1.0 / eig->values[j];
    for (std::size_t a = 0; a < k; ++a) {
      const double rv = r * eig->vectors(a, j);
      for (std::size_t b = 0; b < k; ++b) f.schur_inverse(a, b) += rv * eig->vectors(b, j);
    }
  }
  symmetrise(f.schur_inverse);
  f.g = multiply(f.schur_inverse, f.e);
  return f;
}

double block_log_det(const BlockFactor& f) {
  double s = 0.0;
  for (double v : f.d) s += std::log(std::fabs(v));
  return s + f.schur_log_det;
}

Vector block_solve(const BlockFactor& f, VectorView b) {
  const BlockPartition& part = f.partition;
  const std::size_t k = f.dense_size(), q = f.diagonal_size();
  Vector r(k);
  for (std::size_t a = 0; a < k; ++a) {
    double s = b[part.dense[a]];
    const double* e = f.e.row(a);
    for (std::size_t l = 0; l < q; ++l) s -= e[l] * b[part.diagonal[l]];
    r[a] = s;
  }
  const Vector xa = schur_solve(f, r);
  Vector x(part.size());
  Vector xd(q);
  for (std::size_t l = 0; l < q; ++l) xd[l] = b[part.diagonal[l]] / f.d[l];
  for (std::size_t a = 0; a < k; ++a) {
    const double* e = f.e.row(a);
    for (std::size_t l = 0; l < q; ++l) xd[l] -= e[l] * xa[a];
    x[part.dense[a]] = xa[a];
  }
  for (std::size_t l = 0; l < q; ++l) x[part.diagonal[l]] = xd[l];
  return x;
}

Matrix block_solve(const BlockFactor& f, MatrixView b) {
  const std::size_t p = f.partition.size();
  Matrix x(p, b.cols);
  for (std::size_t c = 0; c < b.cols; ++c) {
    const Vector col = block_solve(f, VectorView(b.data + static_cast<std::ptrdiff_t>(c) * b.col_stride, b.rows,
                                                 b.row_stride));
    for (std::size_t i = 0; i < p; ++i) x(i, c) = col[i];
  }
  return x;
}

Matrix block_inverse(const BlockFactor& f) {
  const BlockPartition& part = f.partition;
  const std::size_t k = f.dense_size(), q = f.diagonal_size(), p = part.size();
  Matrix inv(p, p);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) inv(part.dense[a], part.dense[b]) = f.schur_inverse(a, b);
    for (std::size_t l = 0; l < q; ++l)
      inv(part.dense[a], part.diagonal[l]) = inv(part.diagonal[l], part.dense[a]) = -f.g(a, l);
  }
  // The D block, D⁻¹ + E'·S⁻¹·E = D⁻¹ + E'·G, a band of rows at a time.
  Matrix band;
  for (std::size_t first = 0; first < q; first += kInverseBandRows) {
    const std::size_t rows = std::min(kInverseBandRows, q - first);
    if (k > 0) {
      const MatrixView et(f.e.data.data() + first, rows, k, 1, static_cast<std::ptrdiff_t>(q));
      multiply_into(et, f.g, band);
    } else {
      band = Matrix(rows, q);
    }
    for (std::size_t r = 0; r < rows; ++r) {
      double* out = inv.row(part.diagonal[first + r]);
      for (std::size_t m = 0; m < q; ++m) out[part.diagonal[m]] = band(r, m);
      out[part.diagonal[first + r]] += 1.0 / f.d[first + r];
    }
  }
  // E'·G is symmetric up to the product's rounding.
  for (std::size_t l = 0; l < q; ++l)
    for (std::size_t m = l + 1; m < q; ++m) {
      double& x = inv(part.diagonal[l], part.diagonal[m]);
      double& y = inv(part.diagonal[m], part.diagonal[l]);
      x = y = (x + y) * 0.5;
    }
  return inv;
}

Vector block_inverse_diagonal(const BlockFactor& f) {
  const BlockPartition& part = f.partition;
  const std::size_t k = f.dense_size(), q = f.diagonal_size();
  Vector out(part.size());
  for (std::size_t a = 0; a < k; ++a) out[part.dense[a]] = f.schur_inverse(a, a);
  Vector dd(q);
  for (std::size_t l = 0; l < q; ++l) dd[l] = 1.0 / f.d[l];
  for (std::size_t a = 0; a < k; ++a) {
    const double* e = f.e.row(a);
    const double* g = f.g.row(a);
    for (std::size_t l = 0; l < q; ++l) dd[l] += e[l] * g[l];
  }
  for (std::size_t l = 0; l < q; ++l) out[part.diagonal[l]] = dd[l];
  return out;
}

double block_trace_times(const BlockFactor& f, MatrixView m) {
  const std::size_t p = f.partition.size();
  double sum = 0.0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      const double v = m(i, j);
      if (v == 0.0) continue;
      sum += inverse_entry(f, i, j) * v;
    }
  return sum;
}

double block_trace_times(const BlockFactor& f, const BlockSystem& m) {
  const std::size_t k = f.dense_size(), q = f.diagonal_size();
  double aa = 0.0, ab = 0.0, dd = 0.0;
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) aa += f.schur_inverse(a, b) * m.a(a, b);
    for (std::size_t l = 0; l < q; ++l) ab += f.g(a, l) * m.b(a, l);
  }
  for (std::size_t l = 0; l < q; ++l) {
    if (m.d[l] == 0.0) continue;
    double h = 1.0 / f.d[l];
    for (std::size_t a = 0; a < k; ++a) h += f.e(a, l) * f.g(a, l);
    dd += h * m.d[l];
  }
  return aa - 2.0 * ab + dd;
}

double block_trace_product(const BlockFactor& f, const BlockSystem& mi, const BlockSystem& mj) {
  const std::size_t k = f.dense_size(), q = f.diagonal_size();
  double diagonal = 0.0;
  for (std::size_t l = 0; l < q; ++l) diagonal += mi.d[l] * mj.d[l] / (f.d[l] * f.d[l]);
  if (k == 0) return diagonal;
  const Projected pi = project(f, mi), pj = project(f, mj);
  Matrix qj = pj.q;
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t l = 0; l < q; ++l) qj(a, l) /= f.d[l];
  const Matrix cross = multiply(qj, pi.q.view().transposed());  // Q_j·D⁻¹·Q_i'
  const Matrix si = multiply(f.schur_inverse, pi.k), sj = multiply(f.schur_inverse, pj.k);
  return diagonal + 2.0 * trace_of_product(f.schur_inverse, cross) + trace_of_product(si, sj);
}

Vector block_row_forms(const BlockFactor& f, const BlockRows& x) {
  const std::size_t n = x.dense.rows, k = f.dense_size();
  Vector out(n), y(k);
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint32_t level = x.level[r];
    // u = x_a − E·x_d.
    for (std::size_t a = 0; a < k; ++a) {
      double s = x.dense(r, a);
      if (level != kNoLevel) s -= f.e(a, level);
      y[a] = s;
    }
    double form = schur_form(f, y);
    if (level != kNoLevel) form += 1.0 / f.d[level];
    out[r] = form;
  }
  return out;
}

Vector block_row_forms(const BlockFactor& f, MatrixView x) {
  const BlockPartition& part = f.partition;
  const std::size_t n = x.rows, k = f.dense_size(), q = f.diagonal_size();
  Vector out(n), u(k);
  for (std::size_t r = 0; r < n; ++r) {
    double form = 0.0;
    for (std::size_t a = 0; a < k; ++a) u[a] = x(r, part.dense[a]);
    for (std::size_t m = 0; m < q; ++m) {
      const double v = x(r, part.diagonal[m]);
      if (v == 0.0) continue;
      form += v * v / f.d[m];
      for (std::size_t a = 0; a < k; ++a) u[a] -= f.e(a, m) * v;
    }
    out[r] = form + schur_form(f, u);
  }
  return out;
}

double block_solve_ridge(const BlockSystem& h) {
  // A NaN fails the comparison and is skipped, as in `solve_ridge`.
  double scale = 0.0;
  for (std::size_t a = 0; a < h.a.rows; ++a)
    if (std::fabs(h.a(a, a)) > scale) scale = std::fabs(h.a(a, a));
  for (double v : h.d)
    if (std::fabs(v) > scale) scale = std::fabs(v);
  return (scale > 0.0 ? scale : 1.0) * kRidgeScale;
}

Result<BlockSolution> block_solve_ridged(const BlockSystem& h, const BlockPartition& partition, VectorView b) {
  auto factor = block_cholesky(h, partition);
  if (!factor) return singular_system("Cholesky failed: " + factor.error().text());
  // H factored, so its diagonal is positive.
  BlockSystem ridged = h;
  for (std::size_t a = 0; a < ridged.a.rows; ++a) ridged.a(a, a) += kRidgeScale * h.a(a, a);
  for (double& v : ridged.d) v += kRidgeScale * v;
  auto ridged_factor = block_cholesky(ridged, partition);
  if (!ridged_factor) return singular_system("Cholesky failed: " + ridged_factor.error().text());
  Vector x = block_solve(*ridged_factor, b);
  return BlockSolution{std::move(*factor), std::move(x)};
}

}  // namespace kavri::linalg
