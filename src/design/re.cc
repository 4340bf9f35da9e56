#include "design/re.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "design/assembly.h"
#include "design/compact.h"
#include "design/covariates.h"
#include "design/re_blocks.h"
#include "design/sizes.h"

namespace kavri::design {
namespace {

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Ascending, and −0.0 before 0.0. With `<` alone the two zeros are
// equivalent and may interleave after the sort, which would repeat a level
// and leave some rows without an indicator. Values are finite here.
bool level_less(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

constexpr std::string_view kReContext = "Re basis";

}  // namespace

Result<std::vector<double>> re_levels(linalg::MatrixView x, std::uint64_t col) {
  KAVRI_TRY_VOID(require_matrix_fits(kReContext, x.rows, 1));
  KAVRI_TRY_VOID(require_finite_column(x, col));
  std::vector<double> sorted = column_vector(x, col).to_vector();
  std::sort(sorted.begin(), sorted.end(), level_less);
  std::vector<double> levels;
  for (double v : sorted)
    if (levels.empty() || !same_bits(v, levels.back())) levels.push_back(v);
  if (levels.empty()) return invalid_parameter("Re basis: x is empty");
  return levels;
}

Result<ReTerm> build_re_term(linalg::MatrixView x, std::uint64_t col) {
  KAVRI_TRY(std::vector<double> levels, re_levels(x, col));
  KAVRI_TRY_VOID(require_matrix_fits(kReContext, x.rows, levels.size()));
  linalg::Matrix basis = naming_allocation_failure(kReContext, {x.rows, levels.size()}, [&] {
    return re_indicator_matrix(levels, column_matrix(x, col));
  });
  return ReTerm{.levels = std::move(levels), .basis = std::move(basis)};
}

linalg::Matrix re_indicator_matrix(std::span<const double> levels, linalg::MatrixView x) {
  linalg::Matrix out(x.rows, levels.size());
  for (std::size_t i = 0; i < x.rows; ++i) {
    const std::size_t l = re_level_index(levels, x(i, 0));
    if (l < levels.size()) out(i, l) = 1.0;
  }
  return out;
}

std::size_t re_level_index(std::span<const double> levels, double v) {
  const std::size_t n_levels = levels.size();
  // First l with v <= levels[l] (none for NaN); written out so that stored
  // levels out of order cannot break a library precondition.
  std::size_t lo = 0, hi = n_levels;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (v <= levels[mid])
      hi = mid;
    else
      lo = mid + 1;
  }
  // The zeros −0.0 and 0.0 compare equal, so the lower bound may land on
  // the other sign's level: look on through the equal neighbours.
  for (std::size_t l = lo; l < n_levels; ++l) {
    if (same_bits(levels[l], v)) return l;
    if (!(levels[l] == v)) break;
  }
  return n_levels;
}

Result<ModelDesign> build_single_re_design(linalg::MatrixView x) {
  KAVRI_TRY_VOID(require_a_column(x));
  KAVRI_TRY(ReTerm t, build_re_term(x, 0));
  // The design holds n × (L + 1) and (L + 1) × (L + 1) matrices.
  const std::uint64_t p = t.levels.size() + 1;
  return naming_allocation_failure(kReContext, largest_shape({{x.rows, p}, {p, p}}), [&]() -> Result<ModelDesign> {
    const linalg::Matrix identity = linalg::Matrix::identity(t.levels.size());
    TermRowLevels row_levels(1);
    if (t.levels.size() < linalg::kNoLevel) {
      row_levels[0].resize(x.rows);
      for (std::size_t i = 0; i < x.rows; ++i) {
        const std::size_t l = re_level_index(t.levels, x(i, 0));
        row_levels[0][i] = l < t.levels.size() ? static_cast<std::uint32_t>(l) : linalg::kNoLevel;
      }
    }
    std::optional<CompactDesign> compact;
    if (std::optional<CompactTerm> level = compact_level_term(x, 0, t.levels, 1)) {
      std::vector<CompactTerm> terms;
      terms.push_back(compact_intercept());
      terms.push_back(std::move(*level));
      compact = compact_design(x.rows, p, std::move(terms));
    }
    Result<ModelDesign> design =
        single_smooth_design(t.basis, identity, Predictor{RePredictor{.levels = std::move(t.levels)}});
    if (design) {
      design->compact = std::move(compact);
      design->re_blocks = re_blocks(*design, row_levels);
    }
    return design;
  });
}

}  // namespace kavri::design
