#include "generators/mnar/index/slotted_column.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::minmax_element, std::sort
#include <cmath>      // std::isfinite, std::ldexp
#include <cstdint>    // std::uint64_t
#include <limits>     // std::numeric_limits
#include <random>     // std::mt19937_64
#include <vector>

#include "generators/mnar/kernels/nearest_cell.h"
#include "generators/mnar/kernels/total_order.h"
#include "nearest_scan.h"

namespace gapwright {
namespace {

// Columns of every kind the slots meet: even values, a few tied levels with
// both zeros, a bell, one far outlier, a range too wide to compute, and
// subnormals.
std::vector<double> column_of_kind(int kind, std::size_t n, std::mt19937_64& gen) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::vector<double> levels = {-0.0, 0.0, 1.0, 3.0, -2.5};
  std::vector<double> column(n);
  for (double& value : column) {
    switch (kind) {
      case 0: value = unit(gen) * 8.0 - 4.0; break;
      case 1: value = levels[gen() % levels.size()]; break;
      case 2: value = unit(gen) + unit(gen) + unit(gen) - 1.5; break;
      case 3: value = std::ldexp(unit(gen), -1070); break;
      default: value = (gen() % 2 == 0 ? 1e308 : -1e308) * unit(gen); break;
    }
  }
  if (kind == 2 && n > 1) column[gen() % n] = 1e6;
  return column;
}

// Each pass takes, among the cells left, what one scan down the column
// takes, for thresholds on values, between them (ties from both sides),
// past the ends and so far out that every square overflows; with every
// build of the slots' scan. The slots also give each rank's value, -0
// before +0.
TEST(slotted_column_test, every_pass_takes_what_a_scan_takes) {
  std::mt19937_64 gen(3031);
  for (const detail::NearestCellScan* scan : detail::runnable_nearest_cell_scans()) {
    for (int round = 0; round < 600; ++round) {
      const std::size_t n = 1 + gen() % (round % 3 == 0 ? ValueSlots::kMaxValues : 80);
      const std::vector<double> column = column_of_kind(round % 5, n, gen);
      const auto [low, high] = std::minmax_element(column.begin(), column.end());
      const ValueSlots slots(column.data(), n, SlotCut(n, *low, *high), SlotEnds::kKept);
      if (!SlottedColumn::fits(slots)) continue;
      SlottedColumn slotted(column.data(), n, slots, *scan);

      std::vector<double> sorted = column;
      std::sort(sorted.begin(), sorted.end(),
                [](double a, double b) { return total_order_key(a) < total_order_key(b); });
      for (std::size_t rank = 0; rank < n; rank += 1 + gen() % 7) {
        ASSERT_EQ(total_order_key(slotted.value_at_rank(rank)), total_order_key(sorted[rank]))
            << scan->name << " round " << round << " rank " << rank;
      }

      std::vector<double> scanned = column;
      for (std::size_t pass = 0; pass < n + 2; ++pass) {
        const double a = column[gen() % n];
        const double b = column[gen() % n];
        const double thresholds[] = {a, (a + b) / 2, a * 1.5 + 0.25, 1e308, -1e308};
        // Thresholds are finite: a sum of two huge values may not be.
        const double drawn = thresholds[gen() % 5];
        const double threshold = std::isfinite(drawn) ? drawn : a;
        const auto expected = nearest_by_scan(scanned.data(), n, 1, 0, threshold);
        const std::size_t row = slotted.take_nearest(threshold);
        ASSERT_EQ(row, expected.value_or(n))
            << scan->name << " round " << round << " pass " << pass << " threshold " << threshold;
        if (expected) scanned[*expected] = std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
}

}  // namespace
}  // namespace gapwright
