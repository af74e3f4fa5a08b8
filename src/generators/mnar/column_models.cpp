#include "generators/mnar/column_models.h"

#include <algorithm>  // std::min
#include <cmath>      // std::floor, std::isnan
#include <cstdint>    // std::uint64_t, UINT64_MAX

#include "runtime/internal_error.h"

namespace gapwright {
namespace {

// floor(n * mean) as an unsigned 64-bit position: NaN and negatives give 0,
// anything past the largest double below 2^64 gives 2^64 - 1.
std::uint64_t quantile_position(std::size_t n, double mean) {
  const double position = std::floor(static_cast<double>(n) * mean);
  if (std::isnan(position) || position < 0.0) return 0;
  // 2^64 itself is the first double past the range.
  if (position >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(position);
}

}  // namespace

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  if (n == 0) panic(index_out_of_bounds(0, 0));
  const std::uint64_t last = n - 1;
  const std::uint64_t p = quantile_position(n, mean);

  // A position past the end of the column is clamped to its last value rather
  // than refused, so a large `mean` centres the model on the column's maximum.
  double centre;
  if (n % 2 == 0 && p >= 1) {
    const std::uint64_t below = std::min(p - 1, last);
    const std::uint64_t at = std::min(p, last);
    centre = (sorted[below] + sorted[at]) * 0.5;
  } else {
    centre = sorted[std::min(p, last)];
  }
  return Gauss{centre, (sorted[last] - sorted[0]) * variance};
}

}  // namespace gapwright
