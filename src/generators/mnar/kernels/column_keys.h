// The kernel stage: the innermost loops of the searches, each with a
// portable reference and x86-64 builds (x86_64/) that give the same bits:
// the sweeps over a group of columns (this file) and the nearest-cell scans
// (nearest_cell.h), on the keys of total_order.h and distance_key.h.
//
// Sweeps that turn a group of columns into contiguous keys, and the sweep
// that blanks the cells nearer than a limit, for the fixed-threshold search.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <vector>   // std::vector

namespace gapwright {

// The smallest and largest of some keys.
struct KeyBounds {
  std::uint64_t lowest;
  std::uint64_t highest;
};

// Copies columns [first, first + size) of the row-major rows x cols
// `matrix` (rows >= 1) into `keys`, column after column, as unsigned
// total-order keys, and gives each column's bounds in bounds[g]. One sweep
// over the rows reads each row's part of the group once.
void copy_value_keys(const double* matrix, std::size_t rows, std::size_t cols, std::size_t first,
                     std::size_t size, std::uint64_t* keys, KeyBounds* bounds) noexcept;

// Room keep_between needs past the keys it may keep.
inline constexpr std::size_t kKeepSlack = 8;

// What keep_between kept of some keys, and how many lay below the window.
struct KeptKeys {
  std::size_t kept;
  std::size_t below;
};

// Copies the keys from `low` to `high` (low <= high, both included) of
// keys[0, n) to `to`, in order, and counts the keys below `low`. `to` has
// room for n + kKeepSlack keys (the wide builds write whole vectors past the
// last key kept) and may be `keys` itself: no key is written ahead of where
// it is read.
KeptKeys keep_between(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                      std::uint64_t high, std::uint64_t* to) noexcept;

// The bounds of n keys (n >= 1).
KeyBounds bounds_of(const std::uint64_t* keys, std::size_t n) noexcept;

// Turns n value keys of finite values into the keys of their squared
// distance to `centre`: the bit pattern of the square, which for squares
// (never negative, never NaN) orders as the squares do.
void to_distance_keys(std::uint64_t* keys, std::size_t n, double centre) noexcept;

// One column's part in a sweep of a group of the matrix's columns by rows:
// of the keys offered to an open window, those from `low` to low + width
// go to kept[count], kept[count + 1], ... up to `room` of them, and those
// below `low` are counted. A window that fills up closes (`open` turns
// false) and takes nothing more: its sample misled.
struct RowWindow {
  bool open = false;
  std::uint64_t low = 0;
  std::uint64_t width = 0;
  std::uint64_t below = 0;
  std::uint64_t* kept = nullptr;
  std::size_t count = 0;
  std::size_t room = 0;
};

// Most columns a row sweep takes at once.
inline constexpr std::size_t kRowSweepColumns = 16;

// Sweeps columns [first, first + size) (size <= kRowSweepColumns) of the
// row-major rows x cols `matrix` (rows >= 1) by rows: gives each column's
// bounds in bounds[g] and offers its value keys to windows[g].
void sweep_value_windows(const double* matrix, std::size_t rows, std::size_t cols,
                         std::size_t first, std::size_t size, RowWindow* windows,
                         KeyBounds* bounds) noexcept;

// The same sweep over the total-order keys of the squared distances to
// centres[g], offered to the open windows only (whose columns hold finite
// values).
void sweep_distance_windows(const double* matrix, std::size_t rows, std::size_t cols,
                            std::size_t first, std::size_t size, const double* centres,
                            RowWindow* windows) noexcept;

// What a blanking sweep does to column g of a group, by the squared
// distance of each cell to centres[g]: blanks the cell below below[g], and
// watches it from watch_from[g] to watch_to[g]. A NaN square does neither;
// a limit of 0 blanks nothing, and a watch from +inf to -inf watches
// nothing.
struct BlankLimits {
  const double* centres;
  const double* below;
  const double* watch_from;
  const double* watch_to;
};

namespace detail {

// One build of the sweeps above. The portable one
// is the reference; the x86-64 ones (x86_64/column_keys_*.cpp, each
// compiled for its own instruction set) give the same bits, wider.
struct KeySweeps {
  const char* name;
  KeyBounds (*bounds_of)(const std::uint64_t* keys, std::size_t n) noexcept;
  void (*to_distance_keys)(std::uint64_t* keys, std::size_t n, double centre) noexcept;
  KeptKeys (*keep_between)(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                           std::uint64_t high, std::uint64_t* to) noexcept;
  void (*sweep_value_windows)(const double* matrix, std::size_t rows, std::size_t cols,
                              std::size_t first, std::size_t size, RowWindow* windows,
                              KeyBounds* bounds) noexcept;
  void (*sweep_distance_windows)(const double* matrix, std::size_t rows, std::size_t cols,
                                 std::size_t first, std::size_t size, const double* centres,
                                 RowWindow* windows) noexcept;
  void (*copy_value_keys)(const double* matrix, std::size_t rows, std::size_t cols,
                          std::size_t first, std::size_t size, std::uint64_t* keys,
                          KeyBounds* bounds) noexcept;
  std::size_t (*blank_nearer)(double* matrix, std::size_t cols, std::size_t first,
                              std::size_t size, std::size_t begin, std::size_t end,
                              const BlankLimits& limits, std::uint32_t* watched) noexcept;
};

// The AVX2 blanking sweep, which the AVX-512 build shares: it requires AVX2.
std::size_t blank_nearer_avx2(double* matrix, std::size_t cols, std::size_t first,
                              std::size_t size, std::size_t begin, std::size_t end,
                              const BlankLimits& limits, std::uint32_t* watched) noexcept;

extern const KeySweeps kPortableKeySweeps;
#if GAPWRIGHT_X86_64_REFILLS
extern const KeySweeps kAvx2KeySweeps;
extern const KeySweeps kAvx512KeySweeps;
#endif

// Every build this processor runs, the portable one first, the widest last.
std::vector<const KeySweeps*> runnable_key_sweeps();

// The build the sweeps use, chosen once per process: the one that the
// environment variable GAPWRIGHT_KERNELS names ("portable", "avx2",
// "avx512") if it runs here, else the widest runnable. A test runs the
// reference path end to end with "portable"; a benchmark measures a
// narrower build on a wider machine.
const KeySweeps& chosen_key_sweeps() noexcept;

}  // namespace detail

// Rows a blanking sweep takes at most in one call.
inline constexpr std::size_t kBlankRows = 1024;

// Blanks by `limits` the cells of rows [begin, end) (at most kBlankRows)
// of columns [first, first + size) of the row-major `matrix` (`cols` wide),
// and writes the rows with a watched cell to `watched`, ascending, as
// offsets from `begin`; returns how many there are.
std::size_t blank_nearer(double* matrix, std::size_t cols, std::size_t first, std::size_t size,
                         std::size_t begin, std::size_t end, const BlankLimits& limits,
                         std::uint32_t* watched) noexcept;

}  // namespace gapwright
