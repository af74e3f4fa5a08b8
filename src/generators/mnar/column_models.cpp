#include "generators/mnar/column_models.h"

#include <algorithm>  // std::min_element, std::minmax_element, std::nth_element

#include "generators/mnar/total_order.h"

namespace gapwright {
namespace {

// A function object rather than a function, so that the selections inline it.
constexpr auto key_less = [](double a, double b) noexcept {
  return total_order_ukey(a) < total_order_ukey(b);
};

}  // namespace

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  return column_model_from([sorted](std::uint64_t i) { return sorted[i]; }, n, mean, variance);
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
  return column_model_from(at, n, mean, variance);
}

}  // namespace gapwright
