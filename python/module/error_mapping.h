// How failures leave the Python layer: the core's `KavriError`, the cast
// failure of a wrongly typed object, the parameter prefix of conversion
// TypeErrors, and exceptions raised with a fixed text.
//
// Every function here sets the Python exception and returns the failure
// marker, so callers write `return kavri_error_to_pyerr(...)`. Each
// exception's only argument is its message.
#pragma once

#include <string_view>

#include "linalg/error.h"
#include "py_ref.h"

namespace kavri::python {

// InvalidParameter becomes ValueError with the bare message; the other
// variants become RuntimeError with `KavriError::display()`.
std::unexpected<PyErrorSet> kavri_error_to_pyerr(const KavriError& error);

// `type` with `message` (UTF-8) as its only argument.
std::unexpected<PyErrorSet> raise_message(PyObject* type, std::string_view message);

// TypeError "'{}' object cannot be cast as '{}'": the qualified name of the
// object's type, then `expected`.
std::unexpected<PyErrorSet> raise_cast_failure(PyObject* object, std::string_view expected);

// When the pending exception is exactly a TypeError, replaces it with
// TypeError "argument '{}': {}" (the parameter, then str() of the old one),
// which takes over the old exception's cause. Any other exception is left
// as it is. Always returns the failure marker.
std::unexpected<PyErrorSet> prefix_type_error(std::string_view parameter);

// The failure of an interpreter call that returned an error indicator: the
// pending exception, or SystemError when none was set.
std::unexpected<PyErrorSet> pending_error();

}  // namespace kavri::python
