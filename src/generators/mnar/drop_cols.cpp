#include "generators/mnar/column_models.h"
#include "generators/mnar/matrix_dump.h"
#include "generators/mnar/mnar.h"
#include "generators/mnar/pass_plan.h"
#include "runtime/internal_error.h"

#include <bit>      // std::bit_cast
#include <cmath>    // std::ceil, std::isnan
#include <limits>   // std::numeric_limits
#include <memory>   // std::make_shared
#include <new>      // std::bad_alloc
#include <utility>  // std::move

namespace gapwright {
namespace {

constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000ULL;

std::uint64_t saturating_u64(double value) {
  if (std::isnan(value) || value < 0.0) return 0;
  // 2^64 itself is the first double past the range.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::uint64_t cell_count(std::size_t rows, std::size_t cols) {
  std::uint64_t cells = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols),
                             &cells)) {
    panic("table of " + std::to_string(rows) + " rows and " + std::to_string(cols) +
          " columns has more cells than can be counted");
  }
  return cells;
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

  std::vector<std::shared_ptr<ColumnWork>> works(cols);
  for (std::size_t c = 0; c < cols; ++c) {
    works[c] = std::make_shared<ColumnWork>();
    works[c]->column = c;
    pool.execute(std::make_unique<IndexJob>(handle, rows, cols, works[c]));
  }
  pool.join();

  std::vector<Gauss> models;
  models.reserve(cols);
  for (const auto& work : works) {
    // An index job can only fail for want of memory.
    if (!work->index) throw std::bad_alloc();
    models.push_back(column_model(work->index->sorted_values().data(), rows, mean, variance));
  }

  const PassPlan plan = plan_passes(stream, models, blanks);

  for (std::size_t i = 0; i < plan.columns.size(); ++i) {
    works[plan.columns[i]]->thresholds.push_back(plan.thresholds[i]);
  }
  for (const auto& work : works) {
    if (work->thresholds.empty()) {
      work->index.reset();
      continue;
    }
    work->rows.assign(work->thresholds.size(), ColumnWork::kNoRow);
    pool.execute(std::make_unique<ColumnJob>(handle, work));
  }
  pool.join();

  if (handle.use_count() != 1) panic("Still references alive");
  for (const auto& work : works) {
    if (!work->thresholds.empty() && !work->searched) throw std::bad_alloc();
    work->index.reset();
  }

  // Replay the passes in order: each writes its blanks and dumps the matrix.
  double* const cell = handle->data();
  const double blank = std::bit_cast<double>(kQuietNanBits);
  std::vector<std::size_t> taken(cols, 0);
  MatrixDump dump(cell, rows, cols);
  for (std::size_t pass = 0; pass < plan.passes(); ++pass) {
    for (std::size_t i = plan.pass_starts[pass]; i < plan.pass_starts[pass + 1]; ++i) {
      ColumnWork& work = *works[plan.columns[i]];
      const std::uint64_t row = work.rows[taken[work.column]++];
      if (row == ColumnWork::kNoRow) continue;
      if (row >= rows) panic(index_out_of_bounds(rows, row));
      cell[row * cols + work.column] = blank;
      dump.blank(row, work.column);
    }
    write_dump(dump_fd, dump.text());
  }
  if (plan.ends_with_nan) panic("Sample is nan");
}

}  // namespace gapwright
