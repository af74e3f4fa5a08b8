// The search stage: a column search takes the table (SearchTable) and a
// range of its columns, with the scratch its job carries (JobScratch), and
// gives each column blanked in place and its ColumnOutcome: the blanks the
// dump shows, with their passes, and where its work stopped.
//
// Columns are independent: what a pass blanks in one column depends only on
// that column, its threshold and what earlier passes blanked in it. So once
// the thresholds are known, each column's whole sequence of searches runs in
// one go: its model, then its answers, written straight into the matrix as
// NaN. Only the blanks that the per-pass dump shows are kept, with their
// passes, so that the calling thread can replay the dumps afterwards.
//
// Two searches implement it: fixed thresholds (fixed_search.h) and drawn
// ones (drawn_search.h). A search touches only its own columns' cells and
// outcomes, and never Python.
#pragma once

#include "generators/mnar/dump/matrix_dump.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, SIZE_MAX
#include <span>     // std::span
#include <vector>   // std::vector

namespace gapwright {

// The memory a job carries from one search to the next (job_scratch.h):
// only the searches that use it need its indexes' headers.
struct JobScratch;

// A blank that the dump shows: the pass that makes it and its row.
struct ShownBlank {
  std::size_t pass;
  std::uint32_t row;
  bool operator==(const ShownBlank&) const = default;
};

// What searching one column leaves for the calling thread.
struct ColumnOutcome {
  // Rows fit in 32 bits (ColumnIndex::kMaxRows), which leaves this value free.
  static constexpr std::uint32_t kNoRow = ~std::uint32_t{0};
  static constexpr std::size_t kNoPass = SIZE_MAX;

  // The blanks the dump shows, in no particular order.
  std::vector<ShownBlank> shown;
  // The first pass whose threshold is NaN; the column is not searched from it on.
  std::size_t nan_pass = kNoPass;
  // Fixed thresholds only: the row that the pass after the full passes takes
  // (the column's cell of rank full_passes), not yet blanked; kNoRow when none.
  std::uint32_t extra = kNoRow;
};

// The table as the searches see it: rows x cols doubles, row-major, blanked
// in place, and the part of it that the dump shows (none without a dump).
struct SearchTable {
  SearchTable(std::span<double> matrix, std::size_t rows, std::size_t cols,
              bool dumped = true) noexcept
      : matrix(matrix), rows(rows), cols(cols), window(rows, cols, dumped) {}

  std::span<double> matrix;
  std::size_t rows;
  std::size_t cols;
  DumpWindow window;
};

// One way of searching a call's columns.
class ColumnSearch {
 public:
  virtual ~ColumnSearch() = default;
  // Blanks the columns [first, last) and fills in their outcomes
  // (outcomes[0] is column first's). Calls for disjoint ranges may run at
  // once on different threads.
  virtual void search(std::size_t first, std::size_t last, std::span<ColumnOutcome> outcomes,
                      JobScratch& scratch) const = 0;
};

}  // namespace gapwright
