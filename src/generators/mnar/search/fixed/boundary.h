// The settling of a column's boundary under fixed thresholds: which cells
// at the boundary's distances are blanked and which is the extra, met in
// row order, and the blanking sweep that hands the settling its rows.
#pragma once

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/search/column_search.h"
#include "generators/mnar/select/key_select.h"

#include <algorithm>  // std::max, std::min
#include <array>      // std::array
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <limits>     // std::numeric_limits
#include <span>       // std::span
#include <vector>     // std::vector

namespace gapwright::fixed {

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

}  // namespace gapwright::fixed
