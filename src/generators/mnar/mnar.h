// MNAR: the native record behind each MNARrs object, and the masking passes.
#pragma once

#include "runtime/random_stream.h"
#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint64_t
#include <span>     // std::span
#include <unistd.h>  // STDOUT_FILENO
#include <vector>    // std::vector

namespace gapwright {

// A value matrix held by value: rows x cols doubles, row-major.
using Matrix = std::vector<double>;

// ceil(alpha * rows * cols) as an unsigned count: NaN and negatives give 0,
// values past 2^64 - 1 saturate. rows * cols must not overflow.
std::uint64_t blank_count(double alpha, std::size_t rows, std::size_t cols);

struct MNAR {
  double mean = 0.5;
  double variance = 0.0;
  RandomStream stream;
  ThreadPool pool;

  // Blanks min(blanks, rows * cols) cells of the row-major matrix with NaN,
  // pass by pass, and writes the matrix dump to `dump_fd` after every pass.
  // Passes stop once every cell is blank: later passes could only report
  // columns with nothing left. Internal failures ("Sample is nan", "failed
  // printing to stdout", ...) throw InternalError, with the stream where the
  // failing pass left it; the matrix is then only good for discarding.
  void drop_cols(std::span<double> matrix, std::size_t rows, std::size_t cols,
                 std::uint64_t blanks, int dump_fd = STDOUT_FILENO);
};

}  // namespace gapwright
