#include "generators/mnar/jobs/column_job.h"

#include "runtime/internal_error.h"

#include <algorithm>  // std::min
#include <optional>   // std::optional
#include <string>     // std::to_string
#include <utility>    // std::move

namespace gapwright {

ColumnWork::ColumnWork(const ColumnSearch& search, std::size_t cols, std::size_t group,
                       std::span<JobScratch> kept)
    : search_(search), cols_(cols), group_(group), kept_(kept), outcomes_(cols) {}

void ColumnWork::take_groups() noexcept {
  try {
    const std::size_t slot = next_scratch_.fetch_add(1);
    std::optional<JobScratch> own;
    JobScratch& scratch = slot < kept_.size() ? kept_[slot] : own.emplace();
    for (std::size_t first; !failed_.load() && (first = next_column_.fetch_add(group_)) < cols_;) {
      const std::size_t last = std::min(cols_, first + group_);
      search_.search(first, last, std::span(outcomes_).subspan(first, last - first), scratch);
      columns_done_.fetch_add(last - first);
    }
  } catch (...) {
    // Only the first failure is kept, and it is read only after join. Other
    // jobs stop at their next group: the call fails anyway.
    if (!failed_.exchange(true)) failure_ = std::current_exception();
  }
}

void ColumnWork::check_finished() const {
  if (failure_) std::rethrow_exception(failure_);
  const std::size_t done = columns_done_.load();
  if (done != cols_) {
    panic("column jobs searched " + std::to_string(done) + " of " + std::to_string(cols_) +
          " columns");
  }
}

ColumnJob::ColumnJob(std::shared_ptr<ColumnWork> work) : work_(std::move(work)) {}

void ColumnJob::run() {
  work_->take_groups();
  work_.reset();
}

}  // namespace gapwright
