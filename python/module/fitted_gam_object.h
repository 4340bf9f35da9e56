// The Python class `FittedGam`: a heap type whose instances carry one
// fitted-model record, immutable from Python.
//
// An instance is the object header and the record. Instances come only
// from the module's fit functions and from loading a saved model; the class
// has no constructor and cannot be subclassed. The record is never changed
// and every call holds the interpreter lock, so properties and methods read
// it without further guard.
#pragma once

#include "fit/fitted_gam.h"
#include "py_ref.h"

namespace kavri::python {

struct FittedGamObject {
  PyObject ob_base;
  fit::FittedGam record;
};

// The class object, created on first use and kept for the process.
PyResult<PyTypeObject*> fitted_gam_type_object();

// A new instance owning `record`.
PyResult<PyRef> wrap_record(fit::FittedGam&& record);

// The record of `object`, after checking that it is a FittedGam (the cast
// failure otherwise); valid while the caller holds a reference to it.
PyResult<const fit::FittedGam*> fitted_record(PyObject* object);

}  // namespace kavri::python
