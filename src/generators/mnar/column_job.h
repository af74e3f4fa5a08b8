// Column jobs: the work of a masking call that runs on the instance's pool.
//
// Columns are independent: what a pass blanks in one column depends only on
// that column, its threshold and what earlier passes blanked in it. So once
// the thresholds are known, each column's whole sequence of searches runs in
// one go: its model, then its answers, written straight into the matrix as
// NaN. Only the blanks that the per-pass dump shows are kept, with their
// passes, so that the calling thread can replay the dumps afterwards.
//
// A few jobs share the columns, each taking the next group of adjacent
// columns not yet taken, so that no more columns are in work, and hold
// scratch, than the jobs take. How a group is searched is a ColumnSearch:
// fixed thresholds (fixed_search.h) or drawn ones (drawn_search.h). Jobs
// touch only their own columns' cells and outcomes, and never Python.
#pragma once

#include "generators/mnar/job_scratch.h"
#include "generators/mnar/matrix_dump.h"
#include "runtime/thread_pool.h"

#include <atomic>     // std::atomic
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint32_t, SIZE_MAX
#include <exception>  // std::exception_ptr
#include <memory>     // std::shared_ptr
#include <span>       // std::span
#include <utility>    // std::move
#include <vector>     // std::vector

namespace gapwright {

// A blank that the dump shows: the pass that makes it and its row.
struct ShownBlank {
  std::size_t pass;
  std::uint32_t row;
  bool operator==(const ShownBlank&) const = default;
};

// What searching one column leaves for the calling thread.
struct ColumnOutcome {
  // Rows fit in 32 bits (ColumnIndex::kMaxRows), which leaves this value free.
  static constexpr std::uint32_t kNoRow = ~std::uint32_t{0};
  static constexpr std::size_t kNoPass = SIZE_MAX;

  // The blanks the dump shows, in no particular order.
  std::vector<ShownBlank> shown;
  // The first pass whose threshold is NaN; the column is not searched from it on.
  std::size_t nan_pass = kNoPass;
  // Fixed thresholds only: the row that the pass after the full passes takes
  // (the column's cell of rank full_passes), not yet blanked; kNoRow when none.
  std::uint32_t extra = kNoRow;
};

// The table as the searches see it: rows x cols doubles, row-major, blanked
// in place, and the part of it that the dump shows (none without a dump).
struct SearchTable {
  SearchTable(std::span<double> matrix, std::size_t rows, std::size_t cols,
              bool dumped = true) noexcept
      : matrix(matrix), rows(rows), cols(cols), window(rows, cols, dumped) {}

  std::span<double> matrix;
  std::size_t rows;
  std::size_t cols;
  DumpWindow window;
};

// One way of searching a call's columns.
class ColumnSearch {
 public:
  virtual ~ColumnSearch() = default;
  // Blanks the columns [first, last) and fills in their outcomes
  // (outcomes[0] is column first's). Calls for disjoint ranges may run at
  // once on different threads.
  virtual void search(std::size_t first, std::size_t last, std::span<ColumnOutcome> outcomes,
                      JobScratch& scratch) const = 0;
};

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
