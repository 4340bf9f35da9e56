// Zero-filled arrays of many megabytes whose memory is advised to the
// kernel as huge-page backed before it is first touched: a fresh mapping
// of that size otherwise costs one page fault per 4 KiB, which at a
// million rows outweighs the writes themselves. The advice is only a hint;
// where the system ignores or lacks it these are ordinary arrays. The
// results are plain `Vector`s and `Matrix`es, owned and freed as any other.
#pragma once

#include <cstddef>

#include "linalg/matrix.h"

namespace kavri::linalg {

// Arrays below this many bytes are left as the allocator gives them: the
// advice covers whole 2 MiB pages and would not pay for its system call.
inline constexpr std::size_t kLargeArrayBytes = std::size_t{4} << 20;

// n entries of `fill`.
Vector large_vector(std::size_t n, double fill = 0.0);

// rows × cols, zero-filled, as `Matrix(rows, cols)`.
Matrix large_matrix(std::size_t rows, std::size_t cols);

}  // namespace kavri::linalg
