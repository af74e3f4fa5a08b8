#include "generators/mnar/plan/column_models.h"

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"

#include <algorithm>  // std::min_element, std::nth_element, std::sort
#include <array>      // std::array
#include <optional>   // std::optional
#include <utility>    // std::swap

namespace gapwright {
namespace {

struct AdjacentKeys {
  std::uint64_t at;
  std::uint64_t next;
};

constexpr std::size_t kSortedKeys = 16;

// The keys of ranks i and i + 1 (i + 1 < n) of the column cut into `slots`.
// Only the keys of the slots of the two ranks, a few on most columns, are
// ordered, at the front of `keys`. A radix selection's digits fit values
// poorly: their keys' high bits are mostly sign and exponent.
AdjacentKeys adjacent_by_slots(const ValueSlots& slots, std::uint64_t* keys, std::size_t n,
                               std::uint64_t i) {
  std::size_t first = 0;
  std::uint64_t below = 0;
  while (below + slots.count(first) <= i) below += slots.count(first++);
  std::size_t last = first;
  for (std::uint64_t through = below + slots.count(first); through <= i + 1;
       through += slots.count(last)) {
    ++last;
  }
  // The slots' keys go first, in place.
  std::size_t size = 0;
  for (std::size_t r = 0; r < n; ++r) {
    if (slots.slot_of(r) >= first && slots.slot_of(r) <= last) std::swap(keys[size++], keys[r]);
  }
  const auto at = keys + (i - below);
  std::nth_element(keys, at, keys + size);
  return AdjacentKeys{*at, *std::min_element(at + 1, keys + size)};
}

// The model of n > kSortedKeys finite values and their keys, cut into
// slots: one search serves both ranks of an even column's centre, which the
// model asks for the lower first.
Gauss model_by_slots(const double* values, std::uint64_t* keys, std::size_t n, double mean,
                     double variance) {
  const KeyBounds bounds = bounds_of(keys, n);
  const SlotCut cut(n, from_total_order_ukey(bounds.lowest), from_total_order_ukey(bounds.highest));
  const ValueSlots slots(values, n, cut, SlotEnds::kSkipped);
  std::optional<std::uint64_t> selected_rank;
  AdjacentKeys selected{};
  const auto key_at = [&](std::uint64_t i) {
    if (i == 0) return bounds.lowest;
    if (i == n - 1) return bounds.highest;
    if (selected_rank == i) return selected.at;
    if (selected_rank == i - 1) return selected.next;
    selected = adjacent_by_slots(slots, keys, n, i);
    selected_rank = i;
    return selected.at;
  };
  const auto at = [&key_at](std::uint64_t i) { return from_total_order_ukey(key_at(i)); };
  return column_model_from(at, n, mean, variance);
}

}  // namespace

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  return column_model_from([sorted](std::uint64_t i) { return sorted[i]; }, n, mean, variance);
}

Gauss short_column_model(const double* column, std::size_t n, std::size_t stride, double mean,
                         double variance) {
  std::array<std::uint64_t, kShortColumnRows> sorted;
  for (std::size_t r = 0; r < n; ++r) sorted[r] = total_order_ukey(column[r * stride]);
  std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n));
  const auto at = [&sorted](std::uint64_t i) { return from_total_order_ukey(sorted[i]); };
  return column_model_from(at, n, mean, variance);
}

Gauss finite_short_column_model(const double* values, std::uint64_t* keys, std::size_t n,
                                double mean, double variance) {
  // A few keys sort faster than their slots are counted.
  if (n <= kSortedKeys) {
    std::sort(keys, keys + n);
    const auto at = [keys](std::uint64_t i) { return from_total_order_ukey(keys[i]); };
    return column_model_from(at, n, mean, variance);
  }
  return model_by_slots(values, keys, n, mean, variance);
}

}  // namespace gapwright
