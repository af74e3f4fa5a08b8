#include "generators/mnar/index/slotted_column.h"

#include "generators/mnar/kernels/total_order.h"

#include <algorithm>  // std::copy_n, std::count_if, std::fill_n, std::min, std::nth_element,
                      // std::upper_bound
#include <cmath>      // std::isnan, std::signbit
#include <limits>     // std::numeric_limits

namespace gapwright {
namespace {

double square(double difference) noexcept { return difference * difference; }

}  // namespace

struct SlottedColumn::Nearest {
  double square = std::numeric_limits<double>::infinity();
  std::size_t row = std::numeric_limits<std::size_t>::max();
  std::size_t place = 0;
  std::size_t slot = 0;
};

bool SlottedColumn::fits(const ValueSlots& slots) noexcept {
  for (std::size_t slot = 0; slot < slots.size(); ++slot) {
    if (slots.count(slot) > kMaxSlotCells && slots.low(slot) != slots.high(slot)) return false;
  }
  return true;
}

bool SlottedColumn::sample_fits(const double* values, std::size_t n,
                                const SlotCut& cut) noexcept {
  // A slot is crowded when its share of the sample stands for twice the
  // cells a slot may hold.
  constexpr std::size_t kSample = 32;
  const std::size_t sample = std::min(kSample, n);
  const auto crowded = [n, sample](std::size_t count) {
    return count * n >= 2 * kMaxSlotCells * sample;
  };
  std::array<std::uint8_t, ValueSlots::kMaxSlots> counts{};
  std::array<double, ValueSlots::kMaxSlots> first_value;
  std::array<double, kSample> value;
  std::array<std::uint8_t, kSample> slot_of;
  for (std::size_t i = 0; i < sample; ++i) {
    value[i] = values[n < kSample ? i : i * n / kSample];
    slot_of[i] = static_cast<std::uint8_t>(cut.slot_of(value[i]));
    if (counts[slot_of[i]]++ == 0) first_value[slot_of[i]] = value[i];
  }
  for (std::size_t i = 0; i < sample; ++i) {
    if (crowded(counts[slot_of[i]]) && value[i] != first_value[slot_of[i]]) return false;
  }
  return true;
}

SlottedColumn::SlottedColumn(const double* values, std::size_t n, const ValueSlots& slots,
                             const detail::NearestCellScan& scan) noexcept
    : slots_(slots), scan_(scan), n_(n) {
  const std::size_t size = slots.size();
  begin_[0] = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    begin_[slot + 1] = static_cast<std::uint16_t>(begin_[slot] + slots.count(slot));
  }
  std::copy_n(begin_.begin(), size, first_live_.begin());
  // Empty slots are passed over from the start, as taken ones are later.
  higher_[size] = static_cast<std::uint16_t>(size);
  lower_[0] = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    const bool empty = slots.count(slot) == 0;
    higher_[slot] = static_cast<std::uint16_t>(slot + empty);
    lower_[slot + 1] = static_cast<std::uint16_t>(slot + 1 - empty);
  }
  // Spread in row order, so that each slot's cells stay in it.
  std::array<std::uint16_t, ValueSlots::kMaxSlots> next;
  std::copy_n(begin_.begin(), size, next.begin());
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint16_t place = next[slots.slot_of(r)]++;
    values_[place] = values[r];
    rows_[place] = static_cast<std::uint16_t>(r);
  }
  // The last slots' windows read past the cells.
  std::fill_n(values_.begin() + n, kScanWindow, std::numeric_limits<double>::quiet_NaN());
}

double SlottedColumn::value_at_rank(std::size_t rank) const noexcept {
  // The slot whose cells hold the rank; its keys are ordered as far as it.
  const auto after = std::upper_bound(begin_.begin(), begin_.begin() + slots_.size() + 1, rank);
  const std::size_t first = *(after - 1);
  const std::size_t size = *after - first;
  const auto cells = values_.begin() + first;
  if (size > kMaxSlotCells) {
    // One value, whose zeros may be -0 and +0, -0 first.
    if (*cells != 0.0) return *cells;
    const auto negative =
        std::count_if(cells, cells + size, [](double v) { return std::signbit(v); });
    return rank - first < static_cast<std::size_t>(negative) ? -0.0 : 0.0;
  }
  // A rank at either end of its slot, as the column's ends are, is the
  // slot's lowest or highest key: no selection is needed.
  if (rank == first || rank == first + size - 1) {
    std::uint64_t end = total_order_ukey(cells[0]);
    for (std::size_t i = 1; i < size; ++i) {
      const std::uint64_t key = total_order_ukey(cells[i]);
      end = (rank == first ? key < end : key > end) ? key : end;
    }
    return from_total_order_ukey(end);
  }
  std::array<std::uint64_t, kMaxSlotCells> keys{};
  for (std::size_t i = 0; i < size; ++i) keys[i] = total_order_ukey(cells[i]);
  const auto nth = keys.begin() + (rank - first);
  std::nth_element(keys.begin(), nth, keys.begin() + size);
  return from_total_order_ukey(*nth);
}

// The lowest slot from `slot` up with a cell not yet taken (size() if
// none), halving the paths it follows.
std::size_t SlottedColumn::live_at_or_above(std::size_t slot) noexcept {
  while (higher_[slot] != slot) {
    higher_[slot] = higher_[higher_[slot]];
    slot = higher_[slot];
  }
  return slot;
}

// One past the highest slot below `slot` with a cell not yet taken (0 if
// none).
std::size_t SlottedColumn::live_below(std::size_t slot) noexcept {
  while (lower_[slot] != slot) {
    lower_[slot] = lower_[lower_[slot]];
    slot = lower_[slot];
  }
  return slot;
}

// The slot's nearest cell is its first of the lowest square, the lowest of
// its rows (in a slot of one value, its first cell left); squares that are
// equal across slots rank the lower row first.
void SlottedColumn::offer_slot(std::size_t slot, double threshold,
                               Nearest& nearest) const noexcept {
  const std::size_t first = first_live_[slot];
  const std::size_t cells = begin_[slot + 1] - first;
  std::size_t place = first;
  if (slots_.low(slot) != slots_.high(slot)) {
    place += cells <= kScanWindow
                 ? scan_.nearest_in_window(values_.data() + first, cells, threshold)
                 : scan_.nearest_place(values_.data() + first, cells, threshold);
  }
  const double distance = square(values_[place] - threshold);
  if (distance < nearest.square || (distance == nearest.square && rows_[place] < nearest.row)) {
    nearest = Nearest{distance, rows_[place], place, slot};
  }
}

// Cells in slots below the threshold's are below it, and those above above
// it, so a slot's value nearest to the threshold bounds the squares of its
// cells and of every cell beyond it. A side's search stops once that bound
// passes the nearest square found; an equal bound may still hide a lower
// row.
std::size_t SlottedColumn::take_nearest(double threshold) noexcept {
  Nearest nearest;
  const std::size_t home = slots_.slot_of_value(threshold);
  if (!emptied(home)) offer_slot(home, threshold, nearest);
  // Slot lower - 1 is the next one down to search, and `higher` the next
  // one up.
  std::size_t lower = live_below(home);
  std::size_t higher = live_at_or_above(home + 1);
  for (;;) {
    const double lower_square = lower > 0 ? square(slots_.high(lower - 1) - threshold) : 0.0;
    const double higher_square =
        higher < slots_.size() ? square(slots_.low(higher) - threshold) : 0.0;
    const bool search_lower = lower > 0 && lower_square <= nearest.square;
    const bool search_higher = higher < slots_.size() && higher_square <= nearest.square;
    if (search_lower && (!search_higher || lower_square <= higher_square)) {
      offer_slot(lower - 1, threshold, nearest);
      lower = live_below(lower - 1);
    } else if (search_higher) {
      offer_slot(higher, threshold, nearest);
      higher = live_at_or_above(higher + 1);
    } else {
      break;
    }
  }
  if (nearest.row == std::numeric_limits<std::size_t>::max()) return n_;
  take(nearest.slot, nearest.place);
  return nearest.row;
}

void SlottedColumn::take(std::size_t slot, std::size_t place) noexcept {
  values_[place] = std::numeric_limits<double>::quiet_NaN();
  std::uint16_t& first = first_live_[slot];
  while (first < begin_[slot + 1] && std::isnan(values_[first])) ++first;
  if (emptied(slot)) {
    higher_[slot] = static_cast<std::uint16_t>(slot + 1);
    lower_[slot + 1] = static_cast<std::uint16_t>(slot);
  }
}

}  // namespace gapwright
