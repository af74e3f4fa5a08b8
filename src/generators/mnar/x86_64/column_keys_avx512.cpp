// The key sweeps with 512-bit AVX-512 vectors, eight keys at a time.
// Compiled with -mavx512f (and nothing that would contract into FMA) and
// called only where the processor and the operating system support it;
// the last keys are handled under a mask, with the same operations.
#include <immintrin.h>  // AVX-512F intrinsics

#include "generators/mnar/column_keys.h"

#include <bit>  // std::popcount

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

}  // namespace

const KeySweeps kAvx512KeySweeps{"avx512", &bounds_of_avx512, &to_distance_keys_avx512,
                                 &keep_between_avx512};

}  // namespace gapwright::detail
