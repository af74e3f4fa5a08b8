// RandomStream: the per-instance ChaCha12 key stream, read as 32-bit words.
//
// The 64-bit seed is expanded into the 256-bit key with the PCG32 step and
// XSH-RR output; the stream number is 0 and the block counter starts at 0.
// Words are handed out from a 64-word buffer that is refilled four blocks at
// a time. Not safe for concurrent use: only the thread running a masking call
// touches it.
#pragma once

#include "runtime/cpu_features.h"  // cpu_has_avx2, which chooses the refill

#include <array>    // std::array
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <span>     // std::span
#include <vector>   // std::vector

namespace gapwright {

class RandomStream {
 public:
  static constexpr std::size_t kBufferWords = 64;

  static RandomStream seed_from_u64(std::uint64_t seed);

  std::uint32_t draw_u32();
  // Two consecutive words, the first as the low half.
  std::uint64_t draw_u64();
  // A multiple of 2^-53 in [0, 1).
  double draw_f64();
  // What draw_f64 makes of the two words it draws.
  static constexpr double f64_of_words(std::uint32_t low, std::uint32_t high) noexcept {
    constexpr double kScale = 1.0 / 9007199254740992.0;  // 2^-53, exact
    const std::uint64_t bits = low | (static_cast<std::uint64_t>(high) << 32);
    return static_cast<double>(bits >> 11) * kScale;
  }
  // Uniform in [0, n) by Canon's method; n = 0 is an internal failure
  // ("cannot sample empty range").
  std::uint64_t random_range(std::uint64_t n);
  // min(amount, n) distinct indices of [0, n) by reservoir sampling, in
  // reservoir slot order; nothing is drawn when amount >= n.
  std::vector<std::uint64_t> pick_indices(std::uint64_t n, std::uint64_t amount);

  // The words the buffer still holds, refilling it first when they are used
  // up (never empty); passing over them with advance() draws them, for
  // readers that take many words at a time.
  std::span<const std::uint32_t> buffered();
  // Draws `words` of the buffered words (at most as many as it holds).
  void advance(std::size_t words) noexcept { position_ += words; }

  // Words drawn since the stream was seeded.
  std::uint64_t words_drawn() const noexcept;
  // Moves to the point after `words` words from the seed: the words that a
  // stream drawn that far would draw next. The key stream is addressed by
  // block, so this costs one refill whatever the distance.
  void seek(std::uint64_t words);

  // Read position into the buffer, 0 to 64 (64: used up). For tests.
  std::size_t position() const noexcept { return position_; }
  // The 64-bit block counter of the next refill. For tests.
  std::uint64_t block_counter() const noexcept;

 private:
  RandomStream() = default;
  void refill();

  std::array<std::uint32_t, 16> state_{};
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t position_ = kBufferWords;
};

namespace detail {

// One PCG32 step followed by the XSH-RR output; advances `state` first.
std::uint32_t pcg32_next(std::uint64_t& state);

// The high and low halves of the 128-bit product a * b.
struct WideProduct {
  std::uint64_t high;
  std::uint64_t low;
};
WideProduct wide_multiply(std::uint64_t a, std::uint64_t b) noexcept;

// The refills' shape, shared by every variant: four blocks of 16 words each,
// the 64-bit block counter in words 12 (low) and 13 (high) of the state.
inline constexpr int kRefillBlocks = 4;
inline constexpr int kBlockWords = 16;
inline std::uint64_t block_counter_of(const std::array<std::uint32_t, 16>& state) noexcept {
  return static_cast<std::uint64_t>(state[12]) | (static_cast<std::uint64_t>(state[13]) << 32);
}

// Four consecutive ChaCha blocks of `rounds` rounds for the input `state`
// (counter in words 12 and 13), written to `out` in counter order. The
// variants must produce identical words; RandomStream uses the one chosen
// once per process. The SSE2 and AVX2 variants exist only in builds for
// x86-64 (GAPWRIGHT_X86_64_REFILLS is 1 there); every other target runs the
// scalar one.
using RefillFn = void (*)(const std::array<std::uint32_t, 16>& state, int rounds,
                          std::uint32_t* out);
void refill_scalar(const std::array<std::uint32_t, 16>& state, int rounds, std::uint32_t* out);
#if GAPWRIGHT_X86_64_REFILLS
void refill_sse2(const std::array<std::uint32_t, 16>& state, int rounds, std::uint32_t* out);
void refill_avx2(const std::array<std::uint32_t, 16>& state, int rounds, std::uint32_t* out);
#endif
RefillFn chosen_refill() noexcept;

}  // namespace detail

}  // namespace gapwright
