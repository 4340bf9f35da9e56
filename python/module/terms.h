// The term grammar of `fit_additive`: the Python list of term tuples turned
// into typed `TermSpec` values, in list order.
//
// (col, "cr"[, k]), (col, "cr_stable"[, k]), (col, "re") and
// ((col_a, col_b), "te"[, (k_a, k_b)]); a missing basis size is 10 and
// elements past those read are ignored. Converting an element can run
// Python code that changes the list, so each item is held while it is read
// and the list's current length is consulted before every step.
#pragma once

#include <vector>

#include "design/records.h"
#include "py_ref.h"

namespace kavri::python {

// Basis size of a term tuple that gives none.
inline constexpr std::uint64_t kDefaultBasisSize = 10;

// The terms of `list` (a list, checked by the caller). The grammar's errors
// are raised here; an empty list is the caller's to report.
PyResult<std::vector<design::TermSpec>> parse_terms(PyObject* list);

}  // namespace kavri::python
