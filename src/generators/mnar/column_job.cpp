#include "generators/mnar/column_job.h"

#include "generators/mnar/column_index.h"
#include "generators/mnar/column_models.h"
#include "generators/mnar/nearest_scan.h"
#include "generators/mnar/radix_select.h"
#include "generators/mnar/total_order.h"
#include "runtime/internal_error.h"

#include <algorithm>  // std::min, std::nth_element, std::sort
#include <array>      // std::array
#include <bit>        // std::bit_cast
#include <cmath>      // std::isnan
#include <limits>     // std::numeric_limits
#include <utility>    // std::move

namespace gapwright {
namespace {

// The quiet NaN with which a blank is written.
constexpr double kBlank = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Columns shorter than this are copied out and sorted; longer ones are
// selected in place, where a copy would cost more than a few passes.
constexpr std::size_t kSelectInPlace = 4096;

// A column of the matrix where it lies.
struct StridedColumn {
  const double* first;
  std::size_t stride;
  double operator[](std::size_t row) const noexcept { return first[row * stride]; }
};

class Blanker {
 public:
  Blanker(ColumnSearch& search, std::size_t c)
      : cell_(search.matrix.data() + c), stride_(search.cols), search_(search), c_(c),
        shown_(search.window.shows_col(c)) {}

  void blank(std::size_t pass, std::size_t row) {
    cell_[row * stride_] = kBlank;
    note(pass, row);
  }
  // Records a blank made elsewhere if the dump shows it.
  void note(std::size_t pass, std::size_t row) {
    if (shown_ && search_.window.shows_row(row)) {
      search_.shown[c_].push_back(ShownBlank{pass, static_cast<std::uint32_t>(row)});
    }
  }
  bool column_shown() const noexcept { return shown_; }

 private:
  double* cell_;
  std::size_t stride_;
  ColumnSearch& search_;
  std::size_t c_;
  bool shown_;
};

bool spoils_thresholds(const Gauss& model) {
  // A deviate is always finite, so with spread 0 (or NaN) every threshold is
  // the centre, or NaN whenever either is.
  return std::isnan(model.mean) || std::isnan(model.std_dev);
}

void report_run_dry() { write_panic_notice("No argmin found!", std::source_location::current()); }

// Fixed thresholds on a short column: sort the nearest cells outright.
void select_copied(ColumnSearch& search, std::size_t c) {
  const std::size_t n = search.rows;
  const StridedColumn column{search.matrix.data() + c, search.cols};
  std::vector<double> values(n);
  for (std::size_t r = 0; r < n; ++r) values[r] = column[r];
  const Gauss model = column_model_unsorted(values.data(), n, search.mean, search.variance);
  search.models[c] = model;
  if (spoils_thresholds(model)) {
    search.nan_pass[c] = 0;
    return;
  }
  struct Cell {
    std::int64_t key;
    std::uint32_t row;
    bool operator<(const Cell& other) const noexcept {
      return key != other.key ? key < other.key : row < other.row;
    }
  };
  std::vector<Cell> cells(n);
  for (std::size_t r = 0; r < n; ++r) {
    cells[r] = Cell{distance_key(column[r], model.mean), static_cast<std::uint32_t>(r)};
  }
  const std::size_t wanted = std::min(search.full_passes + 1, n);
  if (wanted < n) {
    std::nth_element(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(wanted - 1),
                     cells.end());
  }
  std::sort(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(wanted));
  Blanker blanker(search, c);
  for (std::size_t i = 0; i < wanted; ++i) {
    if (i < search.full_passes) {
      blanker.blank(i, cells[i].row);
    } else {
      search.extra[c] = cells[i].row;
    }
  }
}

// Fixed thresholds on a long column, selected where it lies: the model's
// order statistics and then the nearest cells' boundary by radix selection
// on total-order keys, and one last pass that blanks everything inside the
// boundary. The order among the blanked cells is worked out only for the
// cells that the dump shows.
void select_in_place(ColumnSearch& search, std::size_t c) {
  const std::size_t n = search.rows;
  const StridedColumn column{search.matrix.data() + c, search.cols};
  auto counts = std::make_unique<DigitCounts>();
  auto scratch = std::make_unique<DigitCounts>();

  std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t highest = 0;
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint64_t key = total_order_ukey(column[r]);
    ++(*counts)[top_digit(key)];
    lowest = std::min(lowest, key);
    highest = std::max(highest, key);
  }
  const auto value_key = [column](std::size_t row) { return total_order_ukey(column[row]); };
  RadixSelect by_value(value_key, n, *counts, *scratch);
  const auto at = [&](std::uint64_t i) {
    if (i == 0) return from_total_order_ukey(lowest);
    if (i == n - 1) return from_total_order_ukey(highest);
    return from_total_order_ukey(by_value.at(i).key);
  };
  const Gauss model = column_model_from(at, n, search.mean, search.variance);
  search.models[c] = model;
  if (spoils_thresholds(model)) {
    search.nan_pass[c] = 0;
    return;
  }

  // Every value is finite here (an infinity or NaN spoils the spread), so
  // the squares rank by their unsigned total-order keys.
  const double centre = model.mean;
  const auto distance = [column, centre](std::size_t row) {
    const double difference = column[row] - centre;
    return total_order_ukey(difference * difference);
  };
  counts->fill(0);
  for (std::size_t r = 0; r < n; ++r) ++(*counts)[top_digit(distance(r))];
  RadixSelect by_distance(distance, n, *counts, *scratch);

  // Ranks 0 .. F-1 are blanked (F = full_passes), rank F is the extra. In
  // the order by (distance, row), the cells of rank below F are those nearer
  // than the rank F-1 distance, then the `need` lowest rows at it.
  const std::size_t full = search.full_passes;
  const bool has_last = full > 0;
  const bool has_extra = full < n;
  using Rank = decltype(by_distance.at(0));
  const Rank last = has_last ? by_distance.at(full - 1) : Rank{};
  const Rank extra = has_extra ? by_distance.at(full) : Rank{};
  const std::uint64_t need = has_last ? full - last.below : 0;
  // Whether the extra is one more row at the rank F-1 distance.
  const bool extra_ties_last = has_last && has_extra && extra.key == last.key;

  // The shown rows that may be blanked, with their ranks counted on the way.
  Blanker blanker(search, c);
  struct Shown {
    std::uint32_t row;
    std::uint64_t key;
    std::uint64_t rank;
  };
  std::vector<Shown> shown;
  if (blanker.column_shown() && has_last) {
    for (std::size_t slot = 0; slot < search.window.shown_rows(); ++slot) {
      const std::size_t r = search.window.shown_row(slot);
      const std::uint64_t key = distance(r);
      if (key <= last.key) shown.push_back(Shown{static_cast<std::uint32_t>(r), key, 0});
    }
  }

  std::uint64_t ties = 0;
  bool extra_found = !has_extra;
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint64_t key = distance(r);
    for (Shown& s : shown) s.rank += (key < s.key || (key == s.key && r < s.row)) ? 1 : 0;
    double* const cell = search.matrix.data() + r * search.cols + c;
    if (has_last && key < last.key) {
      *cell = kBlank;
    } else if (has_last && key == last.key) {
      if (ties < need) {
        *cell = kBlank;
      } else if (!extra_found && extra_ties_last) {
        search.extra[c] = static_cast<std::uint32_t>(r);
        extra_found = true;
      }
      ++ties;
    } else if (!extra_found && !extra_ties_last && key == extra.key) {
      search.extra[c] = static_cast<std::uint32_t>(r);
      extra_found = true;
    }
  }
  for (const Shown& s : shown) {
    if (s.rank < full) blanker.note(s.rank, s.row);
  }
}

// Thresholds drawn from the plan, answered through an index of the column.
void answer_through_index(ColumnSearch& search, std::size_t c) {
  const PassPlan& plan = *search.plan;
  std::size_t count = search.full_passes;
  for (const std::uint32_t column : plan.last) count += column == c ? 1 : 0;

  ColumnIndex index(search.matrix.data(), search.rows, search.cols, c);
  const Gauss model = column_model(index.sorted_values().data(), search.rows, search.mean,
                                   search.variance);
  search.models[c] = model;
  Blanker blanker(search, c);
  const double* deviates = plan.deviates.data() + c * plan.stride();
  for (std::size_t pass = 0; pass < count; ++pass) {
    const double threshold = model.from_deviate(deviates[pass]);
    if (std::isnan(threshold)) {
      search.nan_pass[c] = pass;
      return;
    }
    const std::optional<std::uint64_t> row = index.take_nearest(threshold);
    if (row) {
      blanker.blank(pass, static_cast<std::size_t>(*row));
    } else {
      report_run_dry();
    }
  }
}

}  // namespace

ColumnSearch::ColumnSearch(std::span<double> matrix, std::size_t rows, std::size_t cols,
                           double mean, double variance, std::size_t full_passes,
                           const PassPlan* plan)
    : matrix(matrix), rows(rows), cols(cols), mean(mean), variance(variance),
      full_passes(full_passes), plan(plan), window(rows, cols), models(cols),
      extra(cols, kNoRow), nan_pass(cols, kNoPass), shown(cols), done(cols, 0) {}

void search_column(ColumnSearch& search, std::size_t c) {
  if (search.plan != nullptr) {
    answer_through_index(search, c);
  } else if (search.rows < kSelectInPlace) {
    select_copied(search, c);
  } else {
    select_in_place(search, c);
  }
}

ColumnJob::ColumnJob(std::shared_ptr<ColumnSearch> search) : search_(std::move(search)) {}

void ColumnJob::run() {
  ColumnSearch& search = *search_;
  for (std::size_t c; (c = search.next_column.fetch_add(1)) < search.cols;) {
    search_column(search, c);
    search.done[c] = 1;
  }
  search_.reset();
}

}  // namespace gapwright
