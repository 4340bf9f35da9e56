#include "linalg/large_array.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kavri::linalg {
namespace {

// Reserves n entries and advises the whole huge pages inside them; the
// entries are filled only afterwards, so the first touch already sees the
// advice.
void reserve_advised(Vector& v, std::size_t n) {
  v.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n * sizeof(double) < kLargeArrayBytes) return;
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + n * sizeof(double)) & ~(kHugePage - 1);
  // A refusal (no transparent huge pages, an old kernel) changes nothing.
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace

Vector large_vector(std::size_t n, double fill) {
  Vector v;
  reserve_advised(v, n);
  v.assign(n, fill);
  return v;
}

Matrix large_matrix(std::size_t rows, std::size_t cols) {
  Matrix m;
  reserve_advised(m.data, rows * cols);
  m.data.resize(rows * cols);
  m.rows = rows;
  m.cols = cols;
  return m;
}

}  // namespace kavri::linalg
