#include "generators/mnar/index/column_index.h"

#include <algorithm>  // std::clamp, std::copy, std::fill, std::max, std::min, std::partition_point, std::sort
#include <array>      // std::array
#include <bit>        // std::bit_width, std::countl_zero
#include <memory>     // std::make_unique
#include <utility>    // std::swap
#include <vector>     // std::vector
#include <cmath>      // std::isnan
#include <limits>     // std::numeric_limits
#include <string>     // std::to_string

#include "generators/mnar/kernels/distance_key.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/select/radix_select.h"
#include "runtime/internal_error.h"
#include "runtime/page_block.h"

namespace gapwright {
namespace {

// Positions per leaf of the minimum tree: a block is scanned directly, which
// keeps the tree (and its memory) sixteen times smaller than the column.
constexpr std::size_t kBlock = 16;

// Below this length a comparison sort beats clearing the radix histograms.
constexpr std::size_t kRadixMinimum = 768;
// Up to this length a column is sorted as one bucket: a digit as wide as it
// is long splits it for less than clearing and summing 2^16 counts.
constexpr std::size_t kOneBucketMaximum = std::size_t{1} << 14;
// Up to this length a column is copied out of the matrix before it is sorted.
constexpr std::size_t kCopyColumn = std::size_t{1} << 21;
// Buckets this short are finished by insertion.
constexpr std::size_t kInsertionMaximum = 32;
// The widest digit a bucket is split by with counts on the stack, and with
// counts from the caller.
constexpr int kMaxPartBits = 11;
constexpr int kMaxWideBits = 16;

// Sorts one bucket by the total order, keeping the order of equal values:
// by insertion when short, else by the bits just below the highest bit in
// which its keys differ, into `spare` and back, and then each part alike.
// Past the top 16 bits that bucketed them a column's keys rarely share many
// more, and the digit is as wide as the bucket is long, so most parts are
// short after one such step.
// A long bucket may take a digit of up to kMaxWideBits from `wide`, two
// arrays of (1 << kMaxWideBits) + 1 counts; its parts then use the stack.
void sort_bucket(double* values, std::uint32_t* rows, std::size_t size, double* spare_values,
                 std::uint32_t* spare_rows, std::uint32_t* wide) {
  if (size <= kInsertionMaximum) {
    for (std::size_t i = 1; i < size; ++i) {
      const double value = values[i];
      const std::uint32_t row = rows[i];
      const std::uint64_t key = total_order_ukey(value);
      std::size_t j = i;
      for (; j > 0 && total_order_ukey(values[j - 1]) > key; --j) {
        values[j] = values[j - 1];
        rows[j] = rows[j - 1];
      }
      values[j] = value;
      rows[j] = row;
    }
    return;
  }
  const std::uint64_t first = total_order_ukey(values[0]);
  std::uint64_t differing = 0;
  for (std::size_t i = 1; i < size; ++i) differing |= total_order_ukey(values[i]) ^ first;
  // Equal keys are in row order already.
  if (differing == 0) return;
  const int top_bit = 63 - std::countl_zero(differing);
  const int width = std::clamp(static_cast<int>(std::bit_width(size)) - 2, 4,
                               wide != nullptr ? kMaxWideBits : kMaxPartBits);
  const unsigned shift = top_bit + 1 >= width ? static_cast<unsigned>(top_bit + 1 - width) : 0U;
  const std::size_t parts = std::size_t{1} << width;
  const std::size_t mask = parts - 1;
  const auto part = [shift, mask](double value) {
    return static_cast<std::size_t>(total_order_ukey(value) >> shift) & mask;
  };
  std::array<std::uint32_t, 2 * ((1 << kMaxPartBits) + 1)> narrow;
  std::uint32_t* const starts = width > kMaxPartBits ? wide : narrow.data();
  std::uint32_t* const next = starts + parts + 1;
  std::fill(starts, starts + parts + 1, 0U);
  for (std::size_t i = 0; i < size; ++i) ++starts[part(values[i]) + 1];
  for (std::size_t p = 0; p < parts; ++p) starts[p + 1] += starts[p];
  std::copy(starts, starts + parts, next);
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t to = next[part(values[i])]++;
    spare_values[to] = values[i];
    spare_rows[to] = rows[i];
  }
  std::copy(spare_values, spare_values + size, values);
  std::copy(spare_rows, spare_rows + size, rows);
  for (std::size_t p = 0; p < parts; ++p) {
    const std::size_t length = starts[p + 1] - starts[p];
    if (length > 1) {
      sort_bucket(values + starts[p], rows + starts[p], length, spare_values, spare_rows, nullptr);
    }
  }
}

// Short columns: a comparison sort of the indices, then the values in their order.
void sort_short(const double* source, std::size_t stride, std::size_t n, double* values,
                std::uint32_t* indices) {
  for (std::size_t i = 0; i < n; ++i) indices[i] = static_cast<std::uint32_t>(i);
  std::sort(indices, indices + n, [&](std::uint32_t a, std::uint32_t b) {
    const std::uint64_t ka = total_order_ukey(source[a * stride]);
    const std::uint64_t kb = total_order_ukey(source[b * stride]);
    return ka != kb ? ka < kb : a < b;
  });
  for (std::size_t i = 0; i < n; ++i) values[i] = source[indices[i] * stride];
}

// Columns too short to pay for the top-digit histogram: one bucket.
void sort_as_one_bucket(const double* source, std::size_t stride, std::size_t n, double* values,
                        std::uint32_t* indices) {
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = source[i * stride];
    indices[i] = static_cast<std::uint32_t>(i);
  }
  std::vector<double> spare_values(n);
  std::vector<std::uint32_t> spare_indices(n);
  sort_bucket(values, indices, n, spare_values.data(), spare_indices.data(), nullptr);
}

using DigitStarts = std::array<std::uint32_t, kDigits + 1>;

// Scatters the column by the top 16 bits of its keys into `values` and
// `indices`, indices ascending within each bucket; gives where each bucket
// starts (bucket d is [starts[d], starts[d + 1])) and the largest bucket.
std::size_t scatter_by_top_digit(const double* source, std::size_t stride, std::size_t n,
                                 double* values, std::uint32_t* indices, DigitStarts& starts) {
  // Reading a column twice out of the matrix costs more than copying it
  // once, where the copy stays small beside the table.
  std::vector<double> copy(stride != 1 && n <= kCopyColumn ? n : 0);
  const double* second = copy.empty() ? source : copy.data();
  const std::size_t second_stride = copy.empty() ? stride : 1;
  for (std::size_t i = 0; i < n; ++i) {
    const double value = source[i * stride];
    if (!copy.empty()) copy[i] = value;
    ++starts[top_digit(total_order_ukey(value)) + 1];
  }
  std::size_t largest = 0;
  for (std::size_t d = 0; d < kDigits; ++d) {
    largest = std::max<std::size_t>(largest, starts[d + 1]);
    starts[d + 1] += starts[d];
  }
  std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    const double value = second[i * second_stride];
    const std::uint32_t to = next[top_digit(total_order_ukey(value))]++;
    values[to] = value;
    indices[to] = static_cast<std::uint32_t>(i);
  }
  return largest;
}

// Long columns: by their top 16 key bits, then bucket by bucket.
void sort_by_top_digits(const double* source, std::size_t stride, std::size_t n, double* values,
                        std::uint32_t* indices) {
  auto starts = std::make_unique<DigitStarts>();
  const std::size_t largest = scatter_by_top_digit(source, stride, n, values, indices, *starts);
  std::vector<double> spare_values(largest);
  std::vector<std::uint32_t> spare_indices(largest);
  std::vector<std::uint32_t> wide(largest > (std::size_t{1} << (kMaxPartBits + 2))
                                      ? 2 * ((std::size_t{1} << kMaxWideBits) + 1)
                                      : 0);
  for (std::size_t d = 0; d < kDigits; ++d) {
    const std::size_t first = (*starts)[d];
    const std::size_t size = (*starts)[d + 1] - first;
    if (size > 1) {
      sort_bucket(values + first, indices + first, size, spare_values.data(),
                  spare_indices.data(), wide.empty() ? nullptr : wide.data());
    }
  }
}

// Sorts the n values source[i * stride] by (total order, i) into `values`,
// with each value's i in `indices`: short runs by comparison, long ones by
// their top 16 key bits and then bucket by bucket. The indices enter every
// bucket ascending and each bucket is sorted stably, so equal values keep
// their order.
void sort_by_total_order(const double* source, std::size_t stride, std::size_t n,
                         std::vector<double>& values, std::vector<std::uint32_t>& indices) {
  reserve_on_huge_pages(values, n);
  reserve_on_huge_pages(indices, n);
  values.resize(n);
  indices.resize(n);
  if (n < kRadixMinimum) {
    sort_short(source, stride, n, values.data(), indices.data());
  } else if (n <= kOneBucketMaximum) {
    sort_as_one_bucket(source, stride, n, values.data(), indices.data());
  } else {
    sort_by_top_digits(source, stride, n, values.data(), indices.data());
  }
}

}  // namespace

ColumnIndex::ColumnIndex(const double* matrix, std::size_t rows, std::size_t cols,
                         std::size_t column, Storage storage)
    : values_(std::move(storage.values)), rows_(std::move(storage.rows)),
      tree_(std::move(storage.tree)), fences_(std::move(storage.fences)) {
  if (column >= cols) panic(index_out_of_bounds(cols, column));
  if (rows > kMaxRows) {
    panic("a column index holds at most " + std::to_string(kMaxRows) + " rows, not " +
          std::to_string(rows));
  }
  sort_by_total_order(matrix + column, cols, rows, values_, rows_);

  // Negative NaNs sort below -inf and positive ones above +inf.
  constexpr std::uint64_t kLowest = total_order_ukey(-std::numeric_limits<double>::infinity());
  constexpr std::uint64_t kHighest = total_order_ukey(std::numeric_limits<double>::infinity());
  const auto first = values_.begin();
  numbers_begin_ = static_cast<std::size_t>(
      std::partition_point(first, values_.end(),
                           [](double v) { return total_order_ukey(v) < kLowest; }) -
      first);
  numbers_end_ = static_cast<std::size_t>(
      std::partition_point(first, values_.end(),
                           [](double v) { return total_order_ukey(v) <= kHighest; }) -
      first);
  std::fill(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(numbers_begin_), kTaken);
  std::fill(rows_.begin() + static_cast<std::ptrdiff_t>(numbers_end_), rows_.end(), kTaken);
  build_tree();
  fences_.clear();
  fences_.reserve(values_.size() / kFence + 1);
  for (std::size_t p = 0; p < values_.size(); p += kFence) {
    fences_.push_back(total_order_ukey(values_[p]));
  }
}

ColumnIndex::Storage ColumnIndex::release() && noexcept {
  return Storage{std::move(values_), std::move(rows_), std::move(tree_), std::move(fences_)};
}

std::size_t ColumnIndex::key_bound(std::uint64_t key, bool strict) const noexcept {
  const auto before = [&](std::uint64_t k) { return strict ? k <= key : k < key; };
  const auto fence = static_cast<std::size_t>(
      std::partition_point(fences_.begin(), fences_.end(), before) - fences_.begin());
  // Fence f is position f * kFence: the bound lies after the last fence
  // before it and no later than the first fence past it.
  const std::size_t lower = fence == 0 ? 0 : (fence - 1) * kFence + 1;
  const std::size_t upper = std::min(values_.size(), fence * kFence);
  const auto base = values_.begin();
  return static_cast<std::size_t>(
      std::partition_point(base + static_cast<std::ptrdiff_t>(lower),
                           base + static_cast<std::ptrdiff_t>(upper),
                           [&](double v) { return before(total_order_ukey(v)); }) -
      base);
}

void ColumnIndex::build_tree() {
  const std::size_t blocks = (rows_.size() + kBlock - 1) / kBlock;
  while (leaves_ < blocks) leaves_ *= 2;
  reserve_on_huge_pages(tree_, 2 * leaves_);
  tree_.assign(2 * leaves_, kTaken);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    std::uint32_t& leaf = tree_[leaves_ + i / kBlock];
    leaf = std::min(leaf, rows_[i]);
  }
  for (std::size_t node = leaves_ - 1; node >= 1; --node) {
    tree_[node] = std::min(tree_[2 * node], tree_[2 * node + 1]);
  }
}

std::vector<std::uint32_t> ColumnIndex::locate(std::span<const double> thresholds) const {
  std::vector<double> sorted;
  std::vector<std::uint32_t> order;
  sort_by_total_order(thresholds.data(), 1, thresholds.size(), sorted, order);
  // One walk up the column meets the thresholds in ascending order.
  std::vector<std::uint32_t> positions(thresholds.size());
  std::size_t position = 0;
  for (std::size_t j = 0; j < sorted.size(); ++j) {
    const std::uint64_t key = total_order_ukey(sorted[j]);
    while (position < values_.size() && total_order_ukey(values_[position]) < key) ++position;
    positions[order[j]] = static_cast<std::uint32_t>(position);
  }
  return positions;
}

std::optional<std::uint64_t> ColumnIndex::take_nearest(double threshold) {
  return take_nearest(threshold, key_bound(total_order_ukey(threshold), false));
}

std::optional<std::uint64_t> ColumnIndex::take_nearest(double threshold, std::size_t position) {
  std::size_t chosen = kNone;
  const auto offer = [&](std::size_t position) {
    if (position != kNone && (chosen == kNone || rows_[position] < rows_[chosen])) {
      chosen = position;
    }
  };

  if (std::isnan(threshold)) {
    // Every difference is that same NaN, so every cell ties.
    offer(lowest_row_in(0, rows_.size()));
  } else {
    // The cells holding the threshold's own bit pattern occupy
    // [equal_begin, equal_end) and share one key. Left of them the key never
    // rises towards the threshold, right of them it never falls (the other
    // zero, if the threshold is one, squares to +0 at the inner end of its
    // side); the key depends on the value alone, so taken cells keep this.
    const std::uint64_t own = total_order_ukey(threshold);
    // NaNs of either sign sort outside every number, so searching the whole
    // column still lands inside [numbers_begin_, numbers_end_].
    const std::size_t equal_begin = position;
    // A threshold rarely equals a value of the column.
    const std::size_t equal_end =
        equal_begin < values_.size() && total_order_ukey(values_[equal_begin]) == own
            ? key_bound(own, true)
            : equal_begin;

    // Nearest live cell on each side, and the lowest live row among the equal ones.
    const std::size_t below = alive_before(equal_begin);
    const std::size_t equal = lowest_row_in(equal_begin, equal_end);
    const std::size_t above = alive_from(equal_end);
    const auto key_of = [&](std::size_t position) {
      return position == kNone ? std::numeric_limits<std::int64_t>::max()
                               : distance_key(values_[position], threshold);
    };
    const std::int64_t below_key = key_of(below);
    const std::int64_t equal_key = key_of(equal);
    const std::int64_t above_key = key_of(above);
    const std::int64_t best = std::min({below_key, equal_key, above_key});

    // The cells of key `best` are the run ending at `below`, the equal
    // cells, and the run starting at `above`, each taken only if its key is best.
    if (below != kNone && below_key == best) {
      offer(lowest_row_in(run_start(below, best, threshold), below + 1));
    }
    if (equal != kNone && equal_key == best) offer(equal);
    if (above != kNone && above_key == best) {
      offer(lowest_row_in(above, run_end(above, best, threshold)));
    }
  }

  if (chosen == kNone) return std::nullopt;
  const std::uint64_t row = rows_[chosen];
  remove(chosen);
  return row;
}

// The last live position before `end`, or kNone.
std::size_t ColumnIndex::alive_before(std::size_t end) const noexcept {
  if (end == 0) return kNone;
  const std::size_t block = (end - 1) / kBlock;
  for (std::size_t p = end; p-- > block * kBlock;) {
    if (rows_[p] != kTaken) return p;
  }
  for (std::size_t node = leaves_ + block; node > 1; node /= 2) {
    // A right child's left sibling covers blocks wholly before this one.
    if (node % 2 == 1 && tree_[node - 1] != kTaken) {
      node -= 1;
      while (node < leaves_) node = tree_[2 * node + 1] != kTaken ? 2 * node + 1 : 2 * node;
      const std::size_t first = (node - leaves_) * kBlock;
      std::size_t p = first + kBlock;
      while (rows_[--p] == kTaken) {
      }
      return p;
    }
  }
  return kNone;
}

// The first live position at or after `begin`, or kNone.
std::size_t ColumnIndex::alive_from(std::size_t begin) const noexcept {
  const std::size_t size = rows_.size();
  if (begin >= size) return kNone;
  const std::size_t block = begin / kBlock;
  for (std::size_t p = begin; p < std::min(size, (block + 1) * kBlock); ++p) {
    if (rows_[p] != kTaken) return p;
  }
  for (std::size_t node = leaves_ + block; node > 1; node /= 2) {
    // A left child's right sibling covers blocks wholly after this one.
    if (node % 2 == 0 && tree_[node + 1] != kTaken) {
      node += 1;
      while (node < leaves_) node = tree_[2 * node] != kTaken ? 2 * node : 2 * node + 1;
      std::size_t p = (node - leaves_) * kBlock;
      while (rows_[p] == kTaken) ++p;
      return p;
    }
  }
  return kNone;
}

// The live position of lowest row in [begin, end), or kNone.
std::size_t ColumnIndex::lowest_row_in(std::size_t begin, std::size_t end) const noexcept {
  std::size_t best = kNone;
  std::uint32_t best_row = kTaken;
  const auto scan = [&](std::size_t from, std::size_t to) {
    for (std::size_t p = from; p < to; ++p) {
      if (rows_[p] < best_row) {
        best_row = rows_[p];
        best = p;
      }
    }
  };
  if (begin >= end) return kNone;
  const std::size_t first_block = begin / kBlock;
  const std::size_t last_block = (end - 1) / kBlock;
  if (first_block == last_block) {
    scan(begin, end);
    return best;
  }
  scan(begin, (first_block + 1) * kBlock);
  scan(last_block * kBlock, end);

  // Whole blocks in between: find the least tree node covering them, then
  // follow its minimum down to one block and scan that.
  std::size_t node_best = 0;
  std::uint32_t tree_best = best_row;
  for (std::size_t l = leaves_ + first_block + 1, r = leaves_ + last_block; l < r; l /= 2, r /= 2) {
    if (l % 2 == 1) {
      if (tree_[l] < tree_best) {
        tree_best = tree_[l];
        node_best = l;
      }
      ++l;
    }
    if (r % 2 == 1) {
      --r;
      if (tree_[r] < tree_best) {
        tree_best = tree_[r];
        node_best = r;
      }
    }
  }
  if (node_best != 0) {
    while (node_best < leaves_) {
      node_best = tree_[2 * node_best] == tree_best ? 2 * node_best : 2 * node_best + 1;
    }
    const std::size_t first = (node_best - leaves_) * kBlock;
    scan(first, first + kBlock);
  }
  return best;
}

// The first position of the run of keys <= `key` that ends at `last`
// (whose key is `key`); keys only fall towards `last` on this side.
std::size_t ColumnIndex::run_start(std::size_t last, std::int64_t key,
                                   double threshold) const noexcept {
  // Gallop outwards, then bisect the last step: runs are usually short.
  std::size_t inside = last;
  std::size_t lower = numbers_begin_;
  for (std::size_t step = 1; inside - numbers_begin_ >= step; step *= 2) {
    const std::size_t probe = inside - step;
    if (distance_key(values_[probe], threshold) > key) {
      lower = probe + 1;
      break;
    }
    inside = probe;
  }
  const auto base = values_.begin();
  return static_cast<std::size_t>(
      std::partition_point(base + static_cast<std::ptrdiff_t>(lower),
                           base + static_cast<std::ptrdiff_t>(inside),
                           [&](double v) { return distance_key(v, threshold) > key; }) -
      base);
}

// One past the last position of the run of keys <= `key` that starts at
// `first` (whose key is `key`); keys only rise away from `first` on this side.
std::size_t ColumnIndex::run_end(std::size_t first, std::int64_t key,
                                 double threshold) const noexcept {
  std::size_t inside = first;
  std::size_t upper = numbers_end_;
  for (std::size_t step = 1; numbers_end_ - 1 - inside >= step; step *= 2) {
    const std::size_t probe = inside + step;
    if (distance_key(values_[probe], threshold) > key) {
      upper = probe;
      break;
    }
    inside = probe;
  }
  const auto base = values_.begin();
  return static_cast<std::size_t>(
      std::partition_point(base + static_cast<std::ptrdiff_t>(inside + 1),
                           base + static_cast<std::ptrdiff_t>(upper),
                           [&](double v) { return distance_key(v, threshold) <= key; }) -
      base);
}

void ColumnIndex::remove(std::size_t position) noexcept {
  rows_[position] = kTaken;
  const std::size_t block = position / kBlock;
  const std::size_t first = block * kBlock;
  std::uint32_t lowest = kTaken;
  for (std::size_t p = first; p < std::min(rows_.size(), first + kBlock); ++p) {
    lowest = std::min(lowest, rows_[p]);
  }
  std::size_t node = leaves_ + block;
  tree_[node] = lowest;
  for (node /= 2; node >= 1; node /= 2) {
    const std::uint32_t merged = std::min(tree_[2 * node], tree_[2 * node + 1]);
    if (tree_[node] == merged) break;
    tree_[node] = merged;
  }
}

}  // namespace gapwright
