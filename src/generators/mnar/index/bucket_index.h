// BucketIndex: one column of finite values in buckets of ascending value,
// answering repeated nearest-cell queries with removal.
//
// Gives exactly the cell that a plain scan down the column would give (the
// lowest distance key, the lowest row on ties) with the already-taken cells
// blanked, without sorting the column: the cells are split into buckets
// whose values ascend from one bucket to the next, each of at most kLeaf
// cells or of one value only, and a query scans the bucket of its threshold
// and then the neighbouring buckets, outwards, while a bucket's nearest
// bound could still match the best cell found. Within a bucket the cells
// keep no order but one: a bucket of one value keeps its rows ascending, so
// its lowest live row is its first.
//
// For finite values only: the squared distance to a finite threshold then
// never rises towards the threshold on either side (squares that overflow
// to +inf tie, which the bounds allow for), which is what the walk relies
// on. Columns with a NaN or an infinity use the ColumnIndex.
//
// Memory: 12 bytes a cell; a 32-byte record a bucket and 12 bytes a value
// range, of which there is one for every 4 cells (8 on a column of over
// 2^18 rows), so at most about 11 bytes a cell more (5.5 on a long column)
// where each range is a bucket, less where cells bunch; and spare room for
// the largest range, or group of ranges, as the build moves it.
#pragma once

#include "generators/mnar/kernels/nearest_cell.h"

#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint32_t, std::uint64_t
#include <optional>  // std::optional
#include <vector>    // std::vector

namespace gapwright {

class BucketIndex {
 public:
  // Cells a bucket of several values holds at most.
  static constexpr std::size_t kLeaf = 32;
  // Rows a column may have at most: rows are held in 32 bits, and the
  // queries' answers keep the highest value free.
  static constexpr std::size_t kMaxRows = 0xFFFFFFFEu;
  // Cells whose index, about 20 bytes a cell, fits in a core's cache.
  static constexpr std::size_t kCachedCells = std::size_t{1} << 14;

  // Scans buckets with the build of the scan that the process chose.
  BucketIndex() noexcept : BucketIndex(detail::chosen_nearest_cell_scan()) {}
  // Scans buckets with `scan`, which must run on this processor.
  explicit BucketIndex(const detail::NearestCellScan& scan) noexcept : offer_(scan.offer) {}

  // What a build first learns of a column, in a sweep of its own: where its
  // value ranges lie, how many of its cells each group of ranges holds, and
  // whether it can be indexed at all. A column read where it lies in a wide
  // table is read with the whole table around it, so the columns of a
  // group take theirs in one sweep, which reads each row once.
  class Census;

  // The censuses of the `count` columns first[g + r * stride], n rows
  // (n >= 1), into censuses[0 .. count).
  static void take_censuses(const double* first, std::size_t n, std::size_t stride,
                            std::size_t count, Census* censuses);

  // Indexes the n values column[r * stride] (n >= 1); false when one of
  // them is not finite or there are more than kMaxRows, and nothing may
  // then be asked of the index until it is built again. May be called
  // again: the buffers of the last column are reused.
  bool build(const double* column, std::size_t n, std::size_t stride);
  // The same from the column's census, which saves the build its first sweep.
  bool build(const double* column, std::size_t n, std::size_t stride, const Census& census);

  // The value of rank `rank` (below n) in ascending total order, before
  // any cell is taken.
  double value_at_rank(std::size_t rank) const;

  // Takes the nearest live cell to `threshold` (finite) and returns its
  // row; nullopt when none is left.
  std::optional<std::uint32_t> take_nearest(double threshold);

  // Asks for the memory that take_nearest(threshold) reads first, in three
  // steps, each reading what the one before brought in: a caller that knows
  // its thresholds ahead calls them on thresholds a few queries apart, so
  // that a query finds its bucket in cache instead of waiting on misses.
  void prefetch_range(double threshold) const noexcept;
  void prefetch_bucket(double threshold) const noexcept;
  void prefetch_cells(double threshold) const noexcept;
  // Whether the index outgrows a core's cache, so that fetching ahead pays:
  // on a shorter column it only costs the work of asking.
  bool worth_prefetching() const noexcept { return keys_.size() > kCachedCells; }

 private:
  // Aligned so that no bucket straddles two cache lines: a query that
  // fetched a bucket ahead would otherwise still miss on its bounds.
  struct alignas(32) Bucket {
    std::uint32_t first;  // where its cells start, live or not
    std::uint32_t begin;  // its live cells are [begin, end)
    std::uint32_t end;
    bool one_value;
    std::uint64_t lowest;  // its smallest and largest key when built
    std::uint64_t highest;
  };
  // The nearest cell found so far, by (distance key, row), and its bucket;
  // its position counts from the bucket's first live cell.
  struct Nearest {
    NearestCell cell;
    std::size_t bucket = 0;
    bool found = false;
  };

  // Values map to value ranges by (value - lowest) * scale, rounded down.
  // The sweeps over the cells copy it: the compiler must otherwise load it
  // again after every store of a key, which might alias it.
  struct RangeMap {
    double lowest = 0.0;
    double scale = 0.0;
    std::size_t ranges = 1;

    std::size_t range_of(double value) const noexcept {
      const double position = (value - lowest) * scale;
      // Below the lowest value, at it, or NaN (an overflowed difference
      // times a scale of 0): the first range.
      if (!(position > 0.0)) return 0;
      return position < static_cast<double>(ranges) ? static_cast<std::size_t>(position)
                                                    : ranges - 1;
    }
  };

 public:
  class Census {
   private:
    friend class BucketIndex;
    RangeMap map_;
    unsigned shift_ = 0;
    // Where each group of 2^shift_ ranges starts among the column's cells.
    std::vector<std::uint32_t> group_starts_;
    bool indexable_ = false;
  };

 private:
  static RangeMap sampled_range_map(const double* column, std::size_t n,
                                    std::size_t stride) noexcept;
  void make_room(std::size_t n);
  void split_ranges();
  bool count_cells_per_range(const double* column, std::size_t n, std::size_t stride,
                             std::uint32_t* noted);
  void spread_over_groups(const double* column, std::size_t n, std::size_t stride, unsigned shift,
                          const std::vector<std::uint32_t>& starts, const std::uint32_t* noted);
  void spread_within_groups(unsigned shift, const std::vector<std::uint32_t>& starts);
  void split(std::size_t begin, std::size_t end);
  // The number of buckets whose lowest key is at most `key`.
  std::size_t buckets_up_to(double threshold, std::uint64_t key) const noexcept;
  void offer_bucket(std::size_t b, double threshold, Nearest& nearest) const noexcept;
  // The nearest live bucket before bucket `b`, and from bucket `b` on;
  // buckets_.size() when there is none.
  std::size_t live_before(std::size_t b) const noexcept;
  std::size_t live_from(std::size_t b) const noexcept;
  void remove(const Nearest& nearest) noexcept;

  // The scan over a bucket's cells.
  decltype(detail::NearestCellScan::offer) offer_;
  // The cells' total-order keys and rows, bucket after bucket.
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> rows_;
  // Room for the cells of one range, or group of ranges, while they move.
  std::vector<std::uint64_t> spare_keys_;
  std::vector<std::uint32_t> spare_rows_;
  // Where each value range starts in keys_, and where the next cell of each
  // range or group of ranges goes while they are spread.
  std::vector<std::uint32_t> range_starts_;
  std::vector<std::uint32_t> cursors_;
  // The census of a long column the build took itself, kept for its buffer.
  Census census_;
  std::vector<Bucket> buckets_;
  // The first bucket of each value range, and one past the last.
  std::vector<std::uint32_t> first_bucket_;
  // Bit b set while bucket b has a live cell.
  std::vector<std::uint64_t> live_;
  RangeMap map_;
};

}  // namespace gapwright
