// The unwinding by which pthread_exit ends a thread (the interpreter does it
// to a thread that reattaches while it shuts down) must pass through every
// frame. libstdc++ raises it as abi::__forced_unwind, which `catch (...)`
// would stop, so a handler that catches everything lets it through first;
// libc++ never shows it to a handler.
#pragma once

#include <version>  // __GLIBCXX__

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#define GAPWRIGHT_PASS_FORCED_UNWIND \
  catch (abi::__forced_unwind&) {    \
    throw;                           \
  }
#else
#define GAPWRIGHT_PASS_FORCED_UNWIND
#endif
