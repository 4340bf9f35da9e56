#include "score/penalty_determinant.h"

#include <cmath>
#include <numeric>
#include <vector>

#include "design/penalty.h"
#include "linalg/lapack.h"

namespace kavri::score {
namespace {

using linalg::Matrix;

// Rows i < p of S holding a non-zero entry.
std::vector<bool> support(const Matrix& s) {
  std::vector<bool> rows(s.rows, false);
  for (std::size_t i = 0; i < s.rows; ++i)
    for (std::size_t c = 0; c < s.cols; ++c)
      if (s(i, c) != 0.0) {
        rows[i] = true;
        break;
      }
  return rows;
}

using Group = PenaltyGroup;

// Groups of penalties connected by shared rows, each with the union of
// their rows.
std::vector<Group> overlapping_groups(std::span<const Matrix> penalties) {
  const std::size_t m = penalties.size();
  std::vector<std::vector<bool>> rows(m);
  for (std::size_t j = 0; j < m; ++j) rows[j] = support(penalties[j]);
  std::vector<std::size_t> parent(m);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  auto root = [&](std::size_t j) {
    while (parent[j] != j) j = parent[j];
    return j;
  };
  for (std::size_t a = 0; a < m; ++a)
    for (std::size_t b = a + 1; b < m; ++b)
      for (std::size_t i = 0; i < rows[a].size() && i < rows[b].size(); ++i)
        if (rows[a][i] && rows[b][i]) {
          parent[root(b)] = root(a);
          break;
        }

  std::vector<Group> groups;
  std::vector<std::size_t> group_of_root(m, m);
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t r = root(j);
    if (group_of_root[r] == m) {
      group_of_root[r] = groups.size();
      groups.push_back({});
    }
    groups[group_of_root[r]].members.push_back(j);
  }
  for (Group& g : groups) {
    const std::size_t p = penalties[g.members.front()].rows;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t j : g.members)
        if (rows[j][i]) {
          g.rows.push_back(i);
          break;
        }
  }
  return groups;
}

// Σ_j weight_j·S_j restricted to the group's rows and columns.
Matrix block_sum(std::span<const Matrix> penalties, const Group& g, const std::vector<double>& weight) {
  const std::size_t b = g.rows.size();
  Matrix out(b, b);
  for (std::size_t j : g.members)
    for (std::size_t r = 0; r < b; ++r)
      for (std::size_t c = 0; c < b; ++c) out(r, c) += weight[j] * penalties[j](g.rows[r], g.rows[c]);
  return out;
}

}  // namespace

PenaltyGroups penalty_groups(std::span<const Matrix> penalties) { return {overlapping_groups(penalties)}; }

Result<PenaltyDeterminant> penalty_determinant(std::span<const Matrix> penalties,
                                               std::span<const std::uint64_t> ranks,
                                               std::span<const double> log_pdets, linalg::VectorView rho) {
  return penalty_determinant(penalty_groups(penalties), penalties, ranks, log_pdets, rho);
}

Result<PenaltyDeterminant> penalty_determinant(const PenaltyGroups& groups, std::span<const Matrix> penalties,
                                               std::span<const std::uint64_t> ranks,
                                               std::span<const double> log_pdets, linalg::VectorView rho) {
  const std::size_t m = penalties.size();
  PenaltyDeterminant out{.value = 0.0, .gradient = linalg::Vector(m, 0.0), .hessian = Matrix(m, m)};
  std::vector<double> lambda(m);
  for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(rho[j]);

  double sum = 0.0;  // 2R
  for (const Group& g : groups.groups) {
    if (g.members.size() == 1) {
      const std::size_t j = g.members.front();
      const double r = static_cast<double>(ranks[j]);
      sum += r * rho[j] + log_pdets[j];
      out.gradient[j] = 0.5 * r;
      continue;
    }
    // The rank of the unweighted sum, as the design counts it for M_p.
    KAVRI_TRY(const design::PenaltySummary structure,
              design::penalty_rank_and_log_pdet(block_sum(penalties, g, std::vector<double>(m, 1.0))));
    auto eig = linalg::eigh(block_sum(penalties, g, lambda));
    if (!eig) return linalg_error("eigh failed in penalty determinant: " + eig.error().text());
    const std::size_t b = g.rows.size();
    const std::size_t first = b - structure.rank;  // eigenvalues ascend: the rank largest ones
    for (std::size_t k = first; k < b; ++k) sum += std::log(eig->values[k]);
    // In the retained eigenbasis T_j = V'S_jV / √(μ_k μ_l): tr(B⁺S_j) is its
    // trace and tr(B⁺S_iB⁺S_j) the sum of T_i ⊙ T_j.
    const std::size_t r = b - first;
    std::vector<Matrix> scaled(g.members.size(), Matrix(r, r));
    for (std::size_t a = 0; a < g.members.size(); ++a) {
      const Matrix& s = penalties[g.members[a]];
      Matrix sv(b, r);  // S_j·V over the retained columns
      for (std::size_t row = 0; row < b; ++row)
        for (std::size_t k = 0; k < r; ++k) {
          double sum = 0.0;
          for (std::size_t c = 0; c < b; ++c) sum += s(g.rows[row], g.rows[c]) * eig->vectors(c, first + k);
          sv(row, k) = sum;
        }
      for (std::size_t k = 0; k < r; ++k)
        for (std::size_t l = 0; l < r; ++l) {
          double sum = 0.0;
          for (std::size_t row = 0; row < b; ++row) sum += eig->vectors(row, first + k) * sv(row, l);
          scaled[a](k, l) = sum / std::sqrt(eig->values[first + k] * eig->values[first + l]);
        }
    }
    for (std::size_t a = 0; a < g.members.size(); ++a) {
      const std::size_t i = g.members[a];
      double trace = 0.0;
      for (std::size_t k = 0; k < r; ++k) trace += scaled[a](k, k);
      out.gradient[i] = 0.5 * (lambda[i] * trace);
      out.hessian(i, i) += 0.5 * (lambda[i] * trace);
      for (std::size_t c = 0; c < g.members.size(); ++c) {
        const std::size_t j = g.members[c];
        double cross = 0.0;
        for (std::size_t k = 0; k < r; ++k)
          for (std::size_t l = 0; l < r; ++l) cross += scaled[a](k, l) * scaled[c](l, k);
        out.hessian(i, j) -= 0.5 * (lambda[i] * lambda[j] * cross);
      }
    }
  }
  out.value = 0.5 * sum;
  return out;
}

}  // namespace kavri::score
