// SlottedColumn: a short column's cells gathered slot by slot (ValueSlots),
// each slot's in row order, for passes that each take the cell nearest to
// a threshold.
//
// A pass searches its threshold's slot, then the slots on either side,
// nearest first, while a slot's closest value could still tie the nearest
// cell found: a few cells a pass where a scan reads the whole column.
#pragma once

#include "generators/mnar/index/value_slots.h"
#include "generators/mnar/kernels/nearest_cell.h"

#include <array>    // std::array
#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint16_t

namespace gapwright {

class SlottedColumn {
 public:
  // Past this many cells in one slot a pass may read a good part of the
  // column: an index then answers faster. A slot of one value may hold
  // more: its passes take its cells in row order.
  static constexpr std::size_t kMaxSlotCells = 64;

  // Whether the column's slots are even enough to be searched this way:
  // they must keep their ends.
  static bool fits(const ValueSlots& slots) noexcept;
  // Whether a sample of the n values says that `cut` might fit them, before
  // the whole column is cut: a far outlier or a heavy tail crowds a large
  // share of the column into one slot of several values.
  static bool sample_fits(const double* values, std::size_t n, const SlotCut& cut) noexcept;

  // The n finite values, cut into `slots` (which fit and must outlive
  // this); each slot is searched with `scan`.
  SlottedColumn(const double* values, std::size_t n, const ValueSlots& slots,
                const detail::NearestCellScan& scan) noexcept;

  // The value of rank `rank` (below n) in ascending total order, before any
  // cell is taken.
  double value_at_rank(std::size_t rank) const noexcept;

  // The row of the lowest (squared distance, row) among the cells not yet
  // taken, which it takes; n when every cell is taken. The threshold is
  // finite.
  std::size_t take_nearest(double threshold) noexcept;

 private:
  struct Nearest;
  bool emptied(std::size_t slot) const noexcept { return first_live_[slot] == begin_[slot + 1]; }
  void offer_slot(std::size_t slot, double threshold, Nearest& nearest) const noexcept;
  std::size_t live_at_or_above(std::size_t slot) noexcept;
  std::size_t live_below(std::size_t slot) noexcept;
  void take(std::size_t slot, std::size_t place) noexcept;

  const ValueSlots& slots_;
  const detail::NearestCellScan& scan_;
  std::size_t n_;
  // Slot s's cells are [begin_[s], begin_[s + 1]), none of them left
  // before first_live_[s], which a take moves past the taken cells it
  // reaches: the slot is emptied when it reaches the slot's end.
  std::array<std::uint16_t, ValueSlots::kMaxSlots + 1> begin_;
  std::array<std::uint16_t, ValueSlots::kMaxSlots> first_live_;
  // Links past slots with no cell left: higher_[s] leads up from slot s to
  // the next live one (or to size()), lower_[s] down from slot s - 1 to
  // one past the next live one (or to 0).
  std::array<std::uint16_t, ValueSlots::kMaxSlots + 1> higher_;
  std::array<std::uint16_t, ValueSlots::kMaxSlots + 1> lower_;
  // The cells' values (a quiet NaN once taken, as the scan expects) and
  // rows; a window's worth of NaNs follows the cells.
  std::array<double, ValueSlots::kMaxValues + kScanWindow> values_;
  std::array<std::uint16_t, ValueSlots::kMaxValues> rows_;
};

}  // namespace gapwright
