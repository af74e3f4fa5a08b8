// The selection stage: takes 64-bit keys and gives the keys at given ranks,
// from keys in memory (this file) or recomputed where they lie
// (radix_select.h).
//
// Order statistics of 64-bit keys that lie one after another in memory.
//
// A round takes an evenly spread sample of the keys, sorts it, and keeps
// only the keys between two sample keys that bracket the wanted rank with
// a margin, in one branch-free sweep (vectorised where the processor
// allows); a few rounds bring a column of a million keys down to a few
// hundred. Radix selection takes over from there, or where a sample
// misleads (the rank falls outside its bracket, or the bracket keeps most
// keys): its rounds count the keys by up to 11 bits below the highest bit
// in which the smallest and largest keys differ and keep the bucket of the
// wanted rank, down to a handful of keys, which a comparison selection
// finishes (on more keys its branches cost more than rounds). Its histograms are at most 8 KB, with
// about a quarter as many counts as keys, so that short columns do not pay
// for clearing large ones, and runs of equal keys count into four
// histograms in turn rather than wait on one counter.
#pragma once

#include "runtime/page_block.h"

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
// that, never cleared: whoever asks for it overwrites what it reads. Sizes
// from 32 MiB on are mapped as a PageBlock: glibc's allocator maps blocks
// that large afresh on every call, page by page, where smaller ones it
// comes to keep for reuse once they are freed, which costs nothing at all.
template <typename T>
class ReusedBuffer {
 public:
  T* at_least(std::size_t size) {
    if (size > capacity_) {
      small_.reset();
      large_ = PageBlock();
      data_ = nullptr;
      capacity_ = 0;
      if (size >= kLargeBytes / sizeof(T)) {
        large_ = PageBlock(size * sizeof(T));
        data_ = static_cast<T*>(large_.data());
      } else {
        small_ = std::make_unique_for_overwrite<T[]>(size);
        data_ = small_.get();
      }
      capacity_ = size;
    }
    return data_;
  }

 private:
  static constexpr std::size_t kLargeBytes = std::size_t{1} << 25;

  std::unique_ptr<T[]> small_;
  PageBlock large_;
  T* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// The keys of rank `rank` and of rank + 1, ascending.
struct AdjacentRanks {
  Rank at;
  Rank next;  // only when asked for
};

// Selects rank `rank` of `keys` (not empty) and, when `with_next`, rank + 1
// too (which must then be below keys.size()). `scratch` holds the keys
// narrowed down to.
AdjacentRanks select_adjacent(std::span<const std::uint64_t> keys, std::uint64_t rank,
                              bool with_next, ReusedBuffer<std::uint64_t>& scratch);

// Row i of an evenly spread sample of `size` rows out of n.
constexpr std::size_t sample_row(std::size_t i, std::size_t size, std::size_t n) noexcept {
  return (2 * i + 1) * n / (2 * size);
}

// Two keys between which some ranks of a set of keys most likely lie.
struct Bracket {
  std::uint64_t low;
  std::uint64_t high;
};

// Brackets ranks `rank` to `last` (inclusive) of n keys by `sample`, an
// evenly spread sample of them, which it sorts: the sample keys `margin`
// places before and after the ranks' expected places, or the ends of the
// key range where the sample has none to spare.
Bracket bracket_from_sample(std::span<std::uint64_t> sample, std::size_t n, std::uint64_t rank,
                            std::uint64_t last, std::size_t margin);

// The rank of row `row` of `keys` (in row order) by (key, row): the keys
// below its key, and the equal ones in lower rows.
std::uint64_t rank_of_row(std::span<const std::uint64_t> keys, std::size_t row) noexcept;

}  // namespace gapwright
