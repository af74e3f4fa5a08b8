// The rank by which a cell competes for a threshold.
#pragma once

#include "generators/mnar/kernels/total_order.h"

#include <bit>      // std::bit_cast
#include <cstdint>  // std::int64_t, std::uint64_t

namespace gapwright {

// The total-order key of (value - threshold) squared, in double arithmetic.
// Same-sign infinities give a NaN, which x86-64 processors make with the sign
// bit set, ranking it below every number, so such a cell wins. Other
// processors (aarch64) make it without, so that NaN's key is pinned to the
// x86-64 one: the holes must not depend on the machine. Every other square
// has a clear sign bit, so its bit pattern is already its key. Shared by
// every search so that all of them rank cells with the very same operations.
inline std::int64_t distance_key(double value, double threshold) noexcept {
  constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000ULL;
  constexpr std::int64_t kInfinitiesMeetKey =
      total_order_key(std::bit_cast<double>(0xFFF8000000000000ULL));
  const double difference = value - threshold;
  const auto bits = std::bit_cast<std::int64_t>(difference * difference);
  return static_cast<std::uint64_t>(bits) <= kInfinityBits ? bits : kInfinitiesMeetKey;
}

}  // namespace gapwright
