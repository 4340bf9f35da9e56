#include "terms.h"

#include <string>

#include "arguments.h"
#include "common/format.h"
#include "common/quote.h"
#include "error_mapping.h"

namespace kavri::python {

namespace {

// repr() of a term for the message; a failing repr goes to the unraisable
// hook so that the grammar error itself still reaches the caller.
PyResult<PyRef> term_repr(PyObject* item) {
  PyRef text(PyObject_Repr(item));
  if (text) return text;
  PyErr_WriteUnraisable(item);
  PyRef type_name(PyType_GetName(Py_TYPE(item)));
  if (!type_name) return py_error();
  return checked(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
}

std::unexpected<PyErrorSet> term_error(const char* format, std::size_t i) {
  PyErr_Format(PyExc_ValueError, format, i);
  return py_error();
}

PyResult<design::TermSpec> parse_tensor(PyObject* term, std::size_t i) {
  PyObject* cols = PyTuple_GetItem(term, 0);
  if (cols == nullptr) return pending_error();
  if (!PyTuple_Check(cols)) return term_error("fit_additive: tensor term %zu first element must be a (col_a, col_b) tuple", i);
  if (PyTuple_Size(cols) != 2) return term_error("fit_additive: tensor term %zu cols tuple must have exactly 2 elements", i);
  // The term tuple is held by the caller and tuples are immutable, so the
  // elements stay alive while they are converted.
  PY_TRY(std::uint64_t col_a, to_u64(PyTuple_GetItem(cols, 0)));
  PY_TRY(std::uint64_t col_b, to_u64(PyTuple_GetItem(cols, 1)));
  std::uint64_t k_a = kDefaultBasisSize;
  std::uint64_t k_b = kDefaultBasisSize;
  if (PyTuple_Size(term) >= 3) {
    PyObject* ks = PyTuple_GetItem(term, 2);
    if (ks == nullptr) return pending_error();
    if (!PyTuple_Check(ks)) return term_error("fit_additive: tensor term %zu k must be a (k_a, k_b) tuple", i);
    if (PyTuple_Size(ks) != 2) return term_error("fit_additive: tensor term %zu k tuple must have exactly 2 elements", i);
    PY_TRY(k_a, to_u64(PyTuple_GetItem(ks, 0)));
    PY_TRY(k_b, to_u64(PyTuple_GetItem(ks, 1)));
  }
  return design::TermSpec{design::TermSpec::Te{.col_a = col_a, .col_b = col_b, .k_a = k_a, .k_b = k_b}};
}

PyResult<std::uint64_t> univariate_column(PyObject* term, std::size_t i) {
  auto col = to_u64(PyTuple_GetItem(term, 0));
  if (col) return col;
  // Only ordinary errors of the conversion are replaced; an interrupt or
  // exit request passes through.
  if (PyErr_ExceptionMatches(PyExc_Exception) == 0) return py_error();
  PyErr_Clear();
  return term_error("fit_additive: univariate term %zu first element must be an integer column index", i);
}

PyResult<std::uint64_t> optional_basis_size(PyObject* term) {
  if (PyTuple_Size(term) < 3) return kDefaultBasisSize;
  return to_u64(PyTuple_GetItem(term, 2));
}

PyResult<design::TermSpec> parse_term(PyObject* term, std::size_t i) {
  if (!PyTuple_Check(term)) {
    PY_TRY(PyRef text, term_repr(term));
    PyErr_Format(PyExc_ValueError, "fit_additive: term %zu must be a tuple; got %U", i, text.get());
    return py_error();
  }
  if (PyTuple_Size(term) < 2) return term_error("fit_additive: term %zu tuple must have at least 2 elements", i);
  PY_TRY(std::string basis, to_text(PyTuple_GetItem(term, 1)));
  if (basis == "te") return parse_tensor(term, i);

  PY_TRY(std::uint64_t col, univariate_column(term, i));
  if (basis == "cr") {
    PY_TRY(std::uint64_t k, optional_basis_size(term));
    return design::TermSpec{design::TermSpec::Cr{.col = col, .k = k}};
  }
  if (basis == "cr_stable") {
    PY_TRY(std::uint64_t k, optional_basis_size(term));
    return design::TermSpec{design::TermSpec::CrStable{.col = col, .k = k}};
  }
  if (basis == "re") return design::TermSpec{design::TermSpec::Re{.col = col}};
  const std::string message = "fit_additive: term " + common::format_count(i) +
                              " basis must be 'cr', 'cr_stable', 're', or 'te'; got " + common::quoted_literal(basis);
  return raise_message(PyExc_ValueError, message);
}

}  // namespace

PyResult<std::vector<design::TermSpec>> parse_terms(PyObject* list) {
  const Py_ssize_t initial_size = PyList_Size(list);
  if (initial_size < 0) return pending_error();
  std::vector<design::TermSpec> terms;
  for (Py_ssize_t i = 0; i < initial_size && i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrowed(PyList_GetItem(list, i));
    if (!item) return pending_error();
    PY_TRY(design::TermSpec term, parse_term(item.get(), static_cast<std::size_t>(i)));
    terms.push_back(std::move(term));
  }
  return terms;
}

}  // namespace kavri::python
