// The transpose with 512-bit AVX-512 vectors, eight rows by eight columns at
// a time. This file alone is built with -mavx512f, so nothing here may run
// unless cpu_has_avx512f() said yes; for the same reason it holds no
// namespace-scope initialisers and instantiates no inline library functions.
#include <immintrin.h>  // AVX-512F intrinsics

#include "runtime/transpose.h"
#include "runtime/x86_64/transpose_8x8.h"

namespace gapwright::detail {

namespace {

__mmask8 first_lanes(std::size_t count) noexcept {
  return static_cast<__mmask8>(count >= 8 ? 0xFFU : (1U << count) - 1);
}

// The block of rows i0 .. i0 + 7 and columns j0 .. j0 + 7, cut to the part:
// rows past it are not read, columns past it neither read nor written.
void transpose_at(double* to, const char* from, std::size_t rows, std::size_t cols,
                  const Cells& part, std::size_t i0, std::size_t j0) noexcept {
  const std::size_t block_rows = part.row_end - i0 < 8 ? part.row_end - i0 : 8;
  const std::size_t block_cols = part.col_end - j0 < 8 ? part.col_end - j0 : 8;
  const __mmask8 columns = first_lanes(block_cols);
  __m512d in[8];
  for (std::size_t i = 0; i < 8; ++i) {
    const char* const row = from + ((i0 + i) * cols + j0) * sizeof(double);
    in[i] = i < block_rows ? _mm512_maskz_loadu_pd(columns, row) : _mm512_setzero_pd();
  }
  __m512d out[8];
  transpose_8x8(in, out);
  const __mmask8 rows_in_block = first_lanes(block_rows);
  for (std::size_t j = 0; j < block_cols; ++j) {
    _mm512_mask_storeu_pd(to + (j0 + j) * rows + i0, rows_in_block, out[j]);
  }
}

}  // namespace

// The blocks run along the longer side, so that the short side's few
// blocks, which share cache lines of the matrix they write to, follow one
// another.
void transpose_avx512(double* to, const char* from, std::size_t rows, std::size_t cols,
                      Cells part) noexcept {
  if (rows >= cols) {
    for (std::size_t i0 = part.row_begin; i0 < part.row_end; i0 += 8) {
      for (std::size_t j0 = part.col_begin; j0 < part.col_end; j0 += 8) {
        transpose_at(to, from, rows, cols, part, i0, j0);
      }
    }
  } else {
    for (std::size_t j0 = part.col_begin; j0 < part.col_end; j0 += 8) {
      for (std::size_t i0 = part.row_begin; i0 < part.row_end; i0 += 8) {
        transpose_at(to, from, rows, cols, part, i0, j0);
      }
    }
  }
}

}  // namespace gapwright::detail
