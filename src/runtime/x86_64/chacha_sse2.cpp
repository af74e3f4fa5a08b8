// The 128-bit SSE2 ChaCha refill. SSE2 is part of every x86-64 processor,
// so this file needs no extra target flags; it is built only for x86-64
// targets.
#include <emmintrin.h>  // SSE2 intrinsics

#include "runtime/random_stream.h"

namespace gapwright::detail {

namespace {

template <int N>
__m128i rotl_epi32(__m128i v) {
  return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
}

void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b); d = rotl_epi32<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_epi32<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b); d = rotl_epi32<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_epi32<7>(_mm_xor_si128(b, c));
}

}  // namespace

// Each vector holds one state word of all four blocks (lane k = block c + k),
// so the rounds need no shuffles; a 4x4 transpose puts the output back in
// block order.
void refill_sse2(const std::array<std::uint32_t, 16>& state, int rounds, std::uint32_t* out) {
  __m128i input[kBlockWords];
  for (int i = 0; i < kBlockWords; ++i) input[i] = _mm_set1_epi32(static_cast<int>(state[i]));
  const std::uint64_t counter = block_counter_of(state);
  std::uint32_t low[kRefillBlocks];
  std::uint32_t high[kRefillBlocks];
  for (int k = 0; k < kRefillBlocks; ++k) {
    const std::uint64_t block_counter = counter + static_cast<std::uint64_t>(k);
    low[k] = static_cast<std::uint32_t>(block_counter);
    high[k] = static_cast<std::uint32_t>(block_counter >> 32);
  }
  input[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
  input[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));

  __m128i x[kBlockWords];
  for (int i = 0; i < kBlockWords; ++i) x[i] = input[i];
  for (int round = 0; round < rounds; round += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < kBlockWords; ++i) x[i] = _mm_add_epi32(x[i], input[i]);

  for (int i = 0; i < kBlockWords; i += 4) {
    const __m128i t0 = _mm_unpacklo_epi32(x[i], x[i + 1]);
    const __m128i t1 = _mm_unpacklo_epi32(x[i + 2], x[i + 3]);
    const __m128i t2 = _mm_unpackhi_epi32(x[i], x[i + 1]);
    const __m128i t3 = _mm_unpackhi_epi32(x[i + 2], x[i + 3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * kBlockWords + i), _mm_unpacklo_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * kBlockWords + i), _mm_unpackhi_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kBlockWords + i), _mm_unpacklo_epi64(t2, t3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * kBlockWords + i), _mm_unpackhi_epi64(t2, t3));
  }
}

}  // namespace gapwright::detail
