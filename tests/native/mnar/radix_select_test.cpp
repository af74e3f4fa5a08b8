#include "generators/mnar/select/radix_select.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::lower_bound, std::sort
#include <cstdint>    // std::uint64_t
#include <random>     // std::mt19937_64
#include <vector>     // std::vector

namespace gapwright {
namespace {

// Keys crowded into one top digit, a few apart (rounds down to the last
// digit), or in two top digits with long runs of equal keys; the ranks are
// asked in no order, several of them in the same bucket.
TEST(radix_select_test, ranks_match_a_sort_whatever_the_scratch_held) {
  std::mt19937_64 gen(5);
  for (const bool runs : {false, true}) {
    const std::size_t n = 200000;
    std::vector<std::uint64_t> keys(n);
    for (std::uint64_t& key : keys) {
      key = runs ? (gen() % 2 == 0 ? 0x3FF0000000000000ULL : 0x4000000000000000ULL + gen() % 7)
                 : 0x3FF0000000000000ULL + (gen() % n) * 3;
    }
    std::vector<std::uint64_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    DigitCounts top{};
    for (const std::uint64_t key : keys) ++top[top_digit(key)];
    // Histograms are reused between columns: this one holds another's counts.
    DigitCounts scratch;
    for (std::uint32_t& count : scratch) count = static_cast<std::uint32_t>(gen());
    const auto key_of = [&keys](std::size_t row) { return keys[row]; };
    RadixSelect select(key_of, n, top, scratch);
    for (const std::uint64_t rank : {n / 2, std::uint64_t{0}, n - 1, n / 2 + 1, n / 3, n / 2 - 1}) {
      const Rank found = select.at(rank);
      const auto below = std::lower_bound(sorted.begin(), sorted.end(), sorted[rank]) - sorted.begin();
      ASSERT_EQ(found.key, sorted[rank]) << (runs ? "runs" : "crowd") << ", rank " << rank;
      ASSERT_EQ(found.below, static_cast<std::uint64_t>(below)) << "rank " << rank;
    }
  }
}

}  // namespace
}  // namespace gapwright
