// MatrixDump: the text of the value matrix written after every pass.
//
// Layout: "[[a, b],\n [c, d]], shape=[R, C], strides=[C, 1], layout=Cc (0x5),
// const ndim=2\n" (CFcf (0xf) with one row or one column). From 500 cells on,
// a dimension longer than 11 shows its first 5 entries, "...", its last 5.
// The shown cells' texts are rendered once and updated only when a blank
// lands among them, so a dump costs a copy of the assembled text.
#pragma once

#include <cstddef>  // std::size_t, std::ptrdiff_t
#include <string>   // std::string
#include <vector>   // std::vector

namespace gapwright {

class MatrixDump {
 public:
  // Renders the shown window of the row-major rows x cols matrix (rows, cols >= 1).
  MatrixDump(const double* matrix, std::size_t rows, std::size_t cols);

  // Marks cell (row, col) as blank (NaN); a no-op for a cell not shown.
  void blank(std::size_t row, std::size_t col);

  // The full dump text, trailing newline included.
  const std::string& text();

 private:
  // The slot of entry `index` among a dimension's shown entries, or -1 when hidden.
  static std::ptrdiff_t shown_slot(std::size_t index, std::size_t length, bool cut) noexcept;

  std::size_t rows_;
  std::size_t cols_;
  // Whether each dimension is cut down to its first and last five entries.
  bool cut_rows_;
  bool cut_cols_;
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

// Writes all of `text` to file descriptor `fd` with one write call (retried
// only on partial writes and EINTR). A failure is an internal failure whose
// message is "failed printing to stdout: " and the system error.
void write_dump(int fd, const std::string& text);

}  // namespace gapwright
