// The nearest-cell scan with 256-bit AVX2 vectors, four cells at a time.
// Compiled with -mavx2 (and nothing that would contract into FMA) and called
// only where the processor has AVX2. A bucket's offer sweeps twice: the
// first finds the lowest distance key, the second the lowest row among the
// cells of that key, which is nearly always one cell. A short column's scan
// sweeps for the lowest key and then for its first place, and a window of
// a few cells does both at once.
#include <immintrin.h>  // AVX2 intrinsics

#include "generators/mnar/kernels/nearest_cell.h"

#include <algorithm>  // std::min
#include <limits>     // std::numeric_limits

namespace gapwright::detail {

namespace {

// Distance keys are the bit patterns of squares, never negative: as signed
// 64-bit lanes, which AVX2 compares, they order as they do unsigned. Lanes
// past the cells hold the largest signed key, above every distance key.
constexpr long long kAboveEveryKey = 0x7FFFFFFFFFFFFFFFLL;

// All bits set in the lanes below `left`.
__m256i lanes_inside(std::size_t left) noexcept {
  const long long count = static_cast<long long>(std::min<std::size_t>(left, 4));
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
}

__m256i distance_keys(const std::uint64_t* keys, __m256i inside, __m256d threshold) noexcept {
  const __m256i loaded = _mm256_maskload_epi64(reinterpret_cast<const long long*>(keys), inside);
  const __m256i signed_keys =
      _mm256_xor_si256(loaded, _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << 63)));
  const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), signed_keys);
  const __m256d values = _mm256_castsi256_pd(_mm256_xor_si256(signed_keys, _mm256_srli_epi64(negative, 1)));
  const __m256d difference = _mm256_sub_pd(values, threshold);
  return _mm256_blendv_epi8(_mm256_set1_epi64x(kAboveEveryKey),
                            _mm256_castpd_si256(_mm256_mul_pd(difference, difference)), inside);
}

__m256i lower_of(__m256i a, __m256i b) noexcept {
  return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(a, b));
}

std::uint64_t lowest_lane(__m256i keys) noexcept {
  const __m256i swapped_halves = _mm256_permute4x64_epi64(keys, 0b01001110);
  const __m256i pairs = lower_of(keys, swapped_halves);
  const __m256i lowest = lower_of(pairs, _mm256_shuffle_epi32(pairs, 0b01001110));
  return static_cast<std::uint64_t>(_mm256_extract_epi64(lowest, 0));
}

// Offers the cells among four, starting at `first`, whose lanes equal
// `key`'s.
bool offer_equal(__m256i some, __m256i keys_of_lowest, std::uint64_t key,
                 const std::uint32_t* rows, std::size_t first, NearestCell& nearest) noexcept {
  const auto equal = static_cast<unsigned>(
      _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(some, keys_of_lowest))));
  bool better = false;
  for (unsigned lanes = equal; lanes != 0; lanes &= lanes - 1) {
    const std::size_t i = first + static_cast<std::size_t>(__builtin_ctz(lanes));
    if (key < nearest.key || rows[i] < nearest.row) {
      nearest = NearestCell{key, rows[i], static_cast<std::uint32_t>(i)};
      better = true;
    }
  }
  return better;
}

bool offer_avx2(const std::uint64_t* keys, const std::uint32_t* rows, std::size_t n,
                double threshold, NearestCell& nearest) noexcept {
  const __m256d thresholds = _mm256_set1_pd(threshold);
  const __m256i first = distance_keys(keys, lanes_inside(n), thresholds);
  __m256i lowest = first;
  for (std::size_t i = 4; i < n; i += 4) {
    lowest = lower_of(lowest, distance_keys(keys + i, lanes_inside(n - i), thresholds));
  }
  const std::uint64_t key = lowest_lane(lowest);
  if (key > nearest.key) return false;
  const __m256i keys_of_lowest = _mm256_set1_epi64x(static_cast<long long>(key));
  bool better = offer_equal(first, keys_of_lowest, key, rows, 0, nearest);
  for (std::size_t i = 4; i < n; i += 4) {
    const __m256i some = distance_keys(keys + i, lanes_inside(n - i), thresholds);
    better |= offer_equal(some, keys_of_lowest, key, rows, i, nearest);
  }
  return better;
}

}  // namespace

// Squares are never negative, so they order as doubles as their bit
// patterns do, and the lowest key is the lowest square: a first sweep takes
// the lowest of them, two vectors at a time, with the minimum that passes
// over NaNs (the one that keeps its second operand when either is NaN), a
// second sweep stops at its first place.
std::size_t nearest_place_avx2(const double* values, std::size_t n, double threshold) noexcept {
  const __m256d thresholds = _mm256_set1_pd(threshold);
  const auto square_at = [&](std::size_t i) {
    const __m256d difference = _mm256_sub_pd(_mm256_loadu_pd(values + i), thresholds);
    return _mm256_mul_pd(difference, difference);
  };
  const auto square_of = [&](std::size_t i) {
    const double difference = values[i] - threshold;
    return difference * difference;
  };
  __m256d lowest = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  __m256d lowest_too = lowest;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    lowest = _mm256_min_pd(square_at(i), lowest);
    lowest_too = _mm256_min_pd(square_at(i + 4), lowest_too);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, _mm256_min_pd(lowest, lowest_too));
  double nearest = lanes[0];
  for (const double lane : lanes) nearest = lane < nearest ? lane : nearest;
  for (; i < n; ++i) nearest = square_of(i) < nearest ? square_of(i) : nearest;
  const __m256d nearest_square = _mm256_set1_pd(nearest);
  std::size_t at = 0;
  for (; at + 4 <= n; at += 4) {
    const int equal = _mm256_movemask_pd(_mm256_cmp_pd(square_at(at), nearest_square, _CMP_EQ_OQ));
    if (equal != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(equal)));
  }
  for (; at < n; ++at) {
    if (square_of(at) == nearest) return at;
  }
  return n;
}

// Four vectors whatever n, with the lanes from n on set to NaN: no loop
// and no tail whose length a branch would have to guess.
std::size_t nearest_in_window_avx2(const double* values, std::size_t n, double threshold) noexcept {
  static_assert(kScanWindow == 16);
  const __m256d thresholds = _mm256_set1_pd(threshold);
  const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
  const __m256i count = _mm256_set1_epi64x(static_cast<long long>(n));
  // Not a std::array: its element type would drop __m256d's alignment.
  __m256d squares[4];
  __m256d lowest = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  for (std::size_t k = 0; k < 4; ++k) {
    const auto first = static_cast<long long>(4 * k);
    const __m256i places = _mm256_setr_epi64x(first, first + 1, first + 2, first + 3);
    const __m256d inside = _mm256_castsi256_pd(_mm256_cmpgt_epi64(count, places));
    const __m256d difference = _mm256_sub_pd(_mm256_loadu_pd(values + 4 * k), thresholds);
    squares[k] = _mm256_blendv_pd(nan, _mm256_mul_pd(difference, difference), inside);
    lowest = _mm256_min_pd(squares[k], lowest);
  }
  // The lowest lane, in every lane.
  lowest = _mm256_min_pd(lowest, _mm256_permute2f128_pd(lowest, lowest, 1));
  lowest = _mm256_min_pd(lowest, _mm256_permute_pd(lowest, 0b0101));
  unsigned equal = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const auto lanes = static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_cmp_pd(squares[k], lowest, _CMP_EQ_OQ)));
    equal |= lanes << (4 * k);
  }
  return equal != 0 ? static_cast<std::size_t>(__builtin_ctz(equal)) : n;
}

const NearestCellScan kAvx2NearestCellScan{"avx2",     &offer_avx2, &nearest_place_avx2,
                                           &nearest_in_window_avx2, 128, 4096, 16384};

}  // namespace gapwright::detail
