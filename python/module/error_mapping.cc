#include "error_mapping.h"

#include <string>

#include "guarded.h"

namespace kavri::python {

namespace {

// Messages are the system's own UTF-8 texts; a stray invalid byte must not
// turn the intended exception into a decoding error.
PyResult<PyRef> message_object(std::string_view message) {
  return checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

}  // namespace

void raise_missing_exception() {
  PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

std::unexpected<PyErrorSet> pending_error() {
  if (PyErr_Occurred() == nullptr) raise_missing_exception();
  return py_error();
}

std::unexpected<PyErrorSet> raise_message(PyObject* type, std::string_view message) {
  auto text = message_object(message);
  if (!text) return py_error();
  PyErr_SetObject(type, text->get());
  return py_error();
}

std::unexpected<PyErrorSet> kavri_error_to_pyerr(const KavriError& error) {
  if (error.is<InvalidParameter>()) return raise_message(PyExc_ValueError, error.message());
  return raise_message(PyExc_RuntimeError, error.display());
}

std::unexpected<PyErrorSet> raise_cast_failure(PyObject* object, std::string_view expected) {
  PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return py_error();
  auto expected_name = message_object(expected);
  if (!expected_name) return py_error();
  PyRef text(PyUnicode_FromFormat("'%U' object cannot be cast as '%U'", type_name.get(), expected_name->get()));
  if (!text) return py_error();
  PyErr_SetObject(PyExc_TypeError, text.get());
  return py_error();
}

std::unexpected<PyErrorSet> prefix_type_error(std::string_view parameter) {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type == nullptr) {
    raise_missing_exception();
    return py_error();
  }
  if (raw_type != PyExc_TypeError) {
    PyErr_Restore(raw_type, raw_value, raw_traceback);
    return py_error();
  }
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type(raw_type);
  PyRef value(raw_value);
  PyRef traceback(raw_traceback);

  PyRef old_text(PyObject_Str(value.get()));
  if (!old_text) return py_error();
  auto name = message_object(parameter);
  if (!name) return py_error();
  PyRef text(PyUnicode_FromFormat("argument '%U': %U", name->get(), old_text.get()));
  if (!text) return py_error();
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return py_error();
  // SetCause steals its argument and marks the context suppressed, which is
  // what the old exception had too when it carried a cause.
  if (PyObject* cause = PyException_GetCause(value.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return py_error();
}

}  // namespace kavri::python
