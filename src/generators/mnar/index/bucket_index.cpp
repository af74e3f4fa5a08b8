#include "generators/mnar/index/bucket_index.h"

#include "generators/mnar/kernels/total_order.h"
#include "runtime/page_block.h"

#include <algorithm>  // std::clamp, std::copy, std::copy_n, std::max, std::min, std::nth_element, std::partition_point, std::upper_bound
#include <array>      // std::array
#include <bit>        // std::bit_cast, std::bit_width, std::countl_zero, std::countr_zero
#include <cmath>      // std::isfinite

namespace gapwright {
namespace {

// Cells per value range on average: most ranges are buckets as they are.
// A column too long for a core's cache takes wider ranges, which halve its
// bucket records and range starts for a slightly longer scan of a bucket.
constexpr std::size_t kCellsPerRange = 4;
constexpr std::size_t kCellsPerLongRange = 8;
constexpr std::size_t kLongColumn = std::size_t{1} << 18;
// Values whose bounds bound the value ranges, at most about.
constexpr std::size_t kSampledValues = 4096;
// Keys in a cache line of 64 bytes.
constexpr std::size_t kCellsPerLine = 8;
// Columns of up to this many value ranges (2^18 rows) are spread in one
// step: their ranges' cells and counts fit in a core's cache. Longer ones
// are spread over this many groups of ranges first.
constexpr std::size_t kDirectRanges = std::size_t{1} << 16;
constexpr std::size_t kGroups = 256;
// The widest digit a bucket of too many values is split by.
constexpr unsigned kSplitBits = 8;
constexpr std::uint64_t kExponentBits = 0x7FF0000000000000ULL;

// The bit pattern of (value - threshold) squared: for finite operands a
// number from +0 to +inf, which ranks by its bits as the distance key does.
std::uint64_t distance_bits(std::uint64_t value_key, double threshold) noexcept {
  const double difference = from_total_order_ukey(value_key) - threshold;
  return std::bit_cast<std::uint64_t>(difference * difference);
}

// The value ranges of a column of n cells.
std::size_t range_count(std::size_t n) noexcept {
  return std::max<std::size_t>(1, n / (n > kLongColumn ? kCellsPerLongRange : kCellsPerRange));
}

// The shift that takes a range to its group when a column is spread in two
// steps, 0 when it is spread in one.
unsigned group_shift(std::size_t ranges) noexcept {
  unsigned shift = 0;
  while (ranges > kDirectRanges && (ranges - 1) >> shift >= kGroups) ++shift;
  return shift;
}

}  // namespace

// The ranges span the smallest to the largest of a sample of the values,
// evenly spaced: the bounds only place the ranges, and the few values
// beyond them go to the first or the last range, which splits like any
// other. The count finds any value that is not finite.
BucketIndex::RangeMap BucketIndex::sampled_range_map(const double* column, std::size_t n,
                                                     std::size_t stride) noexcept {
  const std::size_t step = std::max<std::size_t>(1, n / kSampledValues);
  double lowest = column[(n - 1) * stride];
  double highest = lowest;
  for (std::size_t r = 0; r < n; r += step) {
    const double value = column[r * stride];
    lowest = value < lowest ? value : lowest;
    highest = value > highest ? value : highest;
  }
  RangeMap map;
  // Of -0 and +0 either may be the lowest: they map to the same range.
  map.lowest = lowest;
  map.ranges = range_count(n);
  // One value, a range too narrow to divide or too wide to compute (or a
  // sample with an infinity, which the count then finds): one value
  // range, split by the keys' bits alone.
  map.scale = static_cast<double>(map.ranges) / (highest - lowest);
  if (!std::isfinite(map.scale)) map.scale = 0.0;
  return map;
}

void BucketIndex::make_room(std::size_t n) {
  // The queries read these at random.
  reserve_on_huge_pages(keys_, n);
  reserve_on_huge_pages(rows_, n);
  reserve_on_huge_pages(buckets_, map_.ranges + n / kLeaf);
  reserve_on_huge_pages(first_bucket_, map_.ranges + 1);
  keys_.resize(n);
  rows_.resize(n);
}

bool BucketIndex::build(const double* column, std::size_t n, std::size_t stride) {
  if (n > kMaxRows) return false;
  // A column spread in two steps counts only its groups first, which is
  // what a census counts.
  if (group_shift(range_count(n)) > 0) {
    take_censuses(column, n, stride, 1, &census_);
    return build(column, n, stride, census_);
  }
  map_ = sampled_range_map(column, n, stride);
  make_room(n);
  // Each cell's range is noted as it is counted, in the spare rows, which
  // the splits only need later.
  spare_rows_.resize(n);
  if (!count_cells_per_range(column, n, stride, spare_rows_.data())) return false;
  spread_over_groups(column, n, stride, 0, range_starts_, spare_rows_.data());
  split_ranges();
  return true;
}

bool BucketIndex::build(const double* column, std::size_t n, std::size_t stride,
                        const Census& census) {
  if (!census.indexable_) return false;
  map_ = census.map_;
  make_room(n);
  spread_over_groups(column, n, stride, census.shift_, census.group_starts_, nullptr);
  spread_within_groups(census.shift_, census.group_starts_);
  split_ranges();
  return true;
}

void BucketIndex::take_censuses(const double* first, std::size_t n, std::size_t stride,
                                std::size_t count, Census* censuses) {
  std::vector<RangeMap> maps(count);
  std::vector<unsigned> shifts(count);
  std::vector<std::uint32_t*> counts(count);
  for (std::size_t g = 0; g < count; ++g) {
    Census& census = censuses[g];
    census.map_ = maps[g] = sampled_range_map(first + g, n, stride);
    census.shift_ = shifts[g] = group_shift(maps[g].ranges);
    census.group_starts_.assign(((maps[g].ranges - 1) >> shifts[g]) + 2, 0);
    counts[g] = census.group_starts_.data() + 1;
  }
  std::vector<std::uint64_t> exponents_all_set(count, 0);
  for (std::size_t r = 0; r < n; ++r) {
    const double* row = first + r * stride;
    for (std::size_t g = 0; g < count; ++g) {
      const double value = row[g];
      exponents_all_set[g] |=
          (std::bit_cast<std::uint64_t>(value) & kExponentBits) == kExponentBits;
      ++counts[g][maps[g].range_of(value) >> shifts[g]];
    }
  }
  for (std::size_t g = 0; g < count; ++g) {
    std::vector<std::uint32_t>& starts = censuses[g].group_starts_;
    for (std::size_t group = 1; group < starts.size(); ++group) starts[group] += starts[group - 1];
    censuses[g].indexable_ = exponents_all_set[g] == 0 && n <= kMaxRows;
  }
}

// The ranges to buckets, and every bucket live.
void BucketIndex::split_ranges() {
  buckets_.clear();
  first_bucket_.resize(map_.ranges + 1);
  for (std::size_t range = 0; range < map_.ranges; ++range) {
    first_bucket_[range] = static_cast<std::uint32_t>(buckets_.size());
    split(range_starts_[range], range_starts_[range + 1]);
  }
  first_bucket_[map_.ranges] = static_cast<std::uint32_t>(buckets_.size());
  live_.assign((buckets_.size() + 63) / 64, 0);
  for (std::size_t b = 0; b < buckets_.size(); ++b) live_[b / 64] |= std::uint64_t{1} << (b % 64);
}

// Counts the cells of each range into range_starts_, as where each range
// starts, noting each cell's range in `noted`; false when a value is not
// finite.
bool BucketIndex::count_cells_per_range(const double* column, std::size_t n, std::size_t stride,
                                        std::uint32_t* noted) {
  const RangeMap map = map_;
  range_starts_.assign(map.ranges + 1, 0);
  std::uint64_t exponents_all_set = 0;
  for (std::size_t r = 0; r < n; ++r) {
    const double value = column[r * stride];
    exponents_all_set |= (std::bit_cast<std::uint64_t>(value) & kExponentBits) == kExponentBits;
    const std::size_t range = map.range_of(value);
    noted[r] = static_cast<std::uint32_t>(range);
    ++range_starts_[range + 1];
  }
  for (std::size_t range = 0; range < map.ranges; ++range) {
    range_starts_[range + 1] += range_starts_[range];
  }
  return exponents_all_set == 0;
}

// The values' keys (column[r * stride], row r) into keys_, group after
// group from `starts`, where each group of 2^shift ranges starts, each
// group's cells in row order, taking each cell's range from `noted` where
// the count noted it. A long column's groups are then spread to their
// ranges, which keeps row order, so the result is that of one step; on a
// shorter column (shift 0) each group is a range and the second step would
// cost more than it saves.
void BucketIndex::spread_over_groups(const double* column, std::size_t n, std::size_t stride,
                                     unsigned shift, const std::vector<std::uint32_t>& starts,
                                     const std::uint32_t* noted) {
  const RangeMap map = map_;
  cursors_.assign(starts.begin(), starts.end() - 1);
  const auto spread = [&](auto group_of) {
    for (std::size_t r = 0; r < n; ++r) {
      const double value = column[r * stride];
      const std::uint32_t to = cursors_[group_of(r, value)]++;
      keys_[to] = total_order_ukey(value);
      rows_[to] = static_cast<std::uint32_t>(r);
    }
  };
  if (noted != nullptr) {
    spread([noted](std::size_t r, double) { return noted[r]; });
  } else {
    spread([&map, shift](std::size_t, double value) { return map.range_of(value) >> shift; });
  }
  // Room for the largest group, which the second step and the splits move
  // through: no range is larger than its group.
  std::size_t largest = 0;
  for (std::size_t group = 0; group + 1 < starts.size(); ++group) {
    largest = std::max<std::size_t>(largest, starts[group + 1] - starts[group]);
  }
  spare_keys_.resize(largest);
  spare_rows_.resize(largest);
}

// The cells of each group of 2^shift ranges, from where `starts` has it,
// to their ranges, by way of the spare room, counting the group's ranges
// as they go; a cell's range comes from its key, which holds its value.
// Leaves range_starts_ as where each range starts.
void BucketIndex::spread_within_groups(unsigned shift, const std::vector<std::uint32_t>& starts) {
  const RangeMap map = map_;
  range_starts_.assign(map.ranges + 1, 0);
  const std::size_t width = std::size_t{1} << shift;
  for (std::size_t group = 0; group + 1 < starts.size(); ++group) {
    const std::size_t first = group << shift;
    const std::size_t last = std::min(map.ranges, first + width);
    const std::size_t begin = starts[group];
    const std::size_t size = starts[group + 1] - begin;
    std::copy_n(keys_.begin() + static_cast<std::ptrdiff_t>(begin), size, spare_keys_.begin());
    std::copy_n(rows_.begin() + static_cast<std::ptrdiff_t>(begin), size, spare_rows_.begin());
    for (std::size_t i = 0; i < size; ++i) {
      ++range_starts_[map.range_of(from_total_order_ukey(spare_keys_[i])) + 1];
    }
    range_starts_[first] = static_cast<std::uint32_t>(begin);
    for (std::size_t range = first; range < last; ++range) {
      range_starts_[range + 1] += range_starts_[range];
    }
    cursors_.assign(range_starts_.begin() + static_cast<std::ptrdiff_t>(first),
                    range_starts_.begin() + static_cast<std::ptrdiff_t>(last));
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint64_t key = spare_keys_[i];
      const std::uint32_t to = cursors_[map.range_of(from_total_order_ukey(key)) - first]++;
      keys_[to] = key;
      rows_[to] = spare_rows_[i];
    }
  }
}

// Splits the cells [begin, end) into buckets by the bits just below the
// highest bit in which their keys differ, stably, until each is short or
// of one value.
void BucketIndex::split(std::size_t begin, std::size_t end) {
  if (begin == end) return;
  std::uint64_t lowest = keys_[begin];
  std::uint64_t highest = keys_[begin];
  for (std::size_t i = begin + 1; i < end; ++i) {
    lowest = std::min(lowest, keys_[i]);
    highest = std::max(highest, keys_[i]);
  }
  // The keys agree above the highest bit in which the smallest and the
  // largest differ, and differ in that one.
  const std::uint64_t differing = lowest ^ highest;
  const std::size_t size = end - begin;
  if (differing == 0 || size <= kLeaf) {
    const auto at = [](std::size_t i) { return static_cast<std::uint32_t>(i); };
    buckets_.push_back(Bucket{at(begin), at(begin), at(end), differing == 0, lowest, highest});
    return;
  }
  const unsigned top = 63U - static_cast<unsigned>(std::countl_zero(differing));
  const unsigned width = std::clamp(static_cast<unsigned>(std::bit_width(size)) - 4, 1U, kSplitBits);
  const unsigned shift = top + 1 >= width ? top + 1 - width : 0U;
  const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
  std::array<std::uint32_t, (1U << kSplitBits) + 1> starts{};
  for (std::size_t i = begin; i < end; ++i) ++starts[((keys_[i] >> shift) & mask) + 1];
  for (std::size_t part = 0; part < mask + 1; ++part) starts[part + 1] += starts[part];
  std::array<std::uint32_t, (1U << kSplitBits) + 1> next = starts;
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t to = next[(keys_[i] >> shift) & mask]++;
    spare_keys_[to] = keys_[i];
    spare_rows_[to] = rows_[i];
  }
  std::copy_n(spare_keys_.begin(), size, keys_.begin() + static_cast<std::ptrdiff_t>(begin));
  std::copy_n(spare_rows_.begin(), size, rows_.begin() + static_cast<std::ptrdiff_t>(begin));
  for (std::size_t part = 0; part <= mask; ++part) split(begin + starts[part], begin + starts[part + 1]);
}

double BucketIndex::value_at_rank(std::size_t rank) const {
  const auto after = std::upper_bound(buckets_.begin(), buckets_.end(), rank,
                                      [](std::size_t r, const Bucket& b) { return r < b.first; });
  const Bucket& bucket = *(after - 1);
  if (bucket.one_value) return from_total_order_ukey(bucket.lowest);
  std::array<std::uint64_t, kLeaf> keys;
  const std::size_t size = bucket.end - bucket.first;
  std::copy(keys_.begin() + bucket.first, keys_.begin() + bucket.end, keys.begin());
  const auto nth = keys.begin() + static_cast<std::ptrdiff_t>(rank - bucket.first);
  std::nth_element(keys.begin(), nth, keys.begin() + static_cast<std::ptrdiff_t>(size));
  return from_total_order_ukey(*nth);
}

std::size_t BucketIndex::buckets_up_to(double threshold, std::uint64_t key) const noexcept {
  // Buckets of earlier ranges hold only smaller values, of later ranges
  // only larger ones: only the threshold's own range needs a search.
  const std::size_t range = map_.range_of(threshold);
  const auto first = buckets_.begin() + first_bucket_[range];
  const auto last = buckets_.begin() + first_bucket_[range + 1];
  return static_cast<std::size_t>(
      std::partition_point(first, last, [key](const Bucket& b) { return b.lowest <= key; }) -
      buckets_.begin());
}

void BucketIndex::offer_bucket(std::size_t b, double threshold, Nearest& nearest) const noexcept {
  const Bucket& bucket = buckets_[b];
  // A bucket of one value offers its lowest live row, its first.
  const std::size_t size = bucket.one_value ? 1 : bucket.end - bucket.begin;
  if (offer_(&keys_[bucket.begin], &rows_[bucket.begin], size, threshold, nearest.cell)) {
    nearest.bucket = b;
    nearest.found = true;
  }
}

std::size_t BucketIndex::live_before(std::size_t b) const noexcept {
  std::size_t word = b / 64;
  std::uint64_t bits = b % 64 == 0 ? 0 : live_[word] & ((std::uint64_t{1} << (b % 64)) - 1);
  while (bits == 0) {
    if (word == 0) return buckets_.size();
    bits = live_[--word];
  }
  return word * 64 + 63 - static_cast<std::size_t>(std::countl_zero(bits));
}

std::size_t BucketIndex::live_from(std::size_t b) const noexcept {
  if (b >= buckets_.size()) return buckets_.size();
  std::size_t word = b / 64;
  std::uint64_t bits = live_[word] & (~std::uint64_t{0} << (b % 64));
  while (bits == 0) {
    if (++word == live_.size()) return buckets_.size();
    bits = live_[word];
  }
  return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

std::optional<std::uint32_t> BucketIndex::take_nearest(double threshold) {
  const std::uint64_t key = total_order_ukey(threshold);
  const std::size_t above = buckets_up_to(threshold, key);
  const std::size_t none = buckets_.size();
  Nearest nearest;
  // The last bucket starting at or below the threshold may hold cells on
  // both sides of it; those before it lie below it, those from `above` on
  // above it. The walks outwards stop at the first bucket whose nearest
  // bound is farther than the nearest cell found: an equal bound may still
  // hold a lower row.
  std::size_t below = above;
  if (above > 0) {
    below = above - 1;
    if (live_[below / 64] >> (below % 64) & 1) offer_bucket(below, threshold, nearest);
  }
  for (std::size_t b = live_before(below); b != none; b = live_before(b)) {
    if (distance_bits(buckets_[b].highest, threshold) > nearest.cell.key) break;
    offer_bucket(b, threshold, nearest);
  }
  for (std::size_t b = live_from(above); b != none; b = live_from(b + 1)) {
    if (distance_bits(buckets_[b].lowest, threshold) > nearest.cell.key) break;
    offer_bucket(b, threshold, nearest);
  }
  if (!nearest.found) return std::nullopt;
  remove(nearest);
  return nearest.cell.row;
}

void BucketIndex::prefetch_range(double threshold) const noexcept {
  __builtin_prefetch(&first_bucket_[map_.range_of(threshold)]);
}

void BucketIndex::prefetch_bucket(double threshold) const noexcept {
  // With its neighbours on either side, whose bounds the walks read.
  const std::size_t b = first_bucket_[map_.range_of(threshold)];
  __builtin_prefetch(&buckets_[b > 0 ? b - 1 : 0]);
  __builtin_prefetch(&buckets_[std::min(b + 1, buckets_.size() - 1)]);
}

void BucketIndex::prefetch_cells(double threshold) const noexcept {
  const std::size_t b = std::min<std::size_t>(first_bucket_[map_.range_of(threshold)],
                                               buckets_.size() - 1);
  // The whole of a short bucket, whose every cell the query reads.
  std::size_t begin = buckets_[b].begin;
  std::size_t end = std::min<std::size_t>(buckets_[b].end, begin + kLeaf);
  // On a column too long for the cache, the neighbours' cells as well,
  // which lie on either side in keys_ and rows_ and which a query often
  // offers too (a column of 1,000,000 values: about 10% faster queries). A
  // shorter column's cells are in cache, where the extra prefetches cost
  // more than they save (100,000 values: about 13% slower).
  if (map_.ranges > kDirectRanges) {
    begin = std::max<std::size_t>(buckets_[b > 0 ? b - 1 : 0].begin,
                                  begin >= kLeaf ? begin - kLeaf : 0);
    end = std::min<std::size_t>(buckets_[std::min(b + 1, buckets_.size() - 1)].end,
                                buckets_[b].begin + 2 * kLeaf);
  }
  for (std::size_t p = begin; p < end; p += kCellsPerLine) __builtin_prefetch(&keys_[p]);
  for (std::size_t p = begin; p < end; p += 2 * kCellsPerLine) __builtin_prefetch(&rows_[p]);
}

void BucketIndex::remove(const Nearest& nearest) noexcept {
  Bucket& bucket = buckets_[nearest.bucket];
  if (bucket.one_value) {
    ++bucket.begin;
  } else {
    --bucket.end;
    keys_[bucket.begin + nearest.cell.position] = keys_[bucket.end];
    rows_[bucket.begin + nearest.cell.position] = rows_[bucket.end];
  }
  if (bucket.begin == bucket.end) {
    live_[nearest.bucket / 64] &= ~(std::uint64_t{1} << (nearest.bucket % 64));
  }
}

}  // namespace gapwright
