#include "generators/mnar/column_index.h"
#include "generators/mnar/column_job.h"
#include "generators/mnar/matrix_dump.h"
#include "generators/mnar/mnar.h"
#include "generators/mnar/pass_plan.h"
#include "runtime/checked_math.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::clamp, std::min, std::sort
#include <bit>        // std::bit_cast
#include <cmath>      // std::ceil
#include <memory>     // std::make_shared, std::make_unique
#include <new>        // std::bad_alloc
#include <thread>     // std::thread::hardware_concurrency
#include <vector>     // std::vector

namespace gapwright {
namespace {

// Jobs to queue: one per worker, but no more than there are columns, nor
// than the processor runs at once, since each column in work holds scratch.
std::size_t job_count(const ThreadPool& pool, std::size_t cols) {
  const std::size_t cores = std::max(1U, std::thread::hardware_concurrency());
  return std::min({pool.size(), cols, cores});
}

// From this many deviates on, drawing them on the pool pays for the jobs.
constexpr std::uint64_t kDrawOnPool = 1 << 16;

// Columns a job sweeps together: enough to read whole cache lines of a row,
// few enough that their histograms stay in cache.
constexpr std::size_t kMaxGroup = 16;
// A job copies its columns out only up to this length, and only as many as
// fit in this many bytes.
constexpr std::size_t kCopyRows = std::size_t{1} << 21;
constexpr std::size_t kCopyBytes = std::size_t{16} << 20;

struct Event {
  std::size_t pass;
  std::uint32_t row;
  std::uint32_t col;
};

// Draws the plan and searches every column, blanking the matrix in place.
// Returns how many passes the call carries out (they end before the first
// NaN threshold), with the blanks the dump shows in pass order.
std::size_t search_all(MNAR& mnar, std::span<double> matrix, std::size_t rows, std::size_t cols,
                       std::uint64_t blanks, PassPlan& plan, std::vector<Event>& events) {
  const std::size_t full = static_cast<std::size_t>(blanks / cols);
  // With variance 0 every spread is 0 (or NaN, which fails the call), so
  // each column's thresholds all equal its centre and the draws only move
  // the stream: they are made while the columns are searched. Otherwise
  // every deviate is drawn first, and each column is sorted into an index.
  const bool fixed_thresholds = mnar.variance == 0.0;
  const std::size_t jobs = job_count(mnar.pool, cols);
  if (!fixed_thresholds) {
    plan = blanks >= kDrawOnPool ? plan_passes_on(mnar.pool, jobs, mnar.stream, cols, blanks)
                                 : plan_passes(mnar.stream, cols, blanks, true);
  }
  auto search = std::make_shared<ColumnSearch>(matrix, rows, cols, mnar.mean, mnar.variance, full,
                                               fixed_thresholds ? nullptr : &plan);
  // Without an index a job's columns share its sweeps over the matrix. With
  // one, a job copies its columns out together while the copies stay small
  // beside the table; each column in work then holds its index.
  const std::size_t even_share = std::min<std::size_t>(kMaxGroup, (cols + jobs - 1) / jobs);
  if (fixed_thresholds) {
    search->group = even_share;
  } else if (rows <= kCopyRows) {
    search->group = std::clamp<std::size_t>(kCopyBytes / (rows * sizeof(double)), 1, even_share);
  }
  {
    JoinOnExit join(mnar.pool);
    for (std::size_t j = 0; j < jobs; ++j) mnar.pool.execute(std::make_unique<ColumnJob>(search));
    if (fixed_thresholds) plan = plan_passes(mnar.stream, cols, blanks, false);
  }
  if (search.use_count() != 1) panic("Still references alive");
  // A column left undone can only have run out of memory.
  for (const std::uint8_t done : search->done) {
    if (!done) throw std::bad_alloc();
  }

  // The passes that the call carries out end before the first NaN threshold.
  std::vector<std::uint8_t> in_last(cols, 0);
  for (const std::uint32_t c : plan.last) in_last[c] = 1;
  std::size_t listed = plan.passes();
  for (std::size_t c = 0; c < cols; ++c) {
    if (search->nan_pass[c] < full + in_last[c]) listed = std::min(listed, search->nan_pass[c]);
  }

  for (std::size_t c = 0; c < cols; ++c) {
    for (const ShownBlank& blank : search->shown[c]) {
      if (blank.pass < listed) events.push_back(
            Event{blank.pass, blank.row, static_cast<std::uint32_t>(c)});
    }
  }
  if (fixed_thresholds && listed > full) {
    // The partial pass takes each of its columns' next nearest cell.
    const DumpWindow window(rows, cols);
    const double blank = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    for (const std::uint32_t c : plan.last) {
      const std::uint32_t row = search->extra[c];
      if (row == ColumnSearch::kNoRow) {
        write_panic_notice("No argmin found!", std::source_location::current());
        continue;
      }
      if (row >= rows) panic(index_out_of_bounds(rows, row));
      matrix[row * cols + c] = blank;
      if (window.shows_row(row) && window.shows_col(c)) events.push_back(Event{full, row, c});
    }
  }
  std::sort(events.begin(), events.end(),
            [](const Event& a, const Event& b) { return a.pass < b.pass; });
  return listed;
}

}  // namespace

std::uint64_t blank_count(double alpha, std::size_t rows, std::size_t cols) {
  return saturating_u64(std::ceil(alpha * static_cast<double>(cell_count(rows, cols))));
}

void MNAR::drop_cols(std::span<double> matrix, std::size_t rows, std::size_t cols,
                     std::uint64_t blanks, int dump_fd) {
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

  // The dump starts from the matrix as it came; the jobs blank it in place.
  MatrixDump dump(matrix.data(), rows, cols);
  const RandomStream stream_before = stream;
  PassPlan plan;
  std::size_t listed = 0;
  std::vector<Event> events;
  try {
    listed = search_all(*this, matrix, rows, cols, blanks, plan, events);
  } catch (...) {
    // Nothing has been written yet: the call leaves no trace, so that a
    // retry after, say, a MemoryError makes the holes it would have.
    stream = stream_before;
    throw;
  }

  // Replay the dumps pass by pass from the shown blanks.
  DumpWriter writer(dump_fd);
  try {
    std::size_t next = 0;
    for (std::size_t pass = 0; pass < listed; ++pass) {
      for (; next < events.size() && events[next].pass == pass; ++next) {
        dump.blank(events[next].row, events[next].col);
      }
      const bool changed = dump.stale();
      writer.add(dump.text(), changed);
    }
    writer.flush();
  } catch (const InternalError&) {
    // The dump could not be written: the call ends with this pass, so the
    // stream must stand where drawing pass by pass would have left it.
    stream = stream_before;
    plan_passes(stream, cols, blanks, false, writer.written_passes() + 1);
    throw;
  }
  if (listed < plan.passes()) {
    // A pass draws all its thresholds before it looks at any of them.
    stream = stream_before;
    plan_passes(stream, cols, blanks, false, listed + 1);
    panic("Sample is nan");
  }
}

}  // namespace gapwright
