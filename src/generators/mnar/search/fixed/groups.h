// The two roads by which the fixed-threshold search takes a group of long
// columns: selected where they lie in the table (in_place_group.cpp), or
// copied out as keys first (copied_group.cpp). Both take the group's
// columns and give them blanked, with their outcomes, as
// FixedThresholdSearch::search describes.
#pragma once

#include "generators/mnar/search/column_search.h"
#include "runtime/gauss.h"

#include <cmath>    // std::isnan
#include <cstddef>  // std::size_t
#include <span>     // std::span

namespace gapwright::fixed {

// Whether a column's model makes every one of its thresholds NaN.
inline bool spoils_thresholds(const Gauss& model) {
  // A deviate is always finite, so with spread 0 (or NaN) every threshold is
  // the centre, or NaN whenever either is.
  return std::isnan(model.mean) || std::isnan(model.std_dev);
}

struct Settings {
  // The column models' quantile position and spread factor.
  double mean;
  double variance;
  // Passes that select every column.
  std::size_t full_passes;
  // Long columns are copied out as keys, a group at a time, while a group
  // takes no more than this (a few columns of a million rows); longer
  // ones are selected where they lie.
  std::size_t copy_bytes = std::size_t{48} << 20;
};

// The columns [first, first + outcomes.size()), at most kRowSweepColumns,
// selected where they lie: each sweep reads the group's part of the matrix
// once rather than once per column.
void search_in_place(const SearchTable& table, const Settings& settings, std::size_t first,
                     std::span<ColumnOutcome> outcomes);

// The columns [first, first + outcomes.size()) copied out into
// scratch.keys, which must hold them all.
void search_copied(const SearchTable& table, const Settings& settings, std::size_t first,
                   std::span<ColumnOutcome> outcomes, JobScratch& scratch);

}  // namespace gapwright::fixed
