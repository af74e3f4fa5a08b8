// Failures of the process's surroundings rather than of this code: the
// operating system refused a thread or a write. They carry the system's error
// number, so that the Python surface can raise what Python itself raises for
// the same refusal, and they are never reported as internal failures.
#pragma once

#include <string>        // std::string
#include <system_error>  // std::system_error, std::generic_category

namespace gapwright {

// The system would not start a worker thread (EAGAIN at the process's task
// limit, ENOMEM, ...). what(): "can't start new thread: <reason>".
class ThreadStartRefused : public std::system_error {
 public:
  explicit ThreadStartRefused(int error)
      : std::system_error(error, std::generic_category(), "can't start new thread") {}
};

// A write to standard output failed (EPIPE when the reader has gone, EBADF
// when the descriptor is closed, ...). what(): "failed printing to stdout:
// <reason>".
class OutputRefused : public std::system_error {
 public:
  explicit OutputRefused(int error)
      : std::system_error(error, std::generic_category(), "failed printing to stdout") {}
};

}  // namespace gapwright
