#include "generators/mnar/index/bucket_index.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::min, std::sort
#include <bit>        // std::bit_cast
#include <cmath>      // std::nan, std::round
#include <cstdint>
#include <limits>     // std::numeric_limits
#include <random>     // std::mt19937_64, std::normal_distribution
#include <vector>

#include "generators/mnar/kernels/total_order.h"
#include "nearest_scan.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Takes the nearest cell for each threshold in turn, from the index (with
// every build of its bucket scan that runs here) and by a plain scan over a
// copy that blanks what it takes; both must agree.
void expect_scan_answers(const std::vector<double>& original, const std::vector<double>& thresholds) {
  for (const detail::NearestCellScan* scan : detail::runnable_nearest_cell_scans()) {
    std::vector<double> column = original;
    BucketIndex index(*scan);
    ASSERT_TRUE(index.build(column.data(), column.size(), 1));
    for (std::size_t pass = 0; pass < thresholds.size(); ++pass) {
      const auto expected = nearest_by_scan(column.data(), column.size(), 1, 0, thresholds[pass]);
      const auto taken = index.take_nearest(thresholds[pass]);
      ASSERT_EQ(taken.has_value(), expected.has_value()) << scan->name << " pass " << pass;
      if (!taken) continue;
      ASSERT_EQ(*taken, *expected) << scan->name << " pass " << pass << ", threshold "
                                   << thresholds[pass];
      column[*taken] = std::nan("");
    }
  }
}

// Every rank of the built index holds the value that a sort gives it.
void expect_ranks_in_total_order(const std::vector<double>& column) {
  BucketIndex index;
  ASSERT_TRUE(index.build(column.data(), column.size(), 1));
  std::vector<double> sorted = column;
  std::sort(sorted.begin(), sorted.end(),
            [](double a, double b) { return total_order_ukey(a) < total_order_ukey(b); });
  for (std::size_t rank = 0; rank < sorted.size(); ++rank) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(index.value_at_rank(rank)),
              std::bit_cast<std::uint64_t>(sorted[rank]))
        << "rank " << rank;
  }
}

std::vector<double> normal_draws(std::mt19937_64& random, std::size_t n, double sd) {
  std::normal_distribution<double> normal(0.0, sd);
  std::vector<double> draws(n);
  for (double& draw : draws) draw = normal(random);
  return draws;
}

TEST(bucket_index_test, takes_what_a_scan_takes_on_spread_values) {
  std::mt19937_64 random(3);
  for (const std::size_t n : {1, 7, 33, 300, 5000}) {
    const std::vector<double> column = normal_draws(random, n, 1.0);
    expect_scan_answers(column, normal_draws(random, n + 2, 0.8));
  }
  // Far values in rows between those that bound the value ranges: they
  // join the first and last ranges.
  std::vector<double> column = normal_draws(random, 40000, 1.0);
  column[1] = 1e6;
  column[2] = -1e6;
  column[40000 - 2] = 3e5;
  std::vector<double> thresholds = {2e6, -2e6, 2e5, 3e5, 2e6, 0.0};
  for (const double draw : normal_draws(random, 500, 0.8)) thresholds.push_back(draw);
  expect_scan_answers(column, thresholds);
}

TEST(bucket_index_test, takes_what_a_scan_takes_among_ties) {
  // A few levels, both zeros among them, thresholds on and between the
  // levels and outside them; long enough that ranges split by key bits,
  // and, at 600,000 rows, that cells are spread over groups of ranges first.
  std::mt19937_64 random(5);
  const std::vector<double> levels = {-3, -1, -0.0, 0.0, 0.5, 1, 1e-300, 4};
  for (const std::size_t n : {6000, 600000}) {
    std::vector<double> column = normal_draws(random, n, 1.0);
    for (double& value : column) value = random() % 4 == 0 ? value : levels[random() % levels.size()];
    std::vector<double> thresholds = {0.0, -0.0, 0.25, -2, 9, -9, 1, 0.75};
    for (const double draw : normal_draws(random, 5000 * 6000 / n, 2.0)) thresholds.push_back(draw);
    expect_scan_answers(column, thresholds);
  }
}

TEST(bucket_index_test, takes_what_a_scan_takes_when_squares_overflow) {
  // Squared distances past the largest double all tie at +inf.
  const std::vector<double> column = {1e200, -1e200, 3e200, 0.0, -5e199, 1e200, 2.0};
  expect_scan_answers(column, {-1e200, 1e200, 0.0, 2e200, -3e200, 1.0, 5.0, 0.0});
}

TEST(bucket_index_test, takes_what_a_scan_takes_on_a_long_column) {
  // Groups of thousands of ranges, with far values beside them.
  std::mt19937_64 random(13);
  std::vector<double> column = normal_draws(random, 3'000'000, 1.0);
  column[17] = 1e9;
  column[2'999'000] = -1e9;
  std::vector<double> thresholds = {-9.0, 9.0, 0.0, 1e9, -2e9};
  for (const double draw : normal_draws(random, 30, 1.0)) thresholds.push_back(draw);
  expect_scan_answers(column, thresholds);
}

TEST(bucket_index_test, censuses_of_a_wide_table_build_what_a_column_builds_alone) {
  // Three columns read where they lie, one with ties and both zeros, one
  // with a NaN, which no census may let an index take.
  constexpr std::size_t n = 600000;
  constexpr std::size_t cols = 3;
  std::mt19937_64 random(21);
  std::vector<double> table(n * cols);
  const std::vector<double> draws = normal_draws(random, n * cols, 1.0);
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = i % cols == 1 ? static_cast<double>(random() % 9) - 4.0 : draws[i];
    if (table[i] == 0.0 && random() % 2 == 0) table[i] = -0.0;
  }
  table[77 * cols + 2] = kNaN;
  std::vector<BucketIndex::Census> censuses(cols);
  BucketIndex::take_censuses(table.data(), n, cols, cols, censuses.data());
  std::vector<double> thresholds = {0.0, -0.0, 3.5, -9.0, 9.0};
  for (const double draw : normal_draws(random, 200, 2.0)) thresholds.push_back(draw);
  for (std::size_t c = 0; c < 2; ++c) {
    BucketIndex alone;
    BucketIndex counted;
    ASSERT_TRUE(alone.build(table.data() + c, n, cols));
    ASSERT_TRUE(counted.build(table.data() + c, n, cols, censuses[c]));
    for (const std::size_t rank : {std::size_t{0}, n / 3, n / 2, n - 1}) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(counted.value_at_rank(rank)),
                std::bit_cast<std::uint64_t>(alone.value_at_rank(rank)));
    }
    for (const double threshold : thresholds) {
      ASSERT_EQ(counted.take_nearest(threshold), alone.take_nearest(threshold)) << c;
    }
  }
  BucketIndex index;
  EXPECT_FALSE(index.build(table.data() + 2, n, cols, censuses[2]));
}

TEST(bucket_index_test, ranks_follow_the_total_order) {
  std::mt19937_64 random(9);
  for (const std::size_t n : {4000, 600000}) {
    std::vector<double> column = normal_draws(random, n, 1.0);
    for (std::size_t i = 0; i < n / 8; ++i) column[random() % n] = (i % 2) ? 0.0 : -0.0;
    expect_ranks_in_total_order(column);
  }
}

TEST(bucket_index_test, every_runnable_bucket_scan_finds_the_portable_cell) {
  // Few levels, symmetric about the thresholds, so that distance keys tie
  // within a vector, across vectors and with the cell found before; rows
  // in no order; squares that overflow; every length up to past a leaf.
  const std::vector<double> levels = {-1.5, 1.5, -0.0, 0.0, 0.5, 4.9e-324, 1e200, -1e200};
  std::mt19937_64 random(11);
  for (const detail::NearestCellScan* scan : detail::runnable_nearest_cell_scans()) {
    for (std::size_t n = 1; n <= BucketIndex::kLeaf + 9; ++n) {
      for (const double threshold : {0.0, -0.0, 0.5, 1e-300, -1e200}) {
        std::vector<std::uint64_t> keys(n);
        std::vector<std::uint32_t> rows(n);
        for (std::size_t i = 0; i < n; ++i) {
          keys[i] = total_order_ukey(levels[random() % levels.size()]);
          rows[i] = static_cast<std::uint32_t>(random() % 64);
        }
        const double before = levels[random() % levels.size()] - threshold;
        const NearestCell found_before{std::bit_cast<std::uint64_t>(before * before),
                                       static_cast<std::uint32_t>(random() % 64), 99};
        NearestCell expected = found_before;
        NearestCell got = found_before;
        const bool expected_better = detail::kPortableNearestCellScan.offer(
            keys.data(), rows.data(), n, threshold, expected);
        const bool better = scan->offer(keys.data(), rows.data(), n, threshold, got);
        ASSERT_EQ(better, expected_better) << scan->name << " n=" << n;
        ASSERT_EQ(got.key, expected.key) << scan->name << " n=" << n;
        ASSERT_EQ(got.row, expected.row) << scan->name << " n=" << n;
        ASSERT_EQ(got.position, expected.position) << scan->name << " n=" << n;
      }
    }
  }
}

TEST(bucket_index_test, every_runnable_column_scan_finds_the_portable_place) {
  // Squares that tie, overflow or vanish, taken cells (NaN) among them, and
  // every length over a few vectors, down to one cell left; the same for a
  // window's scan of up to its cells.
  const std::vector<double> levels = {-1.5, 1.5, -0.0, 0.0, 0.5, 4.9e-324, 1e200, -1e200, kNaN};
  std::mt19937_64 random(12);
  for (const detail::NearestCellScan* scan : detail::runnable_nearest_cell_scans()) {
    for (std::size_t round = 0; round < 41 * 20; ++round) {
      const std::size_t n = 1 + round % 41;
      for (const double threshold : {0.0, -0.0, 0.5, 1e-300, -1e200}) {
        std::vector<double> values(n);
        for (double& value : values) value = levels[random() % levels.size()];
        values[random() % n] = levels[random() % (levels.size() - 1)];
        const std::size_t expected =
            detail::kPortableNearestCellScan.nearest_place(values.data(), n, threshold);
        ASSERT_FALSE(std::isnan(values[expected]));
        ASSERT_EQ(scan->nearest_place(values.data(), n, threshold), expected)
            << scan->name << " n=" << n;
        if (n <= kScanWindow) {
          // Past the cells, values that would win were they not passed over.
          std::vector<double> window = values;
          window.resize(kScanWindow, threshold);
          ASSERT_EQ(scan->nearest_in_window(window.data(), n, threshold), expected)
              << scan->name << " n=" << n;
        }
      }
    }
    const std::vector<double> all_taken(kScanWindow, kNaN);
    EXPECT_EQ(scan->nearest_place(all_taken.data(), 9, 1.0), 9U);
    EXPECT_EQ(scan->nearest_in_window(all_taken.data(), 9, 1.0), 9U);
  }
}

// One index for column after column, as a job keeps it between groups and
// calls: a long column partly taken, a refused one, then shorter columns in
// other ranges, with thresholds beyond them and inside them. Whatever the
// earlier builds left in its buffers, every take is what a scan takes.
TEST(bucket_index_test, an_index_built_again_keeps_nothing_of_the_last_column) {
  std::mt19937_64 random(17);
  for (const detail::NearestCellScan* scan : detail::runnable_nearest_cell_scans()) {
    BucketIndex index(*scan);
    std::vector<double> first = normal_draws(random, 100000, 100.0);
    ASSERT_TRUE(index.build(first.data(), first.size(), 1));
    for (const double threshold : normal_draws(random, 1000, 50.0)) {
      const auto taken = index.take_nearest(threshold);
      ASSERT_EQ(taken, nearest_by_scan(first.data(), first.size(), 1, 0, threshold)) << scan->name;
      first[*taken] = kNaN;
    }
    const std::vector<double> refused = {1.0, kInf, 2.0};
    ASSERT_FALSE(index.build(refused.data(), refused.size(), 1));
    // Shorter each time, bunched into ranges the last column did not have,
    // then ties; the shorter ones taken to the last cell, and once more.
    for (const std::size_t n : {40000, 3000, 37}) {
      std::vector<double> column = normal_draws(random, n, 0.01);
      for (double& value : column) value = n == 37 ? std::round(value * 300.0) : value + 1000.0;
      const double centre = n == 37 ? 0.0 : 1000.0;
      ASSERT_TRUE(index.build(column.data(), n, 1));
      for (std::size_t pass = 0; pass <= std::min<std::size_t>(n, 3000); ++pass) {
        // Above the column's largest value, below its smallest, or inside.
        const double threshold = pass % 3 == 0 ? 1e6 : pass % 3 == 1 ? -5.0 : centre;
        const auto expected = nearest_by_scan(column.data(), n, 1, 0, threshold);
        const auto taken = index.take_nearest(threshold);
        ASSERT_EQ(taken.has_value(), expected.has_value()) << scan->name << ", " << n << " rows";
        if (!taken) break;
        ASSERT_EQ(*taken, *expected) << scan->name << ", " << n << " rows, pass " << pass;
        column[*taken] = kNaN;
      }
    }
  }
}

TEST(bucket_index_test, refuses_columns_with_a_nan_or_an_infinity) {
  BucketIndex index;
  for (const double odd : {kInf, -kInf, std::nan("")}) {
    const std::vector<double> column = {1.0, odd, 2.0};
    EXPECT_FALSE(index.build(column.data(), column.size(), 1));
    // In a row between those whose values bound the value ranges.
    std::vector<double> longer(20000, 1.5);
    longer[1] = odd;
    EXPECT_FALSE(index.build(longer.data(), longer.size(), 1));
  }
  // Strided: only every second value belongs to the column.
  const std::vector<double> matrix = {1.0, kInf, 2.0, kInf};
  EXPECT_TRUE(index.build(matrix.data(), 2, 2));
  EXPECT_EQ(index.take_nearest(2.0), 1U);
  EXPECT_EQ(index.take_nearest(2.0), 0U);
  EXPECT_FALSE(index.take_nearest(2.0).has_value());
}

}  // namespace
}  // namespace gapwright
