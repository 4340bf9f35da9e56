// A value created once per process and kept for its life: the module
// object, the class object and the NumPy array interface.
//
// Creation runs with the interpreter lock held. A thread that arrives while
// another thread creates the value releases the lock while it waits, since
// the creator may itself need the lock (an import does), and both then use
// the same value. A failed creation leaves the slot empty for a later try.
#pragma once

#include <atomic>
#include <mutex>

#include "py_ref.h"

namespace kavri::python {

template <class T>
class ProcessOnce {
 public:
  // `make` returns PyResult<T*>; the pointer is kept and never released.
  template <class Make>
  PyResult<T*> get(Make&& make) {
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    if (!mutex_.try_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(saved);
    }
    std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    PyResult<T*> made = make();
    if (made) value_.store(*made, std::memory_order_release);
    return made;
  }

 private:
  std::mutex mutex_;
  std::atomic<T*> value_{nullptr};
};

}  // namespace kavri::python
