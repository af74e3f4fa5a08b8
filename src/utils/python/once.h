// One-time creation of a process-wide Python object (the class type, the
// PanicException class).
//
// The creating thread holds a native mutex; a thread that arrives meanwhile
// waits for it detached from the interpreter, so the creator can always run
// Python code. The finished object is published through an atomic pointer and
// kept alive until the process ends.
#pragma once

#include "utils/python/compat.h"

#include <atomic>  // std::atomic
#include <mutex>   // std::mutex, std::unique_lock

namespace gapwright::py {

class OnceObject {
 public:
  // Returns the object, creating it with create() (a new reference, or null
  // with an exception set) on first need. Null with an exception set when
  // creation failed; a later call tries again.
  template <typename Create>
  PyObject* get(Create&& create) {
    if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
    // Owned by a lock object from before the wait: a thread that the
    // interpreter ends as it reattaches still lets go of the mutex.
    std::unique_lock lock(mutex_, std::defer_lock);
    Py_BEGIN_ALLOW_THREADS lock.lock();
    Py_END_ALLOW_THREADS
    PyObject* result = object_.load(std::memory_order_acquire);
    if (result == nullptr) {
      result = create();
      if (result != nullptr) object_.store(result, std::memory_order_release);
    }
    return result;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
  std::mutex mutex_;
};

}  // namespace gapwright::py
