#include "generators/mnar/index/column_index.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::stable_sort
#include <iterator>   // std::size
#include <bit>        // std::bit_cast
#include <cmath>      // std::copysign, std::exp, std::ldexp, std::round
#include <cstdint>
#include <limits>     // std::numeric_limits
#include <random>     // std::mt19937_64
#include <utility>    // std::move
#include <vector>

#include "generators/mnar/kernels/total_order.h"
#include "nearest_scan.h"
#include "runtime/internal_error.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kNegativeNaN = std::copysign(kNaN, -1.0);

ColumnIndex index_of(const std::vector<double>& column) {
  return ColumnIndex(column.data(), column.size(), 1, 0);
}

// Takes every cell nearest to `threshold` in turn until none is left.
std::vector<std::uint64_t> drain(ColumnIndex& index, double threshold) {
  std::vector<std::uint64_t> taken;
  while (const auto row = index.take_nearest(threshold)) taken.push_back(*row);
  return taken;
}

using Rows = std::vector<std::uint64_t>;

TEST(column_index_test, sorted_values_follow_the_total_order) {
  const std::vector<double> column = {3, kNaN, -0.0, kNegativeNaN, -kInf, 0.0, kInf, -2};
  const std::vector<double> sorted = index_of(column).sorted_values();
  const std::vector<double> expected = {kNegativeNaN, -kInf, -2, -0.0, 0.0, 3, kInf, kNaN};
  ASSERT_EQ(sorted.size(), expected.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(sorted[i]), std::bit_cast<std::uint64_t>(expected[i]))
        << "position " << i;
  }
}

// The index's sorted values against a stable sort by the total order.
void expect_sorted_stably(const std::vector<double>& column, const ColumnIndex& index) {
  std::vector<std::uint64_t> order(column.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    return total_order_ukey(column[a]) < total_order_ukey(column[b]);
  });
  for (std::size_t i = 0; i < order.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(index.sorted_values()[i]),
              std::bit_cast<std::uint64_t>(column[order[i]]));
  }
}

TEST(column_index_test, long_columns_sort_stably_by_total_order) {
  // Long enough for the radix path; few distinct values, both zeros and NaNs.
  std::mt19937_64 random(7);
  const std::vector<double> palette = {-kInf, -1e300, -1,  -0.0, 0.0,
                                       0.5,   1,      kInf, kNaN, kNegativeNaN};
  std::vector<double> column(5000);
  for (double& value : column) value = palette[random() % palette.size()];
  ColumnIndex index = index_of(column);
  expect_sorted_stably(column, index);
  // From -inf the -inf cells rank lowest; every other number squares to +inf,
  // so each group comes out in row order.
  Rows expected;
  for (std::size_t row = 0; row < column.size(); ++row) {
    if (column[row] == -kInf) expected.push_back(row);
  }
  for (std::size_t row = 0; row < column.size(); ++row) {
    if (!std::isnan(column[row]) && column[row] != -kInf) expected.push_back(row);
  }
  EXPECT_EQ(drain(index, -kInf), expected);

  // Values that share their top 16 key bits fill one long bucket, split by
  // the widest digit.
  std::vector<double> narrow(30000);
  for (double& value : narrow) value = 1.0 + std::ldexp(static_cast<double>(random() % 20000), -40);
  expect_sorted_stably(narrow, index_of(narrow));
}

TEST(column_index_test, long_columns_sort_stably_whatever_their_spread_or_stride) {
  // Spread evenly, with repeats, both zeros, NaNs of both signs,
  // infinities and far outliers; then skewed, most values bunched beside
  // one outlier; then read out of a wider matrix, short enough to be
  // copied out first and too long for that.
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal;
  std::vector<double> spread(70001);
  for (double& value : spread) value = std::round(normal(random) * 1000.0) / 64.0;
  const double specials[] = {kNaN, kNegativeNaN, kInf, -kInf, 0.0, -0.0, 1e300, -1e300};
  for (std::size_t i = 0; i < 400; ++i) spread[random() % spread.size()] = specials[i % 8];
  expect_sorted_stably(spread, index_of(spread));

  std::vector<double> skewed(50000);
  for (double& value : skewed) value = std::exp(normal(random) * 4.0);
  skewed[123] = 1e250;
  expect_sorted_stably(skewed, index_of(skewed));

  constexpr std::size_t kCols = 3;
  for (const std::size_t rows : {std::size_t{40000}, (std::size_t{1} << 21) + 7}) {
    std::vector<double> matrix(rows * kCols);
    for (double& value : matrix) value = std::round(normal(random) * 300.0);
    const ColumnIndex index(matrix.data(), rows, kCols, 1);
    std::vector<double> column(rows);
    for (std::size_t r = 0; r < rows; ++r) column[r] = matrix[r * kCols + 1];
    expect_sorted_stably(column, index);
  }
}

TEST(column_index_test, equal_distances_on_both_sides_go_to_the_lower_row) {
  ColumnIndex ascending = index_of({1, 2, 3, 4});
  EXPECT_EQ(drain(ascending, 2.5), (Rows{1, 2, 0, 3}));
  ColumnIndex descending = index_of({4, 3, 2, 1});
  EXPECT_EQ(drain(descending, 2.5), (Rows{1, 2, 0, 3}));
  ColumnIndex duplicates = index_of({3, 2, 3, 2, 7});
  EXPECT_EQ(drain(duplicates, 2.5), (Rows{0, 1, 2, 3, 4}));
}

TEST(column_index_test, overflowing_squares_tie_only_without_a_finite_one) {
  ColumnIndex index = index_of({1e200, -1e200, 5, 3e200, -kInf});
  EXPECT_EQ(drain(index, 0.0), (Rows{2, 0, 1, 3, 4}));
}

TEST(column_index_test, infinite_thresholds_prefer_the_same_infinity) {
  ColumnIndex up = index_of({1, kInf, -kInf, kInf, 1e308});
  EXPECT_EQ(drain(up, kInf), (Rows{1, 3, 0, 2, 4}));
  ColumnIndex down = index_of({1, -kInf, kInf, -kInf});
  EXPECT_EQ(drain(down, -kInf), (Rows{1, 3, 0, 2}));
}

TEST(column_index_test, signed_zeros_are_one_value) {
  ColumnIndex index = index_of({1, 0.0, -0.0, -1, 0.0});
  EXPECT_EQ(drain(index, -0.0), (Rows{1, 2, 4, 0, 3}));
  ColumnIndex positive = index_of({-0.0, 2, 0.0});
  EXPECT_EQ(drain(positive, 1.0), (Rows{0, 1, 2}));
}

TEST(column_index_test, nan_cells_are_never_taken) {
  ColumnIndex index = index_of({kNaN, 4, kNegativeNaN, 1});
  EXPECT_EQ(drain(index, 0.0), (Rows{3, 1}));
  EXPECT_EQ(index.take_nearest(4.0), std::nullopt);
  ColumnIndex blank = index_of({kNaN, kNaN});
  EXPECT_EQ(blank.take_nearest(0.0), std::nullopt);
  ColumnIndex empty(nullptr, 0, 1, 0);
  EXPECT_EQ(empty.take_nearest(0.0), std::nullopt);
  EXPECT_TRUE(empty.sorted_values().empty());
}

TEST(column_index_test, a_column_outside_the_matrix_is_an_internal_failure) {
  const std::vector<double> matrix = {1, 2};
  EXPECT_THROW(ColumnIndex(matrix.data(), 1, 2, 2), InternalError);
}

// A value drawn to stress ties, overflow, zeros and infinities.
double draw_value(std::mt19937_64& random, unsigned palette) {
  switch (random() % 12) {
    case 0: return kInf;
    case 1: return -kInf;
    case 2: return (random() & 1) != 0 ? 1e200 : -1e200;
    case 3: return (random() & 1) != 0 ? 0.0 : -0.0;
    case 4: return (random() & 1) != 0 ? kNaN : kNegativeNaN;
    case 5: return std::ldexp(static_cast<double>(random() % 2001) - 1000.0, -3);
    // Subnormals: their squares underflow to zero and tie with the exact match.
    case 6: return std::ldexp(static_cast<double>(random() % 9), -1074);
    // Small integers, many of them equal.
    default: return static_cast<double>(random() % palette) - static_cast<double>(palette / 2);
  }
}

double draw_threshold(std::mt19937_64& random, const std::vector<double>& column) {
  const double a = column[random() % column.size()];
  const double b = column[random() % column.size()];
  switch (random() % 8) {
    case 0: return kInf;
    case 1: return -kInf;
    case 2: return (random() & 1) != 0 ? 0.0 : -0.0;
    case 3: return (a + b) * 0.5;
    case 4: return static_cast<double>(static_cast<int>(random() % 41) - 20) * 0.25;
    default: return std::isnan(a) ? 1.0 : a;
  }
}

TEST(column_index_test, matches_the_scan_until_the_column_is_exhausted) {
  const std::size_t lengths[] = {1, 2, 3, 5, 8, 16, 17, 33, 100, 257, 600, 1500};
  std::mt19937_64 random(20240611);
  for (int round = 0; round < 400; ++round) {
    const std::size_t rows = lengths[random() % std::size(lengths)];
    const std::size_t cols = 1 + random() % 3;
    const std::size_t column = random() % cols;
    const unsigned palette = 1 + static_cast<unsigned>(random() % 12);
    std::vector<double> matrix(rows * cols);
    for (double& value : matrix) value = draw_value(random, palette);

    // Then again with every threshold drawn up front and located at once.
    std::vector<double> original = matrix;
    std::vector<double> batch;
    while (batch.size() < rows + 1) {
      const double threshold = draw_threshold(random, original);
      if (!std::isnan(threshold)) batch.push_back(threshold);
    }
    for (const bool located : {false, true}) {
      matrix = original;
      ColumnIndex index(matrix.data(), rows, cols, column);
      const std::vector<std::uint32_t> positions = index.locate(batch);
      for (std::size_t i = 0;; ++i) {
        double threshold = located ? batch[i] : draw_threshold(random, matrix);
        if (!located && random() % 50 == 0) threshold = kNaN;
        const auto expected = nearest_by_scan(matrix.data(), rows, cols, column, threshold);
        const auto actual = located ? index.take_nearest(threshold, positions[i])
                                    : index.take_nearest(threshold);
        ASSERT_EQ(actual, expected) << "round " << round << ", threshold " << threshold;
        if (!expected) break;
        matrix[*expected * cols + column] = kNaN;
      }
      ASSERT_EQ(index.take_nearest(0.0), std::nullopt);
    }
  }
}

// Indexes built one after another on the buffers of the last, as a job
// builds them: a long column partly taken, then shorter ones with NaNs,
// infinities and ties in other ranges, each taken to the end and compared
// with a scan.
TEST(column_index_test, an_index_on_reused_storage_keeps_nothing_of_the_last_column) {
  std::mt19937_64 random(31);
  ColumnIndex::Storage storage;
  for (const std::size_t rows : {20000, 1500, 40, 3}) {
    std::vector<double> column(rows);
    for (double& value : column) {
      value = rows == 20000 ? static_cast<double>(random() >> 11) * 0x1p-40
                            : draw_value(random, 1 + static_cast<unsigned>(random() % 12)) - 50.0;
    }
    ColumnIndex index(column.data(), rows, 1, 0, std::move(storage));
    const std::size_t passes = rows == 20000 ? 500 : rows + 1;
    for (std::size_t pass = 0; pass < passes; ++pass) {
      // Beyond the column on either side, or inside it.
      const double threshold = pass % 3 == 0 ? 1e9 : pass % 3 == 1 ? -1e9 : draw_threshold(random, column);
      if (std::isnan(threshold)) continue;
      const auto expected = nearest_by_scan(column.data(), rows, 1, 0, threshold);
      ASSERT_EQ(index.take_nearest(threshold), expected) << rows << " rows, pass " << pass;
      if (!expected) break;
      column[*expected] = kNaN;
    }
    storage = std::move(index).release();
  }
}

}  // namespace
}  // namespace gapwright
