// A value created once per process and kept for its life: the module
// object, the class object and the NumPy array interface.
//
// Creation runs with the interpreter lock held. A thread that arrives while
// another thread creates the value releases the lock while it waits, since
// the creator may itself need the lock (an import does), and both then use
// the same value. The creating thread itself can arrive again only through
// Python code that the creation runs (an import hook, a module attribute);
// waiting for itself would never end, so that call raises RuntimeError and
// the creation goes on. A failed creation leaves the slot empty for a later
// try.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "error_mapping.h"
#include "py_ref.h"

namespace kavri::python {

template <class T>
class ProcessOnce {
 public:
  // `make` returns PyResult<T*>; the pointer is kept and never released.
  template <class Make>
  PyResult<T*> get(Make&& make) {
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    // Only this thread stores its own id, so the comparison is exact.
    if (creator_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      return raise_message(PyExc_RuntimeError,
                           "kavri._kavri_native: re-entered during its one-time setup on the same thread (Python "
                           "code that the setup ran, such as an import hook or a module attribute, called into the "
                           "module); call it again once the setup has finished");
    }
    if (!mutex_.try_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(saved);
    }
    std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    const CreatorMark mark(creator_);
    PyResult<T*> made = make();
    if (made) value_.store(*made, std::memory_order_release);
    return made;
  }

 private:
  // Marks the calling thread as the creator until the creation returns or
  // throws.
  struct CreatorMark {
    explicit CreatorMark(std::atomic<std::thread::id>& slot) : slot_(slot) {
      slot_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    ~CreatorMark() { slot_.store(std::thread::id(), std::memory_order_relaxed); }
    CreatorMark(const CreatorMark&) = delete;
    CreatorMark& operator=(const CreatorMark&) = delete;
    std::atomic<std::thread::id>& slot_;
  };

  std::mutex mutex_;
  std::atomic<T*> value_{nullptr};
  std::atomic<std::thread::id> creator_{};  // the thread running `make`, while it runs
};

}  // namespace kavri::python
