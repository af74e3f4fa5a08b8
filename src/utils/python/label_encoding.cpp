#include "utils/python/label_encoding.h"

#include "runtime/checked_math.h"
#include "utils/python/errors.h"
#include "utils/python/numpy_api.h"
#include "utils/python/object_access.h"
#include "utils/text/number_text.h"

#include <algorithm>    // std::clamp, std::copy, std::max, std::sort
#include <numeric>      // std::iota
#include <span>         // std::span
#include <string_view>  // std::string_view

namespace gapwright::py {
namespace {

using Encoder = std::unordered_map<std::string, std::uint64_t>;

std::vector<std::string> invert(const Encoder& encoder) {
  std::vector<std::string> decoder(encoder.size());
  for (const auto& [text, code] : encoder) decoder[code] = text;
  return decoder;
}

// Label-encodes one column's texts as column j of the result: its maps go
// into `encoding`, its codes are returned.
std::vector<double> encode_column(EncodingInfo& encoding, std::size_t j,
                                  const std::vector<std::string>& texts) {
  auto [codes, encoder] = label_encode(texts);
  encoding.encoded_columns.push_back(j);
  encoding.decoders.emplace(j, invert(encoder));
  encoding.encoders.emplace(j, std::move(encoder));
  return std::move(codes);
}

// A frame's columns on their way into the row-major matrix, a few at a
// time: written one by one, each column would touch every cache line of the
// matrix (a frame of 100,000 x 24 took 20 ms of scatter).
class ColumnStage {
 public:
  ColumnStage(std::span<double> cells, std::size_t rows, std::size_t cols)
      : cells_(cells), rows_(rows), cols_(cols),
        width_(std::clamp<std::size_t>(
            kStageBytes / std::max<std::size_t>(1, rows * sizeof(double)), 1, kMaxWidth)),
        staged_(width_ * rows) {}

  // Room for the `rows` cells of column j; columns come in order.
  std::span<double> column(std::size_t j) {
    if (j - first_ == width_) flush();
    if (count_ == 0) first_ = j;
    ++count_;
    return std::span(staged_).subspan((j - first_) * rows_, rows_);
  }

  // Writes the columns staged so far into the matrix.
  void flush() noexcept {
    for (std::size_t r = 0; r < rows_; ++r) {
      for (std::size_t g = 0; g < count_; ++g) {
        cells_[r * cols_ + first_ + g] = staged_[g * rows_ + r];
      }
    }
    first_ += count_;
    count_ = 0;
  }

 private:
  // Eight columns fill a cache line of each row; a stage of very long
  // columns holds fewer.
  static constexpr std::size_t kMaxWidth = 8;
  static constexpr std::size_t kStageBytes = std::size_t{32} << 20;

  std::span<double> cells_;
  std::size_t rows_;
  std::size_t cols_;
  std::size_t width_;
  std::vector<double> staged_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
};

// A failed reading is no error: it only tells the caller the cell is text.
bool read_number(PyObject* cell, double& number) {
  if (PyFloat_CheckExact(cell)) {
    number = PyFloat_AS_DOUBLE(cell);
    return true;
  }
  number = PyFloat_AsDouble(cell);
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// Object-array cells that refuse str() break what an object array can hold:
// an internal failure rather than the cell's own exception.
std::string cell_text(PyObject* cell) {
  try {
    return str_text(cell);
  } catch (const PyErrorAlreadySet&) {
    panic("cant convert to str: " + take_error_text());
  }
}

// The cell (i, j) of `array`, as array[i, j] gives it.
// `plain` is the array itself where numpy's item access may read it.
PyRef object_cell(PyObject* array, PyArrayObject* plain, std::size_t i, std::size_t j) {
  if (plain != nullptr) {
    const auto* const item = static_cast<const char*>(
        PyArray_GETPTR2(plain, static_cast<npy_intp>(i), static_cast<npy_intp>(j)));
    return check(PyArray_GETITEM(plain, item));
  }
  PyRef key = index_pair(i, j);
  PyRef cell = PyRef::steal(PyObject_GetItem(array, key.get()));
  if (!cell) {
    panic("cant index the array at [" + std::to_string(i) + ", " + std::to_string(j) +
          "]: " + take_error_text());
  }
  return cell;
}

void encode_object_column(PyObject* array, PyArrayObject* plain, std::size_t rows,
                          std::size_t cols, std::size_t j, EncodedValues& out) {
  std::vector<double> numbers;
  numbers.reserve(rows);
  std::vector<std::string> texts;
  bool text_mode = false;
  for (std::size_t i = 0; i < rows; ++i) {
    PyRef cell = object_cell(array, plain, i, j);
    if (!text_mode) {
      double number = 0.0;
      if (read_number(cell.get(), number)) {
        numbers.push_back(number);
        continue;
      }
      text_mode = true;
      texts.reserve(rows);
      for (double earlier : numbers) texts.push_back(format_positional(earlier));
    }
    texts.push_back(cell_text(cell.get()));
  }
  if (text_mode) {
    const std::vector<double> codes = encode_column(out.encoding, j, texts);
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = codes[r];
  } else {
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = numbers[r];
  }
}

// What iterating `column` yields, in a form that is cheap to iterate. A
// plain Series of strs iterates through its array cell by cell in Python
// (about a microsecond a cell); its cells as an object ndarray are the same
// objects, read in C. Anything else is iterated as it is.
PyRef iterable_cells(PyObject* column, PyObject* series_type) {
  if (Py_TYPE(column) != reinterpret_cast<PyTypeObject*>(series_type)) {
    return PyRef::borrow(column);
  }
  PyRef to_numpy = check(PyObject_GetAttrString(column, "to_numpy"));
  PyRef args = check_created(PyTuple_New(0));
  PyRef kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "dtype",
                                    reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  return check(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
}

// str() of every cell of a text column; the column must yield exactly `rows`
// cells, since each one is written into the matrix.
std::vector<std::string> column_cell_texts(PyObject* column, PyObject* series_type,
                                           std::size_t rows, std::size_t j) {
  PyRef cells = iterable_cells(column, series_type);
  PyRef iterator = check(PyObject_GetIter(cells.get()));
  std::vector<std::string> texts;
  texts.reserve(rows);
  while (PyRef cell = next_item(iterator.get())) {
    if (texts.size() == rows) {
      panic("column " + std::to_string(j) + " holds more cells than the frame's " +
            std::to_string(rows) + " rows");
    }
    texts.push_back(str_text(cell.get()));
  }
  if (texts.size() != rows) {
    panic("column " + std::to_string(j) + " holds " + std::to_string(texts.size()) +
          " cells but the frame has " + std::to_string(rows) + " rows");
  }
  return texts;
}

PyRef column_to_float64(PyObject* column) {
  PyRef to_numpy = check(PyObject_GetAttrString(column, "to_numpy"));
  PyRef args = check_created(PyTuple_New(0));
  PyRef kwargs = check_created(PyDict_New());
  PyRef dtype = check_created(PyUnicode_FromString("float64"));
  check_status(PyDict_SetItemString(kwargs.get(), "dtype", dtype.get()));
  return check(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
}

}  // namespace

std::pair<std::vector<double>, Encoder> label_encode(const std::vector<std::string>& strings) {
  // Columns hold many cells and few distinct texts: each cell is numbered
  // by its text's first appearance, and only the distinct texts are sorted.
  std::unordered_map<std::string_view, std::size_t> seen;
  std::vector<std::string_view> distinct;
  std::vector<std::size_t> appearance;
  appearance.reserve(strings.size());
  for (const std::string& text : strings) {
    const auto [at, added] = seen.try_emplace(text, distinct.size());
    if (added) distinct.push_back(text);
    appearance.push_back(at->second);
  }
  std::vector<std::size_t> by_text(distinct.size());
  std::iota(by_text.begin(), by_text.end(), std::size_t{0});
  // string_view orders by char_traits<char>, which compares as unsigned bytes.
  std::sort(by_text.begin(), by_text.end(),
            [&distinct](std::size_t a, std::size_t b) { return distinct[a] < distinct[b]; });

  std::vector<std::uint64_t> code_of(distinct.size());
  Encoder encoder;
  encoder.reserve(distinct.size());
  for (std::size_t code = 0; code < by_text.size(); ++code) {
    code_of[by_text[code]] = code;
    encoder.emplace(std::string(distinct[by_text[code]]), code);
  }
  std::vector<double> codes;
  codes.reserve(strings.size());
  for (const std::size_t first : appearance) codes.push_back(static_cast<double>(code_of[first]));
  return {std::move(codes), std::move(encoder)};
}

EncodedValues encode_object_array(PyObject* array, std::size_t rows, std::size_t cols) {
  EncodedValues out{CellArray::allocate(rows, cols), EncodingInfo{}};
  PyArrayObject* const plain = plain_object_matrix(array, rows, cols);
  for (std::size_t j = 0; j < cols; ++j) encode_object_column(array, plain, rows, cols, j, out);
  return out;
}

EncodedValues encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                               const std::vector<std::string>& columns) {
  if (columns.size() != cols) {
    panic(std::to_string(columns.size()) + " column labels for a frame of " +
          std::to_string(cols) + " columns");
  }
  EncodedValues out{CellArray::allocate(rows, cols), EncodingInfo{}};
  ColumnStage stage(out.values.cells(), rows, cols);

  PyRef pandas = check(PyImport_ImportModule("pandas"));
  PyRef series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  // Columns are taken by position: labels need not be strings or unique.
  const ColumnsByPosition by_position(frame);
  for (std::size_t j = 0; j < cols; ++j) {
    PyRef column = by_position.get(j);
    PyRef dtype = check(PyObject_GetAttrString(column.get(), "dtype"));
    PyRef name = check(PyObject_GetAttrString(dtype.get(), "name"));
    const std::string dtype_name = utf8_text(name.get());

    if (dtype_name == "str" || dtype_name == "object") {
      const std::vector<double> codes = encode_column(
          out.encoding, j, column_cell_texts(column.get(), series_type.get(), rows, j));
      std::copy(codes.begin(), codes.end(), stage.column(j).begin());
      continue;
    }
    // Categorical and "string" columns land here too: pandas either converts
    // them to numbers or raises.
    PyRef converted = column_to_float64(column.get());
    const F64Buffer buffer(converted.get());
    buffer.copy_to(stage.column(j));
  }
  stage.flush();
  return out;
}

}  // namespace gapwright::py
