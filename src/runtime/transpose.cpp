#include "runtime/transpose.h"

#include "runtime/cpu_features.h"

#include <algorithm>    // std::min
#include <cstdlib>      // std::getenv
#include <cstring>      // std::memcpy
#include <string_view>  // std::string_view

namespace gapwright::detail {

// A tile of kTile x kTile cells at a time: each tile's lines of either
// matrix stay in cache until every cell of them is used.
void transpose_portable(double* to, const char* from, std::size_t rows, std::size_t cols,
                        Cells part) noexcept {
  constexpr std::size_t kTile = 32;
  for (std::size_t i0 = part.row_begin; i0 < part.row_end; i0 += kTile) {
    const std::size_t i1 = std::min(part.row_end, i0 + kTile);
    for (std::size_t j0 = part.col_begin; j0 < part.col_end; j0 += kTile) {
      const std::size_t j1 = std::min(part.col_end, j0 + kTile);
      for (std::size_t j = j0; j < j1; ++j) {
        for (std::size_t i = i0; i < i1; ++i) {
          std::memcpy(&to[j * rows + i], from + (i * cols + j) * sizeof(double), sizeof(double));
        }
      }
    }
  }
}

TransposeFn chosen_transpose() noexcept {
  static const TransposeFn chosen = [] {
#if GAPWRIGHT_X86_64_REFILLS
    const char* const named = std::getenv("GAPWRIGHT_KERNELS");
    const std::string_view forced = named != nullptr ? named : "";
    const bool narrower = forced == "portable" || forced == "avx2";
    if (!narrower && cpu_has_avx512f()) return &transpose_avx512;
#endif
    return &transpose_portable;
  }();
  return chosen;
}

}  // namespace gapwright::detail
