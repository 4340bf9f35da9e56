#include "design/penalty.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <optional>

#include "common/numeric.h"
#include "linalg/lapack.h"

namespace kavri::design {

linalg::Matrix total_penalty(std::span<const linalg::Matrix> penalties, linalg::VectorView rho) {
  assert(!penalties.empty() && rho.size >= penalties.size());
  const std::size_t p = penalties.front().rows;
  linalg::Matrix out(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const double e = std::exp(rho[j]);
    const linalg::Matrix& s = penalties[j];
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) out(a, b) = s(a, b) * e + out(a, b);
  }
  return out;
}

linalg::Matrix embed_penalty(linalg::MatrixView block, std::uint64_t start, std::uint64_t p) {
  assert(block.rows == block.cols && start + block.rows <= p);
  linalg::Matrix out(p, p);
  for (std::size_t i = 0; i < block.rows; ++i)
    for (std::size_t j = 0; j < block.cols; ++j) out(start + i, start + j) = block(i, j);
  return out;
}

namespace {

// The eigenvalues of a diagonal S with finite entries, ascending as `eigh`
// leaves them: its diagonal. A random effect's identity penalty of many
// levels is one, and its eigendecomposition would cost O(p³).
std::optional<linalg::Vector> diagonal_eigenvalues(linalg::MatrixView s) {
  linalg::Vector d(s.rows);
  for (std::size_t i = 0; i < s.rows; ++i) {
    for (std::size_t j = i + 1; j < s.cols; ++j)
      if (s(i, j) != 0.0) return std::nullopt;
    d[i] = s(i, i);
    if (!std::isfinite(d[i])) return std::nullopt;
  }
  std::sort(d.begin(), d.end());
  return d;
}

}  // namespace

double penalty_rank_threshold(const linalg::Vector& eigenvalues) {
  const double lambda_max = common::nan_ignoring_max(eigenvalues, -INFINITY);
  return kPenaltyRankTolerance * common::floor_at(lambda_max, 1.0);
}

Result<PenaltySummary> penalty_rank_and_log_pdet(linalg::MatrixView s) {
  linalg::Vector values;
  if (std::optional<linalg::Vector> d = diagonal_eigenvalues(s)) {
    values = std::move(*d);
  } else {
    auto eig = linalg::eigh(s.to_matrix());
    if (!eig) return linalg_error("eigh failed in penalty rank: " + eig.error().text());
    values = std::move(eig->values);
  }
  const double threshold = penalty_rank_threshold(values);
  PenaltySummary out;
  for (double lambda : values) {
    if (lambda > threshold) {
      ++out.rank;
      out.log_pdet += std::log(lambda);
    }
  }
  return out;
}

}  // namespace kavri::design
