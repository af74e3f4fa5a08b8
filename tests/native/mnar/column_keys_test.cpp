#include "generators/mnar/kernels/column_keys.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::minmax
#include <bit>        // std::bit_cast
#include <cmath>    // std::copysign, std::nan
#include <cstdint>
#include <cstdlib>  // std::getenv
#include <limits>   // std::numeric_limits
#include <random>   // std::mt19937_64
#include <string>   // std::string, std::to_string
#include <string_view>
#include <utility>  // std::pair
#include <vector>

#include "generators/mnar/kernels/total_order.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Keys of values with ties, both zeros, NaNs of both signs, infinities and
// subnormals, `n` of them.
std::vector<std::uint64_t> awkward_keys(std::size_t n, std::uint64_t seed) {
  const std::vector<double> palette = {
      -kInf, kInf, std::nan(""), std::copysign(std::nan(""), -1.0), -0.0, 0.0, 1.5, -1.5,
      4.9e-324, -4.9e-324, 1e300, -1e300, 2.0, 2.0};
  std::mt19937_64 random(seed);
  std::vector<std::uint64_t> keys(n);
  for (auto& key : keys) key = total_order_ukey(palette[random() % palette.size()]);
  return keys;
}

TEST(column_keys_test, every_runnable_sweep_gives_the_portable_bits) {
  const auto& portable = detail::kPortableKeySweeps;
  for (const detail::KeySweeps* sweeps : detail::runnable_key_sweeps()) {
    for (std::size_t n = 1; n <= 41; ++n) {
      for (const double centre : {0.0, -0.0, 1.5, -1e300, 3e-320}) {
        std::vector<std::uint64_t> expected = awkward_keys(n, n);
        std::vector<std::uint64_t> got = expected;
        const KeyBounds want = portable.bounds_of(expected.data(), n);
        const KeyBounds have = sweeps->bounds_of(got.data(), n);
        ASSERT_EQ(have.lowest, want.lowest) << sweeps->name << " n=" << n;
        ASSERT_EQ(have.highest, want.highest) << sweeps->name << " n=" << n;
        portable.to_distance_keys(expected.data(), n, centre);
        sweeps->to_distance_keys(got.data(), n, centre);
        ASSERT_EQ(got, expected) << sweeps->name << " n=" << n << " centre " << centre;
      }
    }
  }
}

TEST(column_keys_test, every_runnable_build_keeps_the_keys_the_portable_one_keeps) {
  const auto& portable = detail::kPortableKeySweeps;
  for (const detail::KeySweeps* sweeps : detail::runnable_key_sweeps()) {
    for (std::size_t n = 1; n <= 41; ++n) {
      const std::vector<std::uint64_t> keys = awkward_keys(n, n);
      const auto [middle_low, middle_high] = std::minmax(keys[n / 2], keys[0]);
      for (const auto& [low, high] : {std::pair{keys[0], keys[0]}, std::pair{middle_low, middle_high},
                                      std::pair{std::uint64_t{0}, ~std::uint64_t{0}},
                                      std::pair{keys[n - 1], ~std::uint64_t{0}}}) {
        std::vector<std::uint64_t> want(n + kKeepSlack);
        const KeptKeys expected = portable.keep_between(keys.data(), n, low, high, want.data());
        std::vector<std::uint64_t> got(n + kKeepSlack);
        const KeptKeys have = sweeps->keep_between(keys.data(), n, low, high, got.data());
        std::vector<std::uint64_t> in_place = keys;
        in_place.resize(n + kKeepSlack);
        const KeptKeys have_in_place = sweeps->keep_between(in_place.data(), n, low, high, in_place.data());
        ASSERT_EQ(have.kept, expected.kept) << sweeps->name << " n=" << n;
        ASSERT_EQ(have.below, expected.below) << sweeps->name << " n=" << n;
        ASSERT_EQ(have_in_place.kept, expected.kept) << sweeps->name << " n=" << n;
        want.resize(expected.kept);
        got.resize(expected.kept);
        in_place.resize(expected.kept);
        EXPECT_EQ(got, want) << sweeps->name << " n=" << n;
        EXPECT_EQ(in_place, want) << sweeps->name << " n=" << n;
      }
    }
  }
}

// Windows over a row-major table of awkward values: one that keeps every
// key, narrow ones, one too small for its keys (it closes) and closed ones.
TEST(column_keys_test, every_runnable_build_sweeps_rows_as_the_portable_one_does) {
  const auto& portable = detail::kPortableKeySweeps;
  const std::size_t rows = 37;
  const std::size_t cols = 19;
  std::vector<double> matrix(rows * cols);
  const std::vector<std::uint64_t> keys = awkward_keys(rows * cols, 5);
  for (std::size_t i = 0; i < keys.size(); ++i) matrix[i] = from_total_order_ukey(keys[i]);
  const auto windows_for = [&](std::size_t size, std::vector<std::vector<std::uint64_t>>& kept) {
    std::vector<RowWindow> windows(size);
    kept.assign(size, std::vector<std::uint64_t>(rows));
    for (std::size_t g = 0; g < size; ++g) {
      const std::uint64_t low = g % 4 == 0 ? 0 : keys[g * 7];
      const std::uint64_t width = g % 4 == 0 ? ~std::uint64_t{0} : keys[g * 5] >> (g % 3 * 20);
      windows[g] = RowWindow{g % 5 != 4, low, width, 0, kept[g].data(), 0, g == 3 ? 2 : rows};
    }
    return windows;
  };
  for (const detail::KeySweeps* sweeps : detail::runnable_key_sweeps()) {
    // Copies take any number of columns, in sweeps of several blocks.
    for (const std::size_t size : {1U, 2U, 3U, 6U, 16U, 18U, 19U}) {
      const std::size_t first = cols - size;
      std::vector<std::uint64_t> want_keys(rows * size);
      std::vector<std::uint64_t> have_keys(rows * size);
      std::vector<KeyBounds> want_bounds(size);
      std::vector<KeyBounds> have_bounds(size);
      portable.copy_value_keys(matrix.data(), rows, cols, first, size, want_keys.data(), want_bounds.data());
      sweeps->copy_value_keys(matrix.data(), rows, cols, first, size, have_keys.data(), have_bounds.data());
      ASSERT_EQ(have_keys, want_keys) << sweeps->name << " size " << size;
      for (std::size_t g = 0; g < size; ++g) {
        ASSERT_EQ(have_bounds[g].lowest, want_bounds[g].lowest) << sweeps->name << " copy, column " << g;
        ASSERT_EQ(have_bounds[g].highest, want_bounds[g].highest) << sweeps->name << " copy, column " << g;
      }
    }
    for (const std::size_t size : {1U, 7U, 8U, 9U, 16U}) {
      for (const bool distances : {false, true}) {
        const std::size_t first = cols - size;
        std::vector<double> centres(size, 1.5);
        // Distance windows see only finite values, as the search gives them.
        std::vector<double> table = matrix;
        if (distances) {
          for (double& cell : table) cell = std::isfinite(cell) ? cell : 2.0;
        }
        std::vector<std::vector<std::uint64_t>> want_kept;
        std::vector<std::vector<std::uint64_t>> have_kept;
        std::vector<RowWindow> want = windows_for(size, want_kept);
        std::vector<RowWindow> have = windows_for(size, have_kept);
        std::vector<KeyBounds> want_bounds(size);
        std::vector<KeyBounds> have_bounds(size);
        if (distances) {
          portable.sweep_distance_windows(table.data(), rows, cols, first, size, centres.data(), want.data());
          sweeps->sweep_distance_windows(table.data(), rows, cols, first, size, centres.data(), have.data());
        } else {
          portable.sweep_value_windows(table.data(), rows, cols, first, size, want.data(), want_bounds.data());
          sweeps->sweep_value_windows(table.data(), rows, cols, first, size, have.data(), have_bounds.data());
        }
        for (std::size_t g = 0; g < size; ++g) {
          const auto where = [&] { return std::string(sweeps->name) + " size " + std::to_string(size) + " column " + std::to_string(g); };
          if (!distances) {
            ASSERT_EQ(have_bounds[g].lowest, want_bounds[g].lowest) << where();
            ASSERT_EQ(have_bounds[g].highest, want_bounds[g].highest) << where();
          }
          ASSERT_EQ(have[g].open, want[g].open) << where();
          ASSERT_EQ(have[g].count, want[g].count) << where();
          if (!want[g].open) continue;
          ASSERT_EQ(have[g].below, want[g].below) << where();
          have_kept[g].resize(have[g].count);
          want_kept[g].resize(want[g].count);
          EXPECT_EQ(have_kept[g], want_kept[g]) << where();
        }
      }
    }
  }
}

TEST(column_keys_test, every_runnable_build_blanks_and_watches_as_the_portable_one_does) {
  const auto& portable = detail::kPortableKeySweeps;
  const std::size_t rows = 29;
  const std::size_t cols = 21;
  std::vector<double> matrix(rows * cols);
  const std::vector<std::uint64_t> keys = awkward_keys(rows * cols, 9);
  for (std::size_t i = 0; i < keys.size(); ++i) matrix[i] = from_total_order_ukey(keys[i]);
  const auto bits_of = [](const std::vector<double>& cells) {
    std::vector<std::uint64_t> bits(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) bits[i] = std::bit_cast<std::uint64_t>(cells[i]);
    return bits;
  };
  for (const detail::KeySweeps* sweeps : detail::runnable_key_sweeps()) {
    for (const std::size_t size : {1U, 3U, 4U, 5U, 6U, 8U, 11U, 17U}) {
      // Columns on both sides of the group, which must keep their cells.
      const std::size_t first = (cols - size) / 2;
      std::vector<double> centres(size);
      std::vector<double> below(size);
      std::vector<double> from(size);
      std::vector<double> to(size);
      for (std::size_t g = 0; g < size; ++g) {
        centres[g] = g % 3 == 0 ? 1.5 : -0.0;
        below[g] = g % 4 == 3 ? 0.0 : (g % 2 == 0 ? 4.0 : kInf);
        from[g] = g % 5 == 4 ? kInf : below[g];
        to[g] = g % 5 == 4 ? -kInf : 1e300;
      }
      const BlankLimits limits{centres.data(), below.data(), from.data(), to.data()};
      for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, rows}, {3, 4}, {5, 23}}) {
        std::vector<double> want = matrix;
        std::vector<double> have = matrix;
        std::vector<std::uint32_t> want_watched(kBlankRows);
        std::vector<std::uint32_t> have_watched(kBlankRows);
        want_watched.resize(portable.blank_nearer(want.data(), cols, first, size, begin, end, limits, want_watched.data()));
        have_watched.resize(sweeps->blank_nearer(have.data(), cols, first, size, begin, end, limits, have_watched.data()));
        const std::string where = std::string(sweeps->name) + " size " + std::to_string(size) + " rows from " + std::to_string(begin);
        ASSERT_EQ(bits_of(have), bits_of(want)) << where;
        ASSERT_EQ(have_watched, want_watched) << where;
        // The reference itself: cells outside the group and the rows are untouched.
        for (std::size_t r = 0; r < rows; ++r) {
          for (std::size_t c = 0; c < cols; ++c) {
            if (r >= begin && r < end && c >= first && c < first + size) continue;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(want[r * cols + c]), std::bit_cast<std::uint64_t>(matrix[r * cols + c])) << where;
          }
        }
      }
    }
  }
}

TEST(column_keys_test, the_widest_runnable_sweep_is_chosen_once) {
  const auto runnable = detail::runnable_key_sweeps();
  EXPECT_EQ(runnable.front(), &detail::kPortableKeySweeps);
  const detail::KeySweeps& chosen = detail::chosen_key_sweeps();
  const char* forced = std::getenv("GAPWRIGHT_KERNELS");
  const detail::KeySweeps* expected = runnable.back();
  for (const detail::KeySweeps* sweeps : runnable) {
    if (forced != nullptr && std::string_view(forced) == sweeps->name) expected = sweeps;
  }
  EXPECT_EQ(&chosen, expected);
  EXPECT_EQ(&detail::chosen_key_sweeps(), &chosen);
#if GAPWRIGHT_X86_64_REFILLS
  EXPECT_EQ(runnable.size(), 1U + (__builtin_cpu_supports("avx2") ? 1U : 0U) +
                                 (__builtin_cpu_supports("avx512f") ? 1U : 0U));
#endif
}

}  // namespace
}  // namespace gapwright
