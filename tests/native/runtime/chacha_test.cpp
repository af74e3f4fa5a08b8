// The block function against published ChaCha test vectors, and the refill
// variants built for this target against each other.
#include <array>    // std::array
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <string>   // std::string
#include <vector>   // std::vector

#include <gtest/gtest.h>

#include "runtime/random_stream.h"

namespace gapwright::detail {
namespace {

using State = std::array<std::uint32_t, 16>;
using Output = std::array<std::uint32_t, 64>;

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

State make_state(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream) {
  State state{};
  for (int i = 0; i < 4; ++i) state[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) state[4 + i] = key[i];
  state[12] = static_cast<std::uint32_t>(counter);
  state[13] = static_cast<std::uint32_t>(counter >> 32);
  state[14] = static_cast<std::uint32_t>(stream);
  state[15] = static_cast<std::uint32_t>(stream >> 32);
  return state;
}

// Published vectors are key-stream bytes; the stream is read as little-endian words.
std::vector<std::uint32_t> words_of_hex(const std::string& hex) {
  std::vector<std::uint32_t> words;
  for (std::size_t i = 0; i + 8 <= hex.size(); i += 8) {
    std::uint32_t word = 0;
    for (int byte = 3; byte >= 0; --byte) {
      word = (word << 8) | static_cast<std::uint32_t>(std::stoul(hex.substr(i + 2 * byte, 2), nullptr, 16));
    }
    words.push_back(word);
  }
  return words;
}

Output run(RefillFn refill, const State& state, int rounds) {
  Output out{};
  refill(state, rounds, out.data());
  return out;
}

struct Variant {
  const char* name;
  RefillFn refill;
};

std::vector<Variant> available_variants() {
  std::vector<Variant> variants = {{"scalar", &refill_scalar}};
#if GAPWRIGHT_X86_64_REFILLS
  variants.push_back({"sse2", &refill_sse2});
  if (cpu_has_avx2()) variants.push_back({"avx2", &refill_avx2});
#endif
  return variants;
}

TEST(chacha_test, rfc8439_block_vector) {
  // RFC 8439 section 2.3.2: key 00..1f, block count 1, nonce
  // 00:00:00:09:00:00:00:4a:00:00:00:00. The RFC's counter word and first
  // nonce word are our 64-bit counter; its last two nonce words our stream.
  std::array<std::uint32_t, 8> key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  const State state = make_state(key, 0x0900000000000001ULL, 0x4a000000);
  const std::array<std::uint32_t, 16> expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  for (const Variant& variant : available_variants()) {
    const Output out = run(variant.refill, state, 20);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << variant.name << " word " << i;
  }
}

TEST(chacha_test, zero_key_vectors_for_each_round_count) {
  // RFC 8439 appendix A.1 test vectors 1 and 2 (ChaCha20, blocks 0 and 1),
  // and the 8- and 12-round key streams for the all-zero key and IV from the
  // published ChaCha test vectors (TC1).
  const State state = make_state({}, 0, 0);
  const std::vector<std::uint32_t> chacha20 = words_of_hex(
      "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
      "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
      "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
      "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
  const std::vector<std::uint32_t> chacha12 = words_of_hex(
      "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
      "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be");
  const std::vector<std::uint32_t> chacha8 = words_of_hex(
      "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
      "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42");
  for (const Variant& variant : available_variants()) {
    const Output out20 = run(variant.refill, state, 20);
    for (std::size_t i = 0; i < chacha20.size(); ++i) EXPECT_EQ(out20[i], chacha20[i]) << variant.name << " 20 rounds, word " << i;
    const Output out12 = run(variant.refill, state, 12);
    for (std::size_t i = 0; i < chacha12.size(); ++i) EXPECT_EQ(out12[i], chacha12[i]) << variant.name << " 12 rounds, word " << i;
    const Output out8 = run(variant.refill, state, 8);
    for (std::size_t i = 0; i < chacha8.size(); ++i) EXPECT_EQ(out8[i], chacha8[i]) << variant.name << " 8 rounds, word " << i;
  }
}

TEST(chacha_test, blocks_follow_the_64_bit_counter) {
  // Starting one below a carry, blocks 1 to 3 are the blocks that a refill
  // starting at the carried counters gives as its block 0.
  std::uint64_t seed = 99;
  std::array<std::uint32_t, 8> key{};
  for (auto& word : key) word = pcg32_next(seed);
  for (std::uint64_t first : {0xFFFFFFFFULL, 0x1FFFFFFFEULL, 0xFFFFFFFFFFFFFFFDULL}) {
    const Output out = run(&refill_scalar, make_state(key, first, 7), 12);
    for (std::uint64_t k = 1; k < 4; ++k) {
      const Output single = run(&refill_scalar, make_state(key, first + k, 7), 12);
      for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(out[16 * k + i], single[i]) << "counter " << first << " block " << k << " word " << i;
      }
    }
  }
}

#if GAPWRIGHT_X86_64_REFILLS
// Several keys, stream numbers and round counts, with counters that carry from
// word 12 into word 13 inside the four blocks and one that wraps.
void expect_same_words_as_scalar(RefillFn refill, const char* name) {
  std::uint64_t seed = 12345;
  for (int trial = 0; trial < 8; ++trial) {
    std::array<std::uint32_t, 8> key{};
    for (auto& word : key) word = pcg32_next(seed);
    const std::uint64_t stream = (static_cast<std::uint64_t>(pcg32_next(seed)) << 32) | pcg32_next(seed);
    for (std::uint64_t counter : {0ULL, 4ULL, 0xFFFFFFFEULL, 0xFFFFFFFFULL, 0xFFFFFFFFFFFFFFFEULL}) {
      const State state = make_state(key, counter, stream);
      for (int rounds : {8, 12, 20}) {
        EXPECT_EQ(run(refill, state, rounds), run(&refill_scalar, state, rounds))
            << name << ", counter " << counter << ", " << rounds << " rounds";
      }
    }
  }
}

TEST(chacha_test, sse2_matches_scalar) { expect_same_words_as_scalar(&refill_sse2, "sse2"); }

TEST(chacha_test, avx2_matches_scalar) {
  if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  expect_same_words_as_scalar(&refill_avx2, "avx2");
}

TEST(chacha_test, dispatch) {
  // The compiler's own probe also checks that the OS saves the AVX state.
  EXPECT_EQ(cpu_has_avx2(), __builtin_cpu_supports("avx2") != 0);
  const RefillFn chosen = chosen_refill();
  EXPECT_EQ(chosen, cpu_has_avx2() ? &refill_avx2 : &refill_sse2);
  EXPECT_EQ(chosen_refill(), chosen);
}
#else
TEST(chacha_test, dispatch) { EXPECT_EQ(chosen_refill(), &refill_scalar); }
#endif

}  // namespace
}  // namespace gapwright::detail
