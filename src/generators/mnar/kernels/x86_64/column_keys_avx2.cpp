// The key sweeps with 256-bit AVX2 vectors, four keys at a time. Compiled
// with -mavx2 (and nothing that would contract into FMA) and called only
// where the processor has AVX2; every other key is handled as the portable
// sweeps handle it.
#include <immintrin.h>  // AVX2 intrinsics

#include "generators/mnar/kernels/blank.h"
#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"

#include <bit>      // std::bit_cast, std::countr_zero, std::popcount
#include <cstdint>  // std::int32_t

namespace gapwright::detail {

namespace {

// AVX2 compares 64-bit lanes as signed: flipping the top bit makes the
// signed order the unsigned one.
const __m256i kTopBit = _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << 63));

// Moves the bounds in the lanes of `lowest` and `highest` out to the keys
// of `flipped`, all with their top bits flipped.
void widen_bounds(__m256i flipped, __m256i& lowest, __m256i& highest) noexcept {
  lowest = _mm256_blendv_epi8(lowest, flipped, _mm256_cmpgt_epi64(lowest, flipped));
  highest = _mm256_blendv_epi8(highest, flipped, _mm256_cmpgt_epi64(flipped, highest));
}

// Writes the bounds in the four lanes of `lowest` and `highest` (top bits
// flipped) to bounds[0..3].
void store_lane_bounds(__m256i lowest, __m256i highest, KeyBounds* bounds) noexcept {
  alignas(32) std::uint64_t low_lanes[4];
  alignas(32) std::uint64_t high_lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(low_lanes), _mm256_xor_si256(lowest, kTopBit));
  _mm256_store_si256(reinterpret_cast<__m256i*>(high_lanes), _mm256_xor_si256(highest, kTopBit));
  for (std::size_t lane = 0; lane < 4; ++lane) {
    bounds[lane] = KeyBounds{low_lanes[lane], high_lanes[lane]};
  }
}

KeyBounds bounds_of_avx2(const std::uint64_t* keys, std::size_t n) noexcept {
  __m256i lowest = _mm256_set1_epi64x(static_cast<long long>(keys[0] ^ (std::uint64_t{1} << 63)));
  __m256i highest = lowest;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    widen_bounds(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i)),
                                  kTopBit),
                 lowest, highest);
  }
  KeyBounds lanes[4];
  store_lane_bounds(lowest, highest, lanes);
  KeyBounds bounds{keys[0], keys[0]};
  for (const KeyBounds& lane : lanes) {
    bounds.lowest = lane.lowest < bounds.lowest ? lane.lowest : bounds.lowest;
    bounds.highest = lane.highest > bounds.highest ? lane.highest : bounds.highest;
  }
  for (; i < n; ++i) {
    bounds.lowest = keys[i] < bounds.lowest ? keys[i] : bounds.lowest;
    bounds.highest = keys[i] > bounds.highest ? keys[i] : bounds.highest;
  }
  return bounds;
}

// from_total_order_ukey on four keys: negative values (top bit clear in the
// key) get every bit but the sign flipped back.
__m256d values_of_keys(__m256i keys) noexcept {
  const __m256i signed_keys = _mm256_xor_si256(keys, kTopBit);
  const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), signed_keys);
  return _mm256_castsi256_pd(_mm256_xor_si256(signed_keys, _mm256_srli_epi64(negative, 1)));
}

void to_distance_keys_avx2(std::uint64_t* keys, std::size_t n, double centre) noexcept {
  const __m256d centres = _mm256_set1_pd(centre);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256i* at = reinterpret_cast<__m256i*>(keys + i);
    const __m256d difference = _mm256_sub_pd(values_of_keys(_mm256_loadu_si256(at)), centres);
    _mm256_storeu_si256(at, _mm256_castpd_si256(_mm256_mul_pd(difference, difference)));
  }
  for (; i < n; ++i) {
    const double difference = from_total_order_ukey(keys[i]) - centre;
    keys[i] = std::bit_cast<std::uint64_t>(difference * difference);
  }
}

// For each mask of kept lanes, the 32-bit lanes that move its kept keys to
// the low end of a vector, in order.
struct PackingTable {
  alignas(32) std::int32_t lanes[16][8];
};

constexpr PackingTable packing_table() noexcept {
  PackingTable table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    unsigned next = 0;
    for (std::int32_t lane = 0; lane < 4; ++lane) {
      if ((mask >> lane & 1U) == 0) continue;
      table.lanes[mask][2 * next] = 2 * lane;
      table.lanes[mask][2 * next + 1] = 2 * lane + 1;
      ++next;
    }
  }
  return table;
}

constexpr PackingTable kPacking = packing_table();

// As the AVX-512 build: each vector's kept keys are packed to its low lanes
// and stored whole where the count so far stands. The keys below are
// counted in lanes.
KeptKeys keep_between_avx2(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                           std::uint64_t high, std::uint64_t* to) noexcept {
  const __m256i lows = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(low)), kTopBit);
  const __m256i highs = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(high)), kTopBit);
  KeptKeys kept{0, 0};
  __m256i below_lanes = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i some = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i));
    const __m256i flipped = _mm256_xor_si256(some, kTopBit);
    const __m256i below = _mm256_cmpgt_epi64(lows, flipped);
    below_lanes = _mm256_sub_epi64(below_lanes, below);
    const __m256i outside = _mm256_or_si256(below, _mm256_cmpgt_epi64(flipped, highs));
    const unsigned within = ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(outside))) & 0xFU;
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPacking.lanes[within]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + kept.kept), _mm256_permutevar8x32_epi32(some, lanes));
    kept.kept += static_cast<std::size_t>(std::popcount(within));
  }
  alignas(32) std::uint64_t counts[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(counts), below_lanes);
  kept.below = counts[0] + counts[1] + counts[2] + counts[3];
  for (; i < n; ++i) {
    const std::uint64_t key = keys[i];
    to[kept.kept] = key;
    kept.kept += key - low <= high - low ? 1 : 0;
    kept.below += key < low ? 1 : 0;
  }
  return kept;
}

// total_order_ukey on four values, top bit flipped: the signed key, which
// orders as AVX2's signed compares do.
__m256i signed_keys_of_values(__m256d values) noexcept {
  const __m256i bits = _mm256_castpd_si256(values);
  const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), bits);
  return _mm256_xor_si256(bits, _mm256_srli_epi64(negative, 1));
}

// The first `lanes` cells from `cells` (the rest of the vector 0), and
// back. Cells past them may be another job's, which it may be reading or
// blanking, so they are not touched; and a masked load or store that spans
// two cache lines costs several plain ones, so short blocks take plain ones
// of one, two or three cells.
__m256d load_lanes(const double* cells, std::size_t lanes) noexcept {
  switch (lanes) {
    case 1:
      return _mm256_zextpd128_pd256(_mm_load_sd(cells));
    case 2:
      return _mm256_zextpd128_pd256(_mm_loadu_pd(cells));
    case 3:
      return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(cells)),
                                  _mm_load_sd(cells + 2), 1);
    default:
      return _mm256_loadu_pd(cells);
  }
}

void store_lanes(double* cells, __m256d values, std::size_t lanes) noexcept {
  switch (lanes) {
    case 1:
      _mm_store_sd(cells, _mm256_castpd256_pd128(values));
      break;
    case 2:
      _mm_storeu_pd(cells, _mm256_castpd256_pd128(values));
      break;
    case 3:
      _mm_storeu_pd(cells, _mm256_castpd256_pd128(values));
      _mm_store_sd(cells + 2, _mm256_extractf128_pd(values, 1));
      break;
    default:
      _mm256_storeu_pd(cells, values);
  }
}

// A block of up to four columns of a copy: its cells in row 0, its first
// column's keys, and its bounds in lanes (top bits flipped).
struct CopyLanes {
  std::size_t lanes = 0;
  const double* corner = nullptr;
  std::uint64_t* out = nullptr;
  __m256i lowest = _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL);
  __m256i highest = kTopBit;
};

// Four rows of a block are read, turned into keys and transposed in
// registers, so that each of its columns takes its four keys in one store.
void copy_four_rows(CopyLanes& block, std::size_t rows, std::size_t cols, std::size_t r) noexcept {
  __m256i k[4];
  for (std::size_t i = 0; i < 4; ++i) {
    k[i] = signed_keys_of_values(load_lanes(block.corner + (r + i) * cols, block.lanes));
    widen_bounds(k[i], block.lowest, block.highest);
  }
  const __m256i even01 = _mm256_unpacklo_epi64(k[0], k[1]);
  const __m256i odd01 = _mm256_unpackhi_epi64(k[0], k[1]);
  const __m256i even23 = _mm256_unpacklo_epi64(k[2], k[3]);
  const __m256i odd23 = _mm256_unpackhi_epi64(k[2], k[3]);
  const __m256i columns[4] = {_mm256_permute2x128_si256(even01, even23, 0x20),
                              _mm256_permute2x128_si256(odd01, odd23, 0x20),
                              _mm256_permute2x128_si256(even01, even23, 0x31),
                              _mm256_permute2x128_si256(odd01, odd23, 0x31)};
  for (std::size_t lane = 0; lane < block.lanes; ++lane) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block.out + lane * rows + r),
                        _mm256_xor_si256(columns[lane], kTopBit));
  }
}

// The rows after the last four, one at a time, and the block's bounds.
void finish_copy(CopyLanes& block, std::size_t rows, std::size_t cols, std::size_t from,
                 KeyBounds* bounds) noexcept {
  for (std::size_t r = from; r < rows; ++r) {
    const __m256i keys = signed_keys_of_values(load_lanes(block.corner + r * cols, block.lanes));
    widen_bounds(keys, block.lowest, block.highest);
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_xor_si256(keys, kTopBit));
    for (std::size_t lane = 0; lane < block.lanes; ++lane) block.out[lane * rows + r] = lanes[lane];
  }
  KeyBounds lanes[4];
  store_lane_bounds(block.lowest, block.highest, lanes);
  for (std::size_t lane = 0; lane < block.lanes; ++lane) bounds[lane] = lanes[lane];
}

// Four columns a block and up to four blocks a sweep, which share its reads
// of each row's cache lines; the last block takes its one to three columns
// as load_lanes does.
void copy_value_keys_avx2(const double* matrix, std::size_t rows, std::size_t cols,
                          std::size_t first, std::size_t size, std::uint64_t* keys,
                          KeyBounds* bounds) noexcept {
  constexpr std::size_t kSweepBlocks = 4;
  for (std::size_t sweep = 0; sweep < size; sweep += 4 * kSweepBlocks) {
    CopyLanes blocks[kSweepBlocks];
    std::size_t count = 0;
    for (std::size_t block = sweep; block < size && count < kSweepBlocks; block += 4) {
      blocks[count].lanes = size - block < 4 ? size - block : 4;
      blocks[count].corner = matrix + first + block;
      blocks[count].out = keys + block * rows;
      ++count;
    }
    std::size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      for (std::size_t b = 0; b < count; ++b) copy_four_rows(blocks[b], rows, cols, r);
    }
    for (std::size_t b = 0; b < count; ++b) {
      finish_copy(blocks[b], rows, cols, r, bounds + sweep + 4 * b);
    }
  }
}

// The row sweeps take a group's columns four to a vector, in at most
// kRowSweepColumns / 4 vectors, each with its windows' state in lanes, keys
// and bounds with their top bits flipped.
constexpr std::size_t kBlocks = kRowSweepColumns / 4;

struct LaneWindows {
  std::size_t lanes = 0;                        // lanes that are columns
  unsigned open = 0;                             // lanes whose window is open
  __m256i columns = _mm256_setzero_si256();     // all ones in lanes that are columns
  __m256i open_lanes = _mm256_setzero_si256();  // all ones in open lanes
  __m256i low = _mm256_setzero_si256();
  __m256i width = _mm256_setzero_si256();
  __m256i below = _mm256_setzero_si256();
  RowWindow* windows = nullptr;
};

__m256i lanes_of(unsigned mask) noexcept {
  const auto lane = [mask](unsigned i) { return (mask >> i & 1U) != 0 ? -1LL : 0LL; };
  return _mm256_setr_epi64x(lane(0), lane(1), lane(2), lane(3));
}

std::size_t blocks_of(std::size_t size, RowWindow* windows, LaneWindows* blocks) noexcept {
  const std::size_t count = (size + 3) / 4;
  for (std::size_t b = 0; b < count; ++b) {
    const std::size_t lanes = size - 4 * b < 4 ? size - 4 * b : 4;
    alignas(32) std::uint64_t low[4] = {};
    alignas(32) std::uint64_t width[4] = {};
    LaneWindows& block = blocks[b];
    block.lanes = lanes;
    block.columns = lanes_of((1U << lanes) - 1);
    block.windows = windows + 4 * b;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      if (!block.windows[lane].open) continue;
      block.open |= 1U << lane;
      low[lane] = block.windows[lane].low;
      width[lane] = block.windows[lane].width;
    }
    block.open_lanes = lanes_of(block.open);
    block.low = _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(low)), kTopBit);
    block.width = _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(width)), kTopBit);
  }
  return count;
}

// Hands the keys of the lanes in `inside` (top bits flipped) to their
// windows. A window that is full closes.
[[gnu::noinline]] void keep_lanes(__m256i keys, unsigned inside, LaneWindows& block) noexcept {
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_xor_si256(keys, kTopBit));
  for (unsigned bits = inside; bits != 0; bits &= bits - 1) {
    const auto lane = static_cast<unsigned>(std::countr_zero(bits));
    RowWindow& window = block.windows[lane];
    if (window.count == window.room) {
      window.open = false;
      block.open &= ~(1U << lane);
      block.open_lanes = lanes_of(block.open);
      continue;
    }
    window.kept[window.count++] = lanes[lane];
  }
}

// Offers four keys (top bits flipped) to the open windows of a block. Few
// keys fall inside a window: the keeping is out of line.
[[gnu::always_inline]] inline void offer_lanes(__m256i keys, LaneWindows& block) noexcept {
  const __m256i below = _mm256_and_si256(block.open_lanes, _mm256_cmpgt_epi64(block.low, keys));
  block.below = _mm256_sub_epi64(block.below, below);
  // The flips cancel in the difference: it is the keys' own.
  const __m256i offset = _mm256_xor_si256(_mm256_sub_epi64(keys, block.low), kTopBit);
  const __m256i outside = _mm256_cmpgt_epi64(offset, block.width);
  const unsigned inside =
      ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(outside))) & block.open;
  if (inside != 0) keep_lanes(keys, inside, block);
}

void settle_lanes(const LaneWindows& block) noexcept {
  alignas(32) std::uint64_t below[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(below), block.below);
  for (std::size_t lane = 0; lane < 4; ++lane) {
    if ((block.open >> lane & 1U) != 0) block.windows[lane].below += below[lane];
  }
}

void sweep_value_windows_avx2(const double* matrix, std::size_t rows, std::size_t cols,
                              std::size_t first, std::size_t size, RowWindow* windows,
                              KeyBounds* bounds) noexcept {
  LaneWindows blocks[kBlocks];
  const std::size_t count = blocks_of(size, windows, blocks);
  __m256i lowest[kBlocks];
  __m256i highest[kBlocks];
  for (std::size_t b = 0; b < count; ++b) {
    lowest[b] = _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL);
    highest[b] = kTopBit;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t b = 0; b < count; ++b) {
      LaneWindows& block = blocks[b];
      const __m256i keys = signed_keys_of_values(load_lanes(row + 4 * b, block.lanes));
      widen_bounds(keys, lowest[b], highest[b]);
      if (block.open != 0) offer_lanes(keys, block);
    }
  }
  for (std::size_t b = 0; b < count; ++b) {
    KeyBounds lanes[4];
    store_lane_bounds(lowest[b], highest[b], lanes);
    for (std::size_t lane = 0; lane < 4 && 4 * b + lane < size; ++lane) bounds[4 * b + lane] = lanes[lane];
    settle_lanes(blocks[b]);
  }
}

void sweep_distance_windows_avx2(const double* matrix, std::size_t rows, std::size_t cols,
                                 std::size_t first, std::size_t size, const double* centres,
                                 RowWindow* windows) noexcept {
  LaneWindows blocks[kBlocks];
  const std::size_t count = blocks_of(size, windows, blocks);
  __m256d centre[kBlocks];
  for (std::size_t b = 0; b < count; ++b) {
    centre[b] = _mm256_maskload_pd(centres + 4 * b, blocks[b].columns);
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t b = 0; b < count; ++b) {
      LaneWindows& block = blocks[b];
      if (block.open == 0) continue;
      const __m256d difference =
          _mm256_sub_pd(load_lanes(row + 4 * b, block.lanes), centre[b]);
      offer_lanes(signed_keys_of_values(_mm256_mul_pd(difference, difference)), block);
    }
  }
  for (std::size_t b = 0; b < count; ++b) settle_lanes(blocks[b]);
}

// The limits of four columns of a blanking sweep, from column g on; lanes
// past the group's columns neither blank nor watch.
struct BlankLanes {
  __m256i columns;
  __m256d centre;
  __m256d below;
  __m256d watch_from;
  __m256d watch_to;

  BlankLanes(const BlankLimits& limits, std::size_t g, std::size_t lanes) noexcept
      : columns(lanes_of((1U << lanes) - 1)),
        centre(load(limits.centres + g, lanes)),
        below(load(limits.below + g, lanes)),
        watch_from(load(limits.watch_from + g, lanes)),
        watch_to(load(limits.watch_to + g, lanes)) {}

  __m256d load(const double* values, std::size_t lanes) const noexcept {
    return lanes == 4 ? _mm256_loadu_pd(values) : _mm256_maskload_pd(values, columns);
  }

  // Blanks the cells of `cells` below the limits and returns the lanes
  // watched, all ones in each.
  __m256d blank(__m256d& cells) const noexcept {
    const __m256d difference = _mm256_sub_pd(cells, centre);
    const __m256d square = _mm256_mul_pd(difference, difference);
    // Ordered compares: a NaN square is neither blanked nor watched.
    const __m256d nearer = _mm256_cmp_pd(square, below, _CMP_LT_OQ);
    cells = _mm256_blendv_pd(cells, _mm256_set1_pd(kBlank), nearer);
    return _mm256_and_pd(_mm256_castsi256_pd(columns),
                         _mm256_and_pd(_mm256_cmp_pd(square, watch_from, _CMP_GE_OQ),
                                       _mm256_cmp_pd(square, watch_to, _CMP_LE_OQ)));
  }
};

}  // namespace

// Four columns a vector, the last one to three as load_lanes and
// store_lanes take them.
std::size_t blank_nearer_avx2(double* matrix, std::size_t cols, std::size_t first,
                              std::size_t size, std::size_t begin, std::size_t end,
                              const BlankLimits& limits, std::uint32_t* watched) noexcept {
  const std::size_t whole = size / 4 * 4;
  const BlankLanes tail(limits, whole, size - whole);
  std::size_t count = 0;
  for (std::size_t r = begin; r < end; ++r) {
    double* row = matrix + r * cols + first;
    __m256d watch = _mm256_setzero_pd();
    // The limits are read again on every row, from the first level of cache.
    for (std::size_t g = 0; g < whole; g += 4) {
      __m256d cells = _mm256_loadu_pd(row + g);
      watch = _mm256_or_pd(watch, BlankLanes(limits, g, 4).blank(cells));
      _mm256_storeu_pd(row + g, cells);
    }
    if (whole < size) {
      __m256d cells = load_lanes(row + whole, size - whole);
      watch = _mm256_or_pd(watch, tail.blank(cells));
      store_lanes(row + whole, cells, size - whole);
    }
    watched[count] = static_cast<std::uint32_t>(r - begin);
    count += _mm256_movemask_pd(watch) != 0 ? 1U : 0U;
  }
  return count;
}

const KeySweeps kAvx2KeySweeps{"avx2", &bounds_of_avx2, &to_distance_keys_avx2,
                               &keep_between_avx2,
                               &sweep_value_windows_avx2,
                               &sweep_distance_windows_avx2, &copy_value_keys_avx2,
                               &blank_nearer_avx2};

}  // namespace gapwright::detail
