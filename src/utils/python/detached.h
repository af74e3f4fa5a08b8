// Detached: releases the calling thread's hold on the interpreter for a scope.
//
// Used around native work that touches no Python object, so that other Python
// threads run meanwhile: a thread draining a pipe on fd 1 while the call
// writes to it, or another instance's call. The thread reattaches when the
// scope ends, on every exit path, before any Python exception is raised.
#pragma once

#include "utils/python/compat.h"

namespace gapwright::py {

class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace gapwright::py
