#include "fitted_gam_object.h"

#include <array>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "arguments.h"
#include "common/format.h"
#include "common/quote.h"
#include "error_mapping.h"
#include "fit/intervals.h"
#include "fit/persistence/reader.h"
#include "fit/persistence/writer.h"
#include "guarded.h"
#include "numpy_api.h"
#include "process_once.h"

namespace kavri::python {

namespace {

ProcessOnce<PyTypeObject> g_fitted_gam_type;

FittedGamObject* instance(PyObject* object) { return reinterpret_cast<FittedGamObject*>(object); }

// --- copies out of the record -------------------------------------------

PyResult<PyRef> vector_copy(const linalg::Vector& values) {
  double* data = nullptr;
  PY_TRY(PyRef array, new_vector_array(values.size(), &data));
  if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(double));
  return array;
}

PyResult<PyRef> matrix_copy(const linalg::Matrix& matrix) {
  double* data = nullptr;
  PY_TRY(PyRef array, new_matrix_array(matrix.rows, matrix.cols, &data));
  if (!matrix.data.empty()) std::memcpy(data, matrix.data.data(), matrix.rows * matrix.cols * sizeof(double));
  return array;
}

template <class Read>
PyObject* getter(PyObject* self, Read&& read) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(const fit::FittedGam* model, fitted_record(self));
    return read(*model);
  });
}

PyObject* get_beta(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return vector_copy(m.beta); });
}
PyObject* get_rho(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return vector_copy(m.rho); });
}
PyObject* get_lambda(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return vector_copy(m.lambda); });
}
PyObject* get_edf_per_term(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return vector_copy(m.edf_per_term); });
}
PyObject* get_scale(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyFloat_FromDouble(m.scale)); });
}
PyObject* get_edf_total(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyFloat_FromDouble(m.edf_total)); });
}
PyObject* get_n(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyLong_FromUnsignedLongLong(m.n)); });
}
PyObject* get_n_iters(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyLong_FromUnsignedLongLong(m.n_iters)); });
}
PyObject* get_converged(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyBool_FromLong(m.converged ? 1 : 0)); });
}
PyObject* get_reml_value(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return checked(PyFloat_FromDouble(m.reml_value)); });
}
PyObject* get_shape_params(PyObject* self, void*) {
  return getter(self, [](const fit::FittedGam& m) { return vector_copy(m.shape_params); });
}

// --- methods without arguments ---------------------------------------------

PyObject* method_vcov(PyObject* self, PyObject*) {
  return getter(self, [](const fit::FittedGam& m) { return matrix_copy(m.vcov); });
}

PyResult<PyRef> column_range_tuple(std::uint64_t first, std::uint64_t last_exclusive) {
  PY_TRY(PyRef a, checked(PyLong_FromUnsignedLongLong(first)));
  PY_TRY(PyRef b, checked(PyLong_FromUnsignedLongLong(last_exclusive)));
  return checked(PyTuple_Pack(2, a.get(), b.get()));
}

PyResult<PyRef> term_col_ranges(const fit::FittedGam& m) {
  PY_TRY(PyRef list, checked(PyList_New(0)));
  auto append = [&](std::uint64_t first, std::uint64_t last) -> PyResult<void> {
    PY_TRY(PyRef range, column_range_tuple(first, last));
    if (PyList_Append(list.get(), range.get()) < 0) return pending_error();
    return {};
  };
  if (m.predictor.is<design::AdditivePredictor>()) {
    for (const design::ColumnRange& r : m.predictor.as<design::AdditivePredictor>().term_col_ranges)
      PY_TRY_VOID(append(r.start, r.end));
  } else {
    PY_TRY_VOID(append(1, m.beta.size()));
  }
  return list;
}

PyObject* method_term_col_ranges(PyObject* self, PyObject*) { return getter(self, term_col_ranges); }

PyResult<PyRef> bytes_object(const std::vector<std::uint8_t>& frame) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                           static_cast<Py_ssize_t>(frame.size())));
}

// The writer cannot fail: every model has a text.
PyObject* method_serialize(PyObject* self, PyObject*) {
  return getter(self, [](const fit::FittedGam& m) { return bytes_object(fit::persistence::serialize_fitted_gam(m)); });
}

PyObject* method_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(const fit::FittedGam* model, fitted_record(self));
    const std::vector<std::uint8_t> frame = fit::persistence::serialize_fitted_gam(*model);
    // Looked up on the class, not the instance, so that unpickling names
    // kavri._kavri_native.FittedGam.deserialize.
    PY_TRY(PyTypeObject* type, fitted_gam_type_object());
    PY_TRY(PyRef loader, checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "deserialize")));
    PY_TRY(PyRef bytes, bytes_object(frame));
    PY_TRY(PyRef arguments, checked(PyTuple_Pack(1, bytes.get())));
    return checked(PyTuple_Pack(2, loader.get(), arguments.get()));
  });
}

// --- methods with arguments -----------------------------------------------

constexpr std::array<const char*, 1> kXNewNames{"x_new"};
constexpr std::array<const char*, 3> kPredictCiNames{"x_new", "level", "scale"};
constexpr std::array<const char*, 3> kPredictDiffNames{"x_a", "x_b", "level"};
constexpr std::array<const char*, 1> kDeserializeNames{"bytes"};

const Signature kEvaluateLpmatrix{"FittedGam.evaluate_lpmatrix()", kXNewNames, 1};
const Signature kPredict{"FittedGam.predict()", kXNewNames, 1};
const Signature kPredictResponse{"FittedGam.predict_response()", kXNewNames, 1};
const Signature kPredictCi{"FittedGam.predict_ci()", kPredictCiNames, 1};
const Signature kPredictDiff{"FittedGam.predict_diff()", kPredictDiffNames, 2};
const Signature kDeserialize{"FittedGam.deserialize()", kDeserializeNames, 1};

constexpr double kDefaultLevel = 0.95;

// 0 < level < 1, NaN excluded.
PyResult<void> check_level(double level) {
  if (level > 0.0 && level < 1.0) return {};
  return raise_message(PyExc_ValueError, "level must be in (0, 1); got level=" + common::format_double(level));
}

PyResult<void> check_scale(const std::string& scale) {
  if (scale == "link" || scale == "response") return {};
  return raise_message(PyExc_ValueError, "scale must be 'link' or 'response', got " + common::quoted_literal(scale));
}

// Results of a prediction: fresh arrays that share nothing with the model.
PyResult<PyRef> interval_tuple(const fit::Interval& interval) {
  PY_TRY(PyRef mean, vector_copy(interval.mean));
  PY_TRY(PyRef lo, vector_copy(interval.lo));
  PY_TRY(PyRef hi, vector_copy(interval.hi));
  return checked(PyTuple_Pack(3, mean.get(), lo.get(), hi.get()));
}

PyResult<linalg::Matrix> model_matrix(const fit::FittedGam& model, const InputArray& x_new) {
  PY_TRY(linalg::MatrixView view, x_new.matrix());
  auto x = fit::model_matrix_at(model, view);
  if (!x) return kavri_error_to_pyerr(x.error());
  return std::move(*x);
}

// A checked level and its quantile.
PyResult<double> interval_z(double level) {
  PY_TRY_VOID(check_level(level));
  auto z = fit::interval_quantile(level);
  if (!z) return kavri_error_to_pyerr(z.error());
  return *z;
}

// The three methods of one covariate array differ only in what they make of
// the model matrix.
template <class Finish>
PyObject* single_array_method(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, Finish&& finish) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(signature, args, nargs, kwnames));
    PY_TRY(const fit::FittedGam* model, fitted_record(self));
    PY_TRY(InputArray x_new, bound.matrix(0));
    PY_TRY(linalg::Matrix x, model_matrix(*model, x_new));
    return finish(*model, x);
  });
}

PyObject* method_evaluate_lpmatrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return single_array_method(kEvaluateLpmatrix, self, args, nargs, kwnames,
                             [](const fit::FittedGam&, const linalg::Matrix& x) { return matrix_copy(x); });
}
PyObject* method_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return single_array_method(kPredict, self, args, nargs, kwnames, [](const fit::FittedGam& m, const linalg::Matrix& x) {
    return vector_copy(fit::linear_predictor(x, m.beta));
  });
}
PyObject* method_predict_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return single_array_method(kPredictResponse, self, args, nargs, kwnames,
                             [](const fit::FittedGam& m, const linalg::Matrix& x) {
                               linalg::Vector mu = fit::linear_predictor(x, m.beta);
                               fit::to_response_scale(m.link_kind, mu);
                               return vector_copy(mu);
                             });
}

PyObject* method_predict_ci(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(kPredictCi, args, nargs, kwnames));
    PY_TRY(const fit::FittedGam* record, fitted_record(self));
    PY_TRY(InputArray x_new, bound.matrix(0));
    PY_TRY(double level, bound.convert_or(1, kDefaultLevel, to_double));
    PY_TRY(std::string scale, bound.convert_or(2, std::string("response"), to_text));
    PY_TRY_VOID(check_scale(scale));
    PY_TRY(double z, interval_z(level));
    const fit::FittedGam& model = *record;
    PY_TRY(linalg::Matrix x, model_matrix(model, x_new));
    fit::Interval interval = fit::wald_interval(x, model, z);
    if (scale == "response") {
      // The bounds are mapped, not rebuilt from a response-scale standard
      // error; the maps are increasing, so lo ≤ mean ≤ hi survives.
      fit::to_response_scale(model.link_kind, interval.mean);
      fit::to_response_scale(model.link_kind, interval.lo);
      fit::to_response_scale(model.link_kind, interval.hi);
    }
    return interval_tuple(interval);
  });
}

PyObject* method_predict_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(kPredictDiff, args, nargs, kwnames));
    PY_TRY(const fit::FittedGam* record, fitted_record(self));
    PY_TRY(InputArray x_a, bound.matrix(0));
    PY_TRY(InputArray x_b, bound.matrix(1));
    PY_TRY(double level, bound.convert_or(2, kDefaultLevel, to_double));
    PY_TRY(double z, interval_z(level));
    const fit::FittedGam& model = *record;
    PY_TRY(linalg::Matrix design_a, model_matrix(model, x_a));
    PY_TRY(linalg::Matrix design_b, model_matrix(model, x_b));
    auto interval = fit::difference_interval(design_a, design_b, model, z);
    if (!interval) return kavri_error_to_pyerr(interval.error());
    return interval_tuple(*interval);
  });
}

PyResult<PyRef> to_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) return raise_cast_failure(object, "bytes");
  return PyRef::borrowed(object);
}

// The class argument is not consulted: the class cannot be subclassed.
PyObject* method_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(kDeserialize, args, nargs, kwnames));
    PY_TRY(PyRef frame, bound.convert(0, to_bytes));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(frame.get(), &data, &size) < 0) return pending_error();
    auto model = fit::persistence::deserialize_fitted_gam(
        std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    if (!model) return kavri_error_to_pyerr(model.error());
    return wrap_record(std::move(*model));
  });
}

// --- the type --------------------------------------------------------------

void fitted_gam_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FittedGamObject* object = instance(self);
  object->record.~FittedGam();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  // An instance of a heap type holds a reference to its type.
  PyRef type_reference(reinterpret_cast<PyObject*>(type));
}

PyGetSetDef kProperties[] = {
    {"beta", get_beta, nullptr, nullptr, nullptr},
    {"rho", get_rho, nullptr,
     "Log smoothing parameters ρ, one per penalty (a tensor term has two), as a new float64 array.", nullptr},
    {"lambda", get_lambda, nullptr,
     "Smoothing parameters λ = exp(ρ), one per penalty, as stored in the model; reach it with "
     "getattr(model, \"lambda\").",
     nullptr},
    {"edf_per_term", get_edf_per_term, nullptr,
     "Effective degrees of freedom of each penalty's coefficients, in the order of `rho`.", nullptr},
    {"scale", get_scale, nullptr, nullptr, nullptr},
    {"edf_total", get_edf_total, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {"n_iters", get_n_iters, nullptr, nullptr, nullptr},
    {"converged", get_converged, nullptr, nullptr, nullptr},
    {"reml_value", get_reml_value, nullptr, nullptr, nullptr},
    {"shape_params", get_shape_params, nullptr,
     "The family's fitted shape coordinates on their unconstrained scale (for example log θ of the negative "
     "binomial family, or the thresholds of the ordered-categorical family); empty for families without any.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"vcov", method_vcov, METH_NOARGS,
     "vcov($self)\n--\n\n"
     "Posterior covariance of β̂ — `σ̂² · A⁻¹`.\n\n"
     "A new (p, p) float64 array on every call. It already carries the model's scale."},
    {"term_col_ranges", method_term_col_ranges, METH_NOARGS,
     "term_col_ranges($self)\n--\n\n"
     "Per-term column ranges into the lpmatrix `[1 | C_1 | C_2 | …]`.\n\n"
     "A list of (first, last_exclusive) tuples, one per term in term order; a tensor term has one range for "
     "its whole block. Column 0, the intercept, lies outside every range. A single smooth gives [(1, p)]."},
    {"evaluate_lpmatrix", as_method(method_evaluate_lpmatrix), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_lpmatrix($self, x_new)\n--\n\n"
     "Rebuild the design matrix (lpmatrix) at new `x_new`.\n\n"
     "Returns an (n_new, p) float64 array whose column 0 is the intercept; X @ beta is the linear predictor."},
    {"predict", as_method(method_predict), METH_FASTCALL | METH_KEYWORDS,
     "predict($self, x_new)\n--\n\n"
     "Predict η (linear predictor) on new x.\n\n"
     "`x_new` is a 2-D float64 array holding the covariate columns the model reads."},
    {"predict_response", as_method(method_predict_response), METH_FASTCALL | METH_KEYWORDS,
     "predict_response($self, x_new)\n--\n\n"
     "Predict μ (response scale) by inverse-linking η elementwise.\n\n"
     "The inverse link is the model's: identity, exp, or the logistic function."},
    {"predict_ci", as_method(method_predict_ci), METH_FASTCALL | METH_KEYWORDS,
     "predict_ci($self, x_new, level=0.95, scale=\"response\")\n--\n\n"
     "Wald-style CI for predictions at `x_new`.\n\n"
     "Returns (mean, lo, hi): η ± z·se with z the standard normal quantile of (level + 1)/2 and se from "
     "`vcov`; with scale=\"response\" all three are mapped through the inverse link."},
    {"serialize", method_serialize, METH_NOARGS,
     "serialize($self)\n--\n\n"
     "The model as a length-framed buffer: the magic \"KAVRI\", a 32-bit format version, a 64-bit body "
     "length and the JSON body. `FittedGam.deserialize` reads it back."},
    {"deserialize", as_method(method_deserialize), METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "deserialize($cls, bytes)\n--\n\n"
     "Rebuild a FittedGam from the bytes of `serialize`.\n\n"
     "Raises ValueError when the frame or its body is malformed."},
    {"__reduce__", method_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickle support: (FittedGam.deserialize, (frame,)), the frame being that of `serialize`."},
    {"predict_diff", as_method(method_predict_diff), METH_FASTCALL | METH_KEYWORDS,
     "predict_diff($self, x_a, x_b, level=0.95)\n--\n\n"
     "Wald interval for the contrast Δ = predict(x_a) − predict(x_b) on the η scale.\n\n"
     "Returns (diff, lo, hi). The row counts must match, or one of them must be 1 and its row is reused."},
    {nullptr, nullptr, 0, nullptr},
};

PyResult<PyTypeObject*> create_fitted_gam_type() {
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(fitted_gam_dealloc)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kProperties},
      {0, nullptr},
  };
  PyType_Spec spec{
      .name = "kavri._kavri_native.FittedGam",
      .basicsize = static_cast<int>(sizeof(FittedGamObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return pending_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyResult<PyTypeObject*> fitted_gam_type_object() { return g_fitted_gam_type.get(create_fitted_gam_type); }

PyResult<PyRef> wrap_record(fit::FittedGam&& record) {
  PY_TRY(PyTypeObject* type, fitted_gam_type_object());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PY_TRY(PyRef object, checked(alloc(type, 0)));
  FittedGamObject* self = instance(object.get());
  new (&self->record) fit::FittedGam(std::move(record));
  return object;
}

PyResult<const fit::FittedGam*> fitted_record(PyObject* object) {
  PY_TRY(PyTypeObject* type, fitted_gam_type_object());
  if (!PyObject_TypeCheck(object, type)) return raise_cast_failure(object, "FittedGam");
  return &instance(object)->record;
}

}  // namespace kavri::python
