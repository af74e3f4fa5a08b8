#include "generators/mnar/column_job.h"

#include <gtest/gtest.h>

#include <cstdint>  // std::uint32_t
#include <memory>   // std::make_shared
#include <random>   // std::mt19937_64
#include <vector>

namespace gapwright {
namespace {

// A search over `matrix` whose columns all get `thresholds`, in that order.
std::shared_ptr<ColumnSearch> search_for(std::size_t rows, std::size_t cols,
                                         const std::vector<double>& thresholds) {
  auto search = std::make_shared<ColumnSearch>(rows, cols, 1);
  for (std::size_t c = 0; c < cols; ++c) {
    search->starts[c + 1] = search->starts[c] + thresholds.size();
    search->thresholds.insert(search->thresholds.end(), thresholds.begin(), thresholds.end());
  }
  search->answers.assign(search->thresholds.size(), ColumnSearch::kNoRow);
  return search;
}

std::vector<std::uint32_t> through_index(const std::shared_ptr<const Matrix>& matrix,
                                         std::size_t rows, std::size_t cols,
                                         const std::vector<double>& thresholds) {
  auto search = search_for(rows, cols, thresholds);
  IndexJob(matrix, search, 0, 0, cols).run();
  ColumnJob(matrix, search, 0, 0, cols).run();
  return search->answers;
}

std::vector<std::uint32_t> by_selection(const std::shared_ptr<const Matrix>& matrix,
                                        std::size_t rows, std::size_t cols,
                                        const std::vector<double>& thresholds) {
  auto search = search_for(rows, cols, thresholds);
  NearestFirstJob(matrix, search, 0, 0, cols).run();
  EXPECT_EQ(search->batch_done[0], 1);
  return search->answers;
}

TEST(column_job_test, selection_answers_as_the_index_does) {
  std::mt19937_64 gen(7);
  const std::size_t rows = 40;
  const std::size_t cols = 3;
  for (int round = 0; round < 200; ++round) {
    auto matrix = std::make_shared<Matrix>(rows * cols);
    for (double& cell : *matrix) cell = static_cast<double>(static_cast<int>(gen() % 9) - 4) * 0.5;
    const double centre = static_cast<double>(static_cast<int>(gen() % 9) - 4) * 0.25;
    const std::vector<double> fixed(gen() % rows + 1, centre);
    EXPECT_EQ(by_selection(matrix, rows, cols, fixed), through_index(matrix, rows, cols, fixed));
  }
}

TEST(column_job_test, a_column_run_dry_answers_no_row) {
  auto matrix = std::make_shared<Matrix>(Matrix{3, 1, 2});
  const std::vector<double> four(4, 2.0);
  // 3 and 1 tie around 2: the lower row goes first.
  const std::vector<std::uint32_t> expected = {2, 0, 1, ColumnSearch::kNoRow};
  EXPECT_EQ(by_selection(matrix, 3, 1, four), expected);
  EXPECT_EQ(through_index(matrix, 3, 1, four), expected);
}

TEST(column_job_test, signed_zero_thresholds_count_as_one) {
  auto matrix = std::make_shared<Matrix>(Matrix{0.0, -0.0, 1.0, -1.0, -0.0, 0.0, 2.0});
  const std::vector<double> zeros = {0.0, -0.0, 0.0, -0.0, -0.0, 0.0, 0.0};
  EXPECT_EQ(by_selection(matrix, 7, 1, zeros), through_index(matrix, 7, 1, zeros));
}

TEST(column_job_test, differing_thresholds_fall_back_to_the_index) {
  auto matrix = std::make_shared<Matrix>(Matrix{5, 1, 4, 2, 3, 9, 7});
  const std::vector<double> varied = {4.2, 1.1, 8.0, 4.2};
  const std::vector<std::uint32_t> answers = by_selection(matrix, 7, 1, varied);
  EXPECT_EQ(answers, through_index(matrix, 7, 1, varied));
  // 9 and 7 tie around 8: the lower row wins.
  EXPECT_EQ(answers, (std::vector<std::uint32_t>{2, 1, 5, 0}));
}

TEST(column_job_test, jobs_drop_their_matrix_handle_when_done) {
  auto matrix = std::make_shared<Matrix>(Matrix{1, 2, 3, 4});
  auto search = search_for(4, 1, {2.5});
  NearestFirstJob job(matrix, search, 0, 0, 1);
  EXPECT_EQ(matrix.use_count(), 2);
  job.run();
  EXPECT_EQ(matrix.use_count(), 1);
  EXPECT_EQ(search->answers[0], 1U);  // 2 and 3 tie around 2.5: the lower row wins
}

}  // namespace
}  // namespace gapwright
