// The key sweeps with 512-bit AVX-512 vectors, eight keys at a time.
// Compiled with -mavx512f (and nothing that would contract into FMA) and
// called only where the processor and the operating system support it;
// the last keys are handled under a mask, with the same operations.
#include <immintrin.h>  // AVX-512F intrinsics

#include "generators/mnar/kernels/column_keys.h"
#include "runtime/x86_64/transpose_8x8.h"

#include <bit>  // std::countr_zero, std::popcount

namespace gapwright::detail {

namespace {

KeyBounds bounds_of_avx512(const std::uint64_t* keys, std::size_t n) noexcept {
  __m512i lowest = _mm512_set1_epi64(static_cast<long long>(keys[0]));
  __m512i highest = lowest;
  for (std::size_t i = 0; i < n; i += 8) {
    const __mmask8 inside = n - i >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1U << (n - i)) - 1);
    // Lanes past the end keep the first key, which changes neither bound.
    const __m512i some = _mm512_mask_loadu_epi64(lowest, inside, keys + i);
    lowest = _mm512_min_epu64(lowest, some);
    highest = _mm512_max_epu64(highest, _mm512_mask_loadu_epi64(highest, inside, keys + i));
  }
  return KeyBounds{_mm512_reduce_min_epu64(lowest), _mm512_reduce_max_epu64(highest)};
}

// from_total_order_ukey on eight keys.
__m512d values_of_keys(__m512i keys) noexcept {
  const __m512i signed_keys = _mm512_xor_si512(keys, _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63)));
  const __m512i flips = _mm512_srli_epi64(_mm512_srai_epi64(signed_keys, 63), 1);
  return _mm512_castsi512_pd(_mm512_xor_si512(signed_keys, flips));
}

void to_distance_keys_avx512(std::uint64_t* keys, std::size_t n, double centre) noexcept {
  const __m512d centres = _mm512_set1_pd(centre);
  for (std::size_t i = 0; i < n; i += 8) {
    const __mmask8 inside = n - i >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1U << (n - i)) - 1);
    const __m512i some = _mm512_maskz_loadu_epi64(inside, keys + i);
    const __m512d difference = _mm512_sub_pd(values_of_keys(some), centres);
    _mm512_mask_storeu_epi64(keys + i, inside, _mm512_castpd_si512(_mm512_mul_pd(difference, difference)));
  }
}

// Each vector's kept keys are packed to its low lanes and stored whole at
// the count so far; the next store overwrites the lanes past them. (A
// compressing store to memory is slow on some processors; a store of the
// packed register is not.)
KeptKeys keep_between_avx512(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                             std::uint64_t high, std::uint64_t* to) noexcept {
  const __m512i lows = _mm512_set1_epi64(static_cast<long long>(low));
  const __m512i highs = _mm512_set1_epi64(static_cast<long long>(high));
  KeptKeys kept{0, 0};
  for (std::size_t i = 0; i < n; i += 8) {
    const __mmask8 inside = n - i >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1U << (n - i)) - 1);
    const __m512i some = _mm512_maskz_loadu_epi64(inside, keys + i);
    const __mmask8 below = _mm512_mask_cmplt_epu64_mask(inside, some, lows);
    const __mmask8 within = _mm512_mask_cmple_epu64_mask(inside & static_cast<__mmask8>(~below), some, highs);
    _mm512_storeu_si512(to + kept.kept, _mm512_maskz_compress_epi64(within, some));
    kept.kept += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(within)));
    kept.below += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(below)));
  }
  return kept;
}

// total_order_ukey on eight values.
__m512i keys_of_values(__m512d values) noexcept {
  const __m512i bits = _mm512_castpd_si512(values);
  const __m512i flips = _mm512_srli_epi64(_mm512_srai_epi64(bits, 63), 1);
  return _mm512_xor_si512(_mm512_xor_si512(bits, flips),
                          _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63)));
}

// The row sweeps take a group's columns eight to a vector, in at most
// kRowSweepColumns / 8 vectors, each with its windows' state in lanes.
constexpr std::size_t kBlocks = kRowSweepColumns / 8;

struct LaneWindows {
  __mmask8 columns = 0;  // lanes that are columns of the group
  __mmask8 open = 0;     // lanes whose window is open
  __m512i low = _mm512_setzero_si512();
  __m512i width = _mm512_setzero_si512();
  __m512i below = _mm512_setzero_si512();
  RowWindow* windows = nullptr;
};

std::size_t blocks_of(std::size_t size, RowWindow* windows, LaneWindows* blocks) noexcept {
  const std::size_t count = (size + 7) / 8;
  for (std::size_t b = 0; b < count; ++b) {
    const std::size_t lanes = size - 8 * b < 8 ? size - 8 * b : 8;
    alignas(64) std::uint64_t low[8] = {};
    alignas(64) std::uint64_t width[8] = {};
    LaneWindows& block = blocks[b];
    block.columns = static_cast<__mmask8>((1U << lanes) - 1);
    block.windows = windows + 8 * b;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      if (!block.windows[lane].open) continue;
      block.open = static_cast<__mmask8>(block.open | (1U << lane));
      low[lane] = block.windows[lane].low;
      width[lane] = block.windows[lane].width;
    }
    block.low = _mm512_load_si512(low);
    block.width = _mm512_load_si512(width);
  }
  return count;
}

// Offers eight keys to the open windows of a block. A window that is full
// closes.
void offer_lanes(__m512i keys, LaneWindows& block) noexcept {
  const __m512i ones = _mm512_set1_epi64(1);
  const __mmask8 below = _mm512_mask_cmplt_epu64_mask(block.open, keys, block.low);
  block.below = _mm512_mask_add_epi64(block.below, below, block.below, ones);
  const __mmask8 inside =
      _mm512_mask_cmple_epu64_mask(block.open, _mm512_sub_epi64(keys, block.low), block.width);
  if (inside == 0) return;
  alignas(64) std::uint64_t lanes[8];
  _mm512_store_si512(lanes, keys);
  for (unsigned bits = inside; bits != 0; bits &= bits - 1) {
    const auto lane = static_cast<unsigned>(std::countr_zero(bits));
    RowWindow& window = block.windows[lane];
    if (window.count == window.room) {
      window.open = false;
      block.open = static_cast<__mmask8>(block.open & ~(1U << lane));
      continue;
    }
    window.kept[window.count++] = lanes[lane];
  }
}

void settle_lanes(const LaneWindows& block) noexcept {
  alignas(64) std::uint64_t below[8];
  _mm512_store_si512(below, block.below);
  for (std::size_t lane = 0; lane < 8; ++lane) {
    if (block.open >> lane & 1U) block.windows[lane].below += below[lane];
  }
}

// The bounds of a block's first `lanes` columns, from its lanes of lowest
// and highest keys, into bounds[0, lanes).
void store_bounds(__m512i lowest, __m512i highest, std::size_t lanes, KeyBounds* bounds) noexcept {
  alignas(64) std::uint64_t low[8];
  alignas(64) std::uint64_t high[8];
  _mm512_store_si512(low, lowest);
  _mm512_store_si512(high, highest);
  for (std::size_t lane = 0; lane < lanes; ++lane) bounds[lane] = KeyBounds{low[lane], high[lane]};
}

void sweep_value_windows_avx512(const double* matrix, std::size_t rows, std::size_t cols,
                                std::size_t first, std::size_t size, RowWindow* windows,
                                KeyBounds* bounds) noexcept {
  LaneWindows blocks[kBlocks];
  const std::size_t count = blocks_of(size, windows, blocks);
  __m512i lowest[kBlocks];
  __m512i highest[kBlocks];
  for (std::size_t b = 0; b < count; ++b) {
    lowest[b] = _mm512_set1_epi64(-1);
    highest[b] = _mm512_setzero_si512();
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t b = 0; b < count; ++b) {
      LaneWindows& block = blocks[b];
      const __m512i keys = keys_of_values(_mm512_maskz_loadu_pd(block.columns, row + 8 * b));
      lowest[b] = _mm512_mask_min_epu64(lowest[b], block.columns, lowest[b], keys);
      highest[b] = _mm512_mask_max_epu64(highest[b], block.columns, highest[b], keys);
      if (block.open != 0) offer_lanes(keys, block);
    }
  }
  for (std::size_t b = 0; b < count; ++b) {
    store_bounds(lowest[b], highest[b], size - 8 * b < 8 ? size - 8 * b : 8, bounds + 8 * b);
    settle_lanes(blocks[b]);
  }
}

void sweep_distance_windows_avx512(const double* matrix, std::size_t rows, std::size_t cols,
                                   std::size_t first, std::size_t size, const double* centres,
                                   RowWindow* windows) noexcept {
  LaneWindows blocks[kBlocks];
  const std::size_t count = blocks_of(size, windows, blocks);
  __m512d centre[kBlocks];
  for (std::size_t b = 0; b < count; ++b) {
    centre[b] = _mm512_maskz_loadu_pd(blocks[b].columns, centres + 8 * b);
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t b = 0; b < count; ++b) {
      LaneWindows& block = blocks[b];
      if (block.open == 0) continue;
      const __m512d difference =
          _mm512_sub_pd(_mm512_maskz_loadu_pd(block.open, row + 8 * b), centre[b]);
      offer_lanes(keys_of_values(_mm512_mul_pd(difference, difference)), block);
    }
  }
  for (std::size_t b = 0; b < count; ++b) settle_lanes(blocks[b]);
}

// One block of eight columns (fewer in the last) in the copy below, with
// its columns' bounds so far in lanes.
struct CopyBlock {
  std::size_t lanes;
  __mmask8 columns;
  const double* corner;
  std::uint64_t* out;
  __m512i lowest;
  __m512i highest;

  void take(__m512i keys) noexcept {
    lowest = _mm512_mask_min_epu64(lowest, columns, lowest, keys);
    highest = _mm512_mask_max_epu64(highest, columns, highest, keys);
  }
};

// Rows r to r + 7 of a block.
void copy_eight_rows(CopyBlock& block, std::size_t rows, std::size_t cols, std::size_t r) noexcept {
  __m512d in[8];
  for (std::size_t i = 0; i < 8; ++i) {
    const __m512i keys =
        keys_of_values(_mm512_maskz_loadu_pd(block.columns, block.corner + (r + i) * cols));
    block.take(keys);
    in[i] = _mm512_castsi512_pd(keys);
  }
  __m512d by_column[8];
  transpose_8x8(in, by_column);
  for (std::size_t lane = 0; lane < block.lanes; ++lane) {
    _mm512_storeu_si512(block.out + lane * rows + r, _mm512_castpd_si512(by_column[lane]));
  }
}

// Eight rows at a time, eight columns to a block, a few blocks to a sweep
// (the blocks of a sweep share its reads of each row's cache lines): each
// block's rows are read as vectors, turned into keys and transposed in
// registers, so that every store writes eight keys of one column.
void copy_value_keys_avx512(const double* matrix, std::size_t rows, std::size_t cols,
                            std::size_t first, std::size_t size, std::uint64_t* keys,
                            KeyBounds* bounds) noexcept {
  constexpr std::size_t kSweepBlocks = 4;
  for (std::size_t sweep = 0; sweep < size; sweep += 8 * kSweepBlocks) {
    CopyBlock blocks[kSweepBlocks];
    std::size_t count = 0;
    for (std::size_t block = sweep; block < size && count < kSweepBlocks; block += 8) {
      const std::size_t lanes = size - block < 8 ? size - block : 8;
      blocks[count++] = CopyBlock{lanes, static_cast<__mmask8>((1U << lanes) - 1),
                                  matrix + first + block, keys + block * rows,
                                  _mm512_set1_epi64(-1), _mm512_setzero_si512()};
    }
    std::size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
      for (std::size_t b = 0; b < count; ++b) copy_eight_rows(blocks[b], rows, cols, r);
    }
    for (std::size_t b = 0; b < count; ++b) {
      CopyBlock& block = blocks[b];
      for (std::size_t tail = r; tail < rows; ++tail) {
        const __m512i in =
            keys_of_values(_mm512_maskz_loadu_pd(block.columns, block.corner + tail * cols));
        block.take(in);
        alignas(64) std::uint64_t cells[8];
        _mm512_store_si512(cells, in);
        for (std::size_t lane = 0; lane < block.lanes; ++lane) {
          block.out[lane * rows + tail] = cells[lane];
        }
      }
      store_bounds(block.lowest, block.highest, block.lanes, bounds + sweep + 8 * b);
    }
  }
}

}  // namespace

const KeySweeps kAvx512KeySweeps{"avx512", &bounds_of_avx512, &to_distance_keys_avx512,
                                 &keep_between_avx512,
                                 &sweep_value_windows_avx512,
                                 &sweep_distance_windows_avx512, &copy_value_keys_avx512,
                                 &blank_nearer_avx2};

}  // namespace gapwright::detail
