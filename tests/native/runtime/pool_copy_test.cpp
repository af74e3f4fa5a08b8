#include "runtime/pool_copy.h"

#include "runtime/cpu_features.h"
#include "runtime/transpose.h"

#include <cstddef>  // std::size_t
#include <cstring>  // std::memcpy
#include <vector>   // std::vector

#include <gtest/gtest.h>

namespace gapwright {
namespace {

// Cells that tell every position apart.
std::vector<double> numbered(std::size_t count) {
  std::vector<double> cells(count);
  for (std::size_t i = 0; i < count; ++i) cells[i] = static_cast<double>(i) * 0.5 - 7.0;
  return cells;
}

// The cells copied to a byte offset of `skew`, as a buffer may place them.
std::vector<char> placed(const std::vector<double>& cells, std::size_t skew) {
  std::vector<char> bytes(cells.size() * sizeof(double) + skew);
  if (!cells.empty()) std::memcpy(bytes.data() + skew, cells.data(), cells.size() * sizeof(double));
  return bytes;
}

// Sizes on both sides of a split into parts (2 MiB a part), odd ones among
// them, from sources at any byte offset into targets at any cell offset,
// so that the parts' page boundaries fall anywhere.
TEST(PoolCopy, copies_every_byte_whatever_the_split_and_the_offsets) {
  for (const std::size_t workers : {1, 2, 3}) {
    ThreadPool pool(workers);
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{262'143},
                                    std::size_t{1'000'003}}) {
      for (const std::size_t skew : {0, 3}) {
        const std::vector<double> cells = numbered(count);
        const std::vector<char> from = placed(cells, skew);
        std::vector<double> to(count + 3, 99.0);
        copy_on_pool(pool, to.data() + 1, from.data() + skew, count * sizeof(double));
        ASSERT_EQ(to.front(), 99.0);
        ASSERT_EQ(to[count + 1], 99.0);
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(to[i + 1], cells[i]) << i;
      }
    }
  }
}

// Tall and wide matrices, with sides that are not whole tiles, split over
// their longer side.
TEST(PoolCopy, transposes_tall_and_wide_matrices_from_any_offset) {
  struct Shape {
    std::size_t rows, cols;
  };
  for (const std::size_t workers : {1, 3}) {
    ThreadPool pool(workers);
    for (const Shape shape : {Shape{0, 5}, Shape{1, 1}, Shape{7, 33}, Shape{300'007, 3},
                              Shape{3, 300'007}, Shape{1'001, 523}}) {
      const std::vector<double> cells = numbered(shape.rows * shape.cols);
      const std::vector<char> from = placed(cells, 5);
      std::vector<double> to(cells.size(), 99.0);
      transpose_on_pool(pool, to.data(), from.data() + 5, shape.rows, shape.cols);
      for (std::size_t i = 0; i < shape.rows; ++i) {
        for (std::size_t j = 0; j < shape.cols; ++j) {
          ASSERT_EQ(to[j * shape.rows + i], cells[i * shape.cols + j]) << i << ", " << j;
        }
      }
    }
  }
}

// Every kernel this processor runs, on rectangles whose sides are not
// whole blocks, writes exactly the part's cells, each where the definition
// puts it.
TEST(PoolCopy, each_transpose_kernel_writes_exactly_its_part) {
  std::vector<detail::TransposeFn> kernels{&detail::transpose_portable};
#if GAPWRIGHT_X86_64_REFILLS
  if (detail::cpu_has_avx512f()) kernels.push_back(&detail::transpose_avx512);
#endif
  const std::size_t rows = 45;
  const std::size_t cols = 29;
  const std::vector<double> cells = numbered(rows * cols);
  const std::vector<char> from = placed(cells, 3);
  for (const detail::TransposeFn kernel : kernels) {
    for (const detail::Cells part : {detail::Cells{0, rows, 0, cols}, detail::Cells{3, 44, 5, 6},
                                     detail::Cells{9, 17, 0, 29}, detail::Cells{0, 45, 13, 27}}) {
      std::vector<double> to(cells.size(), 99.0);
      kernel(to.data(), from.data() + 3, rows, cols, part);
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
          const bool inside = i >= part.row_begin && i < part.row_end && j >= part.col_begin &&
                              j < part.col_end;
          ASSERT_EQ(to[j * rows + i], inside ? cells[i * cols + j] : 99.0)
              << (kernel == &detail::transpose_portable ? "portable" : "wide") << " cell " << i
              << ", " << j;
        }
      }
    }
  }
}

}  // namespace
}  // namespace gapwright
