// The key sweeps with 256-bit AVX2 vectors, four keys at a time. Compiled
// with -mavx2 (and nothing that would contract into FMA) and called only
// where the processor has AVX2; every other key is handled as the portable
// sweeps handle it.
#include <immintrin.h>  // AVX2 intrinsics

#include "generators/mnar/column_keys.h"
#include "generators/mnar/total_order.h"

#include <bit>  // std::bit_cast

namespace gapwright::detail {

namespace {

// AVX2 compares 64-bit lanes as signed: flipping the top bit makes the
// signed order the unsigned one.
const __m256i kTopBit = _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << 63));

KeyBounds bounds_of_avx2(const std::uint64_t* keys, std::size_t n) noexcept {
  __m256i lowest = _mm256_set1_epi64x(static_cast<long long>(keys[0] ^ (std::uint64_t{1} << 63)));
  __m256i highest = lowest;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i flipped = _mm256_xor_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i)), kTopBit);
    lowest = _mm256_blendv_epi8(lowest, flipped, _mm256_cmpgt_epi64(lowest, flipped));
    highest = _mm256_blendv_epi8(highest, flipped, _mm256_cmpgt_epi64(flipped, highest));
  }
  alignas(32) std::uint64_t low_lanes[4];
  alignas(32) std::uint64_t high_lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(low_lanes), _mm256_xor_si256(lowest, kTopBit));
  _mm256_store_si256(reinterpret_cast<__m256i*>(high_lanes), _mm256_xor_si256(highest, kTopBit));
  KeyBounds bounds{keys[0], keys[0]};
  for (int lane = 0; lane < 4; ++lane) {
    bounds.lowest = low_lanes[lane] < bounds.lowest ? low_lanes[lane] : bounds.lowest;
    bounds.highest = high_lanes[lane] > bounds.highest ? high_lanes[lane] : bounds.highest;
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

}  // namespace

const KeySweeps kAvx2KeySweeps{"avx2", &bounds_of_avx2, &to_distance_keys_avx2};

}  // namespace gapwright::detail
