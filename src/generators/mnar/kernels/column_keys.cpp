#include "generators/mnar/kernels/column_keys.h"

#include "generators/mnar/kernels/blank.h"
#include "generators/mnar/kernels/total_order.h"

#include "runtime/cpu_features.h"

#include <bit>          // std::bit_cast
#include <cstdlib>      // std::getenv
#include <string_view>  // std::string_view

namespace gapwright {

namespace {

KeyBounds bounds_of_portable(const std::uint64_t* keys, std::size_t n) noexcept {
  std::uint64_t lowest = keys[0];
  std::uint64_t highest = keys[0];
  for (std::size_t i = 1; i < n; ++i) {
    lowest = keys[i] < lowest ? keys[i] : lowest;
    highest = keys[i] > highest ? keys[i] : highest;
  }
  return KeyBounds{lowest, highest};
}

void to_distance_keys_portable(std::uint64_t* keys, std::size_t n, double centre) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const double difference = from_total_order_ukey(keys[i]) - centre;
    keys[i] = std::bit_cast<std::uint64_t>(difference * difference);
  }
}

// Every key is written where the count of kept keys stands, and the count
// moves on only past the kept ones: no branch to mispredict.
KeptKeys keep_between_portable(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                               std::uint64_t high, std::uint64_t* to) noexcept {
  const std::uint64_t width = high - low;
  KeptKeys kept{0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keys[i];
    to[kept.kept] = key;
    kept.kept += key - low <= width ? 1 : 0;
    kept.below += key < low ? 1 : 0;
  }
  return kept;
}

void offer(RowWindow& window, std::uint64_t key) noexcept {
  window.below += key < window.low ? 1 : 0;
  if (key - window.low > window.width) return;
  if (window.count == window.room) {
    window.open = false;
    return;
  }
  window.kept[window.count++] = key;
}

// Sweeps the value keys of columns [first, first + size) row by row, each
// column's bounds into bounds[g], and hands each key to take(g, r, key).
template <typename Take>
void sweep_value_keys(const double* matrix, std::size_t rows, std::size_t cols, std::size_t first,
                      std::size_t size, KeyBounds* bounds, Take take) noexcept {
  for (std::size_t g = 0; g < size; ++g) {
    const std::uint64_t key = total_order_ukey(matrix[first + g]);
    bounds[g] = KeyBounds{key, key};
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t g = 0; g < size; ++g) {
      const std::uint64_t key = total_order_ukey(row[g]);
      bounds[g].lowest = key < bounds[g].lowest ? key : bounds[g].lowest;
      bounds[g].highest = key > bounds[g].highest ? key : bounds[g].highest;
      take(g, r, key);
    }
  }
}

void sweep_value_windows_portable(const double* matrix, std::size_t rows, std::size_t cols,
                                  std::size_t first, std::size_t size, RowWindow* windows,
                                  KeyBounds* bounds) noexcept {
  sweep_value_keys(matrix, rows, cols, first, size, bounds,
                   [windows](std::size_t g, std::size_t, std::uint64_t key) {
                     if (windows[g].open) offer(windows[g], key);
                   });
}

void sweep_distance_windows_portable(const double* matrix, std::size_t rows, std::size_t cols,
                                     std::size_t first, std::size_t size, const double* centres,
                                     RowWindow* windows) noexcept {
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t g = 0; g < size; ++g) {
      if (!windows[g].open) continue;
      const double difference = row[g] - centres[g];
      offer(windows[g], total_order_ukey(difference * difference));
    }
  }
}

// One cell of a blanking sweep: blanks it by a mask, not a branch, which
// would mispredict on a fair share of cells (which cells are nearer is as
// good as random); whether it is watched.
bool blank_cell(double& cell, std::size_t g, const BlankLimits& limits) noexcept {
  const double difference = cell - limits.centres[g];
  const double square = difference * difference;
  const std::uint64_t blanked = 0 - static_cast<std::uint64_t>(square < limits.below[g]);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(cell);
  cell = std::bit_cast<double>((bits & ~blanked) | (std::bit_cast<std::uint64_t>(kBlank) & blanked));
  return (static_cast<unsigned>(square >= limits.watch_from[g]) &
          static_cast<unsigned>(square <= limits.watch_to[g])) != 0;
}

std::size_t blank_nearer_portable(double* matrix, std::size_t cols, std::size_t first,
                                  std::size_t size, std::size_t begin, std::size_t end,
                                  const BlankLimits& limits, std::uint32_t* watched) noexcept {
  std::size_t count = 0;
  for (std::size_t r = begin; r < end; ++r) {
    double* row = matrix + r * cols + first;
    unsigned watching = 0;
    for (std::size_t g = 0; g < size; ++g) watching |= blank_cell(row[g], g, limits) ? 1U : 0U;
    // Written whatever it is: the count moves on only past a watched row.
    watched[count] = static_cast<std::uint32_t>(r - begin);
    count += watching;
  }
  return count;
}

void copy_value_keys_portable(const double* matrix, std::size_t rows, std::size_t cols,
                              std::size_t first, std::size_t size, std::uint64_t* keys,
                              KeyBounds* bounds) noexcept {
  sweep_value_keys(matrix, rows, cols, first, size, bounds,
                   [keys, rows](std::size_t g, std::size_t r, std::uint64_t key) {
                     keys[g * rows + r] = key;
                   });
}

}  // namespace

namespace detail {

const KeySweeps kPortableKeySweeps{"portable", &bounds_of_portable, &to_distance_keys_portable,
                                   &keep_between_portable,
                                   &sweep_value_windows_portable,
                                   &sweep_distance_windows_portable, &copy_value_keys_portable,
                                   &blank_nearer_portable};

std::vector<const KeySweeps*> runnable_key_sweeps() {
  std::vector<const KeySweeps*> runnable{&kPortableKeySweeps};
#if GAPWRIGHT_X86_64_REFILLS
  if (cpu_has_avx2()) runnable.push_back(&kAvx2KeySweeps);
  if (cpu_has_avx512f()) runnable.push_back(&kAvx512KeySweeps);
#endif
  return runnable;
}

const KeySweeps& chosen_key_sweeps() noexcept {
  static const KeySweeps& chosen = []() -> const KeySweeps& {
    const std::vector<const KeySweeps*> runnable = runnable_key_sweeps();
    const char* forced = std::getenv("GAPWRIGHT_KERNELS");
    for (const KeySweeps* sweeps : runnable) {
      if (forced != nullptr && std::string_view(forced) == sweeps->name) return *sweeps;
    }
    return *runnable.back();
  }();
  return chosen;
}

}  // namespace detail

KeyBounds bounds_of(const std::uint64_t* keys, std::size_t n) noexcept {
  return detail::chosen_key_sweeps().bounds_of(keys, n);
}

void to_distance_keys(std::uint64_t* keys, std::size_t n, double centre) noexcept {
  detail::chosen_key_sweeps().to_distance_keys(keys, n, centre);
}

KeptKeys keep_between(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                      std::uint64_t high, std::uint64_t* to) noexcept {
  return detail::chosen_key_sweeps().keep_between(keys, n, low, high, to);
}

void copy_value_keys(const double* matrix, std::size_t rows, std::size_t cols, std::size_t first,
                     std::size_t size, std::uint64_t* keys, KeyBounds* bounds) noexcept {
  detail::chosen_key_sweeps().copy_value_keys(matrix, rows, cols, first, size, keys, bounds);
}

void sweep_value_windows(const double* matrix, std::size_t rows, std::size_t cols,
                         std::size_t first, std::size_t size, RowWindow* windows,
                         KeyBounds* bounds) noexcept {
  detail::chosen_key_sweeps().sweep_value_windows(matrix, rows, cols, first, size, windows, bounds);
}

void sweep_distance_windows(const double* matrix, std::size_t rows, std::size_t cols,
                            std::size_t first, std::size_t size, const double* centres,
                            RowWindow* windows) noexcept {
  detail::chosen_key_sweeps().sweep_distance_windows(matrix, rows, cols, first, size, centres,
                                                     windows);
}

std::size_t blank_nearer(double* matrix, std::size_t cols, std::size_t first, std::size_t size,
                         std::size_t begin, std::size_t end, const BlankLimits& limits,
                         std::uint32_t* watched) noexcept {
  return detail::chosen_key_sweeps().blank_nearer(matrix, cols, first, size, begin, end, limits,
                                                  watched);
}

}  // namespace gapwright
