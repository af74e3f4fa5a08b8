// MNAR: the native record behind each MNARrs object, and the masking passes.
// docs/architecture.md follows a call through the rooms below this folder.
#pragma once

#include "runtime/random_stream.h"
#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint64_t
#include <span>     // std::span
#include <stdexcept>  // std::runtime_error
#include <unistd.h>  // STDOUT_FILENO
#include <vector>    // std::vector

namespace gapwright {

// A value matrix held by value: rows x cols doubles, row-major.
using Matrix = std::vector<double>;

// ceil(alpha * rows * cols) as an unsigned count: NaN and negatives give 0,
// values past 2^64 - 1 saturate. rows * cols must not overflow.
std::uint64_t blank_count(double alpha, std::size_t rows, std::size_t cols);

// A pass drew a NaN threshold for `column`: its model is NaN because the
// column holds a NaN, or an infinity that variance 0 cannot spread, or
// because the variance is NaN. The data's fault, not the code's.
class NanThreshold : public std::runtime_error {
 public:
  explicit NanThreshold(std::size_t column) : std::runtime_error("Sample is nan"), column_(column) {}
  std::size_t column() const noexcept { return column_; }

 private:
  std::size_t column_;
};

struct MNAR {
  double mean = 0.5;
  double variance = 0.0;
  // The seed the stream was built from; with it and the words drawn since,
  // the stream can be rebuilt where it stands.
  std::uint64_t seed = 0;
  RandomStream stream;
  ThreadPool pool;
  // Whether calls write the matrix dump after every pass.
  bool dump = true;

  // Blanks min(blanks, rows * cols) cells of the row-major matrix with NaN,
  // pass by pass, and, with `dump` on, writes the matrix dump to `dump_fd`
  // after every pass. Passes stop once every cell is blank: later passes
  // could only report columns with nothing left. A NaN threshold throws
  // NanThreshold, a dump the system refuses OutputRefused and internal
  // failures InternalError, each with the stream where the failing pass left
  // it; the matrix is then only good for discarding.
  void drop_cols(std::span<double> matrix, std::size_t rows, std::size_t cols,
                 std::uint64_t blanks, int dump_fd = STDOUT_FILENO);
};

}  // namespace gapwright
