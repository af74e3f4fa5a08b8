#include "generators/mnar/search/fixed/groups.h"

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/total_order.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_blanker.h"
#include "generators/mnar/search/fixed/boundary.h"
#include "generators/mnar/search/job_scratch.h"
#include "generators/mnar/select/key_select.h"
#include "runtime/checked_math.h"

#include <algorithm>  // std::min
#include <bit>        // std::bit_cast
#include <cmath>      // std::floor, std::isnan
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <vector>     // std::vector

namespace gapwright::fixed {
namespace {

// Fixed thresholds on columns copied out: the group's value keys in
// one sweep, then for each column the model's order statistics and the
// boundary of its nearest cells by selection on its contiguous keys, then
// one sweep that blanks every cell nearer than its boundary and settles
// the rows it reports, those with a cell at the boundary's distances.
class CopiedGroup {
 public:
  CopiedGroup(const SearchTable& table, const Settings& settings,
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
  const Settings& settings_;
  std::size_t first_;
  std::span<ColumnOutcome> outcomes_;
  std::uint64_t* keys_;
  ReusedBuffer<std::uint64_t>& narrowed_;
  std::vector<Column> columns_;
};

}  // namespace

void search_copied(const SearchTable& table, const Settings& settings, std::size_t first,
                   std::span<ColumnOutcome> outcomes, JobScratch& scratch) {
  CopiedGroup(table, settings, first, outcomes, scratch).run();
}

}  // namespace gapwright::fixed
