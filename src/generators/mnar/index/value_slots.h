// ValueSlots: a short column of finite values cut by value into slots of
// equal width between its lowest and highest value.
//
// The cut is monotone: a value in a lower slot than another is lower than
// it (-0 and +0 share one), and a threshold's slot, found by the same
// arithmetic, parts the column into lower cells, its slot's own, and
// higher cells. The column's model finds its centre's ranks among the
// slots' counts, and a SlottedColumn its passes' nearest cells among a
// threshold's slot and its neighbours.
#pragma once

#include <algorithm>  // std::max, std::min
#include <array>      // std::array
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint8_t, std::uint32_t

namespace gapwright {

// The cut of a column's values into `size()` slots of equal width from
// `lowest` to `highest`, about four values a slot.
class SlotCut {
 public:
  // For n finite values (1 <= n <= ValueSlots::kMaxValues).
  SlotCut(std::size_t n, double lowest, double highest) noexcept;

  // The slot of any value that is not a NaN, cells' or threshold's.
  std::size_t slot_of(double value) const noexcept {
    // A difference that overflows, times a scale of 0, is a NaN: slot 0.
    const double position = std::max(0.0, (value - lowest_) * scale_);
    return static_cast<std::uint8_t>(std::min(position, last_slot_));
  }
  std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_;
  double lowest_;
  double scale_;
  double last_slot_;
};

// Whether the slots keep their ends, which searching the slots needs and
// finding ranks in them does not.
enum class SlotEnds { kSkipped, kKept };

class ValueSlots {
 public:
  static constexpr std::size_t kMaxValues = 1024;
  static constexpr std::size_t kMaxSlots = 256;

  // The n values that `cut` was made for.
  ValueSlots(const double* values, std::size_t n, const SlotCut& cut, SlotEnds ends) noexcept;

  // The slot of any value that is not a NaN, cells' or threshold's.
  std::size_t slot_of_value(double value) const noexcept { return cut_.slot_of(value); }
  std::size_t size() const noexcept { return cut_.size(); }
  // The slot of the column's value at `row`.
  std::size_t slot_of(std::size_t row) const noexcept { return slot_of_[row]; }
  std::uint32_t count(std::size_t slot) const noexcept { return counts_[slot]; }
  // The lowest and highest value in a slot that holds any, if kept.
  double low(std::size_t slot) const noexcept { return low_[slot]; }
  double high(std::size_t slot) const noexcept { return high_[slot]; }

 private:
  SlotCut cut_;
  std::array<std::uint8_t, kMaxValues> slot_of_;
  std::array<std::uint32_t, kMaxSlots> counts_;
  std::array<double, kMaxSlots> low_;
  std::array<double, kMaxSlots> high_;
};

}  // namespace gapwright
