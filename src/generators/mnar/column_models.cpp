#include "generators/mnar/column_models.h"

#include <algorithm>  // std::min, std::min_element, std::minmax_element, std::nth_element
#include <cmath>      // std::floor
#include <cstdint>    // std::uint64_t

#include "generators/mnar/total_order.h"
#include "runtime/checked_math.h"
#include "runtime/internal_error.h"

namespace gapwright {
namespace {

// floor(n * mean) as an unsigned 64-bit position: NaN and negatives give 0,
// anything past the largest double below 2^64 gives 2^64 - 1.
std::uint64_t quantile_position(std::size_t n, double mean) {
  return saturating_u64(std::floor(static_cast<double>(n) * mean));
}

// The model from the column's order statistics: `at(i)` is the i-th value in
// ascending total order.
template <typename OrderStatistic>
Gauss model_from(OrderStatistic&& at, std::size_t n, double mean, double variance) {
  if (n == 0) panic(index_out_of_bounds(0, 0));
  const std::uint64_t last = n - 1;
  const std::uint64_t p = quantile_position(n, mean);

  // A position past the end of the column is clamped to its last value rather
  // than refused, so a large `mean` centres the model on the column's maximum.
  double centre;
  if (n % 2 == 0 && p >= 1) {
    const std::uint64_t below = std::min(p - 1, last);
    centre = (at(below) + at(std::min(p, last))) * 0.5;
  } else {
    centre = at(std::min(p, last));
  }
  return Gauss{centre, (at(last) - at(0)) * variance};
}

bool key_less(double a, double b) noexcept { return total_order_ukey(a) < total_order_ukey(b); }

}  // namespace

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  return model_from([sorted](std::uint64_t i) { return sorted[i]; }, n, mean, variance);
}

Gauss column_model_unsorted(double* values, std::size_t n, double mean, double variance) {
  if (n == 0) panic(index_out_of_bounds(0, 0));
  const auto [smallest, largest] = std::minmax_element(values, values + n, key_less);
  const double low = *smallest;
  const double high = *largest;
  // Selecting the first statistic asked for places every larger one after it,
  // so the next one up is the least of the rest.
  std::size_t selected = n;
  const auto at = [&](std::uint64_t i) {
    if (i == 0) return low;
    if (i == n - 1) return high;
    if (selected == n) {
      std::nth_element(values, values + i, values + n, key_less);
      selected = i;
    }
    if (i == selected) return values[i];
    return *std::min_element(values + selected + 1, values + n, key_less);
  };
  return model_from(at, n, mean, variance);
}

}  // namespace gapwright
