#include "generators/mnar/column_models.h"
#include "generators/mnar/matrix_dump.h"
#include "generators/mnar/mnar.h"
#include "generators/mnar/pass_plan.h"
#include "runtime/checked_math.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::fill, std::max, std::min
#include <bit>        // std::bit_cast
#include <cmath>      // std::ceil
#include <memory>     // std::make_shared, std::make_unique
#include <new>        // std::bad_alloc
#include <utility>    // std::move

namespace gapwright {
namespace {

constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000ULL;
// Cells per pool job: enough to outweigh queuing a job, few enough that a
// table of many short columns still spreads over the workers.
constexpr std::size_t kBatchCells = 65536;

// Runs one job of type J per batch of batch_cols adjacent columns and waits
// for them all. Batches without thresholds are skipped when the search has
// them grouped already. A batch left undone can only have run out of memory.
template <typename J>
void run_batches(ThreadPool& pool, const std::shared_ptr<Matrix>& handle,
                 const std::shared_ptr<ColumnSearch>& search, std::size_t batch_cols,
                 bool skip_without_thresholds) {
  const std::size_t cols = search->cols;
  std::fill(search->batch_done.begin(), search->batch_done.end(), 0);
  for (std::size_t b = 0; b < search->batch_done.size(); ++b) {
    const std::size_t first = b * batch_cols;
    const std::size_t last = std::min(cols, first + batch_cols);
    if (skip_without_thresholds && search->starts[first] == search->starts[last]) {
      search->batch_done[b] = 1;
      continue;
    }
    pool.execute(std::make_unique<J>(handle, search, b, first, last));
  }
  pool.join();
  for (const std::uint8_t done : search->batch_done) {
    if (!done) throw std::bad_alloc();
  }
}

// Moves the plan's thresholds into the search, grouped by column and in pass
// order within each column, and drops the indexes no threshold will use.
void group_thresholds(ColumnSearch& search, PassPlan& plan) {
  for (const std::uint32_t column : plan.columns) ++search.starts[column + 1];
  for (std::size_t c = 0; c < search.cols; ++c) search.starts[c + 1] += search.starts[c];
  search.thresholds.resize(plan.columns.size());
  search.answers.assign(plan.columns.size(), ColumnSearch::kNoRow);
  std::vector<std::size_t> next(search.starts.begin(), search.starts.end() - 1);
  for (std::size_t i = 0; i < plan.columns.size(); ++i) {
    search.thresholds[next[plan.columns[i]]++] = plan.thresholds[i];
  }
  plan.thresholds = {};
  for (std::size_t c = 0; c < search.cols; ++c) {
    if (search.starts[c] == search.starts[c + 1]) search.indexes[c].reset();
  }
}

}  // namespace

std::uint64_t blank_count(double alpha, std::size_t rows, std::size_t cols) {
  return saturating_u64(std::ceil(alpha * static_cast<double>(cell_count(rows, cols))));
}

void MNAR::drop_cols(Matrix& matrix, std::size_t rows, std::size_t cols, std::uint64_t blanks,
                     int dump_fd) {
  const std::uint64_t cells = cell_count(rows, cols);
  if (matrix.size() != cells) panic(index_out_of_bounds(matrix.size(), cells));
  if (blanks > cells) blanks = cells;
  // With nothing to blank the models are never sampled, and a table without
  // rows has no quantile to centre them on.
  if (blanks == 0) return;
  if (cols > UINT32_MAX) {
    panic("a table of " + std::to_string(cols) + " columns has more than the passes can address");
  }
  if (rows > ColumnIndex::kMaxRows) {
    panic("a column of " + std::to_string(rows) + " rows is longer than the column index allows");
  }

  // The pool's jobs share the matrix read-only through this handle; the call
  // writes it again only once it holds the sole reference.
  auto handle = std::make_shared<Matrix>(std::move(matrix));
  struct GiveBack {
    std::shared_ptr<Matrix>& handle;
    Matrix& matrix;
    ~GiveBack() {
      if (handle.use_count() == 1) matrix = std::move(*handle);
    }
  } give_back{handle, matrix};

  // Batches of adjacent columns holding about kBatchCells cells each.
  const std::size_t batch_cols = std::max<std::size_t>(1, kBatchCells / rows);
  auto search = std::make_shared<ColumnSearch>(rows, cols, (cols + batch_cols - 1) / batch_cols);
  search->mean = mean;
  search->variance = variance;
  // With variance 0 every spread is 0 (or NaN, which fails the call), so each
  // column's thresholds all equal its centre: selection answers them without
  // sorting any column. Otherwise each column is sorted once into an index,
  // which also gives its model.
  const bool fixed_thresholds = variance == 0.0;
  std::vector<Gauss> models;
  if (fixed_thresholds) {
    search->models.resize(cols);
    run_batches<ModelJob>(pool, handle, search, batch_cols, false);
    models = search->models;
  } else {
    run_batches<IndexJob>(pool, handle, search, batch_cols, false);
    models.reserve(cols);
    for (const auto& index : search->indexes) {
      models.push_back(column_model(index->sorted_values().data(), rows, mean, variance));
    }
  }

  const RandomStream stream_before = stream;
  PassPlan plan;
  try {
    plan = plan_passes(stream, models, blanks);
    group_thresholds(*search, plan);
    if (fixed_thresholds) {
      run_batches<NearestFirstJob>(pool, handle, search, batch_cols, true);
    } else {
      run_batches<ColumnJob>(pool, handle, search, batch_cols, true);
    }
  } catch (...) {
    // Nothing has been blanked or written yet: the call leaves no trace, so
    // that a retry after, say, a MemoryError makes the holes it would have.
    stream = stream_before;
    throw;
  }
  if (handle.use_count() != 1) panic("Still references alive");
  search->indexes.clear();
  search->indexes.shrink_to_fit();

  // Replay the passes in order: each writes its blanks and dumps the matrix.
  double* const cell = handle->data();
  const double blank = std::bit_cast<double>(kQuietNanBits);
  MatrixDump dump(cell, rows, cols);
  // A column's answers come in its pass order, so one cursor per column
  // walks them as the passes are replayed.
  std::vector<std::size_t> next(search->starts.begin(), search->starts.end() - 1);
  for (std::size_t pass = 0; pass < plan.passes(); ++pass) {
    for (std::size_t i = plan.pass_starts[pass]; i < plan.pass_starts[pass + 1]; ++i) {
      const std::size_t column = plan.columns[i];
      const std::uint32_t row = search->answers[next[column]++];
      if (row == ColumnSearch::kNoRow) continue;
      if (row >= rows) panic(index_out_of_bounds(rows, row));
      cell[row * cols + column] = blank;
      dump.blank(row, column);
    }
    try {
      write_dump(dump_fd, dump.text());
    } catch (...) {
      // The call ends with this pass, so the stream must stand where drawing
      // pass by pass would have left it: after this pass, not after all.
      stream = stream_before;
      plan_passes(stream, models, blanks, pass + 1);
      throw;
    }
  }
  if (plan.ends_with_nan) panic("Sample is nan");
}

}  // namespace gapwright
