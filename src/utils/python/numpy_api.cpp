#define GAPWRIGHT_NUMPY_API_OWNER
#include "utils/python/numpy_api.h"

#include "utils/python/errors.h"

#include <atomic>  // std::atomic
#include <mutex>   // std::mutex, std::unique_lock

namespace gapwright::py {

void ensure_numpy_api() {
  static std::atomic<bool> imported{false};
  static std::mutex importing;
  if (imported.load(std::memory_order_acquire)) return;
  // One thread imports; the others wait detached from the interpreter, so
  // the importer can run the import's Python code.
  // The lock object predates the wait, so a thread that the interpreter ends
  // as it reattaches still lets go of the mutex.
  std::unique_lock lock(importing, std::defer_lock);
  Py_BEGIN_ALLOW_THREADS lock.lock();
  Py_END_ALLOW_THREADS
  if (imported.load(std::memory_order_acquire)) return;
  if (PyArray_ImportNumPyAPI() < 0) throw PyErrorAlreadySet{};
  imported.store(true, std::memory_order_release);
}

bool numpy_api_ready() {
  try {
    ensure_numpy_api();
    return true;
  } catch (const PyErrorAlreadySet&) {
    PyErr_Clear();
    return false;
  }
}

PyArrayObject* plain_object_matrix(PyObject* obj, std::size_t rows, std::size_t cols) {
  if (!numpy_api_ready() || !PyArray_CheckExact(obj)) return nullptr;
  auto* const array = reinterpret_cast<PyArrayObject*>(obj);
  const bool fits = PyArray_TYPE(array) == NPY_OBJECT && PyArray_NDIM(array) == 2 &&
                    static_cast<std::size_t>(PyArray_DIM(array, 0)) == rows &&
                    static_cast<std::size_t>(PyArray_DIM(array, 1)) == cols;
  return fits ? array : nullptr;
}

}  // namespace gapwright::py
