// RadixSelect: order statistics of 64-bit keys by histogram narrowing.
//
// The keys are never stored: `key_of(row)` recomputes a row's key on every
// pass, so a column of the matrix is selected from where it lies, with
// scratch the size of a histogram and of one bucket. Each round counts the
// next 16 bits of the keys that share the prefix found so far; once the
// bucket holding the wanted rank is small it is collected and selected
// directly. Typical data needs one counting pass and one collecting pass.
#pragma once

#include "generators/mnar/select/key_select.h"  // Rank

#include <algorithm>  // std::max, std::nth_element
#include <array>      // std::array
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <vector>     // std::vector

namespace gapwright {

inline constexpr unsigned kDigitBits = 16;
inline constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
using DigitCounts = std::array<std::uint32_t, kDigits>;

constexpr std::size_t top_digit(std::uint64_t key) noexcept {
  return static_cast<std::size_t>(key >> (64 - kDigitBits));
}

// KeyOf: std::uint64_t(std::size_t row).
template <typename KeyOf>
class RadixSelect {
 public:
  // `top` holds the counts of top_digit over all rows (the caller makes them
  // in a pass of its own); `scratch` is a histogram to reuse.
  RadixSelect(KeyOf key_of, std::size_t rows, const DigitCounts& top, DigitCounts& scratch)
      : key_of_(key_of), rows_(rows), top_(top), scratch_(scratch),
        collect_limit_(std::max<std::size_t>(kDigits, rows / 32)) {}

  // The key of rank `rank` (0-based, below rows) in ascending order.
  Rank at(std::uint64_t rank) {
    const DigitCounts* counts = &top_;
    std::uint64_t prefix = 0;
    unsigned fixed = 0;  // top bits shared by the keys counted
    std::uint64_t base = 0;
    while (true) {
      std::size_t digit = 0;
      while (rank >= base + (*counts)[digit]) base += (*counts)[digit++];
      const std::uint64_t count = (*counts)[digit];
      prefix = (prefix << kDigitBits) | digit;
      fixed += kDigitBits;
      // Every key of a bucket at full depth is the same key.
      if (fixed == 64) return Rank{prefix, base};
      if (count <= collect_limit_) return select_in(prefix, fixed, base, rank);
      count_within(prefix, fixed);
      counts = &scratch_;
    }
  }

 private:
  bool shares(std::uint64_t key, std::uint64_t prefix, unsigned fixed) const noexcept {
    return (key >> (64 - fixed)) == prefix;
  }

  void count_within(std::uint64_t prefix, unsigned fixed) {
    scratch_.fill(0);
    const unsigned shift = 64 - fixed - kDigitBits;
    for (std::size_t row = 0; row < rows_; ++row) {
      const std::uint64_t key = key_of_(row);
      if (shares(key, prefix, fixed)) ++scratch_[(key >> shift) & (kDigits - 1)];
    }
  }

  // Selects among the keys of one bucket, collecting them once for every
  // rank asked of the same bucket.
  Rank select_in(std::uint64_t prefix, unsigned fixed, std::uint64_t base, std::uint64_t rank) {
    if (!collected_ || prefix != collected_prefix_ || fixed != collected_fixed_) {
      bucket_.clear();
      for (std::size_t row = 0; row < rows_; ++row) {
        const std::uint64_t key = key_of_(row);
        if (shares(key, prefix, fixed)) bucket_.push_back(key);
      }
      collected_ = true;
      collected_prefix_ = prefix;
      collected_fixed_ = fixed;
    }
    const auto nth = bucket_.begin() + static_cast<std::ptrdiff_t>(rank - base);
    std::nth_element(bucket_.begin(), nth, bucket_.end());
    // Everything before nth is no larger; count the smaller ones.
    std::uint64_t smaller = 0;
    for (auto it = bucket_.begin(); it != nth; ++it) smaller += *it < *nth ? 1 : 0;
    return Rank{*nth, base + smaller};
  }

  KeyOf key_of_;
  std::size_t rows_;
  const DigitCounts& top_;
  DigitCounts& scratch_;
  std::size_t collect_limit_;
  std::vector<std::uint64_t> bucket_;
  bool collected_ = false;
  std::uint64_t collected_prefix_ = 0;
  unsigned collected_fixed_ = 0;
};

}  // namespace gapwright
