// The IEEE 754 total order on doubles as a signed 64-bit key: negative NaNs,
// -inf, negatives, -0, +0, positives, +inf, positive NaNs.
#pragma once

#include <bit>      // std::bit_cast
#include <cstdint>  // std::int64_t, std::uint64_t

namespace gapwright {

constexpr std::int64_t total_order_key(double value) noexcept {
  const auto bits = std::bit_cast<std::int64_t>(value);
  // Negative patterns count downwards: flip every bit but the sign.
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The same order as an unsigned key, for radix sorting.
constexpr std::uint64_t total_order_ukey(double value) noexcept {
  return static_cast<std::uint64_t>(total_order_key(value)) ^ (std::uint64_t{1} << 63);
}

// The double whose unsigned key is `key`.
constexpr double from_total_order_ukey(std::uint64_t key) noexcept {
  const auto signed_key = static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63));
  return std::bit_cast<double>(
      signed_key ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(signed_key >> 63) >> 1));
}

}  // namespace gapwright
