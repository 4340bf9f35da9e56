// The Python layer's owner of object references and its failure marker.
//
// `PyRef` holds one strong reference and releases it when it goes away;
// nothing else in the module releases references by hand. `PyResult<T>` is
// the value of a step that can fail with a Python exception: on failure the
// exception is already set and the caller passes the failure up unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#if Py_LIMITED_API != 0x030B0000
#error "the module is built against the limited API of Python 3.11"
#endif
#include <Python.h>

#include <expected>
#include <utility>

namespace kavri::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (nullptr gives an empty owner).
  explicit PyRef(PyObject* new_reference) : object_(new_reference) {}
  // Takes a reference of its own to a borrowed pointer.
  static PyRef borrowed(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (typically CPython, as a return value).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset(PyObject* new_reference = nullptr) {
    PyObject* old = std::exchange(object_, new_reference);
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

// A Python exception is pending; the failure carries nothing else.
struct PyErrorSet {};

template <class T>
using PyResult = std::expected<T, PyErrorSet>;

inline std::unexpected<PyErrorSet> py_error() { return std::unexpected(PyErrorSet{}); }

// The value of a call that returns a new reference or nullptr with an
// exception set.
inline PyResult<PyRef> checked(PyObject* new_reference) {
  if (new_reference == nullptr) return py_error();
  return PyRef(new_reference);
}

}  // namespace kavri::python

// PY_TRY(auto value, step()); binds the value or returns the pending failure
// from the enclosing function (which returns some PyResult).
#define PY_TRY_CONCAT_INNER_(a, b) a##b
#define PY_TRY_CONCAT_(a, b) PY_TRY_CONCAT_INNER_(a, b)
#define PY_TRY_IMPL_(tmp, decl, expr)                        \
  auto tmp = (expr);                                         \
  if (!tmp.has_value()) return ::kavri::python::py_error();  \
  decl = std::move(*tmp)
#define PY_TRY(decl, expr) PY_TRY_IMPL_(PY_TRY_CONCAT_(py_try_, __LINE__), decl, expr)
#define PY_TRY_VOID(expr)                                          \
  do {                                                             \
    if (!(expr).has_value()) return ::kavri::python::py_error();   \
  } while (0)
