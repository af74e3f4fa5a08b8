#include "generators/mnar/dump/matrix_dump.h"
#include "generators/mnar/index/column_index.h"
#include "generators/mnar/jobs/column_job.h"
#include "generators/mnar/kernels/blank.h"
#include "generators/mnar/mnar.h"
#include "generators/mnar/plan/pass_plan.h"
#include "generators/mnar/search/drawn_search.h"
#include "generators/mnar/search/fixed_search.h"
#include "generators/mnar/search/job_scratch.h"
#include "runtime/checked_math.h"
#include "runtime/cpu_budget.h"
#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"

#include <algorithm>  // std::clamp, std::max, std::min, std::sort
#include <cmath>      // std::ceil
#include <cstdint>    // std::uint8_t, std::uint32_t, std::uint64_t, UINT32_MAX
#include <memory>     // std::make_shared, std::make_unique
#include <optional>   // std::optional
#include <span>       // std::span
#include <string>     // std::to_string
#include <vector>     // std::vector

namespace gapwright {
namespace {

// From this many deviates on, drawing them on the pool pays for the jobs.
constexpr std::uint64_t kDrawOnPool = 1 << 13;

// Columns a job sweeps together: enough to read whole cache lines of a row,
// few enough that their histograms stay in cache.
constexpr std::size_t kMaxGroup = 16;
// A job copies out together only as many columns as fit in this many bytes.
constexpr std::size_t kCopyBytes = std::size_t{16} << 20;
// Cells a group of a small table's columns holds, about.
constexpr std::size_t kSmallGroupCells = 1024;

// A blank that a dump shows, in the pass that makes it.
struct Event {
  std::size_t pass;
  std::uint32_t row;
  std::uint32_t col;
};

// What the searches leave for the dumps.
struct Searched {
  // The passes that the call carries out.
  std::size_t listed = 0;
  // When they end before the plan does: the column whose NaN threshold ends them.
  std::size_t nan_column = 0;
  // The blanks the dumps show, in pass order.
  std::vector<Event> events;
};

// Passes address columns, and indexes rows, in 32 bits.
void check_addressable(std::size_t rows, std::size_t cols) {
  if (cols > UINT32_MAX) {
    panic("a table of " + std::to_string(cols) + " columns has more than the passes can address");
  }
  if (rows > ColumnIndex::kMaxRows) {
    panic("a column of " + std::to_string(rows) + " rows is longer than the column index allows");
  }
}

// Tables up to this many cells (8 MiB of input) leave their jobs' scratch to
// the next call made from the same thread, whichever instance makes it; larger
// ones free it. Freed, a table's scratch goes back to the system at every call
// and faults in afresh at the next: from 2^18 cells on, that made a call on a
// new instance, as a grid's task makes, about three times as slow (27,000 x 10
// at variance 0). Kept by the thread rather than by the instance, what a
// process holds grows with its calling threads, up to about 1.5 times this
// input each, not with the instances it keeps.
constexpr std::size_t kKeptScratchCells = std::size_t{1} << 20;

// The calling thread's scratches for `jobs` jobs on a table of `cells` cells;
// none, having freed them, when the table is too large for them to be kept.
// A call uses them until it returns, and makes no other call meanwhile.
std::span<JobScratch> scratch_to_keep(std::size_t cells, std::size_t jobs) {
  thread_local std::vector<JobScratch> scratch;
  if (cells > kKeptScratchCells) {
    std::vector<JobScratch>().swap(scratch);
    return {};
  }
  if (scratch.size() < jobs) scratch.resize(jobs);
  return std::span(scratch).first(jobs);
}

// Below this many cells a second job costs about as much as it saves: a
// worker takes tens of microseconds to wake. Drawn thresholds cost several
// times as much a cell as fixed ones.
constexpr std::size_t kCellsPerExtraJob = std::size_t{1} << 18;
constexpr std::size_t kDrawnCellsPerExtraJob = std::size_t{1} << 14;

// Jobs to queue: one per worker, but no more than there are columns, nor
// than the process may run at once, since each column in work holds scratch,
// and one per kCellsPerExtraJob cells after the first.
std::size_t job_count(const ThreadPool& pool, std::size_t rows, std::size_t cols,
                      bool fixed_thresholds) {
  const std::size_t per_job = fixed_thresholds ? kCellsPerExtraJob : kDrawnCellsPerExtraJob;
  const std::size_t worth = std::min({pool.size(), cols, 1 + rows * cols / per_job});
  // Reading the affinity is a system call: small tables, which have their
  // one job anyway, do without it.
  return worth == 1 ? 1 : std::min(worth, usable_cpus());
}

// Without an index a job's columns share its sweeps over the matrix. With
// one, a job copies its columns out together while the copies stay small
// beside the table, or takes the first sweep of its columns' indexes
// together where they are too long to copy; each column in work then
// holds its index.
std::size_t group_size(std::size_t rows, std::size_t cols, std::size_t jobs,
                       bool fixed_thresholds) {
  const std::size_t even_share = std::min<std::size_t>(kMaxGroup, (cols + jobs - 1) / jobs);
  if (fixed_thresholds) return even_share;
  if (rows > DrawnThresholdSearch::kCopyRows) {
    return std::min(even_share, DrawnThresholdSearch::kCensusColumns);
  }
  std::size_t group = std::clamp<std::size_t>(kCopyBytes / (rows * sizeof(double)), 1, even_share);
  // Groups that the jobs cannot share evenly leave one job a group to
  // search alone at the end (at a million rows and ten columns, five groups
  // of two split three to two): smaller groups that share evenly cost
  // less than that wait.
  const auto groups = [cols](std::size_t size) { return (cols + size - 1) / size; };
  while (group > 1 && groups(group) % jobs != 0 && groups(group) < 4 * jobs) --group;
  // On a small table a worker's wake-up is a good part of the call: with
  // groups of about a thousand cells (a column a group, unless columns are
  // shorter), one that starts late leaves the others little to wait for,
  // while the columns of a wide table, a few cells each, do not take turns
  // at the jobs' shared counter and cache lines one by one.
  if (jobs > 1 && rows * cols < kCellsPerExtraJob) {
    group = std::clamp<std::size_t>(kSmallGroupCells / rows, 1, group);
  }
  return group;
}

// Runs `search` over every column on `jobs` jobs; the calling thread runs
// `meanwhile` before it waits for them. When that is all it has to do
// (`busy_meanwhile`), several jobs all go to the pool's workers. Otherwise
// one job runs on the calling thread itself, after `meanwhile`: handing it
// to a worker and waiting for it would only add two thread switches, and a
// worker slow to wake finds the groups taken by the time it would start:
// its job is withdrawn rather than waited for. Rethrows what a job failed
// with.
template <typename Meanwhile>
std::vector<ColumnOutcome> search_on_pool(ThreadPool& pool, std::size_t jobs,
                                           std::span<JobScratch> kept,
                                           const ColumnSearch& search, std::size_t cols,
                                           std::size_t group, bool busy_meanwhile,
                                           Meanwhile&& meanwhile) {
  auto work = std::make_shared<ColumnWork>(search, cols, group, kept);
  {
    JoinOnExit join(pool);
    const std::size_t pooled = jobs > 1 && busy_meanwhile ? jobs : jobs - 1;
    for (std::size_t j = 0; j < pooled; ++j) pool.execute(std::make_unique<ColumnJob>(work));
    meanwhile();
    if (pooled < jobs) {
      work->take_groups();
      if (pooled > 0) pool.withdraw_queued();
    }
  }
  if (work.use_count() != 1) panic("Still references alive");
  work->check_finished();
  return work->take_outcomes();
}

// The passes that the call carries out: they end before the first NaN threshold.
std::size_t passes_carried_out(const PassPlan& plan, const std::vector<ColumnOutcome>& outcomes) {
  std::size_t listed = plan.passes();
  for (std::size_t c = 0; c < outcomes.size(); ++c) {
    const std::size_t nan_pass = outcomes[c].nan_pass;
    if (nan_pass < plan.passes_of(c)) listed = std::min(listed, nan_pass);
  }
  return listed;
}

// The first column of pass `pass`'s selection whose threshold is NaN.
std::size_t first_nan_column(const PassPlan& plan, const std::vector<ColumnOutcome>& outcomes,
                             std::size_t pass) {
  if (pass >= plan.full_passes) {
    for (const std::uint32_t c : plan.last) {
      if (outcomes[c].nan_pass == pass) return c;
    }
  }
  for (std::size_t c = 0; c < outcomes.size(); ++c) {
    if (outcomes[c].nan_pass == pass) return c;
  }
  panic("no column of pass " + std::to_string(pass) + " has a NaN threshold");
}

std::vector<Event> shown_events(const std::vector<ColumnOutcome>& outcomes, std::size_t listed) {
  std::vector<Event> events;
  for (std::size_t c = 0; c < outcomes.size(); ++c) {
    for (const ShownBlank& blank : outcomes[c].shown) {
      if (blank.pass < listed) {
        events.push_back(Event{blank.pass, blank.row, static_cast<std::uint32_t>(c)});
      }
    }
  }
  return events;
}

// With fixed thresholds the partial pass takes each of its columns' next
// nearest cell, which the searches left unblanked.
void take_partial_pass(const SearchTable& table, const PassPlan& plan,
                       const std::vector<ColumnOutcome>& outcomes, std::vector<Event>& events) {
  for (const std::uint32_t c : plan.last) {
    const std::uint32_t row = outcomes[c].extra;
    if (row == ColumnOutcome::kNoRow) {
      write_panic_notice("No argmin found!", std::source_location::current());
      continue;
    }
    if (row >= table.rows) panic(index_out_of_bounds(table.rows, row));
    table.matrix[row * table.cols + c] = kBlank;
    if (table.window.shows_row(row) && table.window.shows_col(c)) {
      events.push_back(Event{plan.full_passes, row, c});
    }
  }
}

// Draws the plan and searches every column, blanking the matrix in place.
Searched search_all(MNAR& mnar, const SearchTable& table, std::uint64_t blanks, PassPlan& plan) {
  const std::size_t cols = table.cols;
  const std::size_t full = static_cast<std::size_t>(blanks / cols);
  // With variance 0 every threshold is its column's centre and the draws
  // only move the stream: they are made while the columns are searched.
  // Otherwise every deviate is drawn first.
  const bool fixed_thresholds = mnar.variance == 0.0;
  const std::size_t jobs = job_count(mnar.pool, table.rows, cols, fixed_thresholds);
  const std::size_t group = group_size(table.rows, cols, jobs, fixed_thresholds);
  const std::span<JobScratch> kept = scratch_to_keep(table.rows * cols, jobs);
  std::vector<ColumnOutcome> outcomes;
  if (fixed_thresholds) {
    const FixedThresholdSearch search(table, {mnar.mean, mnar.variance, full});
    outcomes = search_on_pool(mnar.pool, jobs, kept, search, cols, group, true,
                              [&] { plan = plan_passes(mnar.stream, cols, blanks, false); });
  } else {
    plan = blanks >= kDrawOnPool && jobs > 1
               ? plan_passes_on(mnar.pool, jobs, mnar.stream, cols, blanks)
                                 : plan_passes(mnar.stream, cols, blanks, true);
    const DrawnThresholdSearch search(table, mnar.mean, mnar.variance, plan);
    outcomes = search_on_pool(mnar.pool, jobs, kept, search, cols, group, false, [] {});
  }

  Searched searched;
  searched.listed = passes_carried_out(plan, outcomes);
  if (searched.listed < plan.passes()) {
    searched.nan_column = first_nan_column(plan, outcomes, searched.listed);
  }
  searched.events = shown_events(outcomes, searched.listed);
  if (fixed_thresholds && searched.listed > full) {
    take_partial_pass(table, plan, outcomes, searched.events);
  }
  std::sort(searched.events.begin(), searched.events.end(),
            [](const Event& a, const Event& b) { return a.pass < b.pass; });
  return searched;
}

// Replays the dumps pass by pass from the shown blanks.
void write_dumps(MatrixDump& dump, const Searched& searched, DumpWriter& writer) {
  std::size_t next = 0;
  for (std::size_t pass = 0; pass < searched.listed; ++pass) {
    for (; next < searched.events.size() && searched.events[next].pass == pass; ++next) {
      dump.blank(searched.events[next].row, searched.events[next].col);
    }
    const bool changed = dump.stale();
    writer.add(dump.text(), changed);
  }
  writer.flush();
}

}  // namespace

std::uint64_t blank_count(double alpha, std::size_t rows, std::size_t cols) {
  return saturating_u64(std::ceil(alpha * static_cast<double>(cell_count(rows, cols))));
}

void MNAR::drop_cols(std::span<double> matrix, std::size_t rows, std::size_t cols,
                     std::uint64_t blanks, int dump_fd) {
  const std::uint64_t cells = cell_count(rows, cols);
  if (matrix.size() != cells) panic(index_out_of_bounds(matrix.size(), cells));
  blanks = std::min(blanks, cells);
  // With nothing to blank the models are never sampled, and a table without
  // rows has no quantile to centre them on.
  if (blanks == 0) return;
  check_addressable(rows, cols);

  // The dump starts from the matrix as it came; the jobs blank it in place.
  std::optional<MatrixDump> matrix_dump;
  if (dump) matrix_dump.emplace(matrix.data(), rows, cols);
  const RandomStream stream_before = stream;
  // Where the stream stands once the call ends after pass `passes`, since a
  // pass draws all its thresholds before it looks at any of them.
  const auto stop_stream_after = [&](std::size_t passes) {
    stream = stream_before;
    plan_passes(stream, cols, blanks, false, passes);
  };

  const SearchTable table(matrix, rows, cols, dump);
  PassPlan plan;
  Searched searched;
  try {
    searched = search_all(*this, table, blanks, plan);
  } catch (...) {
    // Nothing has been written yet: the call leaves no trace, so that a
    // retry after, say, a MemoryError makes the holes it would have.
    stream = stream_before;
    throw;
  }

  if (matrix_dump) {
    DumpWriter writer(dump_fd);
    try {
      write_dumps(*matrix_dump, searched, writer);
    } catch (const InternalError&) {
      stop_stream_after(writer.written_passes() + 1);
      throw;
    } catch (const OutputRefused&) {
      stop_stream_after(writer.written_passes() + 1);
      throw;
    }
  }
  if (searched.listed < plan.passes()) {
    stop_stream_after(searched.listed + 1);
    throw NanThreshold(searched.nan_column);
  }
}

}  // namespace gapwright
