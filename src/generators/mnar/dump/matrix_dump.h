// The dump stage: takes the matrix as the call received it and the blanks
// that each pass makes in the cells it shows, and gives the text written
// after every pass.
//
// MatrixDump: the text of the value matrix written after every pass.
//
// Layout: "[[a, b],\n [c, d]], shape=[R, C], strides=[C, 1], layout=Cc (0x5),
// const ndim=2\n" (CFcf (0xf) with one row or one column). From 500 cells on,
// a dimension longer than 11 shows its first 5 entries, "...", its last 5.
// The shown cells' texts are rendered once and updated only when a blank
// lands among them, so a dump costs a copy of the assembled text.
#pragma once

#include <sys/uio.h>  // iovec

#include <cstddef>  // std::size_t, std::ptrdiff_t
#include <deque>    // std::deque
#include <string>   // std::string
#include <vector>   // std::vector

namespace gapwright {

// Which entries of each dimension a dump shows.
class DumpWindow {
 public:
  // Without a dump (`dumped` false) the window shows nothing, so that the
  // searches keep no record of the cells a dump would show.
  DumpWindow(std::size_t rows, std::size_t cols, bool dumped = true) noexcept;

  bool shows_row(std::size_t row) const noexcept {
    return dumped_ && slot(row, rows_, cut_rows_) >= 0;
  }
  bool shows_col(std::size_t col) const noexcept {
    return dumped_ && slot(col, cols_, cut_cols_) >= 0;
  }
  // The slot of entry `index` among a dimension's shown entries, or -1 when hidden.
  std::ptrdiff_t row_slot(std::size_t row) const noexcept { return slot(row, rows_, cut_rows_); }
  std::ptrdiff_t col_slot(std::size_t col) const noexcept { return slot(col, cols_, cut_cols_); }

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  bool cut_rows() const noexcept { return cut_rows_; }
  bool cut_cols() const noexcept { return cut_cols_; }
  std::size_t shown_rows() const noexcept;
  std::size_t shown_cols() const noexcept;
  // The row shown in slot `slot` (below shown_rows()).
  std::size_t shown_row(std::size_t slot) const noexcept;

 private:
  static std::ptrdiff_t slot(std::size_t index, std::size_t length, bool cut) noexcept;

  std::size_t rows_;
  std::size_t cols_;
  // Whether each dimension is cut down to its first and last five entries.
  bool cut_rows_;
  bool cut_cols_;
  bool dumped_;
};

class MatrixDump {
 public:
  // Renders the shown window of the row-major rows x cols matrix (rows, cols >= 1).
  MatrixDump(const double* matrix, std::size_t rows, std::size_t cols);

  // Marks cell (row, col) as blank (NaN); a no-op for a cell not shown.
  void blank(std::size_t row, std::size_t col);

  // The full dump text, trailing newline included.
  const std::string& text();
  // Whether the text changed since the last call of text().
  bool stale() const noexcept { return stale_; }

 private:
  DumpWindow window_;
  std::size_t shown_rows_;
  std::size_t shown_cols_;
  // Text of each shown cell, row-major over the shown window.
  std::vector<std::string> cells_;
  // "], shape=[..], strides=[..], layout=.., const ndim=2\n": the closing
  // bracket and the description, fixed by the shape.
  std::string footer_;
  std::string text_;
  bool stale_ = true;
};

// Writes the dumps of consecutive passes to a file descriptor (retried on
// partial writes and EINTR). To a file, a terminal or /dev/null many passes
// go in one system call, a dump that repeats the previous one written from
// the same text; the bytes are those of one write per pass, and when the
// descriptor fails, the pass whose dump it did not take in full is known.
// To a pipe or socket each pass is written as it comes, so that a reader
// draining it meanwhile is never left a backlog of whole passes when the call
// ends. A write the system refuses throws OutputRefused with its errno; one
// that takes nothing is an internal failure ("failed printing to stdout:
// failed to write whole buffer").
class DumpWriter {
 public:
  explicit DumpWriter(int fd);

  // Queues the dump of the next pass. `text` is copied when `changed`
  // (or first); otherwise the previous dump's text is repeated.
  void add(const std::string& text, bool changed);
  // Writes everything queued. On failure (OutputRefused, or InternalError as
  // above) written_passes() tells which pass failed: the dumps before it were
  // written in full.
  void flush();
  // Passes whose dumps have been written in full.
  std::size_t written_passes() const noexcept { return written_passes_; }

 private:
  int fd_;
  bool batch_;
  std::deque<std::string> texts_;
  std::vector<iovec> queued_;
  std::size_t written_passes_ = 0;
};

}  // namespace gapwright
