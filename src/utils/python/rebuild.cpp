// What arr_to_out returns:
//
//   container  encoding  result
//   Array      absent    new float64 ndarray (rows, cols), C order, NaN where blanked
//   Array      present   new object ndarray: Python floats, and in encoded columns
//                        the decoded str, or the str "NaN" where blanked
//   DataFrame  absent    new DataFrame of float64 columns named by `columns`,
//                        default index
//   DataFrame  present   as above, encoded columns of dtype object holding the
//                        decoded str, or None where blanked
//
// A text cell that was missing in the input and was not blanked comes back as
// the input's missing value. A frame's column that can hold a missing value
// in its own dtype (datetimes, categories, nullable and Arrow columns) comes
// back in that dtype, its kept cells taken from the input. A polars or
// pyarrow table comes back as a table of its library, null in the holes.
#include "utils/python/rebuild.h"

#include "runtime/checked_math.h"
#include "runtime/pool_copy.h"
#include "utils/python/arrow_tables.h"
#include "utils/python/errors.h"
#include "utils/python/numpy_api.h"
#include "utils/python/object_access.h"

#include <cmath>    // std::isnan
#include <cstdint>  // std::uint64_t
#include <new>      // std::bad_alloc
#include <utility>  // std::move

namespace gapwright::py {
namespace {

// The str objects of one column's decoder, each made on first use and shared
// by every cell with that code.
class ColumnDecoder {
 public:
  explicit ColumnDecoder(const std::vector<std::string>& decoder)
      : decoder_(decoder), texts_(decoder.size()) {}

  // Borrowed str for the cell's code; null for a blank cell or a code the
  // decoder does not know.
  PyObject* text(double cell) {
    if (std::isnan(cell)) return nullptr;
    const std::uint64_t code = saturating_u64(cell);
    if (code >= decoder_.size()) return nullptr;
    PyRef& slot = texts_[code];
    if (!slot) {
      const std::string& text = decoder_[code];
      slot = check_created(
          PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return slot.get();
  }

 private:
  const std::vector<std::string>& decoder_;
  std::vector<PyRef> texts_;
};

const std::vector<std::string>& decoder_of(const EncodingInfo& encoding, std::size_t column,
                                           std::size_t cols) {
  const auto found = encoding.decoders.find(column);
  if (found == encoding.decoders.end()) panic("no entry found for key");
  if (column >= cols) panic(index_out_of_bounds(cols, column));
  return found->second;
}

// The cells of the masked matrix, read while its array is handed on.
struct MatrixView {
  const double* data;
  std::size_t rows;
  std::size_t cols;
};

template <typename... Args>
PyRef call_method(PyObject* self, const char* name, Args... args) {
  PyRef method = check_created(PyUnicode_FromString(name));
  PyObject* argv[] = {self, args...};
  return check(PyObject_VectorcallMethod(method.get(), argv, 1 + sizeof...(args), nullptr));
}

// The missing input cells of column c that were not blanked, each with the
// value it comes back as.
template <typename Put>
void restore_missing(const EncodingInfo& encoding, std::size_t c, const MatrixView& matrix,
                     Put&& put) {
  const auto found = encoding.missing.find(c);
  if (found == encoding.missing.end()) return;
  for (const MissingCell& cell : found->second) {
    if (cell.row >= matrix.rows) panic(index_out_of_bounds(matrix.rows, cell.row));
    if (!std::isnan(matrix.data[cell.row * matrix.cols + c])) put(cell.row, cell.value.get());
  }
}

PyRef object_array(PyRef floats, const MatrixView& matrix, const EncodingInfo& encoding) {
  PyRef array = [&] {
    PyRef numpy = check(PyImport_ImportModule("numpy"));
    PyRef copy = call_method(numpy.get(), "array", floats.get());
    PyRef object_name = check_created(PyUnicode_FromString("object"));
    return call_method(copy.get(), "astype", object_name.get());
  }();

  PyRef nan_text = check_created(PyUnicode_FromString("NaN"));
  PyArrayObject* const plain = plain_object_matrix(array.get(), matrix.rows, matrix.cols);
  for (const std::size_t c : encoding.encoded_columns) {
    ColumnDecoder decoder(decoder_of(encoding, c, matrix.cols));
    for (std::size_t r = 0; r < matrix.rows; ++r) {
      PyObject* text = decoder.text(matrix.data[r * matrix.cols + c]);
      if (plain != nullptr) {
        auto* const item = static_cast<char*>(
            PyArray_GETPTR2(plain, static_cast<npy_intp>(r), static_cast<npy_intp>(c)));
        check_status(PyArray_SETITEM(plain, item, text ? text : nan_text.get()));
        continue;
      }
      PyRef key = index_pair(r, c);
      check_status(PyObject_SetItem(array.get(), key.get(), text ? text : nan_text.get()));
    }
    restore_missing(encoding, c, matrix, [&](std::size_t r, PyObject* value) {
      PyRef key = index_pair(r, c);
      check_status(PyObject_SetItem(array.get(), key.get(), value));
    });
  }
  return array;
}

// The matrix column after column, as a frame keeps its float columns: the
// frame then takes it as it is, where from the row-major matrix it would
// make that copy itself, on one thread.
PyRef column_major_copy(const MatrixView& matrix, ThreadPool& pool) {
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
  PyRef array = PyRef::steal(PyArray_EMPTY(2, dims, NPY_DOUBLE, 1));
  if (!array) {
    // Memory that cannot be had is reported alike on every path.
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyErrorAlreadySet{};
    PyErr_Clear();
    throw std::bad_alloc();
  }
  auto* const cells =
      static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  transpose_on_pool(pool, cells, matrix.data, matrix.rows, matrix.cols);
  return array;
}

// The column's input array with the blanked rows missing:
// array.take(rows, allow_fill=True), -1 standing for a hole.
PyRef typed_column(PyObject* array, const MatrixView& matrix, std::size_t c) {
  npy_intp length = static_cast<npy_intp>(matrix.rows);
  PyRef indexer = check_created(PyArray_SimpleNew(1, &length, NPY_INT64));
  auto* const rows = static_cast<std::int64_t*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(indexer.get())));
  for (std::size_t r = 0; r < matrix.rows; ++r) {
    rows[r] = std::isnan(matrix.data[r * matrix.cols + c]) ? -1 : static_cast<std::int64_t>(r);
  }
  PyRef take = check(PyObject_GetAttrString(array, "take"));
  PyRef args = check_created(PyTuple_Pack(1, indexer.get()));
  PyRef kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "allow_fill", Py_True));
  return check(PyObject_Call(take.get(), args.get(), kwargs.get()));
}

PyRef data_frame(const MatrixView& matrix, const OUT::DataFrame& container,
                 const std::optional<EncodingInfo>& encoding, ThreadPool& pool) {
  const std::vector<std::string>& columns = container.columns;
  PyRef pandas = check(PyImport_ImportModule("pandas"));
  if (columns.size() != matrix.cols) {
    panic(std::to_string(columns.size()) + " column names for a matrix of " +
          std::to_string(matrix.cols) + " columns");
  }
  PyRef names = check_created(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  for (std::size_t i = 0; i < columns.size(); ++i) {
    PyRef name = check_created(PyUnicode_FromStringAndSize(
        columns[i].data(), static_cast<Py_ssize_t>(columns[i].size())));
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  PyRef kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "columns", names.get()));
  PyRef frame_type = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  // The copy is the frame's own: nothing else refers to it.
  check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
  PyRef frame = [&] {
    PyRef floats = column_major_copy(matrix, pool);
    PyRef args = check_created(PyTuple_Pack(1, floats.get()));
    return check(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
  }();
  PyRef series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  auto put_column = [&](std::size_t c, PyObject* cells, PyObject* kwargs) {
    PyRef args = check_created(PyTuple_Pack(1, cells));
    PyRef column = check(PyObject_Call(series_type.get(), args.get(), kwargs));
    PyRef position = check_created(PyLong_FromSize_t(c));
    call_method(frame.get(), "isetitem", position.get(), column.get());
  };
  PyRef typed_kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(typed_kwargs.get(), "copy", Py_False));
  for (std::size_t c = 0; c < container.typed.size(); ++c) {
    if (!container.typed[c]) continue;
    if (c >= matrix.cols) panic(index_out_of_bounds(matrix.cols, c));
    PyRef cells = typed_column(container.typed[c].get(), matrix, c);
    put_column(c, cells.get(), typed_kwargs.get());
  }
  if (!encoding) return frame;

  // Each decoded column goes in whole, by position (names may repeat or
  // not be text), as a Series of dtype object, which pandas keeps as it
  // is: from a list, or an object array without a dtype, pandas 3 would
  // infer its str dtype.
  PyRef series_kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(series_kwargs.get(), "dtype",
                                    reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  check_status(PyDict_SetItemString(series_kwargs.get(), "copy", Py_False));
  for (const std::size_t c : encoding->encoded_columns) {
    if (c < container.typed.size() && container.typed[c]) continue;
    ColumnDecoder decoder(decoder_of(*encoding, c, matrix.cols));
    npy_intp length = static_cast<npy_intp>(matrix.rows);
    PyRef cells = check_created(PyArray_SimpleNew(1, &length, NPY_OBJECT));
    auto* const array = reinterpret_cast<PyArrayObject*>(cells.get());
    for (std::size_t r = 0; r < matrix.rows; ++r) {
      PyObject* text = decoder.text(matrix.data[r * matrix.cols + c]);
      auto* const item = static_cast<char*>(PyArray_GETPTR1(array, static_cast<npy_intp>(r)));
      check_status(PyArray_SETITEM(array, item, text ? text : Py_None));
    }
    restore_missing(*encoding, c, matrix, [&](std::size_t r, PyObject* value) {
      auto* const item = static_cast<char*>(PyArray_GETPTR1(array, static_cast<npy_intp>(r)));
      check_status(PyArray_SETITEM(array, item, value));
    });
    put_column(c, cells.get(), series_kwargs.get());
  }
  return frame;
}

}  // namespace

PyRef arr_to_out(CellArray matrix, OUT container, std::optional<EncodingInfo> encoding,
                 ThreadPool& pool) {
  // The array keeps the cells alive while the view reads them.
  const MatrixView view{matrix.cells().data(), matrix.rows(), matrix.cols()};
  PyRef floats = matrix.release();
  if (const auto* frame = std::get_if<OUT::DataFrame>(&container.kind)) {
    return data_frame(view, *frame, encoding, pool);
  }
  if (const auto* table = std::get_if<OUT::ArrowTable>(&container.kind)) {
    return arrow_table_out(view.data, view.rows, view.cols, *table);
  }
  if (!encoding) return floats;
  return object_array(std::move(floats), view, *encoding);
}

}  // namespace gapwright::py
