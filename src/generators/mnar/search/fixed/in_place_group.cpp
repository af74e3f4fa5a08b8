#include "generators/mnar/search/fixed/groups.h"

#include "generators/mnar/kernels/blank.h"
#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_blanker.h"
#include "generators/mnar/search/fixed/boundary.h"
#include "generators/mnar/search/fixed/in_place_ranks.h"
#include "runtime/checked_math.h"

#include <algorithm>  // std::min
#include <cmath>      // std::floor
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <limits>     // std::numeric_limits
#include <vector>     // std::vector

namespace gapwright::fixed {
namespace {

// The cells of a group of adjacent columns, where they lie in the table.
class GroupCells {
 public:
  GroupCells(const SearchTable& table, std::size_t first) noexcept : table_(table), first_(first) {}

  double& cell(std::size_t row, std::size_t g) const noexcept {
    return table_.matrix[row * table_.cols + first_ + g];
  }
  std::uint64_t value_key(std::size_t row, std::size_t g) const noexcept {
    return total_order_ukey(cell(row, g));
  }
  // Every value of an active column is finite (an infinity or NaN spoils the
  // spread), so the squares rank by their unsigned total-order keys.
  std::uint64_t distance_key(std::size_t row, std::size_t g, double centre) const noexcept {
    const double difference = cell(row, g) - centre;
    return total_order_ukey(difference * difference);
  }

 private:
  const SearchTable& table_;
  std::size_t first_;
};

// What the group's road learns of a column on its way to the blanking.
struct GroupColumn {
  std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t highest = 0;
  bool active = true;  // false once its model spoils its thresholds
  double centre = 0.0;
  Boundary boundary;
};

// The settling of the boundaries in place: one blanking sweep blanks each
// active column's cells inside its boundary and settles the cells at its
// distances. A column whose cells the dump shows takes the careful path
// instead, cell by cell, so that each shown blank gets its rank by
// (distance, row), which is its pass.
class InPlaceBlanking {
 public:
  InPlaceBlanking(const SearchTable& table, std::size_t first, std::size_t full_passes,
                  std::span<ColumnOutcome> outcomes, std::span<const GroupColumn> columns)
      : table_(table), cells_(table, first), first_(first), full_passes_(full_passes),
        outcomes_(outcomes), columns_(columns) {}

  void run() {
    const std::size_t size = columns_.size();
    std::vector<SettledColumn> settled(size);
    BlankingLimits limits(size);
    // A column that shows cells in the dump takes the careful path, and
    // keeps limits that no square meets.
    std::vector<std::size_t> careful;
    for (std::size_t g = 0; g < size; ++g) {
      if (!columns_[g].active) continue;
      settled[g] = settling_of(g);
      if (!settled[g].shown.empty()) {
        careful.push_back(g);
        continue;
      }
      const Boundary& boundary = settled[g].boundary;
      limits.centres[g] = columns_[g].centre;
      limits.below[g] = has_last() ? from_total_order_ukey(boundary.nearer) : 0.0;
      limits.watch_from[g] = limits.below[g];
      limits.watch_to[g] = from_total_order_ukey(boundary.watched);
    }
    blank_by_blocks(table_, first_, limits,
                    [&](std::size_t begin, std::size_t end, std::span<const std::uint32_t> watched) {
                      for (const std::uint32_t offset : watched) settle_row(begin + offset, settled);
                      for (std::size_t r = begin; r < end; ++r) {
                        for (const std::size_t g : careful) blank_if_inside(r, g, settled[g]);
                      }
                    });
    for (std::size_t g = 0; g < size; ++g) {
      ColumnBlanker blanker(table_, first_ + g, outcomes_[g]);
      for (const Shown& s : settled[g].shown) {
        if (s.rank < full_passes_) blanker.note(s.rank, s.row);
      }
    }
  }

 private:
  // A shown cell that may be blanked, with its rank by (distance, row),
  // counted during the blanking sweep.
  struct Shown {
    std::uint32_t row;
    std::uint64_t key;
    std::uint64_t rank;
  };

  // What the blanking sweep knows of an active column: its boundary, and
  // the cells the dump shows that it may blank.
  struct SettledColumn {
    Boundary boundary;
    std::vector<Shown> shown;
  };

  bool has_last() const noexcept { return full_passes_ > 0; }

  std::uint64_t distance_key(std::size_t r, std::size_t g) const noexcept {
    return cells_.distance_key(r, g, columns_[g].centre);
  }

  // The cells of row r, of the columns that blank_nearer swept: only those
  // at the boundary's distances settle anything.
  void settle_row(std::size_t r, std::vector<SettledColumn>& settled) {
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      if (!columns_[g].active || !settled[g].shown.empty()) continue;
      if (settled[g].boundary.settle(distance_key(r, g), r, outcomes_[g])) {
        cells_.cell(r, g) = kBlank;
      }
    }
  }

  SettledColumn settling_of(std::size_t g) const {
    SettledColumn result;
    result.boundary = columns_[g].boundary;
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
  void blank_if_inside(std::size_t r, std::size_t g, SettledColumn& column) {
    const std::uint64_t key = distance_key(r, g);
    for (Shown& s : column.shown) s.rank += (key < s.key || (key == s.key && r < s.row)) ? 1 : 0;
    Boundary& boundary = column.boundary;
    if (key < boundary.nearer || (key <= boundary.watched && boundary.settle(key, r, outcomes_[g]))) {
      cells_.cell(r, g) = kBlank;
    }
  }

  const SearchTable& table_;
  GroupCells cells_;
  std::size_t first_;
  std::size_t full_passes_;
  std::span<ColumnOutcome> outcomes_;
  std::span<const GroupColumn> columns_;
};

// Fixed thresholds on long columns, selected where they lie: the model's
// order statistics, then the boundary of the nearest cells, by selection on
// total-order keys (InPlaceRanks), and one last sweep that blanks
// everything inside the boundary (InPlaceBlanking). The order among the
// blanked cells is worked out only for the cells that the dump shows. The
// columns of a group are swept together, row by row, so that each sweep
// reads the group's part of the matrix once rather than once per column.
class InPlaceGroup {
 public:
  InPlaceGroup(const SearchTable& table, const Settings& settings, std::size_t first,
               std::span<ColumnOutcome> outcomes)
      : table_(table), settings_(settings), cells_(table, first), first_(first),
        size_(outcomes.size()), outcomes_(outcomes), columns_(size_), ranks_(table.rows, size_) {}

  void run() {
    const auto value_key = [this](std::size_t row, std::size_t g) {
      return cells_.value_key(row, g);
    };
    const auto distance_key = [this](std::size_t row, std::size_t g) {
      return cells_.distance_key(row, g, columns_[g].centre);
    };
    set_centre_ranks();
    ranks_.open_windows(value_key);
    sweep_values();
    ranks_.select_unanswered(value_key);
    model_columns();
    set_boundary_ranks();
    ranks_.open_windows(distance_key);
    sweep_distances();
    ranks_.select_unanswered(distance_key);
    set_boundaries();
    InPlaceBlanking(table_, first_, settings_.full_passes, outcomes_, columns_).run();
  }

 private:
  // The columns' bounds, and the keys in their value windows.
  void sweep_values() {
    std::vector<KeyBounds> bounds(size_);
    sweep_value_windows(table_.matrix.data(), table_.rows, table_.cols, first_, size_,
                        ranks_.windows(), bounds.data());
    for (std::size_t g = 0; g < size_; ++g) {
      columns_[g].lowest = bounds[g].lowest;
      columns_[g].highest = bounds[g].highest;
    }
    ranks_.answer_from_windows();
  }

  void sweep_distances() {
    std::vector<double> centres(size_);
    for (std::size_t g = 0; g < size_; ++g) centres[g] = columns_[g].centre;
    sweep_distance_windows(table_.matrix.data(), table_.rows, table_.cols, first_, size_,
                           centres.data(), ranks_.windows());
    ranks_.answer_from_windows();
  }

  void set_centre_ranks() {
    const std::size_t n = table_.rows;
    const std::uint64_t last = n - 1;
    // The order statistics the model reads besides the smallest and largest.
    const std::uint64_t p = saturating_u64(std::floor(static_cast<double>(n) * settings_.mean));
    for (std::size_t g = 0; g < size_; ++g) {
      ranks_.clear(g);
      if (n % 2 == 0 && p >= 1) ranks_.want(g, std::min(p - 1, last));
      const std::uint64_t upper = std::min(p, last);
      if (ranks_.wanted(g) == 0 || ranks_.asked(g, 0) != upper) ranks_.want(g, upper);
    }
  }

  void model_columns() {
    const std::size_t n = table_.rows;
    const std::uint64_t last = n - 1;
    for (std::size_t g = 0; g < size_; ++g) {
      GroupColumn& column = columns_[g];
      const auto at = [&](std::uint64_t i) {
        if (i == 0) return from_total_order_ukey(column.lowest);
        if (i == last) return from_total_order_ukey(column.highest);
        return from_total_order_ukey(ranks_.answer(g, i == ranks_.asked(g, 0) ? 0 : 1).key);
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
    for (std::size_t g = 0; g < size_; ++g) {
      ranks_.clear(g);
      if (!columns_[g].active) continue;
      if (full > 0) ranks_.want(g, full - 1);
      if (full < table_.rows) ranks_.want(g, full);
    }
  }

  void set_boundaries() {
    const std::size_t full = settings_.full_passes;
    for (std::size_t g = 0; g < size_; ++g) {
      if (!columns_[g].active) continue;
      columns_[g].boundary = Boundary(full, table_.rows, ranks_.answer(g, 0),
                                      ranks_.answer(g, full > 0 ? 1 : 0));
    }
  }

  const SearchTable& table_;
  const Settings& settings_;
  GroupCells cells_;
  std::size_t first_;
  std::size_t size_;
  std::span<ColumnOutcome> outcomes_;
  std::vector<GroupColumn> columns_;
  InPlaceRanks ranks_;
};

}  // namespace

void search_in_place(const SearchTable& table, const Settings& settings, std::size_t first,
                     std::span<ColumnOutcome> outcomes) {
  InPlaceGroup(table, settings, first, outcomes).run();
}

}  // namespace gapwright::fixed
