// DrawnThresholdSearch: the column search when each pass draws a threshold
// from the column's model.
//
// Every threshold is known up front (the pass plan), so each column is
// indexed once and answers its passes in turn, each taking the nearest cell
// not yet taken: a column of finite values in a BucketIndex, any other (or
// one whose thresholds lie so far out that squared distances overflow)
// sorted into a ColumnIndex. A short column of finite values is copied
// instead: with few passes, each scans the copy; with more, the copy is
// gathered by slot of value (a SlottedColumn) and each pass searches a few
// slots.
#pragma once

#include "generators/mnar/index/bucket_index.h"
#include "generators/mnar/index/column_index.h"
#include "generators/mnar/index/slotted_column.h"
#include "generators/mnar/kernels/nearest_cell.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/plan/pass_plan.h"
#include "generators/mnar/search/column_search.h"

#include "runtime/gauss.h"

#include <cstddef>  // std::size_t
#include <span>     // std::span
#include <vector>   // std::vector

namespace gapwright {

class DrawnThresholdSearch final : public ColumnSearch {
 public:
  // Columns up to this length, but longer than kScanRows, are copied out of
  // the table before they are indexed, longer ones indexed where they lie.
  static constexpr std::size_t kCopyRows = std::size_t{1} << 21;
  // A column this short is searched from a copy: scanned once a pass, as
  // the passes are defined, while it is shorter still or its passes scan
  // few cells in all (how short and how few depends on the scan's build,
  // nearest_cell.h), else by slot of value.
  static constexpr std::size_t kScanRows = kShortColumnRows;
  // Long columns that take their censuses in one sweep: enough to share the
  // cache lines of each row, few enough that their counts stay in a core's
  // cache.
  static constexpr std::size_t kCensusColumns = 16;

  // `plan` must hold its deviates.
  DrawnThresholdSearch(const SearchTable& table, double mean, double variance,
                       const PassPlan& plan) noexcept
      : table_(table), mean_(mean), variance_(variance), plan_(plan),
        scan_(detail::chosen_nearest_cell_scan()) {}

  // Each column is searched for the passes that select it, up to its first
  // NaN threshold, which its outcome records. A threshold that finds no cell
  // left writes the panic notice "No argmin found!" and the column goes on.
  void search(std::size_t first, std::size_t last, std::span<ColumnOutcome> outcomes,
              JobScratch& scratch) const override;

 private:
  // Column c's thresholds from its model, up to the first NaN one, which
  // ends the column's work and is recorded in `outcome`, into `thresholds`.
  const std::vector<double>& thresholds_of(std::size_t c, const Gauss& model,
                                           ColumnOutcome& outcome,
                                           std::vector<double>& thresholds) const;
  void answer_column(std::size_t c, const double* column, std::size_t stride,
                     ColumnOutcome& outcome, JobScratch& scratch,
                     const BucketIndex::Census* census = nullptr) const;
  void answer_long_columns(std::size_t first, std::size_t last,
                           std::span<ColumnOutcome> outcomes, JobScratch& scratch) const;
  // Whether every threshold of column c is finite, as a copy's searches
  // need; `thresholds` holds them either way.
  bool finite_thresholds(std::size_t c, const Gauss& model, ColumnOutcome& outcome,
                         std::vector<double>& thresholds) const;
  bool answer_by_scans(std::size_t c, const double* column, std::size_t stride,
                       ColumnOutcome& outcome, std::vector<double>& thresholds) const;
  bool take_by_scans(std::size_t c, const Gauss& model, std::span<double> values,
                     ColumnOutcome& outcome, std::vector<double>& thresholds) const;
  bool take_by_slots(std::size_t c, SlottedColumn& column, ColumnOutcome& outcome,
                     std::vector<double>& thresholds) const;
  bool answer_by_slots(std::size_t c, const double* column, std::size_t stride,
                       ColumnOutcome& outcome, std::vector<double>& thresholds) const;
  void answer_through_index(std::size_t c, const double* column, std::size_t stride,
                            ColumnOutcome& outcome, JobScratch& scratch) const;

  const SearchTable& table_;
  double mean_;
  double variance_;
  const PassPlan& plan_;
  // The build of the short columns' scan, chosen once for the call.
  const detail::NearestCellScan& scan_;
};

}  // namespace gapwright
