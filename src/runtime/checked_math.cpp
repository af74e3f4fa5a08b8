#include "runtime/checked_math.h"

#include <limits>  // std::numeric_limits
#include <string>  // std::to_string

#include "runtime/internal_error.h"

namespace gapwright {

std::uint64_t saturating_u64(double value) noexcept {
  if (!(value > 0.0)) return 0;
  // 2^64 itself is the first double past the range.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::size_t cell_count(std::size_t rows, std::size_t cols) {
  std::size_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count)) {
    panic("a table of shape (" + std::to_string(rows) + ", " + std::to_string(cols) +
          ") has more cells than 64 bits count");
  }
  return count;
}

}  // namespace gapwright
