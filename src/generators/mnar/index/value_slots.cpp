#include "generators/mnar/index/value_slots.h"

#include <cmath>   // std::isfinite
#include <limits>  // std::numeric_limits

namespace gapwright {

SlotCut::SlotCut(std::size_t n, double lowest, double highest) noexcept
    : size_(std::clamp<std::size_t>(n / 4, 16, ValueSlots::kMaxSlots)),
      lowest_(lowest),
      scale_(static_cast<double>(size_) / (highest - lowest)),
      last_slot_(static_cast<double>(size_ - 1)) {
  // One value, or a range too wide to compute: one slot.
  if (!std::isfinite(scale_)) scale_ = 0.0;
}

ValueSlots::ValueSlots(const double* values, std::size_t n, const SlotCut& cut,
                       SlotEnds ends) noexcept
    : cut_(cut) {
  const std::size_t size = cut.size();
  // The slots first, in a sweep of their own, which the compiler
  // vectorises; the counts and ends then, whose stores to slots it cannot.
  for (std::size_t r = 0; r < n; ++r) {
    slot_of_[r] = static_cast<std::uint8_t>(cut.slot_of(values[r]));
  }
  // Only the slots in use are cleared: on short columns clearing all of
  // them costs as much as the count.
  std::fill_n(counts_.begin(), size, 0U);
  if (ends == SlotEnds::kSkipped) {
    for (std::size_t r = 0; r < n; ++r) ++counts_[slot_of_[r]];
    return;
  }
  std::fill_n(low_.begin(), size, std::numeric_limits<double>::infinity());
  std::fill_n(high_.begin(), size, -std::numeric_limits<double>::infinity());
  for (std::size_t r = 0; r < n; ++r) {
    const double value = values[r];
    const std::size_t slot = slot_of_[r];
    ++counts_[slot];
    // Selects, not branches: which value ends its slot is a coin toss.
    const double low = low_[slot];
    const double high = high_[slot];
    low_[slot] = value < low ? value : low;
    high_[slot] = value > high ? value : high;
  }
}

}  // namespace gapwright
