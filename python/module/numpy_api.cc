#include "numpy_api.h"

#include <string>

#include "error_mapping.h"
#include "process_once.h"

// NumPy's own declarations, in this file only: the table pointer they
// define is private to it. Nothing newer than NumPy 1.23's C API is used,
// so the binary built with NumPy 2's headers runs on 1.23 and later.
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

namespace kavri::python {

namespace {

struct NumpyApi {
  PyArray_Descr* float64_descr;  // kept for the life of the process
};

ProcessOnce<const NumpyApi> g_numpy_api;

// NumPy 2 moved its internals to numpy._core and warns on the old name;
// NumPy 1 has only numpy.core.
PyResult<std::string> multiarray_module_name() {
  PY_TRY(PyRef numpy, checked(PyImport_ImportModule("numpy")));
  PY_TRY(PyRef version, checked(PyObject_GetAttrString(numpy.get(), "__version__")));
  const char* text = PyUnicode_AsUTF8AndSize(version.get(), nullptr);
  if (text == nullptr) return pending_error();
  int major = 0;
  for (const char* c = text; *c >= '0' && *c <= '9'; ++c) major = major * 10 + (*c - '0');
  return std::string(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

// NumPy's rule: a binary built for one C ABI runs on that ABI and the
// earlier ones (NumPy 1.x's), never on a newer one.
bool abi_supported(unsigned abi) { return abi <= NPY_ABI_VERSION; }

PyResult<const NumpyApi*> load_numpy_api() {
  PY_TRY(std::string module_name, multiarray_module_name());
  PY_TRY(PyRef multiarray, checked(PyImport_ImportModule(module_name.c_str())));
  PY_TRY(PyRef capsule, checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")));
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_Format(PyExc_ImportError, "%s._ARRAY_API is not a capsule", module_name.c_str());
    return py_error();
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return pending_error();
  // The table lives as long as NumPy is loaded, which is the life of the
  // process once imported; the capsule's module stays in sys.modules. It is
  // set before the version call, which is one of its slots, and only read
  // once this creation has succeeded.
  PyArray_API = table;
  const unsigned abi = PyArray_GetNDArrayCVersion();
  if (!abi_supported(abi)) {
    PyArray_API = nullptr;
    PyErr_Format(PyExc_ImportError, "unsupported NumPy C ABI version 0x%x", abi);
    return py_error();
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  if (float64 == nullptr) {
    PyArray_API = nullptr;
    return pending_error();
  }
  return new NumpyApi{.float64_descr = float64};
}

PyResult<const NumpyApi*> numpy_api() { return g_numpy_api.get(load_numpy_api); }

PyArrayObject* array_object(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

constexpr npy_intp kElementBytes = sizeof(double);

// Element strides must be whole doubles and the buffer aligned, or views
// would read across element boundaries.
bool strides_are_whole_elements(PyArrayObject* a) {
  if (!PyArray_ISALIGNED(a)) return false;
  const npy_intp* strides = PyArray_STRIDES(a);
  for (int d = 0; d < PyArray_NDIM(a); ++d)
    if (strides[d] % kElementBytes != 0) return false;
  return true;
}

PyResult<PyArrayObject*> checked_array(PyObject* object, int ndim) {
  PY_TRY(const NumpyApi* api, numpy_api());
  if (!PyArray_Check(object)) return raise_cast_failure(object, "ndarray");
  PyArrayObject* a = array_object(object);
  if (PyArray_NDIM(a) != ndim || !PyArray_EquivTypes(PyArray_DESCR(a), api->float64_descr) ||
      !strides_are_whole_elements(a))
    return raise_cast_failure(object, "ndarray");
  return a;
}

}  // namespace

PyResult<void> check_float64_array(PyObject* object, int ndim) {
  PY_TRY_VOID(checked_array(object, ndim));
  return {};
}

PyResult<linalg::MatrixView> matrix_view(PyObject* array) {
  PY_TRY(PyArrayObject* a, checked_array(array, 2));
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  return linalg::MatrixView(static_cast<const double*>(PyArray_DATA(a)), static_cast<std::size_t>(dims[0]),
                            static_cast<std::size_t>(dims[1]), strides[0] / kElementBytes,
                            strides[1] / kElementBytes);
}

PyResult<linalg::VectorView> vector_view(PyObject* array) {
  PY_TRY(PyArrayObject* a, checked_array(array, 1));
  return linalg::VectorView(static_cast<const double*>(PyArray_DATA(a)),
                            static_cast<std::size_t>(PyArray_DIMS(a)[0]), PyArray_STRIDES(a)[0] / kElementBytes);
}

namespace {

PyResult<PyRef> new_array(int nd, npy_intp* dims, double** data) {
  PY_TRY_VOID(numpy_api());
  // No strides and no buffer: NumPy allocates a C-contiguous one of its own.
  PY_TRY(PyRef array, checked(PyArray_New(&PyArray_Type, nd, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr)));
  *data = static_cast<double*>(PyArray_DATA(array_object(array.get())));
  return array;
}

}  // namespace

PyResult<PyRef> new_vector_array(std::size_t size, double** data) {
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  return new_array(1, dims, data);
}

PyResult<PyRef> new_matrix_array(std::size_t rows, std::size_t cols, double** data) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return new_array(2, dims, data);
}

}  // namespace kavri::python
