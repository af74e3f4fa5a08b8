// The plain nearest-cell search, one scan down a column: the reference that
// the faster searches are tested against.
#pragma once

#include "generators/mnar/kernels/distance_key.h"

#include <cmath>     // std::isnan
#include <cstddef>   // std::size_t
#include <cstdint>   // std::int64_t, std::uint64_t
#include <optional>  // std::optional

namespace gapwright {

// The row of the non-NaN cell of column `column` whose distance key for
// `threshold` is lowest, the lowest row on ties; nullopt when every cell is
// NaN. `matrix` is row-major rows x cols.
inline std::optional<std::uint64_t> nearest_by_scan(const double* matrix, std::size_t rows,
                                                    std::size_t cols, std::size_t column,
                                                    double threshold) noexcept {
  const double* cell = matrix + column;
  std::size_t row = 0;
  while (row < rows && std::isnan(cell[row * cols])) ++row;
  if (row == rows) return std::nullopt;

  std::uint64_t best_row = row;
  std::int64_t best_key = distance_key(cell[row * cols], threshold);
  for (++row; row < rows; ++row) {
    const double value = cell[row * cols];
    if (std::isnan(value)) continue;
    const std::int64_t key = distance_key(value, threshold);
    // Strictly greater: on equal keys the earlier (lower) row stays.
    if (best_key > key) {
      best_key = key;
      best_row = row;
    }
  }
  return best_row;
}

}  // namespace gapwright
