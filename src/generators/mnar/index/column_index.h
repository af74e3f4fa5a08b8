// The index stage: takes one column's cells and answers a search's repeated
// nearest-cell queries, each taking the cell it finds: this index for any
// column, bucket_index.h for columns of finite values, slotted_column.h for
// short ones.
//
// ColumnIndex: one column's cells sorted once, answering repeated
// nearest-cell queries with removal in about O(log rows) each.
//
// Gives exactly the cell that a plain scan down the column would give (the
// lowest distance key, the lowest row on ties) with the already-taken cells
// blanked: the squared distance is monotone on each side
// of the threshold in the sorted order, so the cells of least rank form one
// run around the threshold and a range-minimum over rows picks the lowest.
//
// Memory: the sorted values (8 bytes a cell), their rows (4 bytes a cell,
// overwritten with a tombstone once taken) and a minimum tree over blocks of
// 16 positions (under 1 byte a cell).
#pragma once

#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint32_t, std::uint64_t
#include <optional>  // std::optional
#include <span>      // std::span
#include <vector>    // std::vector

namespace gapwright {

class ColumnIndex {
 public:
  // Largest row count the index handles (rows are stored in 32 bits).
  static constexpr std::size_t kMaxRows = 0xFFFFFFFEu;

  // The buffers of an index. An index takes them over and gives them back,
  // so that indexes built one after another reuse the same memory instead
  // of having fresh pages cleared for each.
  struct Storage {
    std::vector<double> values;
    std::vector<std::uint32_t> rows;
    std::vector<std::uint32_t> tree;
    std::vector<std::uint64_t> fences;
  };

  // Sorts column `column` of the row-major matrix by (total order of the
  // value, row). NaN cells are kept in the sorted order (they are needed for
  // the column model) but can never be taken.
  ColumnIndex(const double* matrix, std::size_t rows, std::size_t cols, std::size_t column,
              Storage storage = {});

  // Ends the index and hands its buffers back.
  Storage release() && noexcept;

  // The column's values in ascending total order, NaNs included.
  const std::vector<double>& sorted_values() const noexcept { return values_; }

  // Takes the nearest remaining non-NaN cell to `threshold` (never NaN) and
  // returns its row; nullopt when none remains.
  std::optional<std::uint64_t> take_nearest(double threshold);
  // The same, given where the threshold lies: the first sorted position
  // whose value is not below it in the total order.
  std::optional<std::uint64_t> take_nearest(double threshold, std::size_t position);
  // Those positions for many thresholds at once (none of them NaN): a sort
  // of the thresholds and one walk up the column instead of a search each.
  std::vector<std::uint32_t> locate(std::span<const double> thresholds) const;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::uint32_t kTaken = 0xFFFFFFFFu;

  void build_tree();

  // Positions are indices into the sorted order; a position is alive while
  // its cell is a number that has not been taken.
  std::size_t alive_before(std::size_t end) const noexcept;
  std::size_t alive_from(std::size_t begin) const noexcept;
  std::size_t lowest_row_in(std::size_t begin, std::size_t end) const noexcept;
  std::size_t run_start(std::size_t last, std::int64_t key, double threshold) const noexcept;
  std::size_t run_end(std::size_t first, std::int64_t key, double threshold) const noexcept;
  void remove(std::size_t position) noexcept;
  // The first position whose key is at least `key` (strict: more than it).
  std::size_t key_bound(std::uint64_t key, bool strict) const noexcept;

  std::vector<double> values_;
  // The row of each sorted position, or kTaken once it is taken (NaN cells
  // start out taken), so the minimum row over a range is the lowest live one.
  std::vector<std::uint32_t> rows_;
  // Positions [numbers_begin_, numbers_end_) hold the non-NaN values.
  std::size_t numbers_begin_ = 0;
  std::size_t numbers_end_ = 0;
  // Heap-ordered minimum tree: leaf leaves_ + b holds the lowest live row of
  // block b, node i the minimum of nodes 2i and 2i + 1.
  std::size_t leaves_ = 1;
  std::vector<std::uint32_t> tree_;
  // Every kFence-th sorted key: a search bisects this small array first, so
  // only its last steps touch the long column.
  static constexpr std::size_t kFence = 64;
  std::vector<std::uint64_t> fences_;
};

}  // namespace gapwright
