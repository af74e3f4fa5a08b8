// The nearest-cell scan with 512-bit AVX-512 vectors, eight cells at a
// time. Compiled with -mavx512f (and nothing that would contract into FMA)
// and called only where the processor and the operating system support it.
// A first sweep finds the lowest distance key, a second the lowest row
// among the cells of that key, which is nearly always one cell.
#include <immintrin.h>  // AVX-512F intrinsics

#include "generators/mnar/kernels/nearest_cell.h"

namespace gapwright::detail {

namespace {

__mmask8 lanes_inside(std::size_t left) noexcept {
  return left >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1U << left) - 1);
}

// The distance keys of the cells in the lanes of `inside`; all bits set in
// the others, above every distance key.
__m512i distance_keys(const std::uint64_t* keys, __mmask8 inside, __m512d threshold) noexcept {
  const __m512i signed_keys = _mm512_xor_si512(_mm512_maskz_loadu_epi64(inside, keys),
                                               _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63)));
  const __m512i flips = _mm512_srli_epi64(_mm512_srai_epi64(signed_keys, 63), 1);
  const __m512d difference =
      _mm512_sub_pd(_mm512_castsi512_pd(_mm512_xor_si512(signed_keys, flips)), threshold);
  return _mm512_mask_blend_epi64(inside, _mm512_set1_epi64(-1),
                                 _mm512_castpd_si512(_mm512_mul_pd(difference, difference)));
}

// Offers the cells among eight, starting at `first`, whose lanes `equal`
// marks, all of distance key `key`.
bool offer_equal(__mmask8 equal, std::uint64_t key, const std::uint32_t* rows, std::size_t first,
                 NearestCell& nearest) noexcept {
  bool better = false;
  for (unsigned lanes = equal; lanes != 0; lanes &= lanes - 1) {
    const std::size_t i = first + static_cast<std::size_t>(__builtin_ctz(lanes));
    if (key < nearest.key || rows[i] < nearest.row) {
      nearest = NearestCell{key, rows[i], static_cast<std::uint32_t>(i)};
      better = true;
    }
  }
  return better;
}

bool offer_avx512(const std::uint64_t* keys, const std::uint32_t* rows, std::size_t n,
                  double threshold, NearestCell& nearest) noexcept {
  const __m512d thresholds = _mm512_set1_pd(threshold);
  const __m512i first = distance_keys(keys, lanes_inside(n), thresholds);
  __m512i lowest = first;
  for (std::size_t i = 8; i < n; i += 8) {
    lowest = _mm512_min_epu64(lowest, distance_keys(keys + i, lanes_inside(n - i), thresholds));
  }
  const std::uint64_t key = _mm512_reduce_min_epu64(lowest);
  if (key > nearest.key) return false;
  const __m512i keys_of_lowest = _mm512_set1_epi64(static_cast<long long>(key));
  bool better = offer_equal(_mm512_cmpeq_epu64_mask(first, keys_of_lowest), key, rows, 0, nearest);
  for (std::size_t i = 8; i < n; i += 8) {
    const __m512i some = distance_keys(keys + i, lanes_inside(n - i), thresholds);
    better |= offer_equal(_mm512_cmpeq_epu64_mask(some, keys_of_lowest), key, rows, i, nearest);
  }
  return better;
}

}  // namespace

// A short column's scan reads at most a few hundred cells: the AVX2 one
// serves, which every processor with AVX-512 runs.
const NearestCellScan kAvx512NearestCellScan{"avx512",           &offer_avx512,
                                             &nearest_place_avx2, &nearest_in_window_avx2,
                                             128,                 4096,
                                             16384};

}  // namespace gapwright::detail
