#include "runtime/random_stream.h"

#include <bit>      // std::rotr
#include <numeric>  // std::iota

#include "runtime/internal_error.h"

namespace gapwright {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr int kRounds = 12;

constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;

}  // namespace

namespace detail {

std::uint32_t pcg32_next(std::uint64_t& state) {
  state = state * kPcgMultiplier + kPcgIncrement;
  const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
  const auto rotation = static_cast<int>(state >> 59);
  return std::rotr(xorshifted, rotation);
}

WideProduct wide_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  // Schoolbook on 32-bit halves rather than unsigned __int128, which 32-bit
  // targets and some compilers lack. Only ranges past 2^32 come here, so the
  // extra multiplications cost nothing that shows.
  const std::uint64_t a_lo = a & 0xFFFFFFFFU;
  const std::uint64_t a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xFFFFFFFFU;
  const std::uint64_t b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo;
  const std::uint64_t hi_lo = a_hi * b_lo;
  const std::uint64_t lo_hi = a_lo * b_hi;
  const std::uint64_t hi_hi = a_hi * b_hi;
  // At most 3 * (2^32 - 1), so the middle column cannot overflow.
  const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFU) + (lo_hi & 0xFFFFFFFFU);
  return {hi_hi + (hi_lo >> 32) + (lo_hi >> 32) + (middle >> 32), a * b};
}

}  // namespace detail

RandomStream RandomStream::seed_from_u64(std::uint64_t seed) {
  // The processor check happens here, when a stream is created, rather than
  // inside the first draw.
  static_cast<void>(detail::chosen_refill());
  RandomStream stream;
  for (std::size_t i = 0; i < kSigma.size(); ++i) stream.state_[i] = kSigma[i];
  std::uint64_t pcg = seed;
  for (std::size_t i = 0; i < 8; ++i) stream.state_[4 + i] = detail::pcg32_next(pcg);
  return stream;
}

std::uint64_t RandomStream::block_counter() const noexcept {
  return detail::block_counter_of(state_);
}

std::uint64_t RandomStream::words_drawn() const noexcept {
  return block_counter() * 16 - (kBufferWords - position_);
}

void RandomStream::seek(std::uint64_t words) {
  // Refills read four blocks from a counter that is a multiple of four.
  const std::uint64_t first_block = words / kBufferWords * 4;
  state_[12] = static_cast<std::uint32_t>(first_block);
  state_[13] = static_cast<std::uint32_t>(first_block >> 32);
  refill();
  position_ = static_cast<std::size_t>(words % kBufferWords);
}

void RandomStream::refill() {
  detail::chosen_refill()(state_, kRounds, buffer_.data());
  const std::uint64_t next = block_counter() + 4;
  state_[12] = static_cast<std::uint32_t>(next);
  state_[13] = static_cast<std::uint32_t>(next >> 32);
  position_ = 0;
}

std::span<const std::uint32_t> RandomStream::buffered() {
  if (position_ == kBufferWords) refill();
  return std::span(buffer_).subspan(position_);
}

std::uint32_t RandomStream::draw_u32() {
  if (position_ == kBufferWords) refill();
  return buffer_[position_++];
}

std::uint64_t RandomStream::draw_u64() {
  // Going through draw_u32 twice keeps the position-63 case (low half from
  // this buffer, high half from the next) identical to two separate draws.
  const std::uint64_t low = draw_u32();
  const std::uint64_t high = draw_u32();
  return low | (high << 32);
}

double RandomStream::draw_f64() {
  const std::uint64_t bits = draw_u64();
  return f64_of_words(static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32));
}

std::uint64_t RandomStream::random_range(std::uint64_t n) {
  if (n == 0) panic("cannot sample empty range");
  if (n <= 0xFFFFFFFFULL) {
    const auto range = static_cast<std::uint32_t>(n);
    const std::uint64_t product = static_cast<std::uint64_t>(draw_u32()) * range;
    const auto hi = static_cast<std::uint32_t>(product >> 32);
    const auto lo = static_cast<std::uint32_t>(product);
    if (lo <= static_cast<std::uint32_t>(0U - range)) return hi;
    const auto hi2 = static_cast<std::uint32_t>((static_cast<std::uint64_t>(draw_u32()) * range) >> 32);
    const bool carry = static_cast<std::uint32_t>(lo + hi2) < lo;
    return hi + (carry ? 1U : 0U);
  }
  const detail::WideProduct product = detail::wide_multiply(draw_u64(), n);
  if (product.low <= 0ULL - n) return product.high;
  const std::uint64_t hi2 = detail::wide_multiply(draw_u64(), n).high;
  const bool carry = product.low + hi2 < product.low;
  return product.high + (carry ? 1U : 0U);
}

std::vector<std::uint64_t> RandomStream::pick_indices(std::uint64_t n, std::uint64_t amount) {
  if (amount >= n) {
    std::vector<std::uint64_t> all(n);
    std::iota(all.begin(), all.end(), std::uint64_t{0});
    return all;
  }
  std::vector<std::uint64_t> reservoir(amount);
  std::iota(reservoir.begin(), reservoir.end(), std::uint64_t{0});
  for (std::uint64_t e = amount; e < n; ++e) {
    const std::uint64_t k = random_range(e + 1);
    if (k < amount) reservoir[k] = e;
  }
  return reservoir;
}

}  // namespace gapwright
