// Integer results of doubles and sizes that cannot wrap around.
#pragma once

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint64_t

namespace gapwright {

// A double as an unsigned 64-bit integer, truncated toward zero: NaN and
// negatives give 0, 2^64 and above give 2^64 - 1.
std::uint64_t saturating_u64(double value) noexcept;

// rows * cols; an internal failure when the product does not fit 64 bits, so
// a caller-supplied shape can never size an allocation by wrap-around.
std::size_t cell_count(std::size_t rows, std::size_t cols);

}  // namespace gapwright
