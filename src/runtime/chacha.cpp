// The ChaCha block function behind RandomStream, four blocks per call: the
// scalar reference, which every target runs unless a faster variant is built
// for it, and the choice between the variants. The 128- and 256-bit variants
// are x86-64 code and live in x86_64/.
#include <bit>  // std::rotl

#include "runtime/random_stream.h"

namespace gapwright::detail {

namespace {

void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
}

}  // namespace

void refill_scalar(const std::array<std::uint32_t, 16>& state, int rounds, std::uint32_t* out) {
  const std::uint64_t counter = block_counter_of(state);
  for (int block = 0; block < kRefillBlocks; ++block) {
    std::array<std::uint32_t, 16> input = state;
    const std::uint64_t block_counter = counter + static_cast<std::uint64_t>(block);
    input[12] = static_cast<std::uint32_t>(block_counter);
    input[13] = static_cast<std::uint32_t>(block_counter >> 32);
    std::array<std::uint32_t, 16> x = input;
    for (int round = 0; round < rounds; round += 2) {
      quarter_round(x, 0, 4, 8, 12);
      quarter_round(x, 1, 5, 9, 13);
      quarter_round(x, 2, 6, 10, 14);
      quarter_round(x, 3, 7, 11, 15);
      quarter_round(x, 0, 5, 10, 15);
      quarter_round(x, 1, 6, 11, 12);
      quarter_round(x, 2, 7, 8, 13);
      quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < kBlockWords; ++i) out[block * kBlockWords + i] = x[i] + input[i];
  }
}

RefillFn chosen_refill() noexcept {
#if GAPWRIGHT_X86_64_REFILLS
  static const RefillFn chosen = cpu_has_avx2() ? &refill_avx2 : &refill_sse2;
  return chosen;
#else
  return &refill_scalar;
#endif
}

}  // namespace gapwright::detail
