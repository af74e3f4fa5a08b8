// A table read from an Arrow C stream: the stream's schema and every batch,
// owned here and released exactly once. The table is either a struct whose
// fields are its columns (a polars DataFrame, a pyarrow Table) or a single
// column (a pandas Series).
#pragma once

#include "utils/arrow/c_abi.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int64_t
#include <memory>   // std::unique_ptr
#include <stdexcept>  // std::runtime_error
#include <string>
#include <vector>

namespace gapwright::arrow {

// Owns an ArrowSchema: calls its release callback once, on destruction.
class OwnedSchema {
 public:
  OwnedSchema() noexcept { raw_.release = nullptr; }
  OwnedSchema(const OwnedSchema&) = delete;
  OwnedSchema& operator=(const OwnedSchema&) = delete;
  ~OwnedSchema();

  ArrowSchema* get() noexcept { return &raw_; }
  const ArrowSchema& operator*() const noexcept { return raw_; }

 private:
  ArrowSchema raw_{};
};

// Owns an ArrowArray the same way. Kept at a fixed address (batches hold it
// by pointer), so it is neither copied nor moved.
class OwnedArray {
 public:
  OwnedArray() noexcept { raw_.release = nullptr; }
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  ~OwnedArray();

  ArrowArray* get() noexcept { return &raw_; }
  const ArrowArray& operator*() const noexcept { return raw_; }
  bool released() const noexcept { return raw_.release == nullptr; }

 private:
  ArrowArray raw_{};
};

// The rows of one column within one batch: the array and where its rows
// start (a struct's own offset shifts its fields' rows).
struct ColumnSlice {
  const ArrowArray* array;
  std::int64_t offset;  // of the first row, in the array's own element positions
  std::int64_t length;
};

class ImportedTable {
 public:
  // Drains `stream` (taken over: released here) into a table. A stream
  // failure or a batch that breaks the interface is a StreamError.
  explicit ImportedTable(ArrowArrayStream&& stream);
  ImportedTable(const ImportedTable&) = delete;
  ImportedTable& operator=(const ImportedTable&) = delete;

  const ArrowSchema& schema() const noexcept { return *schema_; }
  bool is_struct() const noexcept { return is_struct_; }
  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept;
  std::size_t batches() const noexcept { return batches_.size(); }
  const ArrowArray& batch(std::size_t b) const noexcept { return **batches_[b]; }
  // The row of the table at which batch b starts.
  std::size_t batch_start(std::size_t b) const noexcept { return starts_[b]; }

  const ArrowSchema& column_schema(std::size_t c) const noexcept;
  std::string column_name(std::size_t c) const;
  ColumnSlice column(std::size_t b, std::size_t c) const noexcept;

 private:
  OwnedSchema schema_;
  std::vector<std::unique_ptr<OwnedArray>> batches_;
  std::vector<std::size_t> starts_;
  std::size_t rows_ = 0;
  bool is_struct_ = false;
};

// A stream that reported a failure, or data that breaks the interface.
class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace gapwright::arrow
