// The one boundary between C++ and the C API: every entry point that CPython
// calls runs its body through `guarded`.
//
// No C++ exception may cross into the interpreter. Allocation failure
// becomes MemoryError, with the text of a failure that names its matrix
// (design/sizes.h), and anything else RuntimeError; this is the only
// catch-all of the module, and it reports what it caught. It also keeps the
// C API's rule that a null result comes with an exception and a value
// without one.
#pragma once

#include <exception>
#include <new>

#include "design/sizes.h"
#include "py_ref.h"

namespace kavri::python {

// Raises SystemError for a call that reported failure without setting an
// exception.
void raise_missing_exception();

// Runs `body`, which returns PyResult<PyRef>, and hands CPython the new
// reference or nullptr with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    PyResult<PyRef> value = body();
    if (value) result = value->release();
  } catch (const design::AllocationFailure& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    return nullptr;
  }
  if (result == nullptr) {
    if (PyErr_Occurred() == nullptr) raise_missing_exception();
    return nullptr;
  }
  if (PyErr_Occurred() != nullptr) {
    // A value with a pending exception would surface as a SystemError far
    // from here; the exception is the truth.
    PyRef discarded(result);
    return nullptr;
  }
  return result;
}

}  // namespace kavri::python
