#include "utils/python/label_encoding.h"

#include "runtime/checked_math.h"
#include "utils/python/errors.h"
#include "utils/python/object_access.h"
#include "utils/text/number_text.h"

#include <algorithm>    // std::sort, std::unique
#include <string_view>  // std::string_view

namespace gapwright::py {
namespace {

using Encoder = std::unordered_map<std::string, std::uint64_t>;

std::vector<std::string> invert(const Encoder& encoder) {
  std::vector<std::string> decoder(encoder.size());
  for (const auto& [text, code] : encoder) decoder[code] = text;
  return decoder;
}

// Label-encodes one column's texts into column j of the result.
void store_encoded_column(EncodedValues& out, std::size_t j, std::size_t cols,
                          const std::vector<std::string>& texts) {
  auto [codes, encoder] = label_encode(texts);
  for (std::size_t r = 0; r < codes.size(); ++r) out.values.cells()[r * cols + j] = codes[r];
  out.encoding.encoded_columns.push_back(j);
  out.encoding.decoders.emplace(j, invert(encoder));
  out.encoding.encoders.emplace(j, std::move(encoder));
}

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

void encode_object_column(PyObject* array, std::size_t rows, std::size_t cols, std::size_t j,
                          EncodedValues& out) {
  std::vector<double> numbers;
  numbers.reserve(rows);
  std::vector<std::string> texts;
  bool text_mode = false;
  for (std::size_t i = 0; i < rows; ++i) {
    PyRef key = index_pair(i, j);
    PyRef cell = PyRef::steal(PyObject_GetItem(array, key.get()));
    if (!cell) {
      panic("cant index the array at [" + std::to_string(i) + ", " + std::to_string(j) +
            "]: " + take_error_text());
    }
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
    store_encoded_column(out, j, cols, texts);
  } else {
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = numbers[r];
  }
}

// str() of every cell of a text column; the column must yield exactly `rows`
// cells, since each one is written into the matrix.
std::vector<std::string> column_cell_texts(PyObject* column, std::size_t rows, std::size_t j) {
  PyRef iterator = check(PyObject_GetIter(column));
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
  // string_view orders by char_traits<char>, which compares as unsigned bytes.
  std::vector<std::string_view> distinct(strings.begin(), strings.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

  Encoder encoder;
  encoder.reserve(distinct.size());
  for (std::size_t code = 0; code < distinct.size(); ++code) {
    encoder.emplace(std::string(distinct[code]), code);
  }
  std::vector<double> codes;
  codes.reserve(strings.size());
  for (const std::string& text : strings) codes.push_back(static_cast<double>(encoder.at(text)));
  return {std::move(codes), std::move(encoder)};
}

EncodedValues encode_object_array(PyObject* array, std::size_t rows, std::size_t cols) {
  EncodedValues out{CellArray::allocate(rows, cols), EncodingInfo{}};
  for (std::size_t j = 0; j < cols; ++j) encode_object_column(array, rows, cols, j, out);
  return out;
}

EncodedValues encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                               const std::vector<std::string>& columns) {
  if (columns.size() != cols) {
    panic(std::to_string(columns.size()) + " column labels for a frame of " +
          std::to_string(cols) + " columns");
  }
  EncodedValues out{CellArray::allocate(rows, cols), EncodingInfo{}};
  std::vector<double> scratch(rows);

  // Columns are taken by position: labels need not be strings or unique.
  const ColumnsByPosition by_position(frame);
  for (std::size_t j = 0; j < cols; ++j) {
    PyRef column = by_position.get(j);
    PyRef dtype = check(PyObject_GetAttrString(column.get(), "dtype"));
    PyRef name = check(PyObject_GetAttrString(dtype.get(), "name"));
    const std::string dtype_name = utf8_text(name.get());

    if (dtype_name == "str" || dtype_name == "object") {
      store_encoded_column(out, j, cols, column_cell_texts(column.get(), rows, j));
      continue;
    }
    // Categorical and "string" columns land here too: pandas either converts
    // them to numbers or raises.
    PyRef converted = column_to_float64(column.get());
    {
      const F64Buffer buffer(converted.get());
      buffer.copy_to(scratch);
    }
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = scratch[r];
  }
  return out;
}

}  // namespace gapwright::py
