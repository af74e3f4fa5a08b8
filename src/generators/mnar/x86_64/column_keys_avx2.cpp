// The key sweeps with 256-bit AVX2 vectors, four keys at a time. Compiled
// with -mavx2 (and nothing that would contract into FMA) and called only
// where the processor has AVX2; every other key is handled as the portable
// sweeps handle it.
#include <immintrin.h>  // AVX2 intrinsics

#include "generators/mnar/column_keys.h"
#include "generators/mnar/total_order.h"

#include <bit>      // std::bit_cast, std::popcount
#include <cstdint>  // std::int32_t

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
// and stored whole where the count so far stands.
KeptKeys keep_between_avx2(const std::uint64_t* keys, std::size_t n, std::uint64_t low,
                           std::uint64_t high, std::uint64_t* to) noexcept {
  const __m256i lows = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(low)), kTopBit);
  const __m256i highs = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(high)), kTopBit);
  KeptKeys kept{0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i some = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i));
    const __m256i flipped = _mm256_xor_si256(some, kTopBit);
    const __m256i below = _mm256_cmpgt_epi64(lows, flipped);
    const __m256i outside = _mm256_or_si256(below, _mm256_cmpgt_epi64(flipped, highs));
    const unsigned within = ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(outside))) & 0xFU;
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPacking.lanes[within]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + kept.kept), _mm256_permutevar8x32_epi32(some, lanes));
    kept.kept += static_cast<std::size_t>(std::popcount(within));
    kept.below += static_cast<std::size_t>(
        std::popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(below)))));
  }
  for (; i < n; ++i) {
    const std::uint64_t key = keys[i];
    to[kept.kept] = key;
    kept.kept += key - low <= high - low ? 1 : 0;
    kept.below += key < low ? 1 : 0;
  }
  return kept;
}

}  // namespace

const KeySweeps kAvx2KeySweeps{"avx2", &bounds_of_avx2, &to_distance_keys_avx2,
                               &keep_between_avx2, &find_either_portable,
                               &sweep_value_windows_portable,
                               &sweep_distance_windows_portable, &copy_value_keys_portable};

}  // namespace gapwright::detail
