// The transpose kernel behind transpose_on_pool, one build per instruction
// set: the portable one is the reference, the x86-64 AVX-512 one
// (x86_64/transpose_avx512.cpp, compiled for that set alone) gives the same
// cells eight by eight.
#pragma once

#include <cstddef>  // std::size_t

namespace gapwright::detail {

// A rectangle of cells, rows [row_begin, row_end) by columns
// [col_begin, col_end).
struct Cells {
  std::size_t row_begin, row_end, col_begin, col_end;
};

// Writes the cells `part` of the rows x cols row-major matrix of doubles at
// `from` (at any byte offset) to their places in its transpose `to`, a
// cols x rows row-major matrix: cell (i, j) to to[j * rows + i].
using TransposeFn = void (*)(double* to, const char* from, std::size_t rows, std::size_t cols,
                             Cells part) noexcept;

void transpose_portable(double* to, const char* from, std::size_t rows, std::size_t cols,
                        Cells part) noexcept;
#if GAPWRIGHT_X86_64_REFILLS
void transpose_avx512(double* to, const char* from, std::size_t rows, std::size_t cols,
                      Cells part) noexcept;
#endif

// The widest build this processor runs, chosen once per process; the
// environment variable GAPWRIGHT_KERNELS set to "portable" or "avx2" (which
// has no transpose of its own) chooses the portable one, as it chooses the
// key sweeps.
TransposeFn chosen_transpose() noexcept;

}  // namespace gapwright::detail
