#include "arguments.h"

#include "numpy_api.h"

namespace kavri::python {

namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

std::unexpected<PyErrorSet> too_many_positional(const Signature& signature, Py_ssize_t nargs) {
  const std::size_t total = signature.names.size();
  if (signature.required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", signature.display_name, total,
                 nargs, was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.display_name, signature.required, total, nargs, was_or_were(nargs));
  }
  return py_error();
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(std::span<const char* const> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

std::unexpected<PyErrorSet> missing_required(const Signature& signature, std::span<const char* const> missing) {
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.display_name, missing.size(),
               missing.size() == 1 ? "argument" : "arguments", quoted_name_list(missing).c_str());
  return py_error();
}

}  // namespace

PyResult<BoundArguments> BoundArguments::bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  BoundArguments bound;
  bound.signature_ = &signature;
  const std::size_t total = signature.names.size();
  if (nargs > static_cast<Py_ssize_t>(total)) return too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.values_[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw < 0) return pending_error();
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    if (name == nullptr) return pending_error();
    std::size_t slot = total;
    for (std::size_t i = 0; i < total && slot == total; ++i) {
      const int equal = PyUnicode_CompareWithASCIIString(name, signature.names[i]);
      if (equal == -1 && PyErr_Occurred() != nullptr) return py_error();
      if (equal == 0) slot = i;
    }
    if (slot == total) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.display_name, name);
      return py_error();
    }
    if (bound.values_[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", signature.display_name, name);
      return py_error();
    }
    bound.values_[slot] = args[nargs + k];
  }

  std::array<const char*, kMaxParameters> missing{};
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < signature.required; ++i)
    if (bound.values_[i] == nullptr) missing[n_missing++] = signature.names[i];
  if (n_missing > 0) return missing_required(signature, std::span(missing.data(), n_missing));
  return bound;
}

PyResult<std::string> to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return raise_cast_failure(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return pending_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

PyResult<std::uint64_t> to_u64(PyObject* object) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef(PyNumber_Index(object));
    if (!index) return pending_error();
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return py_error();
  return static_cast<std::uint64_t>(value);
}

PyResult<double> to_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return py_error();
  return value;
}

PyResult<PyRef> to_list(PyObject* object) {
  if (!PyList_Check(object)) return raise_cast_failure(object, "list");
  return PyRef::borrowed(object);
}

PyResult<InputArray> to_matrix_array(PyObject* object) {
  PY_TRY_VOID(check_float64_array(object, 2));
  return InputArray{PyRef::borrowed(object)};
}

PyResult<InputArray> to_vector_array(PyObject* object) {
  PY_TRY_VOID(check_float64_array(object, 1));
  return InputArray{PyRef::borrowed(object)};
}

PyResult<linalg::MatrixView> InputArray::matrix() const {
  auto view = matrix_view(object.get());
  if (!view) return prefix_type_error(parameter);
  return view;
}

PyResult<linalg::VectorView> InputArray::vector() const {
  auto view = vector_view(object.get());
  if (!view) return prefix_type_error(parameter);
  return view;
}

}  // namespace kavri::python
