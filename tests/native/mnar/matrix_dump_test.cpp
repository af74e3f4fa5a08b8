#include "generators/mnar/dump/matrix_dump.h"

#include <gtest/gtest.h>
#include <unistd.h>  // pipe, read, close

#include <cerrno>   // EPIPE
#include <csignal>  // std::signal, SIGPIPE
#include <limits>   // std::numeric_limits
#include <random>   // std::mt19937_64
#include <string>
#include <vector>

#include "runtime/system_refusal.h"
#include "utils/text/number_text.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string dump_number(double value) {
  std::string out;
  append_dump_number(out, value);
  return out;
}

std::string dump(const std::vector<double>& matrix, std::size_t rows, std::size_t cols) {
  MatrixDump text(matrix.data(), rows, cols);
  return text.text();
}

// Cell (r, c) holds 100 * r + c, so its text names its position.
std::vector<double> numbered(std::size_t rows, std::size_t cols) {
  std::vector<double> matrix(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) matrix[r * cols + c] = static_cast<double>(100 * r + c);
  }
  return matrix;
}

TEST(matrix_dump_test, numbers_use_the_shortest_round_trip_form) {
  EXPECT_EQ(dump_number(1.0), "1.0");
  EXPECT_EQ(dump_number(0.25), "0.25");
  EXPECT_EQ(dump_number(-0.0), "-0.0");
  EXPECT_EQ(dump_number(0.0), "0.0");
  EXPECT_EQ(dump_number(1234.5), "1234.5");
  EXPECT_EQ(dump_number(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(dump_number(-2.5), "-2.5");
  EXPECT_EQ(dump_number(kNaN), "NaN");
  EXPECT_EQ(dump_number(kInf), "inf");
  EXPECT_EQ(dump_number(-kInf), "-inf");
}

TEST(matrix_dump_test, numbers_switch_to_scientific_outside_the_positional_range) {
  EXPECT_EQ(dump_number(1e-4), "0.0001");
  EXPECT_EQ(dump_number(9.9999e-5), "9.9999e-5");
  EXPECT_EQ(dump_number(1e-5), "1e-5");
  EXPECT_EQ(dump_number(-1e-5), "-1e-5");
  EXPECT_EQ(dump_number(1.5e-7), "1.5e-7");
  EXPECT_EQ(dump_number(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(dump_number(1e15), "1000000000000000.0");
  EXPECT_EQ(dump_number(1e16), "1e16");
  EXPECT_EQ(dump_number(1.2345678901234568e17), "1.2345678901234568e17");
  EXPECT_EQ(dump_number(1.7976931348623157e308), "1.7976931348623157e308");
  EXPECT_EQ(dump_number(5e-324), "5e-324");
}

TEST(matrix_dump_test, small_matrices_are_shown_whole) {
  EXPECT_EQ(dump({1, 2, 3, 4}, 2, 2),
            "[[1.0, 2.0],\n [3.0, 4.0]], shape=[2, 2], strides=[2, 1], layout=Cc (0x5), "
            "const ndim=2\n");
  EXPECT_EQ(dump({1, 0.5, kNaN}, 1, 3),
            "[[1.0, 0.5, NaN]], shape=[1, 3], strides=[3, 1], layout=CFcf (0xf), const ndim=2\n");
  EXPECT_EQ(dump({-1e-5, 2, -kInf}, 3, 1),
            "[[-1e-5],\n [2.0],\n [-inf]], shape=[3, 1], strides=[1, 1], layout=CFcf (0xf), "
            "const ndim=2\n");
  // 499 cells stay whole however long a dimension is.
  const std::string column = dump(numbered(499, 1), 499, 1);
  EXPECT_NE(column.find(" [49800.0]]"), std::string::npos);
  EXPECT_EQ(column.find("..."), std::string::npos);
}

// The expected dump of a numbered matrix, showing the listed rows and
// columns with "..." where `gap_row` / `gap_col` entries are left out.
std::string expected_dump(const std::vector<std::size_t>& shown_rows, std::size_t gap_row,
                          const std::vector<std::size_t>& shown_cols, std::size_t gap_col,
                          const std::string& footer) {
  std::string text = "[";
  for (std::size_t i = 0; i < shown_rows.size(); ++i) {
    if (i > 0) text += ",\n ";
    if (i == gap_row) text += "...,\n ";
    text += "[";
    for (std::size_t j = 0; j < shown_cols.size(); ++j) {
      if (j > 0) text += ", ";
      if (j == gap_col) text += "..., ";
      text += std::to_string(100 * shown_rows[i] + shown_cols[j]) + ".0";
    }
    text += "]";
  }
  return text + "]" + footer;
}

TEST(matrix_dump_test, large_matrices_show_five_entries_at_each_end) {
  const std::string both = dump(numbered(25, 20), 25, 20);
  EXPECT_EQ(both.substr(0, 64),
            "[[0.0, 1.0, 2.0, 3.0, 4.0, ..., 15.0, 16.0, 17.0, 18.0, 19.0],\n ");
  EXPECT_EQ(both,
            expected_dump({0, 1, 2, 3, 4, 20, 21, 22, 23, 24}, 5,
                          {0, 1, 2, 3, 4, 15, 16, 17, 18, 19}, 5,
                          ", shape=[25, 20], strides=[20, 1], layout=Cc (0x5), const ndim=2\n"));

  // Three columns are never cut, whatever the cell count; 100 rows of them
  // are only 300 cells and stay whole, 200 rows are cut.
  EXPECT_EQ(dump(numbered(100, 3), 100, 3).find("..."), std::string::npos);
  EXPECT_EQ(dump(numbered(200, 3), 200, 3),
            expected_dump({0, 1, 2, 3, 4, 195, 196, 197, 198, 199}, 5, {0, 1, 2}, 99,
                          ", shape=[200, 3], strides=[3, 1], layout=Cc (0x5), const ndim=2\n"));
  // Eleven rows are not cut either; 50 columns are.
  EXPECT_EQ(dump(numbered(11, 50), 11, 50),
            expected_dump({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 99,
                          {0, 1, 2, 3, 4, 45, 46, 47, 48, 49}, 5,
                          ", shape=[11, 50], strides=[50, 1], layout=Cc (0x5), const ndim=2\n"));
  EXPECT_EQ(dump(numbered(500, 1), 500, 1),
            expected_dump({0, 1, 2, 3, 4, 495, 496, 497, 498, 499}, 5, {0}, 99,
                          ", shape=[500, 1], strides=[1, 1], layout=CFcf (0xf), const ndim=2\n"));
}

TEST(matrix_dump_test, blanks_match_a_fresh_rendering) {
  std::mt19937_64 random(99);
  const std::pair<std::size_t, std::size_t> shapes[] = {{25, 20}, {3, 4}, {200, 3}, {1, 700}};
  for (const auto& [rows, cols] : shapes) {
    std::vector<double> matrix = numbered(rows, cols);
    MatrixDump text(matrix.data(), rows, cols);
    for (int step = 0; step < 60; ++step) {
      const std::size_t row = random() % rows;
      const std::size_t col = random() % cols;
      const std::string before = text.text();
      text.blank(row, col);
      matrix[row * cols + col] = kNaN;
      const bool shown = (rows * cols < 500 || rows <= 11 || row < 5 || row >= rows - 5) &&
                         (rows * cols < 500 || cols <= 11 || col < 5 || col >= cols - 5);
      if (!shown) {
        EXPECT_EQ(text.text(), before);
      }
      ASSERT_EQ(text.text(), dump(matrix, rows, cols)) << rows << "x" << cols;
    }
  }
}

TEST(matrix_dump_test, dump_writer_delivers_every_pass_in_order) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string first = dump(numbered(25, 20), 25, 20);
  const std::string second = dump(numbered(3, 4), 3, 4);
  DumpWriter writer(ends[1]);
  writer.add(first, true);
  writer.add(first, false);
  writer.add(second, true);
  writer.flush();
  EXPECT_EQ(writer.written_passes(), 3U);
  close(ends[1]);
  const std::string text = first + first + second;
  std::string received(text.size() + 1, '\0');
  std::size_t got = 0;
  for (ssize_t n; (n = read(ends[0], received.data() + got, received.size() - got)) > 0;) {
    got += static_cast<std::size_t>(n);
  }
  close(ends[0]);
  received.resize(got);
  EXPECT_EQ(received, text);
}

TEST(matrix_dump_test, dump_writer_to_a_closed_pipe_is_refused_with_epipe) {
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  DumpWriter writer(ends[1]);
  try {
    writer.add("[[1.0]]\n", true);
    writer.flush();
    FAIL() << "the write should have failed";
  } catch (const OutputRefused& error) {
    EXPECT_EQ(error.code().value(), EPIPE);
    EXPECT_EQ(writer.written_passes(), 0U);
  }
  close(ends[1]);
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace gapwright
