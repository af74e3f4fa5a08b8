#include "generators/mnar/column_job.h"

#include "runtime/internal_error.h"

#include <utility>  // std::move

namespace gapwright {

IndexJob::IndexJob(std::shared_ptr<const Matrix> matrix, std::size_t rows, std::size_t cols,
                   std::shared_ptr<ColumnWork> work)
    : matrix_(std::move(matrix)), rows_(rows), cols_(cols), work_(std::move(work)) {}

void IndexJob::run() {
  work_->index = std::make_unique<ColumnIndex>(matrix_->data(), rows_, cols_, work_->column);
  // The handle goes before the job reports done, so the caller's sole-owner
  // test after join never sees it.
  matrix_.reset();
}

ColumnJob::ColumnJob(std::shared_ptr<const Matrix> matrix, std::shared_ptr<ColumnWork> work)
    : matrix_(std::move(matrix)), work_(std::move(work)) {}

void ColumnJob::run() {
  ColumnWork& work = *work_;
  for (std::size_t i = 0; i < work.thresholds.size(); ++i) {
    const auto row = work.index->take_nearest(work.thresholds[i]);
    if (row) {
      work.rows[i] = *row;
    } else {
      work.rows[i] = ColumnWork::kNoRow;
      write_panic_notice("No argmin found!", std::source_location::current());
    }
  }
  work.searched = true;
  matrix_.reset();
}

}  // namespace gapwright
