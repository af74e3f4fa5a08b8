#include "utils/python/label_encoding.h"

#include "runtime/checked_math.h"
#include "utils/python/errors.h"
#include "utils/python/numpy_api.h"
#include "utils/python/object_access.h"
#include "utils/text/number_text.h"

#include <algorithm>    // std::sort
#include <cmath>        // std::isnan
#include <numeric>      // std::iota
#include <string_view>  // std::string_view

namespace gapwright::py {
namespace {

std::vector<std::string> invert(const Encoder& encoder) {
  std::vector<std::string> decoder(encoder.size());
  for (const auto& [text, code] : encoder) decoder[code] = text;
  return decoder;
}

// Records a column's encoding as column j of the table; returns its codes.
std::vector<double> label_encode_column(EncodingInfo& encoding, std::size_t j,
                                        std::pair<std::vector<double>, Encoder> encoded) {
  auto& [codes, encoder] = encoded;
  encoding.encoded_columns.push_back(j);
  encoding.decoders.emplace(j, invert(encoder));
  encoding.encoders.emplace(j, std::move(encoder));
  return std::move(codes);
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
                          std::size_t cols, std::size_t j, const MissingValues& missing_values,
                          EncodedValues& out) {
  std::vector<double> numbers;
  numbers.reserve(rows);
  std::vector<std::string> texts;
  // The NaN numbers, then every missing cell once the column is text: they
  // come back as they were where they are not blanked.
  std::vector<MissingCell> missing;
  bool text_mode = false;
  for (std::size_t i = 0; i < rows; ++i) {
    PyRef cell = object_cell(array, plain, i, j);
    if (!text_mode) {
      double number = 0.0;
      if (read_number(cell.get(), number)) {
        if (std::isnan(number)) missing.push_back(MissingCell{i, std::move(cell)});
        numbers.push_back(number);
        continue;
      }
      text_mode = true;
      texts.reserve(rows);
      for (double earlier : numbers) texts.push_back(format_positional(earlier));
    }
    texts.push_back(cell_text(cell.get()));
    if (missing_values.contains(cell.get())) missing.push_back(MissingCell{i, std::move(cell)});
  }
  if (text_mode) {
    const std::vector<double> codes = label_encode_column(out.encoding, j, label_encode(texts));
    if (!missing.empty()) out.encoding.missing.emplace(j, std::move(missing));
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = codes[r];
  } else {
    for (std::size_t r = 0; r < rows; ++r) out.values.cells()[r * cols + j] = numbers[r];
  }
}

}  // namespace

std::pair<std::vector<double>, Encoder> label_encode(const std::vector<std::string>& strings) {
  const std::vector<std::string_view> views(strings.begin(), strings.end());
  return label_encode(std::span<const std::string_view>(views));
}

std::pair<std::vector<double>, Encoder> label_encode(std::span<const std::string_view> strings) {
  // Columns hold many cells and few distinct texts: each cell is numbered
  // by its text's first appearance, and only the distinct texts are sorted.
  std::unordered_map<std::string_view, std::size_t> seen;
  std::vector<std::string_view> distinct;
  std::vector<std::size_t> appearance;
  appearance.reserve(strings.size());
  for (const std::string_view text : strings) {
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

std::vector<double> encode_texts(EncodingInfo& encoding, std::size_t j,
                                 std::span<const std::string_view> texts) {
  return label_encode_column(encoding, j, label_encode(texts));
}

EncodedValues encode_object_array(PyObject* array, std::size_t rows, std::size_t cols) {
  EncodedValues out{CellArray::allocate(rows, cols), EncodingInfo{}};
  PyArrayObject* const plain = plain_object_matrix(array, rows, cols);
  const MissingValues missing_values;
  for (std::size_t j = 0; j < cols; ++j) {
    encode_object_column(array, plain, rows, cols, j, missing_values, out);
  }
  return out;
}

}  // namespace gapwright::py
