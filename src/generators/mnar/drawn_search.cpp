#include "generators/mnar/drawn_search.h"

#include "generators/mnar/column_blanker.h"
#include "generators/mnar/column_models.h"
#include "runtime/internal_error.h"

#include <cmath>     // std::isnan
#include <optional>  // std::optional
#include <utility>   // std::move
#include <vector>    // std::vector

namespace gapwright {

// The column's cells are read at column[r * stride].
void DrawnThresholdSearch::answer_through_index(std::size_t c, const double* column,
                                                std::size_t stride, ColumnOutcome& outcome,
                                                ColumnIndex::Storage& storage) const {
  std::size_t count = plan_.full_passes;
  for (const std::uint32_t selected : plan_.last) count += selected == c ? 1 : 0;

  ColumnIndex index(column, table_.rows, stride, 0, std::move(storage));
  const Gauss model = column_model(index.sorted_values().data(), table_.rows, mean_, variance_);
  // The thresholds up to the first NaN one, which ends the column's work.
  const double* deviates = plan_.deviates.data() + c * plan_.stride();
  std::vector<double> thresholds;
  thresholds.reserve(count);
  for (std::size_t pass = 0; pass < count; ++pass) {
    const double threshold = model.from_deviate(deviates[pass]);
    if (std::isnan(threshold)) {
      outcome.nan_pass = pass;
      break;
    }
    thresholds.push_back(threshold);
  }
  const std::vector<std::uint32_t> positions = index.locate(thresholds);
  ColumnBlanker blanker(table_, c, outcome);
  for (std::size_t pass = 0; pass < thresholds.size(); ++pass) {
    const std::optional<std::uint64_t> row = index.take_nearest(thresholds[pass], positions[pass]);
    if (row) {
      blanker.blank(pass, static_cast<std::size_t>(*row));
    } else {
      write_panic_notice("No argmin found!", std::source_location::current());
    }
  }
  storage = std::move(index).release();
}

void DrawnThresholdSearch::search(std::size_t first, std::size_t last,
                                  std::span<ColumnOutcome> outcomes, JobScratch& scratch) const {
  const std::size_t rows = table_.rows;
  if (last - first == 1) {
    answer_through_index(first, table_.matrix.data() + first, table_.cols, outcomes[0],
                         scratch.index);
    return;
  }
  // One sweep copies the group out, reading each row's part of the group
  // once, where reading column by column would read it once per column.
  std::vector<double>& columns = scratch.columns;
  columns.resize((last - first) * rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* cell = table_.matrix.data() + r * table_.cols + first;
    for (std::size_t g = 0; g < last - first; ++g) columns[g * rows + r] = cell[g];
  }
  for (std::size_t c = first; c < last; ++c) {
    answer_through_index(c, columns.data() + (c - first) * rows, 1, outcomes[c - first],
                         scratch.index);
  }
}

}  // namespace gapwright
