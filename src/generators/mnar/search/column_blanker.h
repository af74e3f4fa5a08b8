// ColumnBlanker: how a column search writes its blanks and keeps the ones
// that the dump shows.
#pragma once

#include "generators/mnar/kernels/blank.h"
#include "generators/mnar/search/column_search.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t

namespace gapwright {

class ColumnBlanker {
 public:
  ColumnBlanker(const SearchTable& table, std::size_t c, ColumnOutcome& outcome) noexcept
      : cell_(table.matrix.data() + c), stride_(table.cols), window_(table.window),
        outcome_(outcome), shown_(table.window.shows_col(c)) {}

  void blank(std::size_t pass, std::size_t row) {
    cell_[row * stride_] = kBlank;
    note(pass, row);
  }
  // Records a blank made elsewhere if the dump shows it.
  void note(std::size_t pass, std::size_t row) {
    if (shown_ && window_.shows_row(row)) {
      outcome_.shown.push_back(ShownBlank{pass, static_cast<std::uint32_t>(row)});
    }
  }

 private:
  double* cell_;
  std::size_t stride_;
  const DumpWindow& window_;
  ColumnOutcome& outcome_;
  bool shown_;
};

}  // namespace gapwright
