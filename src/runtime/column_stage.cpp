#include "runtime/column_stage.h"

#include <algorithm>  // std::clamp, std::max

namespace gapwright {
namespace {

// Eight columns fill a cache line of each row; a stage of very long columns
// holds fewer.
constexpr std::size_t kMaxWidth = 8;
constexpr std::size_t kStageBytes = std::size_t{32} << 20;

}  // namespace

ColumnStage::ColumnStage(std::span<double> cells, std::size_t rows, std::size_t cols)
    : cells_(cells), rows_(rows), cols_(cols),
      width_(std::clamp<std::size_t>(kStageBytes / std::max<std::size_t>(1, rows * sizeof(double)),
                                     1, kMaxWidth)),
      staged_(width_ * rows) {}

std::span<double> ColumnStage::column(std::size_t j) {
  if (j - first_ == width_) flush();
  if (count_ == 0) first_ = j;
  ++count_;
  return std::span(staged_).subspan((j - first_) * rows_, rows_);
}

void ColumnStage::flush() noexcept {
  for (std::size_t r = 0; r < rows_; ++r) {
    for (std::size_t g = 0; g < count_; ++g) {
      cells_[r * cols_ + first_ + g] = staged_[g * rows_ + r];
    }
  }
  first_ += count_;
  count_ = 0;
}

}  // namespace gapwright
