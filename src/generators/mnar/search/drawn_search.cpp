#include "generators/mnar/search/drawn_search.h"

#include "generators/mnar/index/slotted_column.h"
#include "generators/mnar/index/value_slots.h"
#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_blanker.h"
#include "generators/mnar/search/job_scratch.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::max, std::min, std::ranges::all_of
#include <array>      // std::array
#include <cmath>     // std::abs, std::isfinite, std::isnan
#include <limits>    // std::numeric_limits
#include <optional>  // std::optional
#include <span>      // std::span
#include <utility>   // std::move
#include <vector>    // std::vector

namespace gapwright {

namespace {

// Whether every squared distance from `thresholds` to a value in [lowest,
// highest] is finite: squares that overflow all tie, and a bucket walk
// would then scan the whole column for the lowest row among them.
bool within_reach(const std::vector<double>& thresholds, double lowest, double highest) {
  for (const double threshold : thresholds) {
    const double reach = std::max(std::abs(threshold - lowest), std::abs(threshold - highest));
    if (!std::isfinite(reach * reach)) return false;
  }
  return true;
}

// Blanks the row each pass took (kNoRow: none was left), after the last
// pass: stores to rows spread over the whole table then miss the cache
// together, where between the queries they missed it one by one.
void blank_taken(std::span<const std::uint32_t> taken, ColumnBlanker blanker) {
  for (std::size_t pass = 0; pass < taken.size(); ++pass) {
    if (taken[pass] != ColumnOutcome::kNoRow) {
      blanker.blank(pass, taken[pass]);
    } else {
      write_panic_notice("No argmin found!", std::source_location::current());
    }
  }
}

// The row each pass takes, its threshold's nearest cell, in pass order
// (kNoRow when none is left). On a long column the later passes' buckets
// are fetched ahead, a step at a time: each query would otherwise wait on
// three or four cache misses.
std::vector<std::uint32_t> take_in_pass_order(BucketIndex& buckets,
                                              const std::vector<double>& thresholds) {
  constexpr std::size_t kAhead = 4;
  const std::size_t passes = thresholds.size();
  std::vector<std::uint32_t> taken(passes);
  const bool prefetch = buckets.worth_prefetching();
  for (std::size_t pass = 0; pass < passes; ++pass) {
    if (prefetch) {
      if (pass + 3 * kAhead < passes) buckets.prefetch_range(thresholds[pass + 3 * kAhead]);
      if (pass + 2 * kAhead < passes) buckets.prefetch_bucket(thresholds[pass + 2 * kAhead]);
      if (pass + kAhead < passes) buckets.prefetch_cells(thresholds[pass + kAhead]);
    }
    const std::optional<std::uint32_t> row = buckets.take_nearest(thresholds[pass]);
    taken[pass] = row.value_or(ColumnOutcome::kNoRow);
  }
  return taken;
}

// Copies the n cells column[r * stride] to `values` and their total-order
// keys to `keys`; whether every value is finite.
bool copy_with_keys(const double* column, std::size_t n, std::size_t stride, double* values,
                    std::uint64_t* keys) {
  bool finite = true;
  for (std::size_t r = 0; r < n; ++r) {
    values[r] = column[r * stride];
    finite &= std::isfinite(values[r]);
    keys[r] = total_order_ukey(values[r]);
  }
  return finite;
}

struct ColumnEnds {
  double lowest;
  double highest;
};

// Copies the n cells column[r * stride] to `values`; their lowest and
// highest value if every value is finite.
std::optional<ColumnEnds> copy_with_ends(const double* column, std::size_t n, std::size_t stride,
                                         double* values) {
  // Ends kept in four lanes, each cell's min and max would otherwise wait
  // on the last cell's. A cell minus itself is 0 unless it is infinite or
  // NaN, so the lanes' sums of those are 0 for finite columns.
  constexpr std::size_t kLanes = 4;
  std::array<double, kLanes> lowest;
  std::array<double, kLanes> highest;
  std::array<double, kLanes> not_finite{};
  lowest.fill(std::numeric_limits<double>::infinity());
  highest.fill(-std::numeric_limits<double>::infinity());
  const auto copy = [&](std::size_t r, std::size_t lane) {
    const double value = column[r * stride];
    values[r] = value;
    not_finite[lane] += value - value;
    lowest[lane] = value < lowest[lane] ? value : lowest[lane];
    highest[lane] = value > highest[lane] ? value : highest[lane];
  };
  std::size_t r = 0;
  for (; r + kLanes <= n; r += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) copy(r + lane, lane);
  }
  for (; r < n; ++r) copy(r, 0);
  for (std::size_t lane = 1; lane < kLanes; ++lane) {
    not_finite[0] += not_finite[lane];
    lowest[0] = lowest[lane] < lowest[0] ? lowest[lane] : lowest[0];
    highest[0] = highest[lane] > highest[0] ? highest[lane] : highest[0];
  }
  if (not_finite[0] != 0.0) return std::nullopt;
  return ColumnEnds{lowest[0], highest[0]};
}

// A search's row, or kNoRow for a search of n rows that found none left.
std::uint32_t row_or_none(std::size_t row, std::size_t n) {
  return row == n ? ColumnOutcome::kNoRow : static_cast<std::uint32_t>(row);
}

}  // namespace

const std::vector<double>& DrawnThresholdSearch::thresholds_of(
    std::size_t c, const Gauss& model, ColumnOutcome& outcome,
    std::vector<double>& thresholds) const {
  const std::size_t count = plan_.passes_of(c);
  const double* deviates = plan_.deviates.data() + c * plan_.stride();
  thresholds.clear();
  for (std::size_t pass = 0; pass < count; ++pass) {
    const double threshold = model.from_deviate(deviates[pass]);
    if (std::isnan(threshold)) {
      outcome.nan_pass = pass;
      break;
    }
    thresholds.push_back(threshold);
  }
  return thresholds;
}

bool DrawnThresholdSearch::finite_thresholds(std::size_t c, const Gauss& model,
                                             ColumnOutcome& outcome,
                                             std::vector<double>& thresholds) const {
  thresholds_of(c, model, outcome, thresholds);
  return std::ranges::all_of(thresholds, [](double t) { return std::isfinite(t); });
}

// The column's cells are read at column[r * stride]; its census, if it has
// one, spares its index a sweep.
void DrawnThresholdSearch::answer_column(std::size_t c, const double* column, std::size_t stride,
                                         ColumnOutcome& outcome, JobScratch& scratch,
                                         const BucketIndex::Census* census) const {
  // A column that no pass selects draws no threshold and takes no cell.
  const std::size_t passes = plan_.passes_of(c);
  if (passes == 0) return;
  const std::size_t rows = table_.rows;
  // A short column is searched from a copy, scanned once a pass while it
  // is short or its passes scan few cells in all (how short and how few
  // depends on the scan's build), else gathered by slot of value.
  if (rows <= kScanRows && passes <= rows &&
      (rows < scan_.slot_rows || rows * passes <= scan_.slot_cells
           ? answer_by_scans(c, column, stride, outcome, scratch.thresholds)
           : answer_by_slots(c, column, stride, outcome, scratch.thresholds))) {
    return;
  }
  BucketIndex& buckets = scratch.buckets;
  const bool built = census != nullptr ? buckets.build(column, rows, stride, *census)
                                       : rows > 0 && buckets.build(column, rows, stride);
  if (built) {
    const auto at = [&buckets](std::uint64_t i) { return buckets.value_at_rank(i); };
    const Gauss model = column_model_from(at, rows, mean_, variance_);
    const std::vector<double>& thresholds = thresholds_of(c, model, outcome, scratch.thresholds);
    if (within_reach(thresholds, at(0), at(rows - 1))) {
      blank_taken(take_in_pass_order(buckets, thresholds), ColumnBlanker(table_, c, outcome));
      return;
    }
  }
  answer_through_index(c, column, stride, outcome, scratch);
}

// The column's cells are read at column[r * stride]. A column of finite
// values and thresholds is copied, and each pass scans the copy; false,
// having answered nothing, otherwise.
bool DrawnThresholdSearch::answer_by_scans(std::size_t c, const double* column,
                                           std::size_t stride, ColumnOutcome& outcome,
                                           std::vector<double>& thresholds) const {
  const std::size_t rows = table_.rows;
  std::array<double, kScanRows> values;
  std::array<std::uint64_t, kScanRows> keys;
  if (!copy_with_keys(column, rows, stride, values.data(), keys.data())) return false;
  const Gauss model = finite_short_column_model(values.data(), keys.data(), rows, mean_, variance_);
  return take_by_scans(c, model, std::span(values.data(), rows), outcome, thresholds);
}

// The column's cells are read at column[r * stride]. A column of finite
// values and thresholds is copied and gathered by slot of value, and each
// pass searches a few slots, unless the slots are so uneven that the column
// is better scanned, or indexed if it takes too many passes; false, having
// answered nothing, otherwise.
bool DrawnThresholdSearch::answer_by_slots(std::size_t c, const double* column,
                                           std::size_t stride, ColumnOutcome& outcome,
                                           std::vector<double>& thresholds) const {
  const std::size_t rows = table_.rows;
  std::array<double, kScanRows> values;
  const std::optional<ColumnEnds> ends = copy_with_ends(column, rows, stride, values.data());
  if (!ends) return false;
  const SlotCut cut(rows, ends->lowest, ends->highest);
  if (SlottedColumn::sample_fits(values.data(), rows, cut)) {
    const ValueSlots slots(values.data(), rows, cut, SlotEnds::kKept);
    if (SlottedColumn::fits(slots)) {
      SlottedColumn slotted(values.data(), rows, slots, scan_);
      return take_by_slots(c, slotted, outcome, thresholds);
    }
  }
  if (rows * plan_.passes_of(c) > scan_.scan_cells) return false;
  std::array<std::uint64_t, kScanRows> keys;
  for (std::size_t r = 0; r < rows; ++r) keys[r] = total_order_ukey(values[r]);
  const Gauss model = finite_short_column_model(values.data(), keys.data(), rows, mean_, variance_);
  return take_by_scans(c, model, std::span(values.data(), rows), outcome, thresholds);
}

bool DrawnThresholdSearch::take_by_slots(std::size_t c, SlottedColumn& column,
                                         ColumnOutcome& outcome,
                                         std::vector<double>& thresholds) const {
  const std::size_t rows = table_.rows;
  const auto at = [&column](std::uint64_t i) { return column.value_at_rank(i); };
  const Gauss model = column_model_from(at, rows, mean_, variance_);
  if (!finite_thresholds(c, model, outcome, thresholds)) return false;
  std::array<std::uint32_t, kScanRows> taken;
  for (std::size_t pass = 0; pass < thresholds.size(); ++pass) {
    taken[pass] = row_or_none(column.take_nearest(thresholds[pass]), rows);
  }
  blank_taken(std::span(taken.data(), thresholds.size()), ColumnBlanker(table_, c, outcome));
  return true;
}

// Each pass scans the column's `values`, leaving a NaN in the cell it takes,
// whose distance key ranks after every number's.
bool DrawnThresholdSearch::take_by_scans(std::size_t c, const Gauss& model,
                                         std::span<double> values, ColumnOutcome& outcome,
                                         std::vector<double>& thresholds) const {
  if (!finite_thresholds(c, model, outcome, thresholds)) return false;
  // No more passes than rows select a column (it has no more cells to blank).
  std::array<std::uint32_t, kScanRows> taken;
  for (std::size_t pass = 0; pass < thresholds.size(); ++pass) {
    const std::size_t row = scan_.nearest_place(values.data(), values.size(), thresholds[pass]);
    taken[pass] = row_or_none(row, values.size());
    if (row != values.size()) values[row] = std::numeric_limits<double>::quiet_NaN();
  }
  blank_taken(std::span(taken.data(), thresholds.size()), ColumnBlanker(table_, c, outcome));
  return true;
}

// The column's cells are read at column[r * stride].
void DrawnThresholdSearch::answer_through_index(std::size_t c, const double* column,
                                                std::size_t stride, ColumnOutcome& outcome,
                                                JobScratch& scratch) const {
  ColumnIndex index(column, table_.rows, stride, 0, std::move(scratch.index));
  const Gauss model = column_model(index.sorted_values().data(), table_.rows, mean_, variance_);
  const std::vector<double>& thresholds = thresholds_of(c, model, outcome, scratch.thresholds);
  const std::vector<std::uint32_t> positions = index.locate(thresholds);
  std::vector<std::uint32_t> taken(thresholds.size());
  for (std::size_t pass = 0; pass < thresholds.size(); ++pass) {
    const std::optional<std::uint64_t> row = index.take_nearest(thresholds[pass], positions[pass]);
    taken[pass] = row ? static_cast<std::uint32_t>(*row) : ColumnOutcome::kNoRow;
  }
  blank_taken(taken, ColumnBlanker(table_, c, outcome));
  scratch.index = std::move(index).release();
}

// Long columns, read where they lie, take their censuses a few columns at
// a time, in one sweep that reads each row's part of them once.
void DrawnThresholdSearch::answer_long_columns(std::size_t first, std::size_t last,
                                               std::span<ColumnOutcome> outcomes,
                                               JobScratch& scratch) const {
  std::array<BucketIndex::Census, kCensusColumns> censuses;
  for (std::size_t from = first; from < last; from += kCensusColumns) {
    const std::size_t to = std::min(last, from + kCensusColumns);
    BucketIndex::take_censuses(table_.matrix.data() + from, table_.rows, table_.cols, to - from,
                               censuses.data());
    for (std::size_t c = from; c < to; ++c) {
      answer_column(c, table_.matrix.data() + c, table_.cols, outcomes[c - first], scratch,
                    &censuses[c - from]);
    }
  }
}

void DrawnThresholdSearch::search(std::size_t first, std::size_t last,
                                  std::span<ColumnOutcome> outcomes, JobScratch& scratch) const {
  const std::size_t rows = table_.rows;
  // A long column is indexed where it lies: a copy would hold as much
  // again. A short one's search makes a copy of its own, which may as well
  // read it where it lies. Others are copied out first, a group in one
  // sweep that reads each row's part of the group once, where the index's
  // count and spread would each read it once per column.
  if (rows > kCopyRows) {
    answer_long_columns(first, last, outcomes, scratch);
    return;
  }
  if (rows <= kScanRows || table_.cols == 1) {
    for (std::size_t c = first; c < last; ++c) {
      answer_column(c, table_.matrix.data() + c, table_.cols, outcomes[c - first], scratch);
    }
    return;
  }
  double* columns = scratch.columns.at_least((last - first) * rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* cell = table_.matrix.data() + r * table_.cols + first;
    for (std::size_t g = 0; g < last - first; ++g) columns[g * rows + r] = cell[g];
  }
  for (std::size_t c = first; c < last; ++c) {
    answer_column(c, columns + (c - first) * rows, 1, outcomes[c - first], scratch);
  }
}

}  // namespace gapwright
