#include "generators/mnar/kernels/nearest_cell.h"

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"

#include "runtime/cpu_features.h"

#include <array>        // std::array
#include <bit>          // std::bit_cast
#include <limits>       // std::numeric_limits
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

// Squares are never negative, so they order as doubles as their bit
// patterns do: a first sweep takes the lowest, in four independent lanes,
// with a comparison that passes over the NaNs of taken cells, a second
// stops at its first place.
std::size_t nearest_place_portable(const double* values, std::size_t n,
                                   double threshold) noexcept {
  constexpr std::size_t kLanes = 4;
  const auto square_at = [values, threshold](std::size_t i) {
    const double difference = values[i] - threshold;
    return difference * difference;
  };
  std::array<double, kLanes> lowest;
  lowest.fill(std::numeric_limits<double>::infinity());
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      const double square = square_at(i + lane);
      lowest[lane] = square < lowest[lane] ? square : lowest[lane];
    }
  }
  double nearest = lowest[0];
  for (const double lane : lowest) nearest = lane < nearest ? lane : nearest;
  for (; i < n; ++i) nearest = square_at(i) < nearest ? square_at(i) : nearest;
  for (std::size_t at = 0; at < n; ++at) {
    if (square_at(at) == nearest) return at;
  }
  return n;
}

}  // namespace

const NearestCellScan kPortableNearestCellScan{"portable", &offer_portable,
                                               &nearest_place_portable,
                                               &nearest_place_portable, 0, 512, 512};

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
