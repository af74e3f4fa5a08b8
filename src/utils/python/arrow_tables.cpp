#include "utils/python/arrow_tables.h"

#include "runtime/pool_copy.h"
#include "utils/arrow/column_reader.h"
#include "utils/arrow/exported_stream.h"
#include "utils/python/errors.h"
#include "utils/python/label_encoding.h"
#include "utils/python/object_access.h"

#include <algorithm>  // std::clamp, std::copy, std::copy_n, std::max, std::min
#include <cmath>      // std::isnan
#include <cstring>    // std::strcmp
#include <mutex>      // std::mutex, std::lock_guard
#include <string>
#include <utility>    // std::move

namespace gapwright::py {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

// The loaded module `name`'s attribute `type`, or null when the module is
// not loaded (then no object can be of that type).
PyRef loaded_type(const char* name, const char* type) {
  PyRef module_name = check_created(PyUnicode_FromString(name));
  PyRef module = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!module) {
    if (PyErr_Occurred()) throw PyErrorAlreadySet{};
    return {};
  }
  PyObject* found = nullptr;
  check_status(PyObject_GetOptionalAttrString(module.get(), type, &found));
  return PyRef::steal(found);
}

bool is_instance_of(PyObject* data, const char* module, const char* type) {
  PyRef cls = loaded_type(module, type);
  return cls && check_status(PyObject_IsInstance(data, cls.get())) == 1;
}

// The capsule's stream (taken over) of a `__arrow_c_stream__` call's result.
ArrowArrayStream take_stream(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kStreamCapsule)) {
    raise_error(PyExc_TypeError, "__arrow_c_stream__ did not return an 'arrow_array_stream' capsule");
  }
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) throw PyErrorAlreadySet{};
  if (stream->release == nullptr) raise_error(PyExc_ValueError, "the Arrow stream was already consumed");
  ArrowArrayStream taken = *stream;
  // The capsule's destructor releases only a stream not yet taken.
  stream->release = nullptr;
  return taken;
}

// The holes of each batch: per column, a validity bitmap over the column's
// element positions that keeps the input's nulls and clears the blanked
// cells. The matrix is read once, row after row, as it lies in memory.
void mark_holes(const arrow::ImportedTable& table, const double* matrix, std::size_t cols,
                arrow::HoleMasks& holes) {
  holes.masks.resize(table.batches());
  for (std::size_t b = 0; b < table.batches(); ++b) {
    std::vector<std::vector<std::uint8_t>>& masks = holes.masks[b];
    masks.resize(cols);
    std::vector<std::int64_t> offsets(cols, 0);
    std::int64_t length = 0;
    for (std::size_t c = 0; c < cols; ++c) {
      const arrow::ColumnSlice slice = table.column(b, c);
      const ArrowArray& array = *slice.array;
      length = slice.length;
      // A column of nulls has no validity to narrow.
      if (array.n_buffers < 1 || std::strcmp(table.column_schema(c).format, "n") == 0) continue;
      offsets[c] = slice.offset;
      const auto bytes = static_cast<std::size_t>(slice.offset + slice.length + 7) / 8;
      const auto* source = array.null_count != 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
      if (source != nullptr) {
        masks[c].assign(source, source + bytes);
      } else {
        masks[c].assign(bytes, 0xff);
      }
    }
    const double* row = matrix + table.batch_start(b) * cols;
    for (std::int64_t r = 0; r < length; ++r, row += cols) {
      for (std::size_t c = 0; c < cols; ++c) {
        if (!std::isnan(row[c]) || masks[c].empty()) continue;
        const auto i = static_cast<std::size_t>(offsets[c] + r);
        masks[c][i >> 3] &= static_cast<std::uint8_t>(~(1u << (i & 7)));
      }
    }
  }
}

// What `__arrow_c_stream__` of the result's stand-in hands out: a new stream
// over the shared table each time it is asked.
struct ExportSource {
  std::shared_ptr<const arrow::ImportedTable> table;
  std::shared_ptr<const arrow::HoleMasks> holes;
};

constexpr const char* kSourceCapsule = "gapwright.arrow_export";

void free_source(PyObject* capsule) {
  delete static_cast<ExportSource*>(PyCapsule_GetPointer(capsule, kSourceCapsule));
}

void free_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

// __arrow_c_stream__(requested_schema=None): the result's columns keep their
// own types, so a requested schema is not applied.
PyObject* arrow_c_stream(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto* source = static_cast<ExportSource*>(PyCapsule_GetPointer(self, kSourceCapsule));
    if (source == nullptr) throw PyErrorAlreadySet{};
    auto stream = std::make_unique<ArrowArrayStream>();
    arrow::export_stream(source->table, source->holes, stream.get());
    PyRef capsule = check_created(PyCapsule_New(stream.get(), kStreamCapsule, free_stream_capsule));
    stream.release();
    return capsule.release();
  });
}

PyMethodDef arrow_c_stream_def = {
    "__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
    METH_FASTCALL | METH_KEYWORDS, "The masked table as an Arrow C stream."};

// An object whose `__arrow_c_stream__` gives the masked table, for the
// caller's library to build its own table from.
PyRef stream_holder(std::shared_ptr<const arrow::ImportedTable> table,
                    std::shared_ptr<const arrow::HoleMasks> holes) {
  auto source = std::make_unique<ExportSource>(ExportSource{std::move(table), std::move(holes)});
  PyRef capsule = check_created(PyCapsule_New(source.get(), kSourceCapsule, free_source));
  source.release();
  PyRef method = check_created(PyCFunction_New(&arrow_c_stream_def, capsule.get()));
  PyRef types = check(PyImport_ImportModule("types"));
  PyRef namespace_type = check(PyObject_GetAttrString(types.get(), "SimpleNamespace"));
  PyRef args = check_created(PyTuple_New(0));
  PyRef kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "__arrow_c_stream__", method.get()));
  return check(PyObject_Call(namespace_type.get(), args.get(), kwargs.get()));
}

}  // namespace

std::optional<OUT::ArrowTable::Library> arrow_table_library(PyObject* data) {
  if (is_instance_of(data, "polars", "DataFrame")) return OUT::ArrowTable::Library::kPolars;
  if (is_instance_of(data, "pyarrow", "Table")) return OUT::ArrowTable::Library::kPyArrow;
  return std::nullopt;
}

std::shared_ptr<const arrow::ImportedTable> import_arrow_stream(PyObject* obj) {
  PyRef method = check(PyObject_GetAttrString(obj, "__arrow_c_stream__"));
  PyRef capsule = check(PyObject_CallNoArgs(method.get()));
  ArrowArrayStream stream = take_stream(capsule.get());
  try {
    return std::make_shared<const arrow::ImportedTable>(std::move(stream));
  } catch (const arrow::StreamError& failure) {
    raise_error(PyExc_ValueError, failure.what());
  }
}

void read_arrow_column(const arrow::ImportedTable& table, std::size_t c, std::span<double> out,
                       EncodingInfo& encoding, std::size_t j, const std::string& name,
                       const std::string& type_name, std::vector<std::size_t>* null_rows) {
  const ArrowSchema& schema = table.column_schema(c);
  try {
    switch (arrow::cell_kind(schema)) {
      case arrow::CellKind::kNumber:
        for (std::size_t b = 0; b < table.batches(); ++b) {
          const arrow::ColumnSlice slice = table.column(b, c);
          arrow::read_numbers(schema, slice,
                              out.subspan(table.batch_start(b), static_cast<std::size_t>(slice.length)));
        }
        return;
      case arrow::CellKind::kText: {
        std::vector<std::string_view> texts;
        texts.reserve(table.rows());
        for (std::size_t b = 0; b < table.batches(); ++b) {
          arrow::read_texts(schema, table.column(b, c), texts, null_rows);
        }
        const std::vector<double> codes = encode_texts(encoding, j, texts);
        std::copy(codes.begin(), codes.end(), out.begin());
        return;
      }
      case arrow::CellKind::kUnsupported:
        break;
    }
  } catch (const arrow::StreamError& failure) {
    raise_error(PyExc_ValueError, "column '" + name + "' (position " + std::to_string(j) +
                                      "): " + failure.what());
  }
  raise_unsupported_column(name, j, type_name.empty() ? arrow::type_text(schema) : type_name);
}

IntakeResult read_arrow_table(PyObject* data, OUT::ArrowTable::Library library,
                              ThreadPool& pool) {
  std::shared_ptr<const arrow::ImportedTable> table = import_arrow_stream(data);
  if (!table->is_struct()) {
    raise_error(PyExc_ValueError, "the table's Arrow stream does not hold a struct of columns");
  }
  const std::size_t rows = table->rows();
  const std::size_t cols = table->cols();
  std::vector<std::string> names;
  for (std::size_t c = 0; c < cols; ++c) names.push_back(table->column_name(c));
  CellArray values = CellArray::allocate(rows, cols);
  EncodingInfo encoding;
  // Text columns are encoded whole first (a label's code depends on the
  // whole column); numbers are read where they lie, block by block below.
  std::vector<std::vector<double>> codes(cols);
  for (std::size_t c = 0; c < cols; ++c) {
    if (arrow::cell_kind(table->column_schema(c)) == arrow::CellKind::kNumber) continue;
    codes[c].resize(rows);
    read_arrow_column(*table, c, codes[c], encoding, c, names[c], "");
  }
  // A block of rows of every column is gathered in a buffer that stays in
  // cache, then written to the matrix row after row: the matrix is written
  // once, in the order it lies in memory, by the calling thread and the
  // pool's workers side by side (a range of rows each). They touch no
  // Python object; a malformed array is reported here, after all are done.
  const std::size_t block_rows =
      std::clamp<std::size_t>((std::size_t{1} << 16) / std::max<std::size_t>(1, cols), 8, 1024);
  const std::span<double> cells = values.cells();
  std::mutex failure_lock;
  std::optional<std::pair<std::size_t, std::string>> failure;
  const auto gather = [&](std::size_t first_row, std::size_t end_row) {
    std::vector<double> block(block_rows * cols);
    for (std::size_t b = 0; b < table->batches(); ++b) {
      const std::size_t start = table->batch_start(b);
      const std::size_t length = static_cast<std::size_t>(table->batch(b).length);
      const std::size_t from = std::max(first_row, start);
      const std::size_t to = std::min(end_row, start + length);
      for (std::size_t r0 = from; r0 < to; r0 += block_rows) {
        const std::size_t n = std::min(block_rows, to - r0);
        for (std::size_t c = 0; c < cols; ++c) {
          const std::span<double> column(block.data() + c * block_rows, n);
          if (!codes[c].empty()) {
            std::copy_n(codes[c].begin() + static_cast<std::ptrdiff_t>(r0), n, column.begin());
            continue;
          }
          arrow::ColumnSlice slice = table->column(b, c);
          slice.offset += static_cast<std::int64_t>(r0 - start);
          slice.length = static_cast<std::int64_t>(n);
          try {
            arrow::read_numbers(table->column_schema(c), slice, column);
          } catch (const std::exception& error) {
            const std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure || failure->first > c) failure.emplace(c, error.what());
            return;
          }
        }
        double* row = cells.data() + r0 * cols;
        for (std::size_t r = 0; r < n; ++r, row += cols) {
          for (std::size_t c = 0; c < cols; ++c) row[c] = block[c * block_rows + r];
        }
      }
    }
  };
  split_rows_on_pool(pool, rows, cells.size() * sizeof(double), gather);
  if (failure) {
    raise_error(PyExc_ValueError, "column '" + names[failure->first] + "' (position " +
                                      std::to_string(failure->first) + "): " + failure->second);
  }
  return IntakeResult{std::move(values), rows, cols,
                      OUT{OUT::ArrowTable{library, std::move(names), std::move(table)}},
                      std::move(encoding)};
}

PyRef arrow_table_out(const double* matrix, std::size_t rows, std::size_t cols,
                      const OUT::ArrowTable& table) {
  if (table.table->rows() != rows || table.table->cols() != cols) {
    panic("a matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
          " for a table of " + std::to_string(table.table->rows()) + " x " +
          std::to_string(table.table->cols()));
  }
  auto holes = std::make_shared<arrow::HoleMasks>();
  mark_holes(*table.table, matrix, cols, *holes);
  PyRef holder = stream_holder(table.table, std::move(holes));
  const bool polars = table.library == OUT::ArrowTable::Library::kPolars;
  PyRef module = check(PyImport_ImportModule(polars ? "polars" : "pyarrow"));
  PyRef build = check(PyObject_GetAttrString(module.get(), polars ? "DataFrame" : "table"));
  return check(PyObject_CallOneArg(build.get(), holder.get()));
}

}  // namespace gapwright::py
