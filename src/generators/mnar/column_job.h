// Column jobs: the work of a masking call that runs on the instance's pool.
//
// Each selected column gets one ColumnWork, shared by the call and the jobs
// that touch that column: first an index job sorts the column, then a
// ColumnJob answers the column's thresholds in pass order, each answer being
// the nearest cell not taken by an earlier pass. Columns are independent, so
// a column's whole sequence can run as one job without changing any answer.
// Jobs hold a handle on the matrix only for reading; they never touch Python.
#pragma once

#include "generators/mnar/column_index.h"
#include "runtime/thread_pool.h"

#include <cstdint>  // std::uint64_t
#include <memory>   // std::shared_ptr, std::unique_ptr
#include <vector>   // std::vector

namespace gapwright {

// The value matrix of a call: rows x cols doubles, row-major.
using Matrix = std::vector<double>;

struct ColumnWork {
  static constexpr std::uint64_t kNoRow = ~std::uint64_t{0};

  std::size_t column = 0;
  std::unique_ptr<ColumnIndex> index;
  std::vector<double> thresholds;   // in pass order
  std::vector<std::uint64_t> rows;  // one answer per threshold, kNoRow when none was left
  bool searched = false;
};

// Sorts the column into work->index.
class IndexJob final : public Job {
 public:
  IndexJob(std::shared_ptr<const Matrix> matrix, std::size_t rows, std::size_t cols,
           std::shared_ptr<ColumnWork> work);
  void run() override;

 private:
  std::shared_ptr<const Matrix> matrix_;
  std::size_t rows_;
  std::size_t cols_;
  std::shared_ptr<ColumnWork> work_;
};

// Answers work->thresholds in order into work->rows. A threshold that finds
// no cell left writes the failed-job notice "No argmin found!" and records
// kNoRow, as a failed single search would.
class ColumnJob final : public Job {
 public:
  ColumnJob(std::shared_ptr<const Matrix> matrix, std::shared_ptr<ColumnWork> work);
  void run() override;

 private:
  std::shared_ptr<const Matrix> matrix_;
  std::shared_ptr<ColumnWork> work_;
};

}  // namespace gapwright
