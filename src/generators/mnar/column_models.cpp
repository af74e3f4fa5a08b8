#include "generators/mnar/column_models.h"

#include "generators/mnar/total_order.h"

#include <algorithm>  // std::sort
#include <array>      // std::array

namespace gapwright {

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  return column_model_from([sorted](std::uint64_t i) { return sorted[i]; }, n, mean, variance);
}

Gauss short_column_model(const double* column, std::size_t n, std::size_t stride, double mean,
                         double variance) {
  std::array<std::uint64_t, kShortColumnRows> sorted;
  for (std::size_t r = 0; r < n; ++r) sorted[r] = total_order_ukey(column[r * stride]);
  std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n));
  const auto at = [&sorted](std::uint64_t i) { return from_total_order_ukey(sorted[i]); };
  return column_model_from(at, n, mean, variance);
}

}  // namespace gapwright
