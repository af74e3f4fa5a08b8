#include "generators/mnar/select/key_select.h"

#include "generators/mnar/kernels/column_keys.h"

#include <algorithm>  // std::clamp, std::copy, std::fill_n, std::min_element, std::nth_element, std::sort
#include <array>      // std::array
#include <bit>        // std::bit_width

namespace gapwright {
namespace {

constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kLanes = 4;
// Up to this many keys a comparison selection beats another round: on a few
// dozen its mispredicted branches already cost more than a round.
constexpr std::size_t kCompareAtMost = 8;

using Counts = std::array<std::uint32_t, kBuckets>;

// The buckets of one round: keys from `lowest` on, 2^shift keys a bucket,
// and about a quarter as many buckets as there are keys, at most kBuckets:
// a short run clears and sums few counts.
struct Digit {
  std::uint64_t lowest;
  unsigned shift;
  std::size_t buckets;

  Digit(std::uint64_t lowest, std::uint64_t highest, std::size_t n) noexcept
      : lowest(lowest), shift(shift_for(highest - lowest, n)),
        buckets(static_cast<std::size_t>((highest - lowest) >> shift) + 1) {}

  std::size_t of(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key - lowest) >> shift);
  }

  static unsigned shift_for(std::uint64_t span, std::size_t n) noexcept {
    const auto width = static_cast<unsigned>(std::bit_width(span));
    const unsigned bits = std::clamp(static_cast<unsigned>(std::bit_width(n)), 3U, kDigitBits + 2) - 2;
    return width > bits ? width - bits : 0U;
  }
};

// Counts the keys of each of the digit's buckets into `counts`; those past
// digit.buckets are left as they are.
void count_digits(std::span<const std::uint64_t> keys, const Digit& digit, Counts& counts) noexcept {
  std::array<Counts, kLanes - 1> more;
  std::fill_n(counts.begin(), digit.buckets, 0U);
  for (Counts& lane : more) std::fill_n(lane.begin(), digit.buckets, 0U);
  std::size_t i = 0;
  for (; i + kLanes <= keys.size(); i += kLanes) {
    ++counts[digit.of(keys[i])];
    for (std::size_t lane = 1; lane < kLanes; ++lane) ++more[lane - 1][digit.of(keys[i + lane])];
  }
  for (; i < keys.size(); ++i) ++counts[digit.of(keys[i])];
  for (const Counts& lane : more) {
    for (std::size_t b = 0; b < digit.buckets; ++b) counts[b] += lane[b];
  }
}

AdjacentRanks shifted(AdjacentRanks found, std::uint64_t base) noexcept {
  return AdjacentRanks{Rank{found.at.key, base + found.at.below},
                       Rank{found.next.key, base + found.next.below}};
}

// Rank `rank` (and rank + 1) among a few keys, which it reorders; `base`
// keys lie below all of them.
AdjacentRanks by_comparison(std::span<std::uint64_t> keys, std::uint64_t base,
                            std::uint64_t rank, bool with_next) {
  const auto nth = keys.begin() + static_cast<std::ptrdiff_t>(rank);
  std::nth_element(keys.begin(), nth, keys.end());
  std::uint64_t smaller = 0;
  for (auto it = keys.begin(); it != nth; ++it) smaller += *it < *nth ? 1 : 0;
  AdjacentRanks found{Rank{*nth, base + smaller}, Rank{}};
  if (with_next) {
    const std::uint64_t after = *std::min_element(nth + 1, keys.end());
    found.next = after == found.at.key ? found.at : Rank{after, base + rank + 1};
  }
  return found;
}

// When rank and rank + 1 fall into different buckets, the first is the
// largest key of its bucket and the second the smallest of the next
// non-empty one: one sweep finds both.
AdjacentRanks across_buckets(std::span<const std::uint64_t> keys, const Digit& digit,
                             std::size_t bucket, std::size_t next_bucket, std::uint64_t after) {
  std::uint64_t largest = 0;
  std::uint64_t at_largest = 0;
  std::uint64_t smallest = ~std::uint64_t{0};
  for (const std::uint64_t key : keys) {
    const std::size_t b = digit.of(key);
    if (b == bucket) {
      at_largest = key == largest ? at_largest + 1 : (key > largest ? 1 : at_largest);
      largest = key > largest ? key : largest;
    } else if (b == next_bucket && key < smallest) {
      smallest = key;
    }
  }
  return AdjacentRanks{Rank{largest, after - at_largest}, Rank{smallest, after}};
}

// Copies the keys of one bucket to `to` (which may be where they are: no
// key is written ahead of where it is read); returns how many and their
// smallest and largest.
struct Narrowed {
  std::size_t size;
  std::uint64_t lowest;
  std::uint64_t highest;
};

Narrowed keep_bucket(std::span<const std::uint64_t> keys, const Digit& digit, std::size_t bucket,
                     std::uint64_t* to) noexcept {
  Narrowed kept{0, ~std::uint64_t{0}, 0};
  for (const std::uint64_t key : keys) {
    if (digit.of(key) != bucket) continue;
    to[kept.size++] = key;
    kept.lowest = key < kept.lowest ? key : kept.lowest;
    kept.highest = key > kept.highest ? key : kept.highest;
  }
  return kept;
}

// Ranks relative to `keys`, by radix selection; `narrowed` has room for
// keys.size() keys and may be where they are.
AdjacentRanks radix_select(std::span<const std::uint64_t> keys, std::uint64_t rank,
                           bool with_next, std::uint64_t* narrowed) {
  const KeyBounds bounds = bounds_of(keys.data(), keys.size());
  std::uint64_t lowest = bounds.lowest;
  std::uint64_t highest = bounds.highest;
  std::uint64_t base = 0;
  while (true) {
    if (lowest == highest) return AdjacentRanks{Rank{lowest, base}, Rank{lowest, base}};
    if (keys.size() <= kCompareAtMost) {
      if (keys.data() != narrowed) std::copy(keys.begin(), keys.end(), narrowed);
      return by_comparison(std::span(narrowed, keys.size()), base, rank, with_next);
    }
    const Digit digit(lowest, highest, keys.size());
    Counts counts;
    count_digits(keys, digit, counts);
    std::size_t bucket = 0;
    std::uint64_t below = 0;
    while (rank >= below + counts[bucket]) below += counts[bucket++];
    const std::uint64_t after = below + counts[bucket];
    if (with_next && rank + 1 == after) {
      std::size_t next_bucket = bucket + 1;
      while (counts[next_bucket] == 0) ++next_bucket;
      const AdjacentRanks found = across_buckets(keys, digit, bucket, next_bucket, after);
      return shifted(found, base);
    }
    const Narrowed kept = keep_bucket(keys, digit, bucket, narrowed);
    keys = std::span<const std::uint64_t>(narrowed, kept.size);
    base += below;
    rank -= below;
    lowest = kept.lowest;
    highest = kept.highest;
  }
}

// Sample keys per round, and how far past the rank's expected place in the
// sorted sample the bracket reaches on each side: about three standard
// deviations of that place, so that a sample seldom misleads.
constexpr std::size_t kSampleKeys = 256;
constexpr std::size_t kSampleMargin = 24;
// Below this many keys the sample's sort costs more than the radix
// rounds it saves.
constexpr std::size_t kSampleAtLeast = std::size_t{1} << 14;

Bracket bracket_of(std::span<const std::uint64_t> keys, std::uint64_t rank, std::uint64_t last) {
  const std::size_t n = keys.size();
  std::array<std::uint64_t, kSampleKeys> sample;
  for (std::size_t i = 0; i < kSampleKeys; ++i) sample[i] = keys[sample_row(i, kSampleKeys, n)];
  return bracket_from_sample(sample, n, rank, last, kSampleMargin);
}

}  // namespace

AdjacentRanks select_adjacent(std::span<const std::uint64_t> keys, std::uint64_t rank,
                              bool with_next, ReusedBuffer<std::uint64_t>& scratch) {
  // A round's kept keys go to one half of the scratch and the next round's
  // to the other, so that a round whose sample misleads still has its keys
  // for the radix selection. Only the first round may keep more than half
  // of the column.
  const std::size_t n = keys.size();
  std::uint64_t* const first_half = scratch.at_least(n + n / 2 + 2 * kKeepSlack);
  std::uint64_t* const second_half = first_half + n + kKeepSlack;
  std::uint64_t* to = first_half;
  std::uint64_t base = 0;
  while (keys.size() >= kSampleAtLeast) {
    const std::uint64_t last = rank + (with_next ? 1 : 0);
    const Bracket bracket = bracket_of(keys, rank, last);
    const KeptKeys kept = keep_between(keys.data(), keys.size(), bracket.low, bracket.high, to);
    if (rank < kept.below || last >= kept.below + kept.kept || 2 * kept.kept > keys.size()) {
      return shifted(radix_select(keys, rank, with_next, to), base);
    }
    base += kept.below;
    rank -= kept.below;
    if (bracket.low == bracket.high) {
      return AdjacentRanks{Rank{bracket.low, base}, Rank{bracket.low, base}};
    }
    keys = std::span<const std::uint64_t>(to, kept.kept);
    to = to == first_half ? second_half : first_half;
  }
  return shifted(radix_select(keys, rank, with_next, to), base);
}

Bracket bracket_from_sample(std::span<std::uint64_t> sample, std::size_t n, std::uint64_t rank,
                            std::uint64_t last, std::size_t margin) {
  const std::size_t size = sample.size();
  std::sort(sample.begin(), sample.end());
  const auto place = [n, size](std::uint64_t r) { return static_cast<std::size_t>(r * size / n); };
  const std::size_t first = place(rank);
  const std::size_t after = place(last);
  return Bracket{first >= margin ? sample[first - margin] : 0,
                 after + margin < size ? sample[after + margin] : ~std::uint64_t{0}};
}

std::uint64_t rank_of_row(std::span<const std::uint64_t> keys, std::size_t row) noexcept {
  const std::uint64_t own = keys[row];
  std::uint64_t rank = 0;
  for (std::size_t i = 0; i < row; ++i) rank += keys[i] <= own ? 1 : 0;
  for (std::size_t i = row; i < keys.size(); ++i) rank += keys[i] < own ? 1 : 0;
  return rank;
}

}  // namespace gapwright
