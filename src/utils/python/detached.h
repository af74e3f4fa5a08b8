// run_detached: runs native work with the calling thread detached from the
// interpreter, so that other Python threads run meanwhile: a thread draining
// a pipe on fd 1 while the call writes to it, or another instance's call.
//
// The thread reattaches when the work ends, however it ends, before any
// Python exception is raised. Reattaching to an interpreter that is shutting
// down ends the thread on the spot: CPython 3.13 and older do it with
// pthread_exit, whose forced unwinding runs through every frame above. So the
// reattach is made here, in a plain function frame, never in a destructor or
// a noexcept function, where that unwinding would end in std::terminate.
#pragma once

#include "utils/python/compat.h"
#include "utils/python/forced_unwind.h"

#include <exception>  // std::exception_ptr, std::current_exception, std::rethrow_exception

namespace gapwright::py {

// `work` must touch no Python object and call nothing of the C API.
template <typename Work>
void run_detached(Work&& work) {
  std::exception_ptr failure;
  PyThreadState* const state = PyEval_SaveThread();
  try {
    work();
  }
  GAPWRIGHT_PASS_FORCED_UNWIND
  catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace gapwright::py
