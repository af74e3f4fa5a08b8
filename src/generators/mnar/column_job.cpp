#include "generators/mnar/column_job.h"

#include "generators/mnar/column_models.h"
#include "generators/mnar/nearest_scan.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::min, std::nth_element, std::sort
#include <cmath>      // std::isnan
#include <optional>   // std::optional
#include <utility>    // std::move

namespace gapwright {

ColumnSearch::ColumnSearch(std::size_t rows, std::size_t cols, std::size_t batches)
    : rows(rows), cols(cols), indexes(cols), starts(cols + 1, 0), batch_done(batches, 0) {}

ColumnBatchJob::ColumnBatchJob(std::shared_ptr<const Matrix> matrix,
                               std::shared_ptr<ColumnSearch> search, std::size_t batch,
                               std::size_t first, std::size_t last)
    : matrix_(std::move(matrix)), search_(std::move(search)), batch_(batch), first_(first),
      last_(last) {}

void ColumnBatchJob::run() {
  work();
  search_->batch_done[batch_] = 1;
  matrix_.reset();
}

void IndexJob::work() {
  ColumnSearch& search = *search_;
  for (std::size_t c = first_; c < last_; ++c) {
    search.indexes[c] = std::make_unique<ColumnIndex>(matrix_->data(), search.rows, search.cols, c);
  }
}

namespace {

void record(ColumnSearch& search, std::size_t i, std::optional<std::uint64_t> row) {
  if (row) {
    search.answers[i] = static_cast<std::uint32_t>(*row);
  } else {
    search.answers[i] = ColumnSearch::kNoRow;
    write_panic_notice("No argmin found!", std::source_location::current());
  }
}

void answer_through_index(ColumnSearch& search, ColumnIndex& index, std::size_t c) {
  for (std::size_t i = search.starts[c]; i < search.starts[c + 1]; ++i) {
    record(search, i, index.take_nearest(search.thresholds[i]));
  }
}

}  // namespace

void ColumnJob::work() {
  for (std::size_t c = first_; c < last_; ++c) {
    if (search_->indexes[c]) answer_through_index(*search_, *search_->indexes[c], c);
  }
}

void ModelJob::work() {
  ColumnSearch& search = *search_;
  std::vector<double> column(search.rows);
  for (std::size_t c = first_; c < last_; ++c) {
    for (std::size_t r = 0; r < search.rows; ++r) column[r] = (*matrix_)[r * search.cols + c];
    search.models[c] = column_model_unsorted(column.data(), search.rows, search.mean, search.variance);
  }
}

void NearestFirstJob::work() {
  ColumnSearch& search = *search_;
  struct Cell {
    std::int64_t key;
    std::uint32_t row;
    bool operator<(const Cell& other) const noexcept {
      return key != other.key ? key < other.key : row < other.row;
    }
  };
  std::vector<Cell> cells;
  cells.reserve(search.rows);
  for (std::size_t c = first_; c < last_; ++c) {
    const std::size_t begin = search.starts[c];
    const std::size_t end = search.starts[c + 1];
    if (begin == end) continue;
    // Equal thresholds (+0 and -0 included) give every cell the same key.
    const double threshold = search.thresholds[begin];
    bool equal = true;
    for (std::size_t i = begin + 1; i < end && equal; ++i) equal = search.thresholds[i] == threshold;
    if (!equal) {
      ColumnIndex index(matrix_->data(), search.rows, search.cols, c);
      answer_through_index(search, index, c);
      continue;
    }
    cells.clear();
    for (std::size_t r = 0; r < search.rows; ++r) {
      const double value = (*matrix_)[r * search.cols + c];
      if (!std::isnan(value)) {
        cells.push_back(Cell{distance_key(value, threshold), static_cast<std::uint32_t>(r)});
      }
    }
    const std::size_t taken = std::min(end - begin, cells.size());
    if (taken > 0 && taken < cells.size()) {
      std::nth_element(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(taken - 1),
                       cells.end());
    }
    std::sort(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(taken));
    for (std::size_t i = 0; i < end - begin; ++i) {
      record(search, begin + i, i < taken ? std::optional<std::uint64_t>(cells[i].row) : std::nullopt);
    }
  }
}

}  // namespace gapwright
