// Column models: each column's Gauss, centred on a quantile of the column
// under the total order and spread by its range times `variance`.
#pragma once

#include "generators/mnar/index/value_slots.h"
#include "runtime/checked_math.h"
#include "runtime/gauss.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::min
#include <cmath>      // std::floor
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint64_t

namespace gapwright {

// The model of a column of n values from its order statistics: `at(i)` is
// the i-th value in ascending total order. The quantile position
// floor(n * mean) saturates into [0, 2^64-1] and is clamped into the column:
// past the end the centre is the column's largest value (for even n
// averaged with itself).
template <typename OrderStatistic>
Gauss column_model_from(OrderStatistic&& at, std::size_t n, double mean, double variance) {
  if (n == 0) panic(index_out_of_bounds(0, 0));
  const std::uint64_t last = n - 1;
  const std::uint64_t p = saturating_u64(std::floor(static_cast<double>(n) * mean));
  double centre;
  if (n % 2 == 0 && p >= 1) {
    const std::uint64_t below = std::min(p - 1, last);
    centre = (at(below) + at(std::min(p, last))) * 0.5;
  } else {
    centre = at(std::min(p, last));
  }
  return Gauss{centre, (at(last) - at(0)) * variance};
}

// The model of one column from its n values sorted ascending by the total
// order (n >= 1).
Gauss column_model(const double* sorted, std::size_t n, double mean, double variance);

// Columns this short are modelled from a copy of their keys.
inline constexpr std::size_t kShortColumnRows = ValueSlots::kMaxValues;

// The model of a short column of n values column[r * stride]
// (1 <= n <= kShortColumnRows), from a sorted copy of their keys.
Gauss short_column_model(const double* column, std::size_t n, std::size_t stride, double mean,
                         double variance);
// The same for n finite values and their total-order keys, which it
// reorders, without a sort past a few values.
Gauss finite_short_column_model(const double* values, std::uint64_t* keys, std::size_t n,
                                double mean, double variance);

}  // namespace gapwright
