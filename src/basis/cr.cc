#include "basis/cr.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <cassert>
#include <cmath>
#include <string>

#include "common/format.h"
#include "common/numeric.h"
#include "linalg/lapack.h"

namespace kavri::basis {
namespace {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Ascending with NaN after every number. Plain `<` is not a strict weak
// order once NaN is present, and std::sort may then read out of bounds;
// on NaN-free data this is exactly `<`.
bool less_nan_last(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// Below this many values a comparison sort beats the bucket passes.
constexpr std::size_t kRadixSortMinimum = 4096;

// The bits of a non-NaN double as an unsigned key in the order of the
// values: negatives have every bit flipped, the rest only the sign bit.
// The two zeros get adjacent keys, −0 first; `less_nan_last` holds them
// equivalent, so either order is a sorted order.
std::uint64_t order_key(double v) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

double from_order_key(std::uint64_t key) {
  return std::bit_cast<double>((key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// keys[0 .. n) in ascending order by a least-significant-digit radix sort
// (digits of 11 bits), `scratch` holding n more.
void radix_sort_keys(std::uint64_t* keys, std::size_t n, std::uint64_t* scratch) {
  constexpr int kDigitBits = 11;
  constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  // Every pass's counts from one sweep over the keys.
  std::vector<std::size_t> counts(kPasses * kBuckets, 0);
  for (std::size_t i = 0; i < n; ++i)
    for (int pass = 0; pass < kPasses; ++pass)
      ++counts[pass * kBuckets + ((keys[i] >> (pass * kDigitBits)) & (kBuckets - 1))];
  std::uint64_t* from = keys;
  std::uint64_t* to = scratch;
  for (int pass = 0; pass < kPasses; ++pass) {
    std::size_t* start = counts.data() + pass * kBuckets;
    const int shift = pass * kDigitBits;
    // A digit that every key shares leaves the order as it is.
    if (start[(from[0] >> shift) & (kBuckets - 1)] == n) continue;
    std::size_t total = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) total += std::exchange(start[b], total);
    for (std::size_t i = 0; i < n; ++i) to[start[(from[i] >> shift) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::copy(from, from + n, keys);
}

// Ascending by `order_key`: `<` on numbers, −0 before +0.
bool key_less(double a, double b) { return order_key(a) < order_key(b); }

// Runs at most this long are sorted by `rank_sort_values`.
constexpr std::size_t kRankSortMaximum = 32;

// A short run of values (n ≤ kRankSortMaximum) in ascending key order, each
// value written at its rank: the count of keys below it, and of equal keys
// before it. The counting compares without branches, where an insertion
// sort mispredicts about once per value on data in random order.
void rank_sort_values(double* values, std::size_t n) {
  assert(n <= kRankSortMaximum);
  std::uint64_t keys[kRankSortMaximum];
  double copy[kRankSortMaximum];
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = order_key(values[i]);
    copy[i] = values[i];
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    std::size_t rank = 0;
    for (std::size_t j = 0; j < i; ++j) rank += static_cast<std::size_t>(keys[j] <= key);
    for (std::size_t j = i + 1; j < n; ++j) rank += static_cast<std::size_t>(keys[j] < key);
    values[rank] = copy[i];
  }
}

// values[0 .. n) (no NaN) in ascending key order by the radix sort.
void radix_sort_values(double* values, std::size_t n, std::vector<std::uint64_t>& keys,
                       std::vector<std::uint64_t>& scratch) {
  if (keys.size() < n) {
    keys.resize(n);
    scratch.resize(n);
  }
  for (std::size_t i = 0; i < n; ++i) keys[i] = order_key(values[i]);
  radix_sort_keys(keys.data(), n, scratch.data());
  for (std::size_t i = 0; i < n; ++i) values[i] = from_order_key(keys[i]);
}

// Buckets longer than this are sorted by radix rather than by comparison.
constexpr std::size_t kBucketRadixMinimum = std::size_t{1} << 15;

struct ValueRange {
  std::size_t nans = 0;
  double lo = std::numeric_limits<double>::infinity();  // of the values that are not NaN
  double hi = -std::numeric_limits<double>::infinity();
};

// The NaN count and range of a column in two interleaved chains of minima
// and maxima, each waiting only on itself; NaN compares false and is passed
// over. Which zero a zero bound is does not matter to its callers.
ValueRange value_range(VectorView column) {
  ValueRange even, odd;
  const auto take = [](ValueRange& r, double v) {
    r.nans += static_cast<std::size_t>(std::isnan(v));
    r.lo = v < r.lo ? v : r.lo;
    r.hi = v > r.hi ? v : r.hi;
  };
  std::size_t i = 0;
  for (; i + 1 < column.size; i += 2) {
    take(even, column[i]);
    take(odd, column[i + 1]);
  }
  if (i < column.size) take(even, column[i]);
  return {.nans = even.nans + odd.nans,
          .lo = odd.lo < even.lo ? odd.lo : even.lo,
          .hi = odd.hi > even.hi ? odd.hi : even.hi};
}

// The column sorted by `less_nan_last`, the zeros −0 first. Knot placement
// reads a few order statistics of the unique values, and which values are
// unique depends on every neighbour, so the whole order is needed. At a
// million rows the values go to about n/8 buckets by their offset from the
// smallest value, an order-preserving map (a larger value never lands in
// an earlier bucket), and each short bucket is sorted in cache: two passes
// over the data and one output array, where a radix sort makes six passes
// over three. Crowded buckets (clustered or repeated values) fall back to
// the radix sort, as does a range that the offsets cannot span or a column
// beyond the 32-bit bucket offsets. The result goes into `values`.
void sorted_nan_last(VectorView column, Vector& values) {
  const ValueRange r = value_range(column);
  const std::size_t nans = r.nans;
  const double lo = r.lo, hi = r.hi;
  const std::size_t n = column.size - nans;
  values.assign(column.size, std::numeric_limits<double>::quiet_NaN());
  const double range = hi - lo;
  if (n < kRadixSortMinimum || !(range > 0.0) || !std::isfinite(range) ||
      n > std::numeric_limits<std::uint32_t>::max()) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < column.size; ++i)
      if (!std::isnan(column[i])) values[at++] = column[i];
    if (n < kRadixSortMinimum) {
      std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n), less_nan_last);
    } else {
      std::vector<std::uint64_t> keys, scratch;
      radix_sort_values(values.data(), n, keys, scratch);
    }
    return;
  }
  const std::size_t buckets = n / 8;
  const double scale = static_cast<double>(buckets) / range;
  // v ≥ lo, so the offset is ≥ 0, and at most `buckets` up to rounding.
  auto bucket_of = [&](double v) { return std::min(static_cast<std::size_t>((v - lo) * scale), buckets - 1); };
  std::vector<std::uint32_t> start(buckets + 1, 0);
  for (std::size_t i = 0; i < column.size; ++i)
    if (!std::isnan(column[i])) ++start[bucket_of(column[i]) + 1];
  for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
  std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < column.size; ++i) {
    const double v = column[i];
    if (!std::isnan(v)) values[fill[bucket_of(v)]++] = v;
  }
  std::vector<std::uint64_t> keys, scratch;
  for (std::size_t b = 0; b < buckets; ++b) {
    double* first = values.data() + start[b];
    const std::size_t size = start[b + 1] - start[b];
    if (size <= kRankSortMaximum) rank_sort_values(first, size);
    else if (size < kBucketRadixMinimum) std::sort(first, first + size, key_less);
    else radix_sort_values(first, size, keys, scratch);
  }
}

// Segment polynomials a + b·dx + c·dx² + d·dx³ of every basis function,
// stored segment-major ([segment * k + basis]) so that one row of the basis
// matrix reads contiguous memory.
struct SegmentCoefficients {
  std::size_t k = 0;
  Vector a, b, c, d;
  Vector right_slope;  // per basis function, the slope at the last knot
};

SegmentCoefficients natural_spline_coefficients(const Vector& t) {
  const std::size_t k = t.size();
  const std::size_t segments = k - 1;
  Vector h(segments);
  for (std::size_t j = 0; j < segments; ++j) h[j] = t[j + 1] - t[j];

  SegmentCoefficients out{k, Vector(segments * k), Vector(segments * k), Vector(segments * k),
                          Vector(segments * k), Vector(k)};
  Vector y(k), alpha(k), l(k), mu(k), z(k), c(k);
  for (std::size_t i = 0; i < k; ++i) {
    std::fill(y.begin(), y.end(), 0.0);
    y[i] = 1.0;
    for (std::size_t j = 1; j + 1 < k; ++j)
      alpha[j] = (3.0 / h[j]) * (y[j + 1] - y[j]) - (3.0 / h[j - 1]) * (y[j] - y[j - 1]);
    // Tridiagonal system for c_j (half the second derivatives), natural ends.
    l[0] = 1.0;
    mu[0] = 0.0;
    z[0] = 0.0;
    for (std::size_t j = 1; j + 1 < k; ++j) {
      l[j] = 2.0 * (h[j - 1] + h[j]) - h[j - 1] * mu[j - 1];
      mu[j] = h[j] / l[j];
      z[j] = (alpha[j] - h[j - 1] * z[j - 1]) / l[j];
    }
    c[k - 1] = 0.0;
    for (std::size_t j = k - 1; j-- > 0;) c[j] = z[j] - mu[j] * c[j + 1];

    for (std::size_t j = 0; j < segments; ++j) {
      const std::size_t at = j * k + i;
      out.a[at] = y[j];
      out.b[at] = (y[j + 1] - y[j]) / h[j] - (2.0 * c[j] + c[j + 1]) * h[j] / 3.0;
      out.c[at] = c[j];
      out.d[at] = (c[j + 1] - c[j]) / (3.0 * h[j]);
    }
    const std::size_t last = (segments - 1) * k + i;
    const double hl = h[segments - 1];
    out.right_slope[i] = out.b[last] + 2.0 * out.c[last] * hl + 3.0 * out.d[last] * (hl * hl);
  }
  return out;
}

}  // namespace

Result<CrBasis> validate_cr_knots(Vector knots) {
  if (knots.size() <= 2)
    return invalid_parameter("CR spline needs k ≥ 3 (got " + common::format_count(knots.size()) + ")");
  for (std::size_t j = 1; j < knots.size(); ++j)
    if (!(knots[j] > knots[j - 1])) return invalid_parameter("CR spline knots must be strictly increasing");
  const std::uint64_t k = knots.size();
  return CrBasis{.knots = std::move(knots), .k = k};
}

Result<CrBasis> place_cr_knots(VectorView column, std::uint64_t k) {
  Vector storage;
  return place_cr_knots(column, k, storage);
}

Result<CrBasis> place_cr_knots(VectorView column, std::uint64_t k, Vector& storage) {
  // The unique values are gathered at the front of the sorted ones.
  Vector& unique = storage;
  sorted_nan_last(column, unique);
  // The last value kept stays in a register rather than being read back
  // from where it was just stored.
  std::size_t u = 0;
  if (!unique.empty()) {
    double last = unique[0];
    u = 1;
    for (std::size_t i = 1; i < unique.size(); ++i) {
      const double v = unique[i];
      if (std::fabs(v - last) > kKnotDuplicateTolerance) {
        unique[u++] = v;
        last = v;
      }
    }
  }

  Vector knots(k);
  if (u < k) {
    const double first = u == 0 ? 0.0 : unique.front();
    const double last = u == 0 ? 1.0 : unique[u - 1];
    const double step = k >= 2 ? (last - first) / static_cast<double>(k - 1) : 0.0;
    for (std::size_t j = 0; j < k; ++j) knots[j] = first + static_cast<double>(j) * step;
  } else {
    // u >= k >= 1 here, and k = 1 leaves a single knot for validation to
    // reject; the quotient is then 0/0 and the index saturates to 0.
    const double span = static_cast<double>(u - 1);
    for (std::size_t j = 0; j < k; ++j) {
      const double t = (static_cast<double>(j) / static_cast<double>(k - 1)) * span;
      const std::uint64_t i = common::saturating_to_u64(std::floor(t));
      if (i < u - 1) {
        const double f = t - static_cast<double>(i);
        knots[j] = (1.0 - f) * unique[i] + f * unique[i + 1];
      } else {
        knots[j] = unique[u - 1];
      }
    }
  }
  return validate_cr_knots(std::move(knots));
}

CrRowEvaluator::CrRowEvaluator(const CrBasis& basis) : k_(basis.knots.size()), knots_(basis.knots) {
  assert(k_ >= 3);
  SegmentCoefficients s = natural_spline_coefficients(knots_);
  a_ = std::move(s.a);
  b_ = std::move(s.b);
  c_ = std::move(s.c);
  d_ = std::move(s.d);
  right_slope_ = std::move(s.right_slope);
}

void CrRowEvaluator::row(double v, double* row) const {
  const std::size_t k = k_;
  const double first = knots_.front(), last = knots_.back();
  if (v < first) {
    // Left value is e_i, left slope the first segment's b.
    const double dx = v - first;
    for (std::size_t i = 0; i < k; ++i) row[i] = (i == 0 ? 1.0 : 0.0) + b_[i] * dx;
  } else if (v > last) {
    const double dx = v - last;
    for (std::size_t i = 0; i < k; ++i) row[i] = (i == k - 1 ? 1.0 : 0.0) + right_slope_[i] * dx;
  } else {
    // The segment j with t_j <= v < t_{j+1} (the last one for v = t_{k-1}),
    // counted without branches: a binary search mispredicts on
    // unordered data.
    std::size_t seg = 0;
    for (std::size_t j = 1; j + 1 < k; ++j) seg += static_cast<std::size_t>(v >= knots_[j]);
    row_in_interval(v, seg, row);
  }
}

Matrix cr_basis_matrix(const CrBasis& basis, MatrixView x) {
  assert(x.rows == 0 || x.cols >= 1);
  const CrRowEvaluator evaluator(basis);
  Matrix out(x.rows, evaluator.k());
  for (std::size_t m = 0; m < x.rows; ++m) evaluator.row(x(m, 0), out.row(m));
  return out;
}

namespace {

// The second-difference operator D ((k − 2) × k) and T⁻¹D, T the symmetric
// tridiagonal matrix of the natural spline's continuity conditions.
struct CurvatureOperators {
  Matrix d, tinv_d;
};

CurvatureOperators curvature_operators(VectorView knots) {
  const std::size_t k = knots.size;
  assert(k >= 3);
  const std::size_t r = k - 2;  // rows of D, order of T
  Vector h(k - 1);
  for (std::size_t j = 0; j + 1 < k; ++j) h[j] = knots[j + 1] - knots[j];

  Matrix d(r, k);
  for (std::size_t i = 0; i < r; ++i) {
    d(i, i) = 1.0 / h[i];
    d(i, i + 1) = -1.0 / h[i] - 1.0 / h[i + 1];
    d(i, i + 2) = 1.0 / h[i + 1];
  }
  // T is symmetric tridiagonal: diagonal (h_i + h_{i+1})/3, off-diagonal
  // T[m][m+1] = h_{m+1}/6.
  Vector t_diag(r), t_off(r > 0 ? r - 1 : 0);
  for (std::size_t i = 0; i < r; ++i) t_diag[i] = (h[i] + h[i + 1]) / 3.0;
  for (std::size_t m = 0; m + 1 < r; ++m) t_off[m] = h[m + 1] / 6.0;

  // Columns of T⁻¹D by the Thomas algorithm, each on fresh copies.
  Matrix tinv_d(r, k);
  Vector diag(r), rhs(r), x(r);
  for (std::size_t j = 0; j < k; ++j) {
    diag = t_diag;
    for (std::size_t m = 0; m < r; ++m) rhs[m] = d(m, j);
    for (std::size_t m = 0; m + 1 < r; ++m) {
      const double w = t_off[m] / diag[m];
      diag[m + 1] -= t_off[m] * w;
      rhs[m + 1] -= w * rhs[m];
    }
    x[r - 1] = rhs[r - 1] / diag[r - 1];
    for (std::size_t m = r - 1; m-- > 0;) x[m] = (rhs[m] - x[m + 1] * t_off[m]) / diag[m];
    for (std::size_t m = 0; m < r; ++m) tinv_d(m, j) = x[m];
  }
  return {std::move(d), std::move(tinv_d)};
}

}  // namespace

std::vector<Matrix> cr_penalty(VectorView knots) {
  const CurvatureOperators ops = curvature_operators(knots);
  std::vector<Matrix> out;
  out.push_back(linalg::multiply(ops.d.view().transposed(), ops.tinv_d));
  return out;
}

Matrix cr_second_derivative_map(VectorView knots) {
  const std::size_t k = knots.size;
  const CurvatureOperators ops = curvature_operators(knots);
  Matrix f(k, k);
  for (std::size_t i = 0; i + 2 < k; ++i)
    for (std::size_t j = 0; j < k; ++j) f(i + 1, j) = ops.tinv_d(i, j);
  return f;
}

}  // namespace kavri::basis
