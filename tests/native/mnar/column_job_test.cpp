#include "generators/mnar/jobs/column_job.h"

#include <gtest/gtest.h>

#include "generators/mnar/kernels/distance_key.h"
#include "generators/mnar/kernels/nearest_cell.h"
#include "generators/mnar/plan/column_models.h"
#include "generators/mnar/plan/pass_plan.h"
#include "generators/mnar/search/drawn_search.h"
#include "generators/mnar/search/fixed_search.h"
#include "nearest_scan.h"
#include "runtime/internal_error.h"
#include "runtime/thread_pool.h"

#include <algorithm>  // std::count_if, std::min, std::sort
#include <cmath>      // std::copysign, std::isnan
#include <cstdint>    // std::uint32_t
#include <limits>     // std::numeric_limits
#include <memory>     // std::make_shared, std::make_unique
#include <random>     // std::mt19937_64
#include <span>       // std::span
#include <utility>    // std::pair
#include <vector>

namespace gapwright {
namespace {

// What searching one column did: the matrix after it, the blanks the dump
// shows (in pass order) and the row left for a partial pass.
struct Outcome {
  std::vector<double> matrix;
  std::vector<ShownBlank> shown;
  std::uint32_t extra;
  bool operator==(const Outcome&) const = default;
};

// Whether column c holds its blanks in the same rows in both matrices.
bool same_blanks(const std::vector<double>& a, const std::vector<double>& b, std::size_t cols,
                 std::size_t c) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = c; i < a.size(); i += cols) {
    if (std::isnan(a[i]) != std::isnan(b[i])) return false;
  }
  return true;
}

// Searches columns [first, last), which hold c.
Outcome outcome_of(const ColumnSearch& search, std::vector<double>& matrix, std::size_t c,
                   std::size_t first, std::size_t last) {
  std::vector<ColumnOutcome> outcomes(last - first);
  JobScratch scratch;
  search.search(first, last, outcomes, scratch);
  std::vector<ShownBlank> shown = outcomes[c - first].shown;
  std::sort(shown.begin(), shown.end(),
            [](const ShownBlank& a, const ShownBlank& b) { return a.pass < b.pass; });
  return Outcome{matrix, shown, outcomes[c - first].extra};
}

// Every threshold at the column's centre: the selection without an index,
// over all the columns together, copied out unless `copy_bytes` is too small.
Outcome by_selection(std::vector<double> matrix, std::size_t rows, std::size_t cols, std::size_t c,
                     std::size_t passes, std::size_t copy_bytes = std::size_t{1} << 30) {
  const SearchTable table(matrix, rows, cols);
  const FixedThresholdSearch search(table, {0.5, 0.0, passes, copy_bytes});
  return outcome_of(search, matrix, c, 0, cols);
}

// The same thresholds through an index: deviates of 0 put every threshold
// at the centre of a column with a finite range.
Outcome through_index(std::vector<double> matrix, std::size_t rows, std::size_t cols,
                      std::size_t c, const std::vector<double>& deviates) {
  PassPlan plan;
  plan.cols = cols;
  plan.full_passes = deviates.size();
  plan.deviates.assign(cols * plan.stride(), 0.0);
  for (std::size_t i = 0; i < deviates.size(); ++i) plan.deviates[c * plan.stride() + i] = deviates[i];
  const SearchTable table(matrix, rows, cols);
  const DrawnThresholdSearch search(table, 0.5, 1.0, plan);
  return outcome_of(search, matrix, c, c, c + 1);
}

TEST(column_job_test, selection_answers_as_the_index_does) {
  std::mt19937_64 gen(7);
  // Short columns are sorted; long ones are selected.
  for (const std::size_t rows : {40U, 5000U}) {
    const std::size_t cols = 3;
    for (int round = 0; round < (rows < 100 ? 200 : 12); ++round) {
      std::vector<double> matrix(rows * cols);
      // Odd rounds have values from nine levels, even ones hardly any ties.
      for (double& cell : matrix) {
        cell = round % 2 == 1 ? static_cast<double>(static_cast<int>(gen() % 9) - 4) * 0.5
                              : static_cast<double>(gen() >> 11) * 0x1p-40;
      }
      const std::size_t c = gen() % cols;
      const std::size_t passes = gen() % rows;
      const Outcome selected = by_selection(matrix, rows, cols, c, passes);
      const Outcome indexed = through_index(matrix, rows, cols, c, std::vector<double>(passes, 0.0));
      ASSERT_TRUE(same_blanks(selected.matrix, indexed.matrix, cols, c)) << rows << " rows, round " << round;
      ASSERT_EQ(selected.shown, indexed.shown) << rows << " rows, round " << round;
      // Long columns too long to copy are selected where they lie.
      const Outcome in_place = by_selection(matrix, rows, cols, c, passes, 0);
      EXPECT_TRUE(same_blanks(in_place.matrix, selected.matrix, cols, c)) << rows << " rows, round " << round;
      EXPECT_EQ(in_place.shown, selected.shown) << rows << " rows, round " << round;
      EXPECT_EQ(in_place.extra, selected.extra) << rows << " rows, round " << round;
      // The row left for a partial pass is the one the index takes next.
      const Outcome one_more = through_index(matrix, rows, cols, c, std::vector<double>(passes + 1, 0.0));
      bool found = false;
      for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t i = r * cols + c;
        if (std::isnan(one_more.matrix[i]) && !std::isnan(indexed.matrix[i])) {
          EXPECT_EQ(selected.extra, r);
          found = true;
        }
      }
      EXPECT_TRUE(found) << rows << " rows, round " << round;
    }
  }
}

// Columns of every short length over values that tie, differ only in the
// sign of zero, overflow their squared distances or spoil the model, with
// quantile positions inside and past the column: the blanks are the cells
// nearest the centre of the sorted column, by (distance, row).
TEST(column_job_test, fixed_thresholds_take_the_cells_nearest_the_sorted_centre) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> pool = {0.0, -0.0, 1.0, -1.0, 2.5, 1e300, -1e300, kInf, -kInf,
                                    nan, std::copysign(nan, -1.0), 4.9e-324, 3.0, 3.0};
  const std::vector<double> means = {0.0, 0.25, 0.5, 0.999, 1.0, 3.0, -1.0, nan, kInf};
  std::mt19937_64 gen(2026);
  for (int round = 0; round < 3000; ++round) {
    // Up to 16 rows a column is sorted outright, from 17 its keys are copied.
    const std::size_t n = 1 + gen() % 24;
    std::vector<double> column(n);
    for (double& value : column) value = pool[gen() % pool.size()];
    std::vector<double> sorted = column;
    std::sort(sorted.begin(), sorted.end(),
              [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    const double mean = means[gen() % means.size()];
    const Gauss model = column_model(sorted.data(), n, mean, 0.0);
    const std::size_t passes = gen() % (n + 1);
    std::vector<double> matrix = column;
    const SearchTable table(matrix, n, 1);
    const FixedThresholdSearch search(table, {mean, 0.0, passes});
    const Outcome found = outcome_of(search, matrix, 0, 0, 1);
    if (std::isnan(model.mean) || std::isnan(model.std_dev)) {
      EXPECT_TRUE(found.shown.empty()) << "round " << round;
      continue;
    }
    std::vector<std::pair<std::int64_t, std::uint32_t>> nearest(n);
    for (std::uint32_t r = 0; r < n; ++r) nearest[r] = {distance_key(column[r], model.mean), r};
    std::sort(nearest.begin(), nearest.end());
    std::vector<ShownBlank> expected;
    for (std::size_t pass = 0; pass < passes; ++pass) expected.push_back({pass, nearest[pass].second});
    ASSERT_EQ(found.shown, expected) << "round " << round;
    EXPECT_EQ(found.extra, passes < n ? nearest[passes].second : ColumnOutcome::kNoRow) << "round " << round;
    // No other cell is blanked: a column of such a model holds no NaN.
    EXPECT_EQ(std::count_if(matrix.begin(), matrix.end(), [](double v) { return std::isnan(v); }),
              static_cast<std::ptrdiff_t>(passes))
        << "round " << round;
  }
}

// Short columns are scanned once a pass, or gathered by slot of value, or
// indexed when their slots are uneven: each pass takes what the reference
// scan takes, over
// values that tie, differ only in the sign of zero, overflow their squared
// distances or are infinite, under spreads of either sign and centres at
// any quantile.
TEST(column_job_test, drawn_thresholds_on_short_columns_take_what_a_scan_takes) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Infinities last: a third of the rounds draw from the finite values only.
  const std::vector<double> pool = {0.0, -0.0, 1.0, -1.0, 2.5, 1e300, -1e300, 4.9e-324, 3.0, 3.0,
                                    kInf, -kInf};
  const std::vector<double> variances = {0.1, 1.0, -0.5, 1e300};
  const std::vector<double> means = {0.5, 0.25, 0.999, 1.0};
  constexpr std::size_t kRows = DrawnThresholdSearch::kScanRows;
  const std::size_t scan_cells = detail::chosen_nearest_cell_scan().scan_cells;
  std::mt19937_64 gen(2027);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t n = round % 4 == 0 ? kRows : 1 + gen() % (round % 2 == 0 ? kRows : 64);
    std::vector<double> column(n);
    for (double& value : column) {
      const std::size_t levels = round % 3 == 1 ? pool.size() - 2 : pool.size();
      value = round % 3 == 0 ? static_cast<double>(gen() >> 11) * 0x1p-50 : pool[gen() % levels];
    }
    PassPlan plan;
    plan.cols = 1;
    // A fifth of the rounds take up to every cell.
    const std::size_t most = round % 5 == 4 ? n : std::min<std::size_t>(n, scan_cells / n);
    plan.full_passes = gen() % (most + 1);
    for (std::size_t i = 0; i < plan.stride(); ++i) {
      plan.deviates.push_back(static_cast<double>(gen() % 6001) / 1000.0 - 3.0);
    }
    const double variance = variances[gen() % variances.size()];
    const double mean = means[gen() % means.size()];
    std::vector<double> matrix = column;
    const SearchTable table(matrix, n, 1);
    const DrawnThresholdSearch search(table, mean, variance, plan);
    const Outcome found = outcome_of(search, matrix, 0, 0, 1);

    std::vector<double> sorted = column;
    std::sort(sorted.begin(), sorted.end(),
              [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    const Gauss model = column_model(sorted.data(), n, mean, variance);
    std::vector<double> scanned = column;
    std::vector<ShownBlank> expected;
    for (std::size_t pass = 0; pass < plan.full_passes; ++pass) {
      const double threshold = model.from_deviate(plan.deviates[pass]);
      if (std::isnan(threshold)) break;
      const auto row = nearest_by_scan(scanned.data(), n, 1, 0, threshold);
      ASSERT_TRUE(row.has_value()) << "round " << round;
      // A long column's dump shows only its first and last rows.
      if (table.window.shows_row(*row)) expected.push_back({pass, static_cast<std::uint32_t>(*row)});
      scanned[*row] = std::numeric_limits<double>::quiet_NaN();
    }
    ASSERT_EQ(found.shown, expected) << "round " << round << ", " << n << " rows";
    EXPECT_TRUE(same_blanks(matrix, scanned, 1, 0)) << "round " << round;
  }
}

TEST(column_job_test, a_column_run_dry_answers_no_row) {
  // 3 and 1 tie around 2: the lower row goes first.
  const std::vector<ShownBlank> expected = {{0, 2}, {1, 0}, {2, 1}};
  const Outcome selected = by_selection({3, 1, 2}, 3, 1, 0, 4);
  EXPECT_EQ(selected.shown, expected);
  EXPECT_EQ(selected.extra, ColumnOutcome::kNoRow);
  EXPECT_EQ(through_index({3, 1, 2}, 3, 1, 0, std::vector<double>(4, 0.0)).shown, expected);
}

TEST(column_job_test, signed_zeros_are_one_value_to_both_searches) {
  const std::vector<double> zeros = {0.0, -0.0, 1.0, -1.0, -0.0, 0.0, 2.0};
  EXPECT_EQ(by_selection(zeros, 7, 1, 0, 6).shown, through_index(zeros, 7, 1, 0, std::vector<double>(6, 0.0)).shown);
}

TEST(column_job_test, drawn_thresholds_are_answered_in_pass_order) {
  // Centre 4, spread 8: the deviates give thresholds near 4.2, 1.1, 8.0 and 4.2.
  const Outcome answers = through_index({5, 1, 4, 2, 3, 9, 7}, 7, 1, 0, {0.025, -0.3625, 0.5, 0.025});
  // 9 and 7 tie around 8: the lower row wins.
  EXPECT_EQ(answers.shown, (std::vector<ShownBlank>{{0, 2}, {1, 1}, {2, 5}, {3, 0}}));
}

TEST(column_job_test, a_nan_threshold_stops_its_column) {
  std::vector<double> matrix = {1, 2, 3, 4};
  PassPlan plan;
  plan.cols = 1;
  plan.full_passes = 3;
  plan.deviates = {0.0, 0.0, 0.0, 0.0};
  const SearchTable table(matrix, 4, 1);
  const DrawnThresholdSearch search(table, 0.5, std::numeric_limits<double>::quiet_NaN(), plan);
  std::vector<ColumnOutcome> outcomes(1);
  JobScratch scratch;
  search.search(0, 1, outcomes, scratch);
  EXPECT_EQ(outcomes[0].nan_pass, 0U);
  EXPECT_TRUE(outcomes[0].shown.empty());
}

TEST(column_job_test, jobs_drop_their_work_handle_when_done) {
  std::vector<double> matrix = {1, 2, 3, 4};
  const SearchTable table(matrix, 4, 1);
  const FixedThresholdSearch search(table, {0.5, 0.0, 1});
  auto work = std::make_shared<ColumnWork>(search, 1, 1);
  ColumnJob job(work);
  EXPECT_EQ(work.use_count(), 2);
  job.run();
  EXPECT_EQ(work.use_count(), 1);
  EXPECT_NO_THROW(work->check_finished());
  EXPECT_TRUE(std::isnan(matrix[1]));  // 2 and 3 tie around 2.5: the lower row wins
  EXPECT_EQ(work->take_outcomes()[0].extra, 2U);
}

// A search that fails on one column, as a logic fault would.
class FailingSearch final : public ColumnSearch {
 public:
  void search(std::size_t first, std::size_t last, std::span<ColumnOutcome>,
              JobScratch&) const override {
    if (first <= 3 && 3 < last) panic("column 3 cannot be searched");
  }
};

TEST(column_job_test, a_failed_job_is_reported_as_what_happened) {
  const FailingSearch search;
  for (const std::size_t jobs : {1U, 3U}) {
    ThreadPool pool(jobs);
    auto work = std::make_shared<ColumnWork>(search, 8, 2);
    for (std::size_t j = 0; j < jobs; ++j) pool.execute(std::make_unique<ColumnJob>(work));
    pool.join();
    try {
      work->check_finished();
      ADD_FAILURE() << "no failure with " << jobs << " jobs";
    } catch (const InternalError& error) {
      EXPECT_STREQ(error.what(), "column 3 cannot be searched");
    }
  }
  // Columns that no job searched, with no failure to explain them.
  const ColumnWork untouched(search, 8, 2);
  EXPECT_THROW(untouched.check_finished(), InternalError);
}

}  // namespace
}  // namespace gapwright
