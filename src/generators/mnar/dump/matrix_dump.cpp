#include "generators/mnar/dump/matrix_dump.h"

#include <sys/stat.h>  // fstat, S_ISFIFO, S_ISSOCK
#include <sys/uio.h>   // writev

#include <algorithm>  // std::min
#include <cerrno>     // errno, EINTR
#include <climits>    // IOV_MAX
#include <string>     // std::string, std::to_string

#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"
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


[[noreturn]] void fail_nothing_written() {
  // A writer that takes nothing would be retried for ever.
  panic("failed printing to stdout: failed to write whole buffer");
}

// Passes queued before their dumps go out in one call; bounded so that the
// texts kept for them stay small.
constexpr std::size_t kQueuedPasses = IOV_MAX;

}  // namespace

DumpWindow::DumpWindow(std::size_t rows, std::size_t cols, bool dumped) noexcept
    : rows_(rows), cols_(cols), dumped_(dumped) {
  const bool large = rows * cols >= kCutCells;
  cut_rows_ = large && rows > kCutLength;
  cut_cols_ = large && cols > kCutLength;
}

std::size_t DumpWindow::shown_rows() const noexcept {
  if (!dumped_) return 0;
  return cut_rows_ ? 2 * kEdge : rows_;
}
std::size_t DumpWindow::shown_cols() const noexcept {
  if (!dumped_) return 0;
  return cut_cols_ ? 2 * kEdge : cols_;
}

std::size_t DumpWindow::shown_row(std::size_t slot) const noexcept {
  return cut_rows_ && slot >= kEdge ? rows_ - 2 * kEdge + slot : slot;
}

std::ptrdiff_t DumpWindow::slot(std::size_t index, std::size_t length, bool cut) noexcept {
  if (index >= length) return -1;
  if (!cut || index < kEdge) return static_cast<std::ptrdiff_t>(index);
  if (index >= length - kEdge) return static_cast<std::ptrdiff_t>(index - (length - 2 * kEdge));
  return -1;
}

MatrixDump::MatrixDump(const double* matrix, std::size_t rows, std::size_t cols)
    : window_(rows, cols) {
  shown_rows_ = window_.shown_rows();
  shown_cols_ = window_.shown_cols();
  const bool cut_cols = window_.cut_cols();

  cells_.reserve(shown_rows_ * shown_cols_);
  for (std::size_t slot_row = 0; slot_row < shown_rows_; ++slot_row) {
    const std::size_t row = window_.shown_row(slot_row);
    for (std::size_t slot_col = 0; slot_col < shown_cols_; ++slot_col) {
      const std::size_t col =
          cut_cols && slot_col >= kEdge ? cols - 2 * kEdge + slot_col : slot_col;
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

void MatrixDump::blank(std::size_t row, std::size_t col) {
  const std::ptrdiff_t slot_row = window_.row_slot(row);
  const std::ptrdiff_t slot_col = window_.col_slot(col);
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
    if (window_.cut_rows() && slot_row == kEdge) {
      text_ += "...";
      text_ += kRowSeparator;
    }
    text_ += '[';
    for (std::size_t slot_col = 0; slot_col < shown_cols_; ++slot_col) {
      if (slot_col > 0) text_ += kValueSeparator;
      if (window_.cut_cols() && slot_col == kEdge) {
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

DumpWriter::DumpWriter(int fd) : fd_(fd) {
  struct stat status {};
  batch_ = ::fstat(fd, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

void DumpWriter::add(const std::string& text, bool changed) {
  if (changed || texts_.empty()) texts_.push_back(text);
  const std::string& kept = texts_.back();
  queued_.push_back(iovec{const_cast<char*>(kept.data()), kept.size()});
  if (!batch_ || queued_.size() == kQueuedPasses) flush();
}

void DumpWriter::flush() {
  std::size_t first = 0;
  while (first < queued_.size()) {
    const auto count = static_cast<int>(std::min<std::size_t>(queued_.size() - first, IOV_MAX));
    const ssize_t written = ::writev(fd_, queued_.data() + first, count);
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      throw OutputRefused(error);
    }
    if (written == 0) fail_nothing_written();
    // Step over the dumps taken in full; the next one may be taken in part.
    auto left = static_cast<std::size_t>(written);
    while (left > 0) {
      iovec& next = queued_[first];
      if (left < next.iov_len) {
        next.iov_base = static_cast<char*>(next.iov_base) + left;
        next.iov_len -= left;
        break;
      }
      left -= next.iov_len;
      ++first;
      ++written_passes_;
    }
  }
  queued_.clear();
  // The next pass may repeat the last text; nothing refers to the others.
  while (texts_.size() > 1) texts_.pop_front();
}

}  // namespace gapwright
