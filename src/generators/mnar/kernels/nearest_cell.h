// The scans that find the cell nearest to a threshold by (distance key,
// row): a bucket index query's over a bucket's cells, and a short column's
// over all of its cells or over one slot of them.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <vector>   // std::vector

namespace gapwright {

// The nearest cell found so far. Its key is the bit pattern of its squared
// distance; a default one is beaten by any cell.
struct NearestCell {
  std::uint64_t key = ~std::uint64_t{0};
  std::uint32_t row = ~std::uint32_t{0};
  // Its place among the cells of the scan that found it.
  std::uint32_t position = 0;
};

// The cells a window scan reads, whatever its count.
inline constexpr std::size_t kScanWindow = 16;

namespace detail {

// One build of the scan. The portable one is the reference; the x86-64
// ones (x86_64/nearest_cell_*.cpp, each compiled for its own instruction
// set) find the same cell, several cells at a time.
struct NearestCellScan {
  const char* name;
  // Replaces `nearest` with the lowest (key, row) among n cells (n >= 1)
  // of value keys `keys`, of finite values, and rows `rows`, if that is
  // lower than its own, and says whether it did. The threshold is finite.
  bool (*offer)(const std::uint64_t* keys, const std::uint32_t* rows, std::size_t n,
                double threshold, NearestCell& nearest) noexcept;
  // The place of the lowest (distance key, place) among n values in place
  // order: finite ones, at least one, and quiet NaNs that mark cells
  // already taken, which no place is given for. The threshold is finite.
  std::size_t (*nearest_place)(const double* values, std::size_t n, double threshold) noexcept;
  // The same for n <= kScanWindow, reading kScanWindow values from `values`
  // (those from n on may hold anything).
  std::size_t (*nearest_in_window)(const double* values, std::size_t n, double threshold) noexcept;
  // A short column of at least slot_rows rows is gathered by slot of value
  // once its passes would scan more than slot_cells cells in all with this
  // build's nearest_place; if its slots are too uneven for that, it is
  // scanned up to scan_cells cells, and indexed beyond.
  std::size_t slot_rows;
  std::size_t slot_cells;
  std::size_t scan_cells;
};

extern const NearestCellScan kPortableNearestCellScan;
#if GAPWRIGHT_X86_64_REFILLS
extern const NearestCellScan kAvx2NearestCellScan;
extern const NearestCellScan kAvx512NearestCellScan;
// Shared by the AVX2 and AVX-512 builds.
std::size_t nearest_place_avx2(const double* values, std::size_t n, double threshold) noexcept;
std::size_t nearest_in_window_avx2(const double* values, std::size_t n, double threshold) noexcept;
#endif

// Every build this processor runs, the portable one first, the widest last.
std::vector<const NearestCellScan*> runnable_nearest_cell_scans();

// The build of the same name as the key sweeps' choice (column_keys.h), so
// that GAPWRIGHT_KERNELS governs this kernel as it does those.
const NearestCellScan& chosen_nearest_cell_scan() noexcept;

}  // namespace detail
}  // namespace gapwright
