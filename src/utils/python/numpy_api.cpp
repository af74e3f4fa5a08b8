#define GAPWRIGHT_NUMPY_API_OWNER
#include "utils/python/numpy_api.h"

#include "utils/python/errors.h"

#include <atomic>  // std::atomic

namespace gapwright::py {

void ensure_numpy_api() {
  // Importing twice from racing threads is harmless: both store the same
  // table. The flag only spares the import on every later call.
  static std::atomic<bool> imported{false};
  if (imported.load(std::memory_order_acquire)) return;
  if (PyArray_ImportNumPyAPI() < 0) throw PyErrorAlreadySet{};
  imported.store(true, std::memory_order_release);
}

}  // namespace gapwright::py
