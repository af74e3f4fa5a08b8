// Order statistics of 64-bit keys that lie one after another in memory.
//
// Radix selection: a round counts the keys by the 11 bits below the highest
// bit in which the round's smallest and largest keys differ, and keeps only
// the bucket that holds the wanted rank; a short or uniform bucket ends it.
// The histograms are 8 KB, so that short columns do not pay for clearing
// large ones, and runs of equal keys count into four histograms in turn
// rather than wait on one counter.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint64_t
#include <memory>   // std::unique_ptr
#include <span>     // std::span

namespace gapwright {

// A key found at a rank.
struct Rank {
  std::uint64_t key = 0;    // the key at the rank
  std::uint64_t below = 0;  // how many keys are smaller
};

// Memory that grows to the largest size asked of it and is reused after
// that, never cleared: whoever asks for it overwrites what it reads.
template <typename T>
class ReusedBuffer {
 public:
  T* at_least(std::size_t size) {
    if (size > capacity_) {
      data_.reset();
      data_ = std::make_unique_for_overwrite<T[]>(size);
      capacity_ = size;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
};

// The keys of rank `rank` and of rank + 1, ascending.
struct AdjacentRanks {
  Rank at;
  Rank next;  // only when asked for
};

// Selects rank `rank` of `keys` and, when `with_next`, rank + 1 too (which
// must then be below keys.size()). `lowest` and `highest` are the smallest
// and largest keys. `scratch` holds the buckets narrowed down to.
AdjacentRanks select_adjacent(std::span<const std::uint64_t> keys, std::uint64_t lowest,
                              std::uint64_t highest, std::uint64_t rank, bool with_next,
                              ReusedBuffer<std::uint64_t>& scratch);

// The rank of row `row` of `keys` (in row order) by (key, row): the keys
// below its key, and the equal ones in lower rows.
std::uint64_t rank_of_row(std::span<const std::uint64_t> keys, std::size_t row) noexcept;

}  // namespace gapwright
