// Columns on their way into a row-major matrix, a few at a time: written one
// by one, each column would touch every cache line of the matrix (a frame of
// 100,000 x 24 took 20 ms of scatter).
#pragma once

#include <cstddef>  // std::size_t
#include <span>     // std::span
#include <vector>

namespace gapwright {

class ColumnStage {
 public:
  ColumnStage(std::span<double> cells, std::size_t rows, std::size_t cols);

  // Room for the `rows` cells of column j; every column comes, in order.
  std::span<double> column(std::size_t j);

  // Writes the columns staged so far into the matrix.
  void flush() noexcept;

 private:
  std::span<double> cells_;
  std::size_t rows_;
  std::size_t cols_;
  std::size_t width_;
  std::vector<double> staged_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
};

}  // namespace gapwright
