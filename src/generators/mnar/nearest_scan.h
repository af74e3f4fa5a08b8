// The plain nearest-cell search: one scan down a column.
#pragma once

#include <cstddef>   // std::size_t
#include <cstdint>   // std::int64_t, std::uint64_t
#include <optional>  // std::optional

#include "generators/mnar/total_order.h"

namespace gapwright {

// The rank by which a cell holding `value` competes for `threshold`: the
// total-order key of (value - threshold) squared, in double arithmetic. Same-
// sign infinities give the processor's default NaN, whose set sign bit ranks
// it below every number, so such a cell wins. Shared by every search so that
// all of them rank cells with the very same operations.
inline std::int64_t distance_key(double value, double threshold) noexcept {
  const double difference = value - threshold;
  return total_order_key(difference * difference);
}

// The row of the non-NaN cell of column `column` whose squared distance
// (v - threshold) * (v - threshold) has the lowest total-order rank, the
// lowest row on ties; nullopt when every cell is NaN. `matrix` is row-major
// rows x cols.
std::optional<std::uint64_t> nearest_by_scan(const double* matrix, std::size_t rows,
                                             std::size_t cols, std::size_t column,
                                             double threshold) noexcept;

}  // namespace gapwright
