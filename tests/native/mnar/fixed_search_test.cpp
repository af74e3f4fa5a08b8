#include "generators/mnar/search/fixed_search.h"

#include <gtest/gtest.h>

#include "generators/mnar/kernels/distance_key.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/job_scratch.h"
#include "generators/mnar/select/key_select.h"  // sample_row

#include <algorithm>  // std::sort
#include <cmath>      // std::isnan, std::ldexp
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <random>     // std::mt19937_64
#include <string>     // std::string
#include <tuple>      // std::tuple
#include <utility>    // std::pair
#include <vector>     // std::vector

namespace gapwright {
namespace {

// A few ulps above 1.0: a crowd of such values shares its top 16 key bits.
double crowded(std::uint64_t k) { return 1.0 + std::ldexp(static_cast<double>(k), -40); }

// Columns chosen to mislead a selection that brackets its ranks by a sample
// of evenly spread rows, or that narrows by the top bits of the keys.
enum class Kind {
  // Values a few ulps apart, in random rows: every key in one top bucket.
  kCrowd,
  // The same, but every row that either sample reads holds one value far
  // below the centre: the brackets keep only that value.
  kCrowdSampledLow,
  // -1 and +1 in half the rows and the rest a few ulps farther out: the
  // centre is 0, the nearest half of the column ties at distance 1, and all
  // the squared distances crowd one top bucket.
  kTiedCrowds,
  // Ascending, a few ulps apart.
  kSorted,
  // A short ramp repeated down the column: runs of ties, evenly spaced.
  kSawtooth,
  // One value everywhere but a few rows, some of them a few ulps off.
  kAllButFew,
  // Spread values, with the rows either sample reads at 0.5, near the centre.
  kSampleAtCentre,
};
constexpr Kind kKinds[] = {Kind::kCrowd,    Kind::kCrowdSampledLow, Kind::kTiedCrowds,
                           Kind::kSorted,   Kind::kSawtooth,        Kind::kAllButFew,
                           Kind::kSampleAtCentre};

// The rows that the in-place selection's sample and the copied selection's
// first sample read.
std::vector<std::size_t> sampled_rows(std::size_t n) {
  std::vector<std::size_t> rows;
  for (const std::size_t size : {std::size_t{4096}, std::size_t{256}}) {
    for (std::size_t i = 0; i < size; ++i) rows.push_back(sample_row(i, size, n));
  }
  return rows;
}

std::vector<double> column_of(Kind kind, std::size_t n, std::mt19937_64& gen) {
  std::vector<double> column(n);
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint64_t k = gen() % n;
    switch (kind) {
      case Kind::kCrowd:
      case Kind::kCrowdSampledLow:
        column[r] = crowded(k);
        break;
      case Kind::kTiedCrowds: {
        const double magnitude = r % 4 < 2 ? 1.0 : crowded(1 + k);
        column[r] = r % 2 == 0 ? -magnitude : magnitude;
        break;
      }
      case Kind::kSorted:
        column[r] = crowded(r);
        break;
      case Kind::kSawtooth:
        column[r] = static_cast<double>(r % 997) * 0.25 - 100.0;
        break;
      case Kind::kAllButFew:
        column[r] = 3.0;
        break;
      case Kind::kSampleAtCentre:
        column[r] = static_cast<double>(gen() >> 11) * 0x1p-53;
        break;
    }
  }
  if (kind == Kind::kCrowdSampledLow || kind == Kind::kSampleAtCentre) {
    const double at = kind == Kind::kCrowdSampledLow ? crowded(n / 5) : 0.5;
    for (const std::size_t r : sampled_rows(n)) column[r] = at;
  }
  if (kind == Kind::kAllButFew) {
    const std::vector<double> others = {2.0, 5.0, 3.0 + 0x1p-51, 3.0 - 0x1p-51, 4.0};
    for (const double other : others) column[gen() % n] = other;
  }
  return column;
}

// What the blanks of F full passes are by definition: the column's cells
// ordered by (distance to the centre of its sorted values, row); the first
// F are blanked and the next is the extra.
std::vector<std::uint32_t> nearest_order(const std::vector<double>& column, double mean) {
  std::vector<double> sorted = column;
  std::sort(sorted.begin(), sorted.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
  const double centre = column_model(sorted.data(), sorted.size(), mean, 0.0).mean;
  std::vector<std::pair<std::int64_t, std::uint32_t>> cells(column.size());
  for (std::uint32_t r = 0; r < column.size(); ++r) cells[r] = {distance_key(column[r], centre), r};
  std::sort(cells.begin(), cells.end());
  std::vector<std::uint32_t> order(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) order[i] = cells[i].second;
  return order;
}

// Long columns of every kind side by side, searched in place (selected
// where they lie, their buckets narrowed by counting passes when a sample
// misleads) and copied out as keys, for pass counts around the ties at the
// boundary: each column's blanks, its extra row and the blanks the dump
// shows are those of the order by (distance, row).
TEST(fixed_search_test, misleading_columns_are_searched_as_defined) {
  // More than 2^16 keys in one top bucket on each side of zero, so that the
  // in-place selection narrows them by passes of its own; a multiple of 4,
  // so that the tied crowds' ties fill exactly half the column.
  constexpr std::size_t n = (std::size_t{1} << 17) + (std::size_t{1} << 16);
  constexpr std::size_t cols = std::size(kKinds);
  std::mt19937_64 gen(42);
  std::vector<std::vector<double>> columns;
  for (const Kind kind : kKinds) columns.push_back(column_of(kind, n, gen));
  std::vector<double> matrix(n * cols);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < cols; ++c) matrix[r * cols + c] = columns[c][r];
  }
  for (const double mean : {0.5, 0.3}) {
    std::vector<std::vector<std::uint32_t>> orders;
    for (const std::vector<double>& column : columns) orders.push_back(nearest_order(column, mean));
    for (const std::size_t full : {std::size_t{0}, std::size_t{1}, n / 4, n / 2 - 1, n / 2,
                                   n / 2 + 1, n - 1, n}) {
      // A dump makes the columns that show a blank take the careful path;
      // without one every column goes through the blanking sweep.
      for (const bool dumped : {true, false}) {
        // Copied out as keys, or selected where they lie.
        for (const std::size_t copy_bytes : {std::size_t{48} << 20, std::size_t{0}}) {
          const std::string where = "mean " + std::to_string(mean) + ", " + std::to_string(full) +
                                    " passes, " + (dumped ? "dumped" : "no dump") + ", " +
                                    (copy_bytes > 0 ? "copied" : "in place");
          std::vector<double> searched = matrix;
          const SearchTable table(searched, n, cols, dumped);
          const FixedThresholdSearch search(table, {mean, 0.0, full, copy_bytes});
          std::vector<ColumnOutcome> outcomes(cols);
          JobScratch scratch;
          search.search(0, cols, outcomes, scratch);
          for (std::size_t c = 0; c < cols; ++c) {
            const std::vector<std::uint32_t>& order = orders[c];
            std::vector<bool> blank(n, false);
            std::vector<ShownBlank> shown;
            for (std::size_t pass = 0; pass < full; ++pass) {
              blank[order[pass]] = true;
              if (table.window.shows_row(order[pass])) shown.push_back({pass, order[pass]});
            }
            std::size_t wrong = 0;
            for (std::size_t r = 0; r < n; ++r) {
              wrong += std::isnan(searched[r * cols + c]) != blank[r] ? 1 : 0;
            }
            EXPECT_EQ(wrong, 0U) << "column " << c << ", " << where;
            EXPECT_EQ(outcomes[c].extra, full < n ? order[full] : ColumnOutcome::kNoRow)
                << "column " << c << ", " << where;
            std::vector<ShownBlank> found = outcomes[c].shown;
            std::sort(found.begin(), found.end(),
                      [](const ShownBlank& a, const ShownBlank& b) { return a.pass < b.pass; });
            EXPECT_EQ(found, shown) << "column " << c << ", " << where;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace gapwright
