#include "generators/mnar/select/key_select.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::lower_bound, std::minmax_element, std::sort
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <iterator>   // std::size
#include <random>     // std::mt19937_64
#include <vector>

namespace gapwright {
namespace {

constexpr int kKinds = 5;

// Keys spread over the whole range, clustered in a narrow one (many rounds
// of narrowing), drawn from a few values (runs of equal keys), from two
// values (a rank at their boundary keeps every key in the sample's bracket),
// and spread but for one value wherever an evenly spread sample looks (the
// sample misleads and radix selection takes over).
std::vector<std::uint64_t> keys_of_kind(int kind, std::size_t n, std::mt19937_64& gen) {
  std::vector<std::uint64_t> keys(n);
  for (std::uint64_t& key : keys) {
    const std::uint64_t word = gen();
    key = kind == 1 ? 0x4000000000000000ULL + (word >> 40)
        : kind == 2 ? (word % 5) << 61
        : kind == 3 ? (word & 1) << 40
                    : word;
  }
  if (kind == 4) {
    for (std::size_t step = 1; step < 2 * n; step += 2) {
      for (const std::size_t sample : {std::size_t{256}, std::size_t{512}}) {
        if (step < 2 * sample) keys[step * n / (2 * sample)] = 7;
      }
    }
  }
  return keys;
}

// Leaves garbage where the next call's locals will lie, so that a count
// the selection forgets to clear cannot pass by finding zeros there.
[[gnu::noinline]] void dirty_stack(std::uint64_t seed) {
  volatile std::uint32_t garbage[std::size_t{1} << 16];
  for (std::size_t i = 0; i < std::size(garbage); ++i) garbage[i] = static_cast<std::uint32_t>(seed * (i + 1));
}

TEST(key_select_test, adjacent_ranks_match_a_sort) {
  std::mt19937_64 gen(3);
  ReusedBuffer<std::uint64_t> scratch;
  for (int kind = 0; kind < kKinds; ++kind) {
    for (const std::size_t n : {1U, 2U, 600U, 20000U, 150000U}) {
      const std::vector<std::uint64_t> keys = keys_of_kind(kind, n, gen);
      std::vector<std::uint64_t> sorted = keys;
      std::sort(sorted.begin(), sorted.end());
      for (int round = 0; round < 20; ++round) {
        const std::uint64_t rank = gen() % n;
        const bool with_next = rank + 1 < n && round % 4 != 0;
        // The scratch and the stack hold what another column left.
        std::uint64_t* const held = scratch.at_least(2 * n + 64);
        for (std::size_t i = 0; i < 2 * n + 64; ++i) held[i] = gen();
        dirty_stack(gen() | 1);
        const AdjacentRanks found =
            select_adjacent(keys, rank, with_next, scratch);
        const auto below = [&](std::uint64_t key) {
          return static_cast<std::uint64_t>(std::lower_bound(sorted.begin(), sorted.end(), key) - sorted.begin());
        };
        ASSERT_EQ(found.at.key, sorted[rank]) << kind << ", " << n << " keys, rank " << rank;
        ASSERT_EQ(found.at.below, below(sorted[rank]));
        if (with_next) {
          ASSERT_EQ(found.next.key, sorted[rank + 1]) << kind << ", " << n << " keys, rank " << rank;
          ASSERT_EQ(found.next.below, below(sorted[rank + 1]));
        }
      }
    }
  }
}

// Small sizes come from the allocator, large ones from mapped pages; either
// way the buffer keeps what it holds until it must grow.
TEST(key_select_test, a_reused_buffer_grows_only_when_asked_for_more) {
  ReusedBuffer<std::uint64_t> buffer;
  for (const std::size_t size : {std::size_t{10}, std::size_t{5} << 20}) {
    std::uint64_t* const data = buffer.at_least(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = i * 3;
    EXPECT_EQ(buffer.at_least(size / 2), data);
    EXPECT_EQ(data[size - 1], (size - 1) * 3);
  }
}

TEST(key_select_test, rank_of_row_orders_ties_by_row) {
  const std::vector<std::uint64_t> keys = {5, 3, 5, 1, 5};
  const std::vector<std::uint64_t> ranks = {2, 1, 3, 0, 4};
  for (std::size_t row = 0; row < keys.size(); ++row) EXPECT_EQ(rank_of_row(keys, row), ranks[row]);
}

}  // namespace
}  // namespace gapwright
