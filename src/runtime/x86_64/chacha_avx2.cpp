// The 256-bit ChaCha refill. This file alone is built with -mavx2, so nothing
// here may run unless cpu_has_avx2() said yes. For the same reason it holds no
// namespace-scope initialisers and instantiates no inline library functions:
// the linker could hand their AVX2 copies to code that runs on any processor.
#include <immintrin.h>  // AVX2 intrinsics

#include <cstring>  // std::memcpy

#include "runtime/random_stream.h"

namespace gapwright::detail {

namespace {

template <int N>
__m256i rotl_epi32(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
}

// One block pair: each register holds a row of the state, the low 128-bit
// lane for one block and the high lane for the next.
struct Rows {
  __m256i a, b, c, d;
};

void half_round(Rows& r) {
  // Rotations by whole bytes are a single byte shuffle within each word.
  const __m256i kRotate16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                             2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  const __m256i kRotate8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                            3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
  r.a = _mm256_add_epi32(r.a, r.b); r.d = _mm256_shuffle_epi8(_mm256_xor_si256(r.d, r.a), kRotate16);
  r.c = _mm256_add_epi32(r.c, r.d); r.b = rotl_epi32<12>(_mm256_xor_si256(r.b, r.c));
  r.a = _mm256_add_epi32(r.a, r.b); r.d = _mm256_shuffle_epi8(_mm256_xor_si256(r.d, r.a), kRotate8);
  r.c = _mm256_add_epi32(r.c, r.d); r.b = rotl_epi32<7>(_mm256_xor_si256(r.b, r.c));
}

void double_round(Rows& r) {
  half_round(r);
  // Turn the diagonals into columns, run the same round, and turn them back.
  r.b = _mm256_shuffle_epi32(r.b, 0x39);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x93);
  half_round(r);
  r.b = _mm256_shuffle_epi32(r.b, 0x93);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x39);
}

__m256i broadcast_row(const std::uint32_t* state, int row) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4 * row)));
}

__m256i counter_row(const std::uint32_t* state, std::uint64_t first) {
  const std::uint64_t second = first + 1;
  return _mm256_setr_epi32(static_cast<int>(static_cast<std::uint32_t>(first)),
                           static_cast<int>(static_cast<std::uint32_t>(first >> 32)),
                           static_cast<int>(state[14]), static_cast<int>(state[15]),
                           static_cast<int>(static_cast<std::uint32_t>(second)),
                           static_cast<int>(static_cast<std::uint32_t>(second >> 32)),
                           static_cast<int>(state[14]), static_cast<int>(state[15]));
}

void store_pair(const Rows& r, std::uint32_t* out) {
  auto* dst = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(r.a, r.b, 0x20));
  _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(r.c, r.d, 0x20));
  _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(r.a, r.b, 0x31));
  _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(r.c, r.d, 0x31));
}

}  // namespace

void refill_avx2(const std::array<std::uint32_t, 16>& words, int rounds, std::uint32_t* out) {
  std::uint32_t state[16];
  std::memcpy(state, &words, sizeof state);
  const std::uint64_t counter = block_counter_of(words);
  const __m256i a = broadcast_row(state, 0);
  const __m256i b = broadcast_row(state, 1);
  const __m256i c = broadcast_row(state, 2);
  const Rows input01{a, b, c, counter_row(state, counter)};
  const Rows input23{a, b, c, counter_row(state, counter + 2)};
  Rows x01 = input01;
  Rows x23 = input23;
  for (int round = 0; round < rounds; round += 2) {
    double_round(x01);
    double_round(x23);
  }
  const auto finish = [](Rows& x, const Rows& input) {
    x.a = _mm256_add_epi32(x.a, input.a);
    x.b = _mm256_add_epi32(x.b, input.b);
    x.c = _mm256_add_epi32(x.c, input.c);
    x.d = _mm256_add_epi32(x.d, input.d);
  };
  finish(x01, input01);
  finish(x23, input23);
  store_pair(x01, out);
  store_pair(x23, out + 32);
}

}  // namespace gapwright::detail
