#include "generators/mnar/search/fixed_search.h"

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/distance_key.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_blanker.h"
#include "generators/mnar/select/key_select.h"
#include "generators/mnar/select/radix_select.h"
#include "runtime/checked_math.h"

#include <algorithm>  // std::max, std::min, std::nth_element, std::partial_sort, std::sort
#include <array>      // std::array
#include <bit>        // std::bit_cast
#include <cmath>      // std::floor, std::isnan
#include <limits>     // std::numeric_limits
#include <memory>     // std::unique_ptr, std::make_unique
#include <vector>     // std::vector

namespace gapwright {
namespace {

bool spoils_thresholds(const Gauss& model) {
  // A deviate is always finite, so with spread 0 (or NaN) every threshold is
  // the centre, or NaN whenever either is.
  return std::isnan(model.mean) || std::isnan(model.std_dev);
}

// The blanking sweep's limits by column, which it reads as doubles:
// squares are never negative nor NaN here, and order as their keys. A
// column starts with limits that no square meets: it blanks nothing and
// watches nothing until its search sets them.
struct BlankingLimits {
  explicit BlankingLimits(std::size_t size)
      : centres(size, 0.0), below(size, 0.0),
        watch_from(size, std::numeric_limits<double>::infinity()),
        watch_to(size, -std::numeric_limits<double>::infinity()) {}
  BlankLimits view() const noexcept {
    return BlankLimits{centres.data(), below.data(), watch_from.data(), watch_to.data()};
  }
  std::vector<double> centres;
  std::vector<double> below;
  std::vector<double> watch_from;
  std::vector<double> watch_to;
};

// Blanks a group's columns a block of rows at a time, handing each block's
// watched row offsets to `settle(begin, end, watched)`: each column meets
// its rows in order, which is all that settling asks.
template <class Settle>
void blank_by_blocks(const SearchTable& table, std::size_t first, const BlankingLimits& limits,
                     Settle&& settle) {
  const BlankLimits view = limits.view();
  std::array<std::uint32_t, kBlankRows> watched;
  for (std::size_t begin = 0; begin < table.rows; begin += kBlankRows) {
    const std::size_t end = std::min(table.rows, begin + kBlankRows);
    const std::size_t count = blank_nearer(table.matrix.data(), table.cols, first,
                                           limits.centres.size(), begin, end, view,
                                           watched.data());
    settle(begin, end, std::span<const std::uint32_t>(watched.data(), count));
  }
}

// How a column's boundary settles. With F = full_passes, the cells of rank
// below F are those nearer than the rank F-1 distance (`last`), then the
// lowest rows at it; the rank F cell (the extra) is the next row at that
// distance when it ties it, else the first row at its own distance. Keys
// below `nearer` are blanked outright and keys above `watched` left: the
// cells from one to the other are settled one by one, in row order.
struct Boundary {
  Boundary() = default;
  // `last` is read where F > 0, `extra` where F < rows.
  Boundary(std::uint64_t full_passes, std::size_t rows, Rank last_rank, Rank extra_rank) noexcept
      : last(last_rank), extra(extra_rank), has_last(full_passes > 0),
        need(has_last ? full_passes - last.below : 0),
        extra_found(full_passes >= rows),
        extra_ties_last(has_last && !extra_found && extra.key == last.key),
        nearer(has_last ? last.key : 0),
        watched(std::max(nearer, extra_found ? 0 : extra.key)) {}

  // Whether the cell of row `row` at key `key` is blanked; the extra, once
  // found, goes to `outcome`.
  bool settle(std::uint64_t key, std::size_t row, ColumnOutcome& outcome) noexcept {
    const bool at_last = has_last && key == last.key;
    if (at_last && need > 0) {
      --need;
      return true;
    }
    if (!extra_found && key == extra.key && (extra_ties_last || !at_last)) {
      outcome.extra = static_cast<std::uint32_t>(row);
      extra_found = true;
    }
    return false;
  }

  Rank last{};
  Rank extra{};
  bool has_last = false;
  std::uint64_t need = 0;
  bool extra_found = true;
  bool extra_ties_last = false;
  std::uint64_t nearer = 0;
  std::uint64_t watched = 0;
};

// Fixed thresholds on long columns, selected where they lie: the model's
// order statistics, then the boundary of the nearest cells, by radix
// selection on total-order keys, and one last sweep that blanks everything
// inside the boundary. The order among the blanked cells is worked out only
// for the cells that the dump shows. The columns of a group are swept
// together, row by row, so that each sweep reads the group's part of the
// matrix once rather than once per column.
class GroupSelection {
 public:
  GroupSelection(const SearchTable& table, const FixedThresholdSearch::Settings& settings,
                 std::size_t first, std::span<ColumnOutcome> outcomes)
      : table_(table), settings_(settings), first_(first), size_(outcomes.size()),
        outcomes_(outcomes), columns_(size_), windows_(size_) {}

  void run() {
    set_centre_ranks();
    open_windows([this](std::size_t row, std::size_t g) { return value_key(row, g); });
    sweep_values();
    select_unanswered([this](std::size_t row, std::size_t g) { return value_key(row, g); });
    model_columns();
    set_boundary_ranks();
    open_windows([this](std::size_t row, std::size_t g) { return distance_key(row, g); });
    sweep_distances();
    select_unanswered([this](std::size_t row, std::size_t g) { return distance_key(row, g); });
    blank();
  }

 private:
  struct Column {
    std::unique_ptr<DigitCounts> counts;
    std::unique_ptr<DigitCounts> scratch;
    std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t highest = 0;
    bool active = true;  // false once its model spoils its thresholds
    double centre = 0.0;
    // Up to two adjacent ranks asked of the column's keys, and their
    // answers; none once they are answered.
    std::size_t wanted = 0;
    std::array<std::uint64_t, 2> ranks{};
    std::array<Rank, 2> found{};
    // Where its window keeps keys: the keys of a column that lie in a
    // bracket drawn from a sample of its rows, kept in one sweep. Where they
    // hold the wanted ranks, that sweep is all the selection reads of the
    // matrix; a window that fills up leaves the column to counting passes.
    std::unique_ptr<std::uint64_t[]> kept;
  };

  // Rows a column's sample takes, and how far past the wanted ranks' place
  // in the sorted sample its bracket reaches: about three standard
  // deviations of that place at the median, so that a sample seldom misleads.
  static constexpr std::size_t kSampleRows = 4096;
  static constexpr std::size_t kSampleMargin = 96;

  double value(std::size_t row, std::size_t g) const noexcept {
    return table_.matrix[row * table_.cols + first_ + g];
  }
  std::uint64_t value_key(std::size_t row, std::size_t g) const noexcept {
    return total_order_ukey(value(row, g));
  }
  // Every value of an active column is finite (an infinity or NaN spoils the
  // spread), so the squares rank by their unsigned total-order keys.
  std::uint64_t distance_key(std::size_t row, std::size_t g) const noexcept {
    const double difference = value(row, g) - columns_[g].centre;
    return total_order_ukey(difference * difference);
  }

  // Brackets each column's wanted ranks by a sorted sample of its keys.
  template <typename KeyOf>
  void open_windows(KeyOf key_of) {
    const std::size_t n = table_.rows;
    std::vector<std::uint64_t> sample(kSampleRows);
    for (std::size_t g = 0; g < size_; ++g) {
      Column& column = columns_[g];
      if (column.wanted == 0) continue;
      for (std::size_t i = 0; i < kSampleRows; ++i) sample[i] = key_of(sample_row(i, kSampleRows, n), g);
      const std::uint64_t last = column.ranks[column.wanted - 1];
      const Bracket bracket = bracket_from_sample(sample, n, column.ranks[0], last, kSampleMargin);
      // About a twentieth of the column: twice that is room enough.
      const std::size_t room = 2 * (2 * kSampleMargin + 2) * (n / kSampleRows + 1);
      column.kept = std::make_unique_for_overwrite<std::uint64_t[]>(room);
      windows_[g] = RowWindow{true, bracket.low, bracket.high - bracket.low, 0, column.kept.get(),
                              0, room};
    }
  }

  // The columns' bounds, and the keys in their value windows.
  void sweep_values() {
    std::vector<KeyBounds> bounds(size_);
    sweep_value_windows(table_.matrix.data(), table_.rows, table_.cols, first_, size_,
                        windows_.data(), bounds.data());
    for (std::size_t g = 0; g < size_; ++g) {
      columns_[g].lowest = bounds[g].lowest;
      columns_[g].highest = bounds[g].highest;
    }
    answer_from_windows();
  }

  void sweep_distances() {
    std::vector<double> centres(size_);
    for (std::size_t g = 0; g < size_; ++g) centres[g] = columns_[g].centre;
    sweep_distance_windows(table_.matrix.data(), table_.rows, table_.cols, first_, size_,
                           centres.data(), windows_.data());
    answer_from_windows();
  }

  // Answers the columns whose window holds their wanted ranks.
  void answer_from_windows() {
    for (std::size_t g = 0; g < size_; ++g) {
      // Only columns with wanted ranks have a window opened.
      if (windows_[g].open) answer_from_window(columns_[g], windows_[g]);
      windows_[g] = RowWindow{};
      columns_[g].kept.reset();
    }
  }

  void answer_from_window(Column& column, const RowWindow& window) {
    const std::uint64_t first = column.ranks[0];
    const std::uint64_t last = column.ranks[column.wanted - 1];
    if (first < window.below || last >= window.below + window.count) return;
    const AdjacentRanks found = select_adjacent(std::span(window.kept, window.count),
                                                first - window.below, column.wanted == 2,
                                                narrowed_);
    column.found[0] = Rank{found.at.key, window.below + found.at.below};
    column.found[1] = Rank{found.next.key, window.below + found.next.below};
    column.wanted = 0;
  }

  // The columns that no window answered, by counting passes.
  template <typename KeyOf>
  void select_unanswered(KeyOf key_of) {
    bool any = false;
    for (Column& column : columns_) {
      if (column.wanted == 0) continue;
      if (!column.counts) column.counts = std::make_unique<DigitCounts>();
      if (!column.scratch) column.scratch = std::make_unique<DigitCounts>();
      column.counts->fill(0);
      any = true;
    }
    if (!any) return;
    for (std::size_t r = 0; r < table_.rows; ++r) {
      for (std::size_t g = 0; g < size_; ++g) {
        if (columns_[g].wanted > 0) ++(*columns_[g].counts)[top_digit(key_of(r, g))];
      }
    }
    select(key_of);
  }

  void set_centre_ranks() {
    const std::size_t n = table_.rows;
    const std::uint64_t last = n - 1;
    // The order statistics the model reads besides the smallest and largest.
    const std::uint64_t p = saturating_u64(std::floor(static_cast<double>(n) * settings_.mean));
    for (Column& column : columns_) {
      column.wanted = 0;
      if (n % 2 == 0 && p >= 1) column.ranks[column.wanted++] = std::min(p - 1, last);
      const std::uint64_t upper = std::min(p, last);
      if (column.wanted == 0 || column.ranks[0] != upper) column.ranks[column.wanted++] = upper;
    }
  }

  void model_columns() {
    const std::size_t n = table_.rows;
    const std::uint64_t last = n - 1;
    for (std::size_t g = 0; g < size_; ++g) {
      Column& column = columns_[g];
      const auto at = [&](std::uint64_t i) {
        if (i == 0) return from_total_order_ukey(column.lowest);
        if (i == last) return from_total_order_ukey(column.highest);
        return from_total_order_ukey(column.found[i == column.ranks[0] ? 0 : 1].key);
      };
      const Gauss model = column_model_from(at, n, settings_.mean, settings_.variance);
      column.centre = model.mean;
      if (spoils_thresholds(model)) {
        outcomes_[g].nan_pass = 0;
        column.active = false;
      }
    }
  }

  // Ranks 0 .. F-1 are blanked (F = full_passes), rank F is the extra.
  void set_boundary_ranks() {
    const std::size_t full = settings_.full_passes;
    for (Column& column : columns_) {
      column.wanted = 0;
      if (!column.active) continue;
      if (full > 0) column.ranks[column.wanted++] = full - 1;
      if (full < table_.rows) column.ranks[column.wanted++] = full;
    }
  }

  // Where a column's wanted ranks lie among its top digits, and the keys of
  // the buckets that hold them.
  struct BucketPlan {
    std::array<std::size_t, 2> digit{};
    std::array<std::uint64_t, 2> base{};
    std::array<std::vector<std::uint64_t>, 2> bucket;
    bool own_passes = false;
  };

  // Answers every column's wanted ranks from its counts: one sweep collects
  // the buckets that hold them; a column whose bucket is too large for that
  // narrows by passes of its own.
  template <typename KeyOf>
  void select(KeyOf key_of) {
    std::vector<BucketPlan> plans(size_);
    bool sweep = false;
    for (std::size_t g = 0; g < size_; ++g) {
      plans[g] = plan_buckets(columns_[g]);
      sweep = sweep || (columns_[g].wanted > 0 && !plans[g].own_passes);
    }
    if (sweep) collect_buckets(key_of, plans);
    for (std::size_t g = 0; g < size_; ++g) {
      Column& column = columns_[g];
      if (plans[g].own_passes) {
        const auto key_of_row = [&key_of, g](std::size_t row) { return key_of(row, g); };
        RadixSelect own(key_of_row, table_.rows, *column.counts, *column.scratch);
        for (std::size_t i = 0; i < column.wanted; ++i) column.found[i] = own.at(column.ranks[i]);
      } else {
        answer_from_buckets(column, plans[g]);
      }
    }
  }

  BucketPlan plan_buckets(const Column& column) const {
    const std::size_t limit = std::max<std::size_t>(kDigits, table_.rows / 32);
    BucketPlan plan;
    for (std::size_t i = 0; i < column.wanted; ++i) {
      std::size_t digit = 0;
      std::uint64_t base = 0;
      while (column.ranks[i] >= base + (*column.counts)[digit]) base += (*column.counts)[digit++];
      plan.digit[i] = digit;
      plan.base[i] = base;
      plan.own_passes = plan.own_passes || (*column.counts)[digit] > limit;
    }
    return plan;
  }

  template <typename KeyOf>
  void collect_buckets(KeyOf key_of, std::vector<BucketPlan>& plans) const {
    for (std::size_t r = 0; r < table_.rows; ++r) {
      for (std::size_t g = 0; g < size_; ++g) {
        BucketPlan& plan = plans[g];
        const std::size_t wanted = columns_[g].wanted;
        if (wanted == 0 || plan.own_passes) continue;
        const std::uint64_t key = key_of(r, g);
        const std::size_t digit = top_digit(key);
        if (digit == plan.digit[0]) {
          plan.bucket[0].push_back(key);
        } else if (wanted == 2 && digit == plan.digit[1]) {
          plan.bucket[1].push_back(key);
        }
      }
    }
  }

  static void answer_from_buckets(Column& column, BucketPlan& plan) {
    for (std::size_t i = 0; i < column.wanted; ++i) {
      std::vector<std::uint64_t>& bucket = plan.bucket[plan.digit[i] == plan.digit[0] ? 0 : 1];
      const auto nth = bucket.begin() + static_cast<std::ptrdiff_t>(column.ranks[i] - plan.base[i]);
      std::nth_element(bucket.begin(), nth, bucket.end());
      std::uint64_t smaller = 0;
      for (auto it = bucket.begin(); it != nth; ++it) smaller += *it < *nth ? 1 : 0;
      column.found[i] = Rank{*nth, plan.base[i] + smaller};
    }
  }

  // A shown cell that may be blanked, with its rank by (distance, row),
  // counted during the blanking sweep.
  struct Shown {
    std::uint32_t row;
    std::uint64_t key;
    std::uint64_t rank;
  };

  // What the blanking sweep knows of an active column: its boundary, and
  // the cells the dump shows that it may blank.
  struct ColumnBoundary {
    Boundary boundary;
    std::vector<Shown> shown;
  };

  bool has_last() const noexcept { return settings_.full_passes > 0; }
  bool has_extra() const noexcept { return settings_.full_passes < table_.rows; }

  void blank() {
    std::vector<ColumnBoundary> columns(size_);
    BlankingLimits limits(size_);
    // A column that shows cells in the dump takes the careful path, and
    // keeps limits that no square meets.
    std::vector<std::size_t> careful;
    for (std::size_t g = 0; g < size_; ++g) {
      if (!columns_[g].active) continue;
      columns[g] = boundary_of(g);
      if (!columns[g].shown.empty()) {
        careful.push_back(g);
        continue;
      }
      const Boundary& boundary = columns[g].boundary;
      limits.centres[g] = columns_[g].centre;
      limits.below[g] = has_last() ? from_total_order_ukey(boundary.nearer) : 0.0;
      limits.watch_from[g] = limits.below[g];
      limits.watch_to[g] = from_total_order_ukey(boundary.watched);
    }
    blank_by_blocks(table_, first_, limits,
                    [&](std::size_t begin, std::size_t end, std::span<const std::uint32_t> watched) {
                      for (const std::uint32_t offset : watched) settle_row(begin + offset, columns);
                      for (std::size_t r = begin; r < end; ++r) {
                        for (const std::size_t g : careful) blank_if_inside(r, g, columns[g]);
                      }
                    });
    for (std::size_t g = 0; g < size_; ++g) {
      ColumnBlanker blanker(table_, first_ + g, outcomes_[g]);
      for (const Shown& s : columns[g].shown) {
        if (s.rank < settings_.full_passes) blanker.note(s.rank, s.row);
      }
    }
  }

  // The cells of row r, of the columns that blank_nearer swept: only those
  // at the boundary's distances settle anything.
  void settle_row(std::size_t r, std::vector<ColumnBoundary>& columns) {
    for (std::size_t g = 0; g < size_; ++g) {
      if (!columns_[g].active || !columns[g].shown.empty()) continue;
      if (columns[g].boundary.settle(distance_key(r, g), r, outcomes_[g])) {
        table_.matrix[r * table_.cols + first_ + g] = kBlank;
      }
    }
  }

  ColumnBoundary boundary_of(std::size_t g) const {
    const Column& column = columns_[g];
    ColumnBoundary result;
    result.boundary = Boundary(settings_.full_passes, table_.rows, column.found[0],
                               column.found[has_last() ? 1 : 0]);
    if (table_.window.shows_col(first_ + g) && has_last()) {
      for (std::size_t slot = 0; slot < table_.window.shown_rows(); ++slot) {
        const std::size_t r = table_.window.shown_row(slot);
        const std::uint64_t key = distance_key(r, g);
        if (key <= result.boundary.last.key) {
          result.shown.push_back(Shown{static_cast<std::uint32_t>(r), key, 0});
        }
      }
    }
    return result;
  }

  // Cells are met in row order, as settling asks.
  void blank_if_inside(std::size_t r, std::size_t g, ColumnBoundary& column) {
    const std::uint64_t key = distance_key(r, g);
    for (Shown& s : column.shown) s.rank += (key < s.key || (key == s.key && r < s.row)) ? 1 : 0;
    Boundary& boundary = column.boundary;
    if (key < boundary.nearer || (key <= boundary.watched && boundary.settle(key, r, outcomes_[g]))) {
      table_.matrix[r * table_.cols + first_ + g] = kBlank;
    }
  }

  const SearchTable& table_;
  const FixedThresholdSearch::Settings& settings_;
  std::size_t first_;
  std::size_t size_;
  std::span<ColumnOutcome> outcomes_;
  std::vector<Column> columns_;
  std::vector<RowWindow> windows_;
  ReusedBuffer<std::uint64_t> narrowed_;
};


// Fixed thresholds on columns copied out: the group's value keys in
// one sweep, then for each column the model's order statistics and the
// boundary of its nearest cells by selection on its contiguous keys, then
// one sweep that blanks every cell nearer than its boundary and settles
// the rows it reports, those with a cell at the boundary's distances.
class CopiedGroup {
 public:
  CopiedGroup(const SearchTable& table, const FixedThresholdSearch::Settings& settings,
              std::size_t first, std::span<ColumnOutcome> outcomes, JobScratch& scratch)
      : table_(table), settings_(settings), first_(first), outcomes_(outcomes),
        keys_(scratch.keys.at_least(outcomes.size() * table.rows)), narrowed_(scratch.narrowed),
        columns_(outcomes.size()) {}

  void run() {
    const std::size_t size = columns_.size();
    std::vector<KeyBounds> bounds(size);
    copy_value_keys(table_.matrix.data(), table_.rows, table_.cols, first_, size, keys_,
                    bounds.data());
    BlankingLimits limits(size);
    for (std::size_t g = 0; g < size; ++g) {
      if (!model_column(g, bounds[g])) continue;
      select_boundary(g);
      watch_boundary(g, limits);
    }
    blank_by_blocks(table_, first_, limits,
                    [this](std::size_t begin, std::size_t, std::span<const std::uint32_t> watched) {
                      for (const std::uint32_t offset : watched) settle_row(begin + offset);
                    });
    for (std::size_t g = 0; g < size; ++g) {
      if (columns_[g].active) note_shown(g);
    }
  }

 private:
  struct Column {
    bool active = false;
    double centre = 0.0;
    Boundary boundary;
  };

  std::span<std::uint64_t> keys_of(std::size_t g) const noexcept {
    return std::span(keys_ + g * table_.rows, table_.rows);
  }

  // The column's model from its value keys; false when it spoils the thresholds.
  bool model_column(std::size_t g, KeyBounds bounds) {
    const std::size_t n = table_.rows;
    const std::uint64_t last = n - 1;
    const std::uint64_t p = saturating_u64(std::floor(static_cast<double>(n) * settings_.mean));
    const bool pair = n % 2 == 0 && p >= 1 && p - 1 < last;
    const std::uint64_t rank = pair ? p - 1 : std::min(p, last);
    const AdjacentRanks found = select_adjacent(keys_of(g), rank, pair, narrowed_);
    const auto at = [&](std::uint64_t i) {
      if (i == 0) return from_total_order_ukey(bounds.lowest);
      if (i == last) return from_total_order_ukey(bounds.highest);
      return from_total_order_ukey(i == rank ? found.at.key : found.next.key);
    };
    const Gauss model = column_model_from(at, n, settings_.mean, settings_.variance);
    if (spoils_thresholds(model)) {
      outcomes_[g].nan_pass = 0;
      return false;
    }
    columns_[g].active = true;
    columns_[g].centre = model.mean;
    return true;
  }

  // Ranks 0 .. F-1 are blanked, rank F is the extra.
  void select_boundary(std::size_t g) {
    Column& column = columns_[g];
    const std::size_t full = settings_.full_passes;
    to_distance_keys(keys_of(g).data(), table_.rows, column.centre);
    const bool has_extra = full < table_.rows;
    const std::uint64_t rank = full > 0 ? full - 1 : 0;
    const AdjacentRanks found = select_adjacent(keys_of(g), rank, full > 0 && has_extra, narrowed_);
    column.boundary = Boundary(full, table_.rows, found.at, full > 0 ? found.next : found.at);
  }

  // The blanking sweep blanks the cells nearer than the boundary and
  // reports the rows with a cell at the boundary's or the extra's distance;
  // keys here are the bits of the squares.
  void watch_boundary(std::size_t g, BlankingLimits& limits) const {
    const Column& column = columns_[g];
    limits.centres[g] = column.centre;
    limits.below[g] = std::bit_cast<double>(column.boundary.nearer);
    limits.watch_from[g] = limits.below[g];
    limits.watch_to[g] = std::bit_cast<double>(column.boundary.watched);
  }

  // The cells of row r: only those at the boundary's distances settle
  // anything.
  void settle_row(std::size_t r) {
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      Column& column = columns_[g];
      if (column.active && column.boundary.settle(keys_of(g)[r], r, outcomes_[g])) {
        table_.matrix[r * table_.cols + first_ + g] = kBlank;
      }
    }
  }

  // The blanks the dump shows, each with its pass: its rank by (distance, row).
  void note_shown(std::size_t g) {
    if (!table_.window.shows_col(first_ + g)) return;
    ColumnBlanker blanker(table_, first_ + g, outcomes_[g]);
    const double* const cells = table_.matrix.data() + first_ + g;
    for (std::size_t slot = 0; slot < table_.window.shown_rows(); ++slot) {
      const std::size_t r = table_.window.shown_row(slot);
      if (std::isnan(cells[r * table_.cols])) blanker.note(rank_of_row(keys_of(g), r), r);
    }
  }

  const SearchTable& table_;
  const FixedThresholdSearch::Settings& settings_;
  std::size_t first_;
  std::span<ColumnOutcome> outcomes_;
  std::uint64_t* keys_;
  ReusedBuffer<std::uint64_t>& narrowed_;
  std::vector<Column> columns_;
};
}  // namespace

// The model from the column's values sorted by total order, and the blanks
// and the extra from its cells sorted by (distance, row).
void FixedThresholdSearch::search_sorted(std::size_t c, ColumnOutcome& outcome) const {
  const std::size_t n = table_.rows;
  const double* const cells = table_.matrix.data() + c;
  const Gauss model =
      short_column_model(cells, n, table_.cols, settings_.mean, settings_.variance);
  if (spoils_thresholds(model)) {
    outcome.nan_pass = 0;
    return;
  }
  struct Cell {
    std::int64_t distance;
    std::uint32_t row;
  };
  std::array<Cell, kSortedRows> nearest;
  for (std::size_t r = 0; r < n; ++r) {
    nearest[r] = {distance_key(cells[r * table_.cols], model.mean), static_cast<std::uint32_t>(r)};
  }
  const auto nearer = [](const Cell& a, const Cell& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.row < b.row);
  };
  // Only the blanks and the extra need their places; a heap finds a few
  // of them for less than a sort of all.
  const std::size_t full = settings_.full_passes;
  const std::size_t ranked = std::min(full + 1, n);
  const auto end = nearest.begin() + static_cast<std::ptrdiff_t>(n);
  if (2 * ranked <= n) {
    std::partial_sort(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(ranked), end,
                      nearer);
  } else {
    std::sort(nearest.begin(), end, nearer);
  }
  ColumnBlanker blanker(table_, c, outcome);
  for (std::size_t pass = 0; pass < full; ++pass) blanker.blank(pass, nearest[pass].row);
  if (full < n) outcome.extra = nearest[full].row;
}

void FixedThresholdSearch::search(std::size_t first, std::size_t last,
                                  std::span<ColumnOutcome> outcomes, JobScratch& scratch) const {
  // A column without rows has no quantile to centre its model on.
  if (table_.rows == 0) panic(index_out_of_bounds(0, 0));
  if (table_.rows <= kSortedRows) {
    for (std::size_t c = first; c < last; ++c) search_sorted(c, outcomes[c - first]);
    return;
  }
  // Copying pays while it reads the group's part of the matrix no more
  // than twice.
  const std::size_t fit = settings_.copy_bytes / (table_.rows * sizeof(std::uint64_t));
  if (2 * fit < last - first) {
    for (std::size_t from = first; from < last; from += kRowSweepColumns) {
      const std::size_t to = std::min(last, from + kRowSweepColumns);
      GroupSelection(table_, settings_, from, outcomes.subspan(from - first, to - from)).run();
    }
    return;
  }
  for (std::size_t from = first; from < last; from += fit) {
    const std::size_t to = std::min(last, from + fit);
    CopiedGroup(table_, settings_, from, outcomes.subspan(from - first, to - from), scratch).run();
  }
}

}  // namespace gapwright
