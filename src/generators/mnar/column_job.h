// Column jobs: the work of a masking call that runs on the instance's pool.
//
// Columns are independent: what a pass blanks in one column depends only on
// that column, its threshold and what earlier passes blanked in it. So once
// the thresholds are known, each column's whole sequence of searches runs in
// one go: its model, then its answers, written straight into the matrix as
// NaN. Only the blanks that the per-pass dump shows are kept, with their
// passes, so that the calling thread can replay the dumps afterwards.
//
// A few jobs share the columns, each taking the next columns not yet taken,
// so that no more columns are in work, and hold scratch, than the jobs take. Jobs touch only their own columns' cells and entries, and never
// Python.
#pragma once

#include "generators/mnar/column_index.h"
#include "generators/mnar/matrix_dump.h"
#include "generators/mnar/pass_plan.h"
#include "runtime/gauss.h"
#include "runtime/thread_pool.h"

#include <atomic>   // std::atomic
#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint8_t, SIZE_MAX
#include <memory>   // std::shared_ptr
#include <span>     // std::span
#include <vector>   // std::vector

namespace gapwright {

// A blank that the dump shows: the pass that makes it and its row.
struct ShownBlank {
  std::size_t pass;
  std::uint32_t row;
  bool operator==(const ShownBlank&) const = default;
};

// What the jobs of one call share with the calling thread. The caller reads
// the per-column entries after join.
struct ColumnSearch {
  // Rows fit in 32 bits (ColumnIndex::kMaxRows), which leaves this value free.
  static constexpr std::uint32_t kNoRow = ~std::uint32_t{0};
  static constexpr std::size_t kNoPass = SIZE_MAX;

  // With `plan` the thresholds are its deviates through each column's model
  // and every column is searched through an index; without, every threshold
  // is its column's centre (a model of spread 0 always draws its centre) and
  // each column gets its first full_passes + 1 nearest cells by selection.
  ColumnSearch(std::span<double> matrix, std::size_t rows, std::size_t cols, double mean,
               double variance, std::size_t full_passes, const PassPlan* plan);

  std::span<double> matrix;
  std::size_t rows;
  std::size_t cols;
  double mean;
  double variance;
  std::size_t full_passes;
  const PassPlan* plan;
  DumpWindow window;

  // Per column.
  std::vector<Gauss> models;
  // Without a plan: the row that the pass after the full passes takes (the
  // column's cell of rank full_passes), not yet blanked; kNoRow when none.
  std::vector<std::uint32_t> extra;
  // The first pass whose threshold is NaN; that column is not searched from it on.
  std::vector<std::size_t> nan_pass;
  std::vector<std::vector<ShownBlank>> shown;
  std::vector<std::uint8_t> done;

  // Adjacent columns a job takes at once: searched together, they share the
  // sweeps over the matrix (or, with a plan, one sweep that copies them out).
  std::size_t group = 1;
  std::atomic<std::size_t> next_column{0};
};

// Memory a job carries from one group of columns to the next, so that its
// indexes and copies reuse it instead of having fresh pages cleared.
struct JobScratch {
  ColumnIndex::Storage index;
  // The group's columns, one after another, when they are copied out.
  std::vector<double> columns;
};

// Searches the columns [first, last): their models, then their blanks (see
// ColumnSearch). A threshold that finds no cell left writes the failed-job
// notice "No argmin found!", as a failed single search would.
void search_columns(ColumnSearch& search, std::size_t first, std::size_t last,
                    JobScratch& scratch);

// Takes groups of columns of the search until none is left, then drops its
// handle, so that the caller's sole-owner test after join never sees it.
class ColumnJob final : public Job {
 public:
  explicit ColumnJob(std::shared_ptr<ColumnSearch> search);
  void run() override;

 private:
  std::shared_ptr<ColumnSearch> search_;
};

}  // namespace gapwright
