#include "linalg/lapack.h"

#include <algorithm>
#include <cassert>
#include <climits>

extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info);
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info);
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info);
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
            const double* beta, double* c, const int* ldc);
int openblas_get_parallel(void);
}

namespace kavri::linalg {
namespace {

LinalgFailure failure_from_info(int info) {
  return {info < 0 ? LinalgFailure::Kind::LapackInvalidValue : LinalgFailure::Kind::LapackComputationalFailure,
          static_cast<std::int32_t>(info)};
}

int as_lapack_int(std::size_t n) {
  assert(n <= static_cast<std::size_t>(INT_MAX));
  return static_cast<int>(n);
}

// Column-major copy of a row-major view: element (i, j) at j * n + i.
std::vector<double> column_major_copy(MatrixView a) {
  std::vector<double> out(a.rows * a.cols);
  for (std::size_t j = 0; j < a.cols; ++j)
    for (std::size_t i = 0; i < a.rows; ++i) out[j * a.rows + i] = a(i, j);
  return out;
}

// A view as dgemm wants it: a base pointer, a leading dimension and whether
// the column-major reading of that storage is the transpose of the view.
struct GemmOperand {
  const double* data;
  int ld;
  bool transposed;  // storage read column-major is the view transposed (i.e. row-major)
  std::vector<double> copy;
};

GemmOperand gemm_operand(MatrixView v) {
  if (v.col_stride == 1 && v.row_stride >= static_cast<std::ptrdiff_t>(std::max<std::size_t>(v.cols, 1)))
    return {v.data, as_lapack_int(static_cast<std::size_t>(v.row_stride)), true, {}};
  if (v.row_stride == 1 && v.col_stride >= static_cast<std::ptrdiff_t>(std::max<std::size_t>(v.rows, 1)))
    return {v.data, as_lapack_int(static_cast<std::size_t>(v.col_stride)), false, {}};
  GemmOperand op{nullptr, as_lapack_int(std::max<std::size_t>(v.cols, 1)), true, v.to_matrix().data};
  op.data = op.copy.data();
  return op;
}

}  // namespace

std::string LinalgFailure::text() const {
  if (kind == Kind::LapackInvalidValue)
    return "Invalid value for LAPACK subroutine " + std::to_string(-static_cast<std::int64_t>(return_code)) +
           "-th argument";
  return "Computational failure in LAPACK subroutine: return_code = " + std::to_string(return_code);
}

LapackResult<Matrix> cholesky_lower(MatrixView a) {
  assert(a.rows == a.cols);
  const int n = as_lapack_int(a.rows);
  std::vector<double> buf = column_major_copy(a);
  int info = 0;
  const char uplo = 'L';
  dpotrf_(&uplo, &n, buf.data(), &n, &info);
  if (info != 0) return std::unexpected(failure_from_info(info));
  Matrix l(a.rows, a.rows);
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j <= i; ++j) l(i, j) = buf[j * a.rows + i];
  return l;
}

LapackResult<Eigen> eigh(Matrix a) {
  assert(a.rows == a.cols);
  const int n = as_lapack_int(a.rows);
  const int lda = std::max(n, 1);
  // The row-major buffer is the column-major storage of A'; with UPLO 'L'
  // dsyev reads its lower triangle, which is A's upper triangle.
  const char jobz = 'V', uplo = 'L';
  Vector w(a.rows);
  int info = 0;
  int lwork = -1;
  double query = 0.0;
  dsyev_(&jobz, &uplo, &n, a.data.data(), &lda, w.data(), &query, &lwork, &info);
  if (info != 0) return std::unexpected(failure_from_info(info));
  lwork = std::max(1, static_cast<int>(query));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, a.data.data(), &lda, w.data(), work.data(), &lwork, &info);
  if (info != 0) return std::unexpected(failure_from_info(info));
  // dsyev leaves eigenvector k in column-major column k, which in our
  // row-major buffer is row k: transpose in place.
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = i + 1; j < a.cols; ++j) std::swap(a(i, j), a(j, i));
  return Eigen{std::move(w), std::move(a)};
}

LapackResult<Vector> lu_solve(MatrixView a, VectorView b) {
  assert(a.rows == a.cols && b.size == a.rows);
  const int n = as_lapack_int(a.rows);
  const int lda = std::max(n, 1);
  // The row-major copy read column-major is A'; TRANS 'T' solves A·x = b.
  std::vector<double> buf = a.to_matrix().data;
  std::vector<int> ipiv(a.rows);
  int info = 0;
  dgetrf_(&n, &n, buf.data(), &lda, ipiv.data(), &info);
  if (info != 0) return std::unexpected(failure_from_info(info));
  Vector x = b.to_vector();
  const char trans = 'T';
  const int nrhs = 1;
  dgetrs_(&trans, &n, &nrhs, buf.data(), &lda, ipiv.data(), x.data(), &lda, &info);
  if (info != 0) return std::unexpected(failure_from_info(info));
  return x;
}

void multiply_into(MatrixView a, MatrixView b, Matrix& out) {
  assert(a.cols == b.rows);
  assert(out.data.empty() || (out.data.data() != a.data && out.data.data() != b.data));
  out.rows = a.rows;
  out.cols = b.cols;
  out.data.resize(a.rows * b.cols);
  if (a.rows == 0 || b.cols == 0) return;
  if (a.cols == 0) {  // empty inner dimension: the zero matrix
    std::fill(out.data.begin(), out.data.end(), 0.0);
    return;
  }
  // Row-major C = A·B is column-major C' = B'·A'. A row-major operand read
  // column-major is already its transpose, so it goes in untransposed.
  GemmOperand ga = gemm_operand(a), gb = gemm_operand(b);
  const char ta = ga.transposed ? 'N' : 'T';
  const char tb = gb.transposed ? 'N' : 'T';
  const int m = as_lapack_int(b.cols), n = as_lapack_int(a.rows), k = as_lapack_int(a.cols);
  const double one = 1.0, zero = 0.0;
  const int ldc = m;
  dgemm_(&tb, &ta, &m, &n, &k, &one, gb.data, &gb.ld, ga.data, &ga.ld, &zero, out.data.data(), &ldc);
}

Matrix multiply(MatrixView a, MatrixView b) {
  Matrix c;
  multiply_into(a, b, c);
  return c;
}

void multiply_into(MatrixView a, VectorView x, Vector& out) {
  assert(a.cols == x.size);
  Matrix c;
  c.data = std::move(out);
  if (x.stride == 1) {
    multiply_into(a, MatrixView(x.data, x.size, 1, 1, 1), c);
  } else {
    const Vector xs = x.to_vector();
    multiply_into(a, MatrixView(xs.data(), xs.size(), 1, 1, 1), c);
  }
  out = std::move(c.data);
}

Vector multiply(MatrixView a, VectorView x) {
  Vector y;
  multiply_into(a, x, y);
  return y;
}

bool blas_is_serial() { return openblas_get_parallel() == 0; }

namespace {

// visit(i, q_i, block, r) for every row i = first + r of A, with
// q_i = a_i'·V·a_i from A·V taken by dgemm on blocks of rows into one reused
// buffer.
template <class Visit>
void visit_row_forms(MatrixView a, MatrixView v, Visit&& visit) {
  Matrix av;
  for (std::size_t first = 0; first < a.rows; first += kQuadraticFormBlockRows) {
    const std::size_t rows = std::min(kQuadraticFormBlockRows, a.rows - first);
    const MatrixView block(a.data + static_cast<std::ptrdiff_t>(first) * a.row_stride, rows, a.cols, a.row_stride,
                           a.col_stride);
    multiply_into(block, v, av);
    for (std::size_t r = 0; r < rows; ++r) {
      const double* y = av.row(r);
      double q = 0.0;
      for (std::size_t j = 0; j < a.cols; ++j) q += block(r, j) * y[j];
      visit(first + r, q, block, r);
    }
  }
}

}  // namespace

Vector row_quadratic_forms(MatrixView a, MatrixView v) {
  Vector q;
  row_quadratic_forms_into(a, v, q);
  return q;
}

void row_quadratic_forms_into(MatrixView a, MatrixView v, Vector& q) {
  q.resize(a.rows);
  visit_row_forms(a, v, [&](std::size_t i, double form, MatrixView, std::size_t) { q[i] = form; });
}

Vector weighted_row_form_sum(MatrixView a, MatrixView v, VectorView s) {
  Vector sum(a.cols, 0.0);
  visit_row_forms(a, v, [&](std::size_t i, double form, MatrixView block, std::size_t r) {
    const double weight = s[i] * form;
    for (std::size_t j = 0; j < a.cols; ++j) sum[j] += block(r, j) * weight;
  });
  return sum;
}

}  // namespace kavri::linalg
