// What intake hands to the masking call: the cells as a dense row-major
// matrix of doubles, what kind of container to rebuild, and how string cells
// were label-encoded.
#pragma once

#include "utils/arrow/imported_table.h"
#include "utils/python/py_ref.h"

#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <memory>         // std::shared_ptr
#include <optional>       // std::optional
#include <span>           // std::span
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map
#include <variant>        // std::variant
#include <vector>         // std::vector

namespace gapwright::py {

// The kind of container to rebuild: a numpy array; a DataFrame with the
// str() texts of its column labels, one per column in order; or a table of a
// library that speaks the Arrow C stream interface.
struct OUT {
  struct Array {};
  struct DataFrame {
    std::vector<std::string> columns;
    // Per column, the input's own array where the column comes back in its
    // dtype (datetimes, categories, nullable and Arrow columns): the result
    // takes its kept cells from it, exactly. Null where the column comes back
    // float64, or as decoded text of dtype object.
    std::vector<PyRef> typed;
  };
  struct ArrowTable {
    enum class Library { kPolars, kPyArrow };
    Library library;
    std::vector<std::string> columns;
    // The input's batches, whose buffers the result shares.
    std::shared_ptr<const arrow::ImportedTable> table;
  };
  std::variant<Array, DataFrame, ArrowTable> kind;

  bool is_array() const noexcept { return std::holds_alternative<Array>(kind); }
  // The column names of a frame or table; null for an array.
  const std::vector<std::string>* column_names() const noexcept;
};

// A cell of a text column that held a missing value (None, NaN, NA, NaT):
// it is encoded as a label of its own, and comes back as this object where
// it was not blanked.
struct MissingCell {
  std::size_t row;
  PyRef value;
};

// Label encoding of string columns. Invariants: every index in
// encoded_columns is < cols and unique, ascending; encoders and decoders hold
// exactly those keys; a column with k distinct strings uses codes 0..k-1, and
// decoders[c][code] is the string whose encoders[c] entry is code.
struct EncodingInfo {
  std::vector<std::size_t> encoded_columns;
  std::unordered_map<std::size_t, std::unordered_map<std::string, std::uint64_t>> encoders;
  // Codes are dense, so a column's decoder is indexed by code.
  std::unordered_map<std::size_t, std::vector<std::string>> decoders;
  // Per encoded column, its missing cells in row order; absent when none.
  std::unordered_map<std::size_t, std::vector<MissingCell>> missing;
};

// The value matrix: rows x cols doubles, row-major (row r, column c at
// r * cols + c), held in a new C-ordered float64 numpy array of that shape
// which nothing else references. Intake fills it, the masking call blanks
// it in place and the rebuild hands the array on, so that a call holds the
// table once.
class CellArray {
 public:
  CellArray() = default;
  // A new array whose cells are not yet written. Throws PyErrorAlreadySet
  // or InternalError.
  static CellArray allocate(std::size_t rows, std::size_t cols);

  std::span<double> cells() const noexcept { return {data_, rows_ * cols_}; }
  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  // Hands the array to the caller; the cells are no longer reachable here.
  PyRef release() noexcept;

 private:
  PyRef array_;
  double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

struct IntakeResult {
  CellArray values;
  std::size_t rows = 0;
  std::size_t cols = 0;
  OUT container;
  std::optional<EncodingInfo> encoding;
};

}  // namespace gapwright::py
