// The Python class `FittedGam`: a heap type whose instances carry one
// fitted-model record, immutable from Python.
//
// An instance is the object header, the record and a borrow counter.
// Instances come only from the module's fit functions and from loading a
// saved model; the class has no constructor and cannot be subclassed. Every
// property and method reads the record under a shared borrow.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "fit/fitted_gam.h"
#include "py_ref.h"

namespace kavri::python {

struct FittedGamObject {
  PyObject ob_base;
  fit::FittedGam record;
  // Shared borrows in progress; -1 would mark an exclusive one, which no
  // operation takes.
  std::atomic<std::int64_t> borrows;
};

// The class object, created on first use and kept for the process.
PyResult<PyTypeObject*> fitted_gam_type_object();

// A new instance owning `record`.
PyResult<PyRef> wrap_record(fit::FittedGam&& record);

// Read access to an instance's record for the duration of one call.
class SharedBorrow {
 public:
  // Checks that `object` is a FittedGam (the cast failure otherwise) and
  // takes a shared borrow.
  static PyResult<SharedBorrow> take(PyObject* object);

  SharedBorrow(SharedBorrow&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (object_ != nullptr) object_->borrows.fetch_sub(1, std::memory_order_acq_rel);
  }

  const fit::FittedGam& record() const { return object_->record; }

 private:
  explicit SharedBorrow(FittedGamObject* object) : object_(object) {}
  FittedGamObject* object_;
};

}  // namespace kavri::python
