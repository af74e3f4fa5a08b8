#include "generators/mnar/mnar.h"

#include <fcntl.h>   // open, O_WRONLY
#include <gtest/gtest.h>
#include <stdio.h>   // tmpfile, fileno
#include <unistd.h>  // pipe, close, lseek, read

#include <bit>      // std::bit_cast
#include <cmath>    // std::floor, std::isnan
#include <csignal>  // std::signal, SIGPIPE
#include <cstdint>  // std::uint64_t
#include <limits>   // std::numeric_limits
#include <random>   // std::mt19937_64, std::normal_distribution
#include <string>
#include <vector>

#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"

namespace gapwright {
namespace {

MNAR instance(std::uint64_t seed, std::size_t workers, double mean = 0.5, double variance = 0.0) {
  return MNAR{mean, variance, seed, RandomStream::seed_from_u64(seed), ThreadPool(workers)};
}

std::vector<double> normal_table(std::size_t rows, std::size_t cols, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  std::vector<double> matrix(rows * cols);
  for (double& cell : matrix) cell = normal(gen);
  return matrix;
}

// Runs drop_cols with the dumps going to a temporary file; returns the dumps.
std::string masked_with_dumps(MNAR& mnar, Matrix& matrix, std::size_t rows, std::size_t cols,
                              std::uint64_t blanks) {
  FILE* file = tmpfile();
  EXPECT_NE(file, nullptr);
  const int fd = fileno(file);
  mnar.drop_cols(matrix, rows, cols, blanks, fd);
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  fclose(file);
  return text;
}

std::size_t blank_cells(const Matrix& matrix) {
  std::size_t count = 0;
  for (const double cell : matrix) count += std::isnan(cell) ? 1 : 0;
  return count;
}

TEST(drop_cols_test, blank_count_rounds_up_and_saturates) {
  EXPECT_EQ(blank_count(0.01, 5, 6), 1U);
  EXPECT_EQ(blank_count(0.07, 10, 10), 8U);
  EXPECT_EQ(blank_count(-1.0, 10, 10), 0U);
  EXPECT_EQ(blank_count(std::numeric_limits<double>::quiet_NaN(), 10, 10), 0U);
  EXPECT_EQ(blank_count(std::numeric_limits<double>::infinity(), 2, 2),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_THROW(blank_count(0.5, std::size_t{1} << 40, std::size_t{1} << 40), InternalError);
}

// The workers share the matrix and the search while the caller waits: under
// a thread sanitizer this is the test that watches them.
TEST(drop_cols_test, same_holes_and_dumps_for_any_pool_size) {
  for (const double variance : {0.0, 0.3}) {
    // The last table is large enough to be shared by more than one job.
    for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{40, 7}, {3000, 5}, {2, 900}, {70000, 4}}) {
      const Matrix table = normal_table(rows, cols, rows + cols);
      const std::uint64_t blanks = blank_count(0.4, rows, cols);
      Matrix first = table;
      MNAR one = instance(77, 1, 0.5, variance);
      const std::string dumps = masked_with_dumps(one, first, rows, cols, blanks);
      EXPECT_EQ(blank_cells(first), blanks);
      for (const std::size_t workers : {2U, 5U}) {
        Matrix other = table;
        MNAR many = instance(77, workers, 0.5, variance);
        EXPECT_EQ(masked_with_dumps(many, other, rows, cols, blanks), dumps);
        for (std::size_t i = 0; i < table.size(); ++i) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(other[i]), std::bit_cast<std::uint64_t>(first[i]));
        }
      }
    }
  }
}

// The holes of fixed runs on tables drawn from the random stream itself (not
// <random>, whose distributions differ between standard libraries), as FNV-1a
// over the blank cells' indices. Recorded on x86-64; a build for any other
// processor must make the same holes. The nonzero variances take their
// thresholds through the C library's log and cos.
TEST(drop_cols_test, holes_match_the_recorded_digests) {
  struct Run {
    std::size_t rows, cols;
    double alpha, mean, variance;
    std::uint64_t seed, digest;
  };
  const Run runs[] = {
      {40, 7, 0.3, 0.5, 0.0, 1, 0xD56DDB25132088D0ULL},
      {40, 7, 0.3, 0.5, 0.2, 2, 0x1501B07253E8C71DULL},
      {500, 4, 0.25, 0.1, 1.0, 3, 0xB830D0AF83FC3871ULL},
      {500, 4, 0.6, 0.9, 0.05, 4, 0xAFF380EC02E933B0ULL},
      {3, 300, 0.5, 0.0, 0.3, 5, 0x549EB8F8F110724CULL},
      {1000, 3, 0.05, 1.0, 0.5, 6, 0xE745090D4E8C0CCAULL},
  };
  const int sink = open("/dev/null", O_WRONLY);
  ASSERT_GE(sink, 0);
  for (const Run& run : runs) {
    RandomStream cells = RandomStream::seed_from_u64(run.rows * run.cols);
    Matrix matrix(run.rows * run.cols);
    // Every third column is coarse, so that runs of equal values meet ties.
    for (std::size_t i = 0; i < matrix.size(); ++i) {
      const double value = cells.draw_f64() * 200.0 - 100.0;
      matrix[i] = i % run.cols % 3 == 0 ? std::floor(value / 25.0) : value;
    }
    MNAR mnar = instance(run.seed, 2, run.mean, run.variance);
    mnar.drop_cols(matrix, run.rows, run.cols, blank_count(run.alpha, run.rows, run.cols), sink);
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint64_t i = 0; i < matrix.size(); ++i) {
      if (!std::isnan(matrix[i])) continue;
      for (int shift = 0; shift < 64; shift += 8) hash = (hash ^ ((i >> shift) & 0xFFU)) * 0x100000001b3ULL;
    }
    EXPECT_EQ(hash, run.digest) << run.rows << " x " << run.cols << ", seed " << run.seed;
  }
  close(sink);
}

TEST(drop_cols_test, passes_stop_once_every_cell_is_blank) {
  Matrix matrix = {1, 2, 3, 4, 5, 6};
  MNAR mnar = instance(4, 2);
  const std::string dumps = masked_with_dumps(mnar, matrix, 3, 2, 1000);
  EXPECT_EQ(blank_cells(matrix), 6U);
  std::size_t count = 0;
  for (std::size_t at = 0; (at = dumps.find("shape=[3, 2]", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 3U);
}

TEST(drop_cols_test, no_blanks_leaves_the_stream_and_matrix_alone) {
  MNAR mnar = instance(9, 2);
  Matrix empty;
  masked_with_dumps(mnar, empty, 0, 3, 5);
  Matrix matrix = {1, 2, 3, 4};
  EXPECT_EQ(masked_with_dumps(mnar, matrix, 2, 2, 0), "");
  EXPECT_EQ(matrix, (Matrix{1, 2, 3, 4}));
  EXPECT_EQ(mnar.stream.draw_u64(), RandomStream::seed_from_u64(9).draw_u64());
}

TEST(drop_cols_test, a_nan_threshold_fails_the_call_naming_its_column) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  Matrix matrix = {1, nan, 2, 3};
  MNAR mnar = instance(1, 2);
  try {
    masked_with_dumps(mnar, matrix, 2, 2, 2);
    FAIL() << "no failure";
  } catch (const NanThreshold& error) {
    EXPECT_STREQ(error.what(), "Sample is nan");
    EXPECT_EQ(error.column(), 1U);
  }
  // The whole failing pass was drawn: two thresholds of four words each.
  RandomStream expected = RandomStream::seed_from_u64(1);
  for (int i = 0; i < 8; ++i) expected.draw_u32();
  EXPECT_EQ(mnar.stream.draw_u64(), expected.draw_u64());

  // In a partial pass the first NaN in selection order is named, whatever
  // the column order; an infinity at variance 0 fails like a NaN. Two of
  // the three columns are chosen, so one of 0 and 2 always is.
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    Matrix table = {inf, 1, nan, 2, 3, 4, 5, 6, 7};
    MNAR partial = instance(seed, 2);
    RandomStream draws = RandomStream::seed_from_u64(seed);
    const std::vector<std::uint64_t> chosen = draws.pick_indices(3, 2);
    try {
      masked_with_dumps(partial, table, 3, 3, 2);
      ADD_FAILURE() << "no failure for seed " << seed;
    } catch (const NanThreshold& error) {
      EXPECT_EQ(error.column(), chosen[0] != 1 ? chosen[0] : chosen[1]) << seed;
    }
  }
}

TEST(drop_cols_test, without_the_dump_only_the_output_differs) {
  const Matrix table = normal_table(40, 3, 5);
  for (const double variance : {0.0, 0.3}) {
    Matrix dumped = table;
    Matrix quiet = table;
    MNAR loud = instance(4, 2, 0.5, variance);
    MNAR silent = instance(4, 2, 0.5, variance);
    silent.dump = false;
    EXPECT_NE(masked_with_dumps(loud, dumped, 40, 3, 50), "");
    EXPECT_EQ(masked_with_dumps(silent, quiet, 40, 3, 50), "");
    for (std::size_t i = 0; i < table.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(dumped[i]), std::bit_cast<std::uint64_t>(quiet[i]));
    }
    EXPECT_EQ(loud.stream.words_drawn(), silent.stream.words_drawn());
  }
}

TEST(drop_cols_test, a_failed_dump_leaves_the_stream_after_its_pass) {
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const Matrix table = normal_table(10, 4, 3);
  Matrix broken_matrix = table;
  MNAR broken = instance(12, 2, 0.5, 0.5);
  EXPECT_THROW(broken.drop_cols(broken_matrix, 10, 4, 20, ends[1]), OutputRefused);
  close(ends[1]);
  std::signal(SIGPIPE, previous);

  Matrix one_pass_matrix = table;
  MNAR one_pass = instance(12, 2, 0.5, 0.5);
  masked_with_dumps(one_pass, one_pass_matrix, 10, 4, 4);
  EXPECT_EQ(broken.stream.draw_u64(), one_pass.stream.draw_u64());
}

}  // namespace
}  // namespace gapwright
