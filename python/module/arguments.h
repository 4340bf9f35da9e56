// Binding of fast-call arguments to parameters and their conversion into
// typed values, shared by every function and method that takes arguments.
//
// Each callee is described by a `Signature` table: its display name, its
// parameter names in order and how many leading ones are required; every
// parameter may be given by position or by keyword. Binding raises the
// interpreter's familiar TypeError texts. Conversion runs afterwards in
// parameter order; a TypeError of a conversion is re-raised under the
// parameter's name, every other exception unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error_mapping.h"
#include "linalg/matrix.h"
#include "py_ref.h"

namespace kavri::python {

// An accepted input array, held for the call. Views are taken once the last
// Python callback of the call has run (see numpy_api.h); a view failure is
// reported under the parameter's name like the conversion itself.
struct InputArray {
  PyRef object;
  const char* parameter = "";
  PyResult<linalg::MatrixView> matrix() const;
  PyResult<linalg::VectorView> vector() const;
};

PyResult<InputArray> to_matrix_array(PyObject* object);
PyResult<InputArray> to_vector_array(PyObject* object);

struct Signature {
  const char* display_name;            // "fit()", "FittedGam.predict_ci()"
  std::span<const char* const> names;  // parameter names in order
  std::size_t required;                // the leading `required` names have no default
};

inline constexpr std::size_t kMaxParameters = 15;

// A function or method of the fast-call convention with keywords.
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The C API stores every method as a PyCFunction and casts it back by its
// flags; the detour through a generic function pointer states that intent
// to the compiler's cast check.
inline PyCFunction as_method(FastCallWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

class BoundArguments {
 public:
  // Binds positional arguments, then keywords in the order given, then
  // reports missing required parameters.
  static PyResult<BoundArguments> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

  // The object given for parameter i (borrowed from the call), or nullptr.
  PyObject* given(std::size_t i) const { return values_[i]; }

  // Converts parameter i, which must have been given or be required.
  template <class Convert>
  auto convert(std::size_t i, Convert&& to_value) const -> decltype(to_value(nullptr)) {
    auto value = to_value(values_[i]);
    if (!value) return prefix_type_error(signature_->names[i]);
    return value;
  }
  // Omission selects `fallback`; None is converted like any other object.
  template <class T, class Convert>
  PyResult<T> convert_or(std::size_t i, T fallback, Convert&& to_value) const {
    if (values_[i] == nullptr) return fallback;
    return convert(i, to_value);
  }
  // Omission and None both mean absent.
  template <class Convert>
  auto convert_optional(std::size_t i, Convert&& to_value) const
      -> PyResult<std::optional<typename decltype(to_value(nullptr))::value_type>> {
    if (values_[i] == nullptr || values_[i] == Py_None) return std::nullopt;
    auto value = convert(i, to_value);
    if (!value) return py_error();
    return std::move(*value);
  }
  // Array parameters: 2-D (matrix), 1-D (vector), and the optional 1-D form.
  PyResult<InputArray> matrix(std::size_t i) const { return named(i, convert(i, to_matrix_array)); }
  PyResult<InputArray> vector(std::size_t i) const { return named(i, convert(i, to_vector_array)); }
  PyResult<std::optional<InputArray>> optional_vector(std::size_t i) const {
    if (values_[i] == nullptr || values_[i] == Py_None) return std::nullopt;
    PY_TRY(InputArray array, vector(i));
    return std::optional<InputArray>(std::move(array));
  }

 private:
  PyResult<InputArray> named(std::size_t i, PyResult<InputArray> array) const {
    if (array) array->parameter = signature_->names[i];
    return array;
  }

  const Signature* signature_ = nullptr;
  std::array<PyObject*, kMaxParameters> values_{};
};

// Conversions of one object each; failures as described in arguments.cc.
PyResult<std::string> to_text(PyObject* object);
PyResult<std::uint64_t> to_u64(PyObject* object);
PyResult<double> to_double(PyObject* object);
PyResult<PyRef> to_list(PyObject* object);

}  // namespace kavri::python
