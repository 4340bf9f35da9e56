// The NumPy array interface, reached through the "_ARRAY_API" capsule of
// NumPy's multiarray module, and the array checks and views built on it.
//
// numpy_api.cc reads the table and the arrays through NumPy's own headers
// (those of NumPy 2, which build under the limited API), asking for no C
// API newer than NumPy 1.23's, so one binary serves NumPy 1.x and 2.x. Input
// arrays are read in place through views that follow their strides; output
// arrays are new C-contiguous float64 arrays with buffers of their own.
#pragma once

#include <cstddef>

#include "linalg/matrix.h"
#include "py_ref.h"

namespace kavri::python {

// Accepts an instance of numpy.ndarray (or a subclass) with exactly `ndim`
// dimensions and a dtype equivalent to native-order float64; anything else
// raises the cast failure naming ndarray. Nothing is converted.
PyResult<void> check_float64_array(PyObject* object, int ndim);

// Views of an array accepted by `check_float64_array`. Python code can
// reshape or reallocate an array, so take views only after the last Python
// callback of a call; the array is checked again here.
PyResult<linalg::MatrixView> matrix_view(PyObject* array);
PyResult<linalg::VectorView> vector_view(PyObject* array);

// New writeable, C-contiguous float64 arrays with fresh buffers; `data`
// receives the address of the first element.
PyResult<PyRef> new_vector_array(std::size_t size, double** data);
PyResult<PyRef> new_matrix_array(std::size_t rows, std::size_t cols, double** data);

}  // namespace kavri::python
