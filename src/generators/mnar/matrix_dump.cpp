#include "generators/mnar/matrix_dump.h"

#include <unistd.h>  // write

#include <cerrno>   // errno, EINTR
#include <cstring>  // std::strerror
#include <string>   // std::string, std::to_string

#include "runtime/internal_error.h"
#include "utils/text/number_text.h"

namespace gapwright {
namespace {

// From this many cells on, long dimensions are cut.
constexpr std::size_t kCutCells = 500;
// A dimension longer than this is cut...
constexpr std::size_t kCutLength = 11;
// ...to this many entries at each end.
constexpr std::size_t kEdge = 5;

constexpr const char* kRowSeparator = ",\n ";
constexpr const char* kValueSeparator = ", ";

}  // namespace

MatrixDump::MatrixDump(const double* matrix, std::size_t rows, std::size_t cols)
    : rows_(rows), cols_(cols) {
  const bool large = rows * cols >= kCutCells;
  cut_rows_ = large && rows > kCutLength;
  cut_cols_ = large && cols > kCutLength;
  shown_rows_ = cut_rows_ ? 2 * kEdge : rows;
  shown_cols_ = cut_cols_ ? 2 * kEdge : cols;

  cells_.reserve(shown_rows_ * shown_cols_);
  for (std::size_t slot_row = 0; slot_row < shown_rows_; ++slot_row) {
    const std::size_t row = cut_rows_ && slot_row >= kEdge ? rows - 2 * kEdge + slot_row : slot_row;
    for (std::size_t slot_col = 0; slot_col < shown_cols_; ++slot_col) {
      const std::size_t col =
          cut_cols_ && slot_col >= kEdge ? cols - 2 * kEdge + slot_col : slot_col;
      std::string& cell = cells_.emplace_back();
      append_dump_number(cell, matrix[row * cols + col]);
    }
  }

  const std::string rows_text = std::to_string(rows);
  const std::string cols_text = std::to_string(cols);
  footer_ = "], shape=[" + rows_text + ", " + cols_text + "], strides=[" + cols_text +
            ", 1], layout=" + (rows >= 2 && cols >= 2 ? "Cc (0x5)" : "CFcf (0xf)") +
            ", const ndim=2\n";
}

std::ptrdiff_t MatrixDump::shown_slot(std::size_t index, std::size_t length, bool cut) noexcept {
  if (index >= length) return -1;
  if (!cut || index < kEdge) return static_cast<std::ptrdiff_t>(index);
  if (index >= length - kEdge) return static_cast<std::ptrdiff_t>(index - (length - 2 * kEdge));
  return -1;
}

void MatrixDump::blank(std::size_t row, std::size_t col) {
  const std::ptrdiff_t slot_row = shown_slot(row, rows_, cut_rows_);
  const std::ptrdiff_t slot_col = shown_slot(col, cols_, cut_cols_);
  if (slot_row < 0 || slot_col < 0) return;
  std::string& cell = cells_[static_cast<std::size_t>(slot_row) * shown_cols_ +
                             static_cast<std::size_t>(slot_col)];
  if (cell == "NaN") return;
  cell = "NaN";
  stale_ = true;
}

const std::string& MatrixDump::text() {
  if (!stale_) return text_;
  text_.clear();
  text_ += '[';
  for (std::size_t slot_row = 0; slot_row < shown_rows_; ++slot_row) {
    if (slot_row > 0) text_ += kRowSeparator;
    if (cut_rows_ && slot_row == kEdge) {
      text_ += "...";
      text_ += kRowSeparator;
    }
    text_ += '[';
    for (std::size_t slot_col = 0; slot_col < shown_cols_; ++slot_col) {
      if (slot_col > 0) text_ += kValueSeparator;
      if (cut_cols_ && slot_col == kEdge) {
        text_ += "...";
        text_ += kValueSeparator;
      }
      text_ += cells_[slot_row * shown_cols_ + slot_col];
    }
    text_ += ']';
  }
  text_ += footer_;
  stale_ = false;
  return text_;
}

void write_dump(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      panic("failed printing to stdout: " + std::string(std::strerror(error)) + " (os error " +
            std::to_string(error) + ")");
    }
    // A writer that takes nothing would be retried for ever.
    if (written == 0) panic("failed printing to stdout: failed to write whole buffer");
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace gapwright
