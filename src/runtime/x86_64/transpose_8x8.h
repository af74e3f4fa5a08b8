// The 8 x 8 transpose of 64-bit cells in AVX-512 registers, for the kernels
// built with -mavx512f alone, which are the only ones that may include this.
// It has internal linkage, so that no copy of it can be merged with, or
// stand in for, code built for another instruction set.
#pragma once

#include <immintrin.h>  // AVX-512F intrinsics

namespace gapwright::detail {
namespace {

// The block whose rows are `in` (lane j of row i: column j) as its columns:
// out[j] holds column j, rows in order.
inline void transpose_8x8(const __m512d (&in)[8], __m512d (&out)[8]) noexcept {
  // Pairs of rows interleaved: 128-bit lanes of (row 2k, row 2k+1) cells
  // of columns 0, 2, 4, 6 (low) and 1, 3, 5, 7 (high).
  __m512d pairs[8];
  for (int k = 0; k < 4; ++k) {
    pairs[2 * k] = _mm512_unpacklo_pd(in[2 * k], in[2 * k + 1]);
    pairs[2 * k + 1] = _mm512_unpackhi_pd(in[2 * k], in[2 * k + 1]);
  }
  // Four rows of columns {0, 4}, {2, 6}, {1, 5}, {3, 7}, for rows 0-3 and 4-7.
  __m512d quads[8];
  for (int half = 0; half < 2; ++half) {
    const __m512d* p = pairs + 4 * half;
    quads[4 * half + 0] = _mm512_shuffle_f64x2(p[0], p[2], 0x88);
    quads[4 * half + 1] = _mm512_shuffle_f64x2(p[0], p[2], 0xDD);
    quads[4 * half + 2] = _mm512_shuffle_f64x2(p[1], p[3], 0x88);
    quads[4 * half + 3] = _mm512_shuffle_f64x2(p[1], p[3], 0xDD);
  }
  out[0] = _mm512_shuffle_f64x2(quads[0], quads[4], 0x88);
  out[4] = _mm512_shuffle_f64x2(quads[0], quads[4], 0xDD);
  out[2] = _mm512_shuffle_f64x2(quads[1], quads[5], 0x88);
  out[6] = _mm512_shuffle_f64x2(quads[1], quads[5], 0xDD);
  out[1] = _mm512_shuffle_f64x2(quads[2], quads[6], 0x88);
  out[5] = _mm512_shuffle_f64x2(quads[2], quads[6], 0xDD);
  out[3] = _mm512_shuffle_f64x2(quads[3], quads[7], 0x88);
  out[7] = _mm512_shuffle_f64x2(quads[3], quads[7], 0xDD);
}

}  // namespace
}  // namespace gapwright::detail
