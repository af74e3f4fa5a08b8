// PyRef: the one owning handle for a strong Python reference.
//
// Raw PyObject* appears only for borrowed arguments; anything the native
// code owns lives in a PyRef, so every exit path releases it.
//
// One exit path runs without the interpreter: a thread that the interpreter
// ends while it shuts down unwinds detached (see detached.h), and an object
// released then could be freed under the feet of the finalizing thread. A
// reference dropped by a detached thread is therefore left to leak.
#pragma once

#include "utils/python/compat.h"

#include <utility>  // std::exchange

namespace gapwright::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (nullptr allowed).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      drop(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    }
    return *this;
  }
  ~PyRef() { drop(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  static void drop(PyObject* obj) noexcept {
    if (obj != nullptr && PyGILState_Check()) Py_DECREF(obj);
  }
  PyObject* obj_ = nullptr;
};

}  // namespace gapwright::py
