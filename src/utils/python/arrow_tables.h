// Tables of other libraries, read and handed back through the Arrow C stream
// interface (`__arrow_c_stream__`), so that neither library is a dependency:
// a polars DataFrame comes back a polars DataFrame, a pyarrow Table a Table,
// with null in the holes and every column's type kept.
#pragma once

#include "utils/arrow/imported_table.h"
#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include "runtime/thread_pool.h"

#include <memory>  // std::shared_ptr
#include <optional>
#include <span>    // std::span

namespace gapwright::py {

// The library whose table `data` is, if it is one this module reads:
// polars.DataFrame or pyarrow.Table (looked up only where the library is
// already loaded, so that neither is imported).
std::optional<OUT::ArrowTable::Library> arrow_table_library(PyObject* data);

// Drains `obj.__arrow_c_stream__()` into a table.
std::shared_ptr<const arrow::ImportedTable> import_arrow_stream(PyObject* obj);

// Reads a polars or pyarrow table into the matrix, a large one on `pool` as
// well as the calling thread; text columns are label encoded, unsupported
// types are a TypeError naming the column.
IntakeResult read_arrow_table(PyObject* data, OUT::ArrowTable::Library library,
                              ThreadPool& pool);

// Reads column c of `table` into `out` (its rows), label-encoding text as
// column j of `encoding`; `name` and `type_name` (the table's own name of
// the type when empty) name the column in an error. Where `null_rows` is
// given, the rows of a text column's nulls are appended to it.
void read_arrow_column(const arrow::ImportedTable& table, std::size_t c, std::span<double> out,
                       EncodingInfo& encoding, std::size_t j, const std::string& name,
                       const std::string& type_name,
                       std::vector<std::size_t>* null_rows = nullptr);

// The caller's kind of table, with the input's columns and NaN cells of the
// matrix (row-major, rows x cols) as nulls.
PyRef arrow_table_out(const double* matrix, std::size_t rows, std::size_t cols,
                      const OUT::ArrowTable& table);

}  // namespace gapwright::py
