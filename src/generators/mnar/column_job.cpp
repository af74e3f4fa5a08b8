#include "generators/mnar/column_job.h"

#include "runtime/internal_error.h"

#include <utility>  // std::move

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

void ColumnJob::work() {
  ColumnSearch& search = *search_;
  for (std::size_t c = first_; c < last_; ++c) {
    for (std::size_t i = search.starts[c]; i < search.starts[c + 1]; ++i) {
      const auto row = search.indexes[c]->take_nearest(search.thresholds[i]);
      if (row) {
        search.answers[i] = static_cast<std::uint32_t>(*row);
      } else {
        search.answers[i] = ColumnSearch::kNoRow;
        write_panic_notice("No argmin found!", std::source_location::current());
      }
    }
  }
}

}  // namespace gapwright
