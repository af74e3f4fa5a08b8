// The jobs stage: takes a ColumnSearch and the call's column count, and
// runs the search over every column on the instance's pool, giving the
// columns' outcomes to the calling thread after join.
//
// A few jobs share the columns, each taking the next group of adjacent
// columns not yet taken, so that no more columns are in work, and hold
// scratch, than the jobs take.
#pragma once

#include "generators/mnar/search/column_search.h"
#include "generators/mnar/search/job_scratch.h"
#include "runtime/thread_pool.h"

#include <atomic>     // std::atomic
#include <cstddef>    // std::size_t
#include <exception>  // std::exception_ptr
#include <memory>     // std::shared_ptr
#include <span>       // std::span
#include <utility>    // std::move
#include <vector>     // std::vector

namespace gapwright {

// What the jobs of one call share with the calling thread, which reads it
// after join.
class ColumnWork {
 public:
  // Hands out the columns of `search` `group` at a time. Each job takes the
  // next of the `kept` scratches, kept from earlier calls, and makes its own
  // when none is left.
  ColumnWork(const ColumnSearch& search, std::size_t cols, std::size_t group,
             std::span<JobScratch> kept = {});

  // Searches groups until none is left or some job has failed. A failure is
  // kept for the calling thread rather than thrown into the pool, so that the
  // call reports what happened.
  void take_groups() noexcept;

  // After join: rethrows the first failure of a job; a column that was never
  // searched without one is an internal failure.
  void check_finished() const;

  // After join: hands the columns' outcomes to the caller.
  std::vector<ColumnOutcome> take_outcomes() noexcept { return std::move(outcomes_); }

 private:
  const ColumnSearch& search_;
  std::size_t cols_;
  std::size_t group_;
  std::span<JobScratch> kept_;
  std::vector<ColumnOutcome> outcomes_;
  std::atomic<std::size_t> next_scratch_{0};
  std::atomic<std::size_t> next_column_{0};
  std::atomic<std::size_t> columns_done_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;
};

// Takes groups of columns of the work until none is left or a job has
// failed, then drops its handle, so that the caller's sole-owner test after join never sees it.
class ColumnJob final : public Job {
 public:
  explicit ColumnJob(std::shared_ptr<ColumnWork> work);
  void run() override;

 private:
  std::shared_ptr<ColumnWork> work_;
};

}  // namespace gapwright
