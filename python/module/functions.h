// The module functions `fit` and `fit_additive`: their argument binding and
// conversion, and the hand-over to the core.
#pragma once

#include "py_ref.h"

namespace kavri::python {

// Method definitions with static lifetime, for the module body.
PyMethodDef* fit_definition();
PyMethodDef* fit_additive_definition();

}  // namespace kavri::python
