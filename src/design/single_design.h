// The single-smooth designs by name: "cr", "cr_stable" and "re" on column 0
// of x, as the fit drivers are asked for them.
#pragma once

#include <cstdint>
#include <string_view>

#include "design/records.h"
#include "linalg/error.h"
#include "linalg/matrix.h"

namespace kavri::design {

enum class SingleDesign { Cr, CrStable, Re };

// InvalidParameter "design must be 'cr', 're', or 'cr_stable'; got {}" with
// the name as a quoted literal for any other name.
[[nodiscard]] Result<SingleDesign> single_design_named(std::string_view name);

// The design of that kind on column 0 of x (k unused for "re").
[[nodiscard]] Result<ModelDesign> build_single_design(SingleDesign kind, linalg::MatrixView x, std::uint64_t k);

// The name checked, then `check_data()` (the caller's checks of the data
// that must come before any design error), then the design.
template <class DataCheck>
[[nodiscard]] Result<ModelDesign> build_named_single_design(linalg::MatrixView x, std::string_view name,
                                                            std::uint64_t k, DataCheck&& check_data) {
  KAVRI_TRY(const SingleDesign kind, single_design_named(name));
  KAVRI_TRY_VOID(check_data());
  return build_single_design(kind, x, k);
}

}  // namespace kavri::design
