// Module initialisation: the exported entry point, the interpreter check
// and the module body that adds the class and the two functions.
//
// The module is built once per process with single-phase initialisation
// and keeps no per-module state; a second interpreter of the same process
// is refused, and initialising again in the first returns the same module.

#include <atomic>
#include <cstdint>

#include "error_mapping.h"
#include "fitted_gam_object.h"
#include "functions.h"
#include "guarded.h"
#include "process_once.h"

namespace kavri::python {

namespace {

// The interpreter that owns the module; -1 until the first import.
std::atomic<std::int64_t> g_owner_interpreter{-1};

ProcessOnce<PyObject> g_module;

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "_kavri_native",
    "",       // docstring
    0,        // no per-module state
    nullptr,  // functions are added by the body
    nullptr, nullptr, nullptr, nullptr,
};

// Lists `name` in __all__ (created empty when missing), then sets it.
PyResult<void> add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr) return pending_error();
  PyRef all = PyRef::borrowed(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    PY_TRY(all, checked(PyList_New(0)));
    if (PyDict_SetItemString(dict, "__all__", all.get()) < 0) return pending_error();
  }
  PY_TRY(PyRef name_object, checked(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), name_object.get()) < 0) return pending_error();
  if (PyObject_SetAttr(module, name_object.get(), value) < 0) return pending_error();
  return {};
}

PyResult<void> add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  PY_TRY(PyRef function, checked(PyCFunction_NewEx(definition, module, module_name)));
  return add_public(module, definition->ml_name, function.get());
}

PyResult<void> init_native_module(PyObject* module) {
  PY_TRY(PyTypeObject* type, fitted_gam_type_object());
  PY_TRY_VOID(add_public(module, "FittedGam", reinterpret_cast<PyObject*>(type)));
  PY_TRY(PyRef module_name, checked(PyModule_GetNameObject(module)));
  PY_TRY_VOID(add_function(module, module_name.get(), fit_definition()));
  PY_TRY_VOID(add_function(module, module_name.get(), fit_additive_definition()));
  return {};
}

PyResult<PyObject*> create_module() {
  PY_TRY(PyRef module, checked(PyModule_Create(&g_module_definition)));
  PY_TRY_VOID(init_native_module(module.get()));
  return module.release();  // kept for the life of the process
}

// Claims the process for the calling interpreter.
PyResult<void> check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return pending_error();
  std::int64_t owner = -1;
  if (g_owner_interpreter.compare_exchange_strong(owner, id) || owner == id) return {};
  return raise_message(PyExc_ImportError,
                       "kavri._kavri_native does not support being imported into a second (sub-)interpreter of the "
                       "same process");
}

}  // namespace

}  // namespace kavri::python

PyMODINIT_FUNC PyInit__kavri_native() {
  using namespace kavri::python;
  return guarded([]() -> PyResult<PyRef> {
    PY_TRY_VOID(check_interpreter());
    PY_TRY(PyObject * module, g_module.get(create_module));
    return PyRef::borrowed(module);
  });
}
