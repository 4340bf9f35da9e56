#include "numpy_api.h"

#include <cstdint>
#include <string>

#include "error_mapping.h"
#include "process_once.h"

namespace kavri::python {

namespace {

// The leading fields of NumPy's array object, identical in the 1.x and 2.x
// ABIs. The dtype is only compared through the API, since the layout of
// the descriptor differs between the two.
struct ArrayFields {
  PyObject ob_base;
  char* data;
  int nd;
  std::intptr_t* dimensions;
  std::intptr_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Slots of the API table.
constexpr std::size_t kGetNDArrayCVersion = 0;
constexpr std::size_t kArrayType = 2;
constexpr std::size_t kDescrFromType = 45;
constexpr std::size_t kNew = 93;
constexpr std::size_t kEquivTypes = 182;

// The C ABI versions whose array layout is the one above.
constexpr unsigned kAbiNumpy1 = 0x01000009;
constexpr unsigned kAbiNumpy2 = 0x02000000;

constexpr int kTypeDouble = 12;       // NPY_DOUBLE
constexpr int kFlagAligned = 0x0100;  // NPY_ARRAY_ALIGNED

using GetVersionFn = unsigned (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFn = PyObject* (*)(PyTypeObject*, int, const std::intptr_t*, int, const std::intptr_t*, void*, int, int,
                            PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);

struct NumpyApi {
  PyTypeObject* array_type;
  PyObject* float64_descr;  // kept for the life of the process
  NewFn new_array;
  EquivTypesFn equiv_types;
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
  const unsigned abi = reinterpret_cast<GetVersionFn>(table[kGetNDArrayCVersion])();
  if (abi != kAbiNumpy1 && abi != kAbiNumpy2) {
    PyErr_Format(PyExc_ImportError, "unsupported NumPy C ABI version 0x%x", abi);
    return py_error();
  }
  auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType]);
  PY_TRY(PyRef float64, checked(descr_from_type(kTypeDouble)));
  // The table lives as long as NumPy is loaded, which is the life of the
  // process once imported; the capsule's module stays in sys.modules.
  return new NumpyApi{
      .array_type = static_cast<PyTypeObject*>(table[kArrayType]),
      .float64_descr = float64.release(),
      .new_array = reinterpret_cast<NewFn>(table[kNew]),
      .equiv_types = reinterpret_cast<EquivTypesFn>(table[kEquivTypes]),
  };
}

PyResult<const NumpyApi*> numpy_api() { return g_numpy_api.get(load_numpy_api); }

const ArrayFields& fields(PyObject* array) { return *reinterpret_cast<const ArrayFields*>(array); }

constexpr std::intptr_t kElementBytes = sizeof(double);

// Element strides must be whole doubles and the buffer aligned, or views
// would read across element boundaries.
bool strides_are_whole_elements(const ArrayFields& a) {
  if ((a.flags & kFlagAligned) == 0) return false;
  for (int d = 0; d < a.nd; ++d)
    if (a.strides[d] % kElementBytes != 0) return false;
  return true;
}

PyResult<const ArrayFields*> checked_fields(PyObject* object, int ndim) {
  PY_TRY(const NumpyApi* api, numpy_api());
  if (!PyObject_TypeCheck(object, api->array_type)) return raise_cast_failure(object, "ndarray");
  const ArrayFields& a = fields(object);
  if (a.nd != ndim || api->equiv_types(a.descr, api->float64_descr) == 0 || !strides_are_whole_elements(a))
    return raise_cast_failure(object, "ndarray");
  return &a;
}

}  // namespace

PyResult<void> check_float64_array(PyObject* object, int ndim) {
  PY_TRY_VOID(checked_fields(object, ndim));
  return {};
}

PyResult<linalg::MatrixView> matrix_view(PyObject* array) {
  PY_TRY(const ArrayFields* a, checked_fields(array, 2));
  return linalg::MatrixView(reinterpret_cast<const double*>(a->data), static_cast<std::size_t>(a->dimensions[0]),
                            static_cast<std::size_t>(a->dimensions[1]), a->strides[0] / kElementBytes,
                            a->strides[1] / kElementBytes);
}

PyResult<linalg::VectorView> vector_view(PyObject* array) {
  PY_TRY(const ArrayFields* a, checked_fields(array, 1));
  return linalg::VectorView(reinterpret_cast<const double*>(a->data), static_cast<std::size_t>(a->dimensions[0]),
                            a->strides[0] / kElementBytes);
}

namespace {

PyResult<PyRef> new_array(int nd, const std::intptr_t* dims, double** data) {
  PY_TRY(const NumpyApi* api, numpy_api());
  // No strides and no buffer: NumPy allocates a C-contiguous one of its own.
  PY_TRY(PyRef array, checked(api->new_array(api->array_type, nd, dims, kTypeDouble, nullptr, nullptr, 0, 0, nullptr)));
  *data = reinterpret_cast<double*>(fields(array.get()).data);
  return array;
}

}  // namespace

PyResult<PyRef> new_vector_array(std::size_t size, double** data) {
  const std::intptr_t dims[1] = {static_cast<std::intptr_t>(size)};
  return new_array(1, dims, data);
}

PyResult<PyRef> new_matrix_array(std::size_t rows, std::size_t cols, double** data) {
  const std::intptr_t dims[2] = {static_cast<std::intptr_t>(rows), static_cast<std::intptr_t>(cols)};
  return new_array(2, dims, data);
}

}  // namespace kavri::python
