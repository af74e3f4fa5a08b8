// FixedThresholdSearch: the column search when every threshold is its
// column's centre.
//
// With variance 0 every spread is 0 (or NaN, which fails the call), and a
// model of spread 0 always draws its centre. So a column's blanks are its
// full_passes cells nearest the centre, in order of (distance, row), and the
// cell after them is the one a partial pass would take. A group of columns
// is copied out as total-order keys, while the copy stays small beside the
// table, and each column's order statistics are selected in its keys;
// longer columns are selected where they lie, a group of columns per sweep;
// the shortest are sorted, which costs less than either.
#pragma once

#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/search/column_search.h"
#include "generators/mnar/search/fixed/groups.h"

#include <algorithm>  // std::min
#include <cstddef>    // std::size_t
#include <span>       // std::span

namespace gapwright {

class FixedThresholdSearch final : public ColumnSearch {
 public:
  using Settings = fixed::Settings;

  // Columns up to this long are sorted outright, one by one.
  static constexpr std::size_t kSortedRows = 16;
  static_assert(kSortedRows <= kShortColumnRows);

  // Passes past the column's length find it blank already and take nothing.
  FixedThresholdSearch(const SearchTable& table, Settings settings) noexcept
      : table_(table), settings_(settings) {
    settings_.full_passes = std::min(settings_.full_passes, table.rows);
  }

  // Each column gets its first full_passes blanks (pass i takes the cell of
  // rank i) and its outcome's extra row.
  void search(std::size_t first, std::size_t last, std::span<ColumnOutcome> outcomes,
              JobScratch& scratch) const override;

 private:
  void search_sorted(std::size_t c, ColumnOutcome& outcome) const;

  const SearchTable& table_;
  Settings settings_;
};

}  // namespace gapwright
