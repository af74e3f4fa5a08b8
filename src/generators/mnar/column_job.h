// Column jobs: the work of a masking call that runs on the instance's pool.
//
// Columns are independent: what a pass blanks in one column depends only on
// that column, its threshold and what earlier passes blanked in it. So once
// every threshold has been drawn, each column's whole sequence of searches
// can run in one go, and the passes are replayed afterwards from the answers.
// First index jobs sort the columns, then ColumnJobs answer each column's
// thresholds in pass order with the nearest cell not taken before. Jobs take
// a batch of adjacent columns so that narrow, wide tables do not drown in
// per-job overhead. They hold a handle on the matrix only for reading and
// never touch Python.
#pragma once

#include "generators/mnar/column_index.h"
#include "runtime/gauss.h"
#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint8_t
#include <memory>   // std::shared_ptr, std::unique_ptr
#include <vector>   // std::vector

namespace gapwright {

// The value matrix of a call: rows x cols doubles, row-major.
using Matrix = std::vector<double>;

// What the jobs of one call share with the calling thread. Each job writes
// only the entries of its own columns and its own batch flag; the caller
// reads them after join.
struct ColumnSearch {
  // Rows fit in 32 bits (ColumnIndex::kMaxRows), which leaves this value free.
  static constexpr std::uint32_t kNoRow = ~std::uint32_t{0};

  ColumnSearch(std::size_t rows, std::size_t cols, std::size_t batches);

  std::size_t rows;
  std::size_t cols;
  // The instance's model parameters, and the models when jobs compute them.
  double mean = 0.5;
  double variance = 0.0;
  std::vector<Gauss> models;
  std::vector<std::unique_ptr<ColumnIndex>> indexes;  // one per column
  // Column c's thresholds, in pass order, are thresholds[starts[c] .. starts[c + 1]);
  // answers[i] is the row taken for thresholds[i], kNoRow when none was left.
  std::vector<std::size_t> starts;
  std::vector<double> thresholds;
  std::vector<std::uint32_t> answers;
  std::vector<std::uint8_t> batch_done;
};

// A job over the columns [first, last) of a call's search. Running it does
// the work, marks its batch done and drops its matrix handle, in that order,
// so the caller's sole-owner test after join never sees the handle.
class ColumnBatchJob : public Job {
 public:
  ColumnBatchJob(std::shared_ptr<const Matrix> matrix, std::shared_ptr<ColumnSearch> search,
                 std::size_t batch, std::size_t first, std::size_t last);
  void run() final;

 protected:
  virtual void work() = 0;

  std::shared_ptr<const Matrix> matrix_;
  std::shared_ptr<ColumnSearch> search_;
  std::size_t batch_, first_, last_;
};

// Sorts the batch's columns into their indexes.
class IndexJob final : public ColumnBatchJob {
 public:
  using ColumnBatchJob::ColumnBatchJob;

 private:
  void work() override;
};

// Answers the thresholds of the batch's columns. A threshold that finds no
// cell left writes the failed-job notice "No argmin found!" and records
// kNoRow, as a failed single search would.
class ColumnJob final : public ColumnBatchJob {
 public:
  using ColumnBatchJob::ColumnBatchJob;

 private:
  void work() override;
};

// Computes the batch's column models from unsorted copies of the columns.
class ModelJob final : public ColumnBatchJob {
 public:
  using ColumnBatchJob::ColumnBatchJob;

 private:
  void work() override;
};

// Answers the thresholds of the batch's columns without an index, for
// columns whose thresholds are all equal (a model of spread 0 always draws
// its centre). Taking the nearest remaining cell again and again from one
// threshold takes the cells in order of (squared distance, row), so the
// answers are the first cells of that order, found by selection. A column
// whose thresholds differ after all is answered through an index.
class NearestFirstJob final : public ColumnBatchJob {
 public:
  using ColumnBatchJob::ColumnBatchJob;

 private:
  void work() override;
};

}  // namespace gapwright
