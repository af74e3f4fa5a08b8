#include "generators/mnar/nearest_cell.h"

#include "generators/mnar/column_keys.h"
#include "generators/mnar/total_order.h"

#include "runtime/cpu_features.h"

#include <bit>          // std::bit_cast
#include <cmath>        // std::isnan
#include <string_view>  // std::string_view

namespace gapwright::detail {

namespace {

bool offer_portable(const std::uint64_t* keys, const std::uint32_t* rows, std::size_t n,
                    double threshold, NearestCell& nearest) noexcept {
  bool better = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double difference = from_total_order_ukey(keys[i]) - threshold;
    const auto key = std::bit_cast<std::uint64_t>(difference * difference);
    if (key < nearest.key || (key == nearest.key && rows[i] < nearest.row)) {
      nearest = NearestCell{key, rows[i], static_cast<std::uint32_t>(i)};
      better = true;
    }
  }
  return better;
}

// A NaN's square is a NaN, whose key is above every other square's; taken
// cells are also skipped by name, so that none is given when none is left.
std::size_t nearest_place_portable(const double* values, std::size_t n,
                                   double threshold) noexcept {
  std::size_t nearest = n;
  auto nearest_key = ~std::uint64_t{0};
  for (std::size_t i = 0; i < n; ++i) {
    const double difference = values[i] - threshold;
    const auto key = std::bit_cast<std::uint64_t>(difference * difference);
    if (key < nearest_key && !std::isnan(values[i])) {
      nearest = i;
      nearest_key = key;
    }
  }
  return nearest;
}

}  // namespace

const NearestCellScan kPortableNearestCellScan{"portable", &offer_portable,
                                               &nearest_place_portable};

std::vector<const NearestCellScan*> runnable_nearest_cell_scans() {
  std::vector<const NearestCellScan*> runnable{&kPortableNearestCellScan};
#if GAPWRIGHT_X86_64_REFILLS
  if (cpu_has_avx2()) runnable.push_back(&kAvx2NearestCellScan);
  if (cpu_has_avx512f()) runnable.push_back(&kAvx512NearestCellScan);
#endif
  return runnable;
}

const NearestCellScan& chosen_nearest_cell_scan() noexcept {
  static const NearestCellScan& chosen = []() -> const NearestCellScan& {
    const std::vector<const NearestCellScan*> runnable = runnable_nearest_cell_scans();
    const std::string_view name = chosen_key_sweeps().name;
    for (const NearestCellScan* scan : runnable) {
      if (name == scan->name) return *scan;
    }
    return *runnable.front();
  }();
  return chosen;
}

}  // namespace gapwright::detail
