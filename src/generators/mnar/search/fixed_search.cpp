#include "generators/mnar/search/fixed_search.h"

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/kernels/distance_key.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_blanker.h"
#include "generators/mnar/search/fixed/groups.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::min, std::partial_sort, std::sort
#include <array>      // std::array
#include <cstdint>    // std::int64_t, std::uint32_t

namespace gapwright {

// The model from the column's values sorted by total order, and the blanks
// and the extra from its cells sorted by (distance, row).
void FixedThresholdSearch::search_sorted(std::size_t c, ColumnOutcome& outcome) const {
  const std::size_t n = table_.rows;
  const double* const cells = table_.matrix.data() + c;
  const Gauss model =
      short_column_model(cells, n, table_.cols, settings_.mean, settings_.variance);
  if (fixed::spoils_thresholds(model)) {
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
      fixed::search_in_place(table_, settings_, from, outcomes.subspan(from - first, to - from));
    }
    return;
  }
  for (std::size_t from = first; from < last; from += fit) {
    const std::size_t to = std::min(last, from + fit);
    fixed::search_copied(table_, settings_, from, outcomes.subspan(from - first, to - from),
                          scratch);
  }
}

}  // namespace gapwright
