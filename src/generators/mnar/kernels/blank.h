// The value a blank is written with, by the blanking sweeps and by every
// search alike, so that a blank is the same bits whichever wrote it.
#pragma once

#include <bit>      // std::bit_cast
#include <cstdint>  // std::uint64_t

namespace gapwright {

// The quiet NaN with which a blank is written.
inline constexpr double kBlank = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

}  // namespace gapwright
