#include "utils/python/frame_columns.h"

#include "runtime/column_stage.h"
#include "utils/python/arrow_tables.h"
#include "utils/python/errors.h"
#include "utils/python/label_encoding.h"
#include "utils/python/numpy_api.h"
#include "utils/python/object_access.h"

#include <algorithm>    // std::copy
#include <cstdint>      // std::int64_t
#include <limits>       // std::numeric_limits
#include <string_view>  // std::string_view

namespace gapwright::py {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How a column is read, and whether it comes back in its own dtype.
enum class Family {
  kNumbers,     // numpy numbers and booleans: float64 out
  kNullable,    // pandas' nullable numbers and booleans: their dtype out
  kTicks,       // datetimes and timedeltas, with or without a time zone
  kObjectText,  // object and str columns: object out, as decoded text
  kTypedText,   // the "string" dtype: its dtype out
  kCategory,
  kArrow,       // ArrowDtype columns, read through the Arrow C interface
  kOther,       // anything else pandas can convert to float64 (sparse …)
  kUnsupported,
};

Family family_of(PyObject* dtype, const std::string& name) {
  if (PyArray_DescrCheck(dtype)) {
    switch (reinterpret_cast<PyArray_Descr*>(dtype)->kind) {
      case 'f': case 'i': case 'u': case 'b': return Family::kNumbers;
      case 'M': case 'm': return Family::kTicks;
      case 'O': return Family::kObjectText;
      default: return Family::kUnsupported;
    }
  }
  const std::string_view type = Py_TYPE(dtype)->tp_name;
  if (type == "ArrowDtype") return Family::kArrow;
  if (type == "CategoricalDtype") return Family::kCategory;
  if (type == "StringDtype") return name == "str" ? Family::kObjectText : Family::kTypedText;
  if (type == "DatetimeTZDtype") return Family::kTicks;
  static constexpr std::string_view kNullable[] = {
      "Int8Dtype",  "Int16Dtype",  "Int32Dtype",   "Int64Dtype",   "UInt8Dtype",   "UInt16Dtype",
      "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype", "BooleanDtype"};
  for (const std::string_view nullable : kNullable) {
    if (type == nullable) return Family::kNullable;
  }
  if (type == "PeriodDtype" || type == "IntervalDtype") return Family::kUnsupported;
  return Family::kOther;
}

// A dtype attribute that must be a str; anything else breaks the pandas
// conventions and is an internal failure.
std::string dtype_text(PyObject* dtype, const char* attribute) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(dtype, attribute));
  if (!value) panic(std::string(attribute) + " attr not found: " + take_error_text());
  try {
    return utf8_text(value.get());
  } catch (const PyErrorAlreadySet&) {
    panic(std::string(attribute) + " attr is not a string: " + take_error_text());
  }
}

PyRef call_to_numpy(PyObject* obj, PyObject* dtype, bool nan_for_missing) {
  PyRef to_numpy = check(PyObject_GetAttrString(obj, "to_numpy"));
  PyRef args = check_created(PyTuple_New(0));
  PyRef kwargs = check_created(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "dtype", dtype));
  if (nan_for_missing) {
    PyRef nan = check_created(PyFloat_FromDouble(kNaN));
    check_status(PyDict_SetItemString(kwargs.get(), "na_value", nan.get()));
  }
  return check(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
}

PyRef float64_name() { return check_created(PyUnicode_FromString("float64")); }

void read_float64(PyObject* obj, bool nan_for_missing, std::span<double> out) {
  PyRef converted = call_to_numpy(obj, float64_name().get(), nan_for_missing);
  const F64Buffer buffer(converted.get());
  buffer.copy_to(out);
}

// `ticks` (an int64 array: a datetime or timedelta array's asi8) as floats,
// NaT as NaN.
void read_ticks(PyObject* ticks, std::span<double> out) {
  PyRef array = check(PyArray_FROMANY(ticks, NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO));
  auto* const plain = reinterpret_cast<PyArrayObject*>(array.get());
  if (static_cast<std::size_t>(PyArray_SIZE(plain)) != out.size()) {
    raise_error(PyExc_BufferError, "slice to copy to (of length " + std::to_string(out.size()) +
                                       ") does not match buffer length of " +
                                       std::to_string(PyArray_SIZE(plain)));
  }
  const auto* const data = static_cast<const std::int64_t*>(PyArray_DATA(plain));
  for (std::size_t r = 0; r < out.size(); ++r) {
    out[r] = data[r] == std::numeric_limits<std::int64_t>::min() ? kNaN
                                                                 : static_cast<double>(data[r]);
  }
}

PyRef attribute(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

std::size_t length_of(PyObject* obj) {
  const Py_ssize_t length = PyObject_Length(obj);
  if (length < 0) throw PyErrorAlreadySet{};
  return static_cast<std::size_t>(length);
}

// What iterating `column` yields, in a form that is cheap to iterate. A
// plain Series iterates through its array cell by cell in Python (about a
// microsecond a cell); its cells as an object ndarray are the same objects,
// read in C. Anything else is iterated as it is.
PyRef iterable_cells(PyObject* column, PyObject* series_type) {
  if (Py_TYPE(column) != reinterpret_cast<PyTypeObject*>(series_type)) {
    return PyRef::borrow(column);
  }
  return call_to_numpy(column, reinterpret_cast<PyObject*>(&PyBaseObject_Type), false);
}

// The texts of a text column's cells, and its missing cells. An object or
// str column keeps str() of its missing values as their label (None gives
// "None", NaN "nan"); the typed text dtypes write every missing value as
// "nan", as pandas' default string columns do, so that the same values make
// the same labels whatever the dtype.
struct ColumnTexts {
  std::vector<std::string> texts;
  std::vector<MissingCell> missing;
};

ColumnTexts column_cell_texts(PyObject* cells, std::size_t rows, std::size_t j,
                              const MissingValues& missing_values, bool object_labels) {
  PyRef iterator = check(PyObject_GetIter(cells));
  ColumnTexts out;
  out.texts.reserve(rows);
  while (PyRef cell = next_item(iterator.get())) {
    if (out.texts.size() == rows) {
      panic("column " + std::to_string(j) + " holds more cells than the frame's " +
            std::to_string(rows) + " rows");
    }
    const bool missing = missing_values.contains(cell.get());
    out.texts.push_back(missing && !object_labels ? std::string("nan") : str_text(cell.get()));
    if (missing) out.missing.push_back(MissingCell{out.texts.size() - 1, std::move(cell)});
  }
  if (out.texts.size() != rows) {
    panic("column " + std::to_string(j) + " holds " + std::to_string(out.texts.size()) +
          " cells but the frame has " + std::to_string(rows) + " rows");
  }
  return out;
}

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) {
  return std::vector<std::string_view>(texts.begin(), texts.end());
}

// One column being read: where it goes and what it is called.
struct ColumnTarget {
  std::size_t j;
  const std::string& name;
  std::string dtype;
  std::span<double> out;
  EncodingInfo& encoding;
};

[[noreturn]] void unsupported(const ColumnTarget& target) {
  raise_unsupported_column(target.name, target.j, target.dtype);
}

// A column's Arrow stream must hold one column of the frame's rows.
void expect_one_column(const arrow::ImportedTable& table, const ColumnTarget& target) {
  const std::string column = "column " + std::to_string(target.j);
  const std::string rows = std::to_string(target.out.size());
  if (table.is_struct()) panic(column + " exports a struct of columns to Arrow");
  if (table.rows() > target.out.size()) {
    panic(column + " holds more cells than the frame's " + rows + " rows");
  }
  if (table.rows() < target.out.size()) {
    panic(column + " holds " + std::to_string(table.rows()) + " cells but the frame has " + rows +
          " rows");
  }
}

// pandas' default string dtype keeps its cells in Arrow: read there, they
// need no Python object each, and give the labels str() would (a missing
// cell is NaN, whose text is "nan").
bool is_arrow_str(PyObject* column, PyObject* dtype, PyObject* series_type) {
  if (Py_TYPE(column) != reinterpret_cast<PyTypeObject*>(series_type)) return false;
  if (std::string_view(Py_TYPE(dtype)->tp_name) != "StringDtype") return false;
  PyObject* storage = nullptr;
  check_status(PyObject_GetOptionalAttrString(dtype, "storage", &storage));
  const PyRef held = PyRef::steal(storage);
  return held && PyUnicode_Check(held.get()) &&
         PyUnicode_CompareWithASCIIString(held.get(), "pyarrow") == 0 &&
         PyObject_HasAttrString(column, "__arrow_c_stream__");
}

void read_arrow_str(PyObject* column, PyObject* dtype, ColumnTarget& target) {
  const auto table = import_arrow_stream(column);
  expect_one_column(*table, target);
  std::vector<std::size_t> null_rows;
  read_arrow_column(*table, 0, target.out, target.encoding, target.j, target.name, target.dtype,
                    &null_rows);
  if (null_rows.empty()) return;
  PyRef missing = attribute(dtype, "na_value");
  std::vector<MissingCell> cells;
  cells.reserve(null_rows.size());
  for (const std::size_t row : null_rows) cells.push_back(MissingCell{row, PyRef::borrow(missing.get())});
  target.encoding.missing.emplace(target.j, std::move(cells));
}

void read_text(PyObject* column, PyObject* series_type, const MissingValues& missing_values,
               bool object_labels, std::size_t rows, ColumnTarget& target) {
  PyRef cells = iterable_cells(column, series_type);
  ColumnTexts texts = column_cell_texts(cells.get(), rows, target.j, missing_values, object_labels);
  const std::vector<double> codes = encode_texts(target.encoding, target.j, views_of(texts.texts));
  std::copy(codes.begin(), codes.end(), target.out.begin());
  // Typed text columns come back from their own array, missing cells and all.
  if (object_labels && !texts.missing.empty()) {
    target.encoding.missing.emplace(target.j, std::move(texts.missing));
  }
}

// Calls f(row, code) for every code of a categorical's codes array, read in
// its own integer width.
template <typename F>
void for_each_code(PyArrayObject* codes, F&& f) {
  const auto count = static_cast<std::size_t>(PyArray_SIZE(codes));
  auto walk = [&](auto type_tag) {
    using Code = decltype(type_tag);
    const auto* const data = static_cast<const Code*>(PyArray_DATA(codes));
    for (std::size_t r = 0; r < count; ++r) f(r, static_cast<std::int64_t>(data[r]));
  };
  switch (PyArray_TYPE(codes)) {
    case NPY_INT8: return walk(std::int8_t{});
    case NPY_INT16: return walk(std::int16_t{});
    case NPY_INT32: return walk(std::int32_t{});
    case NPY_INT64: return walk(std::int64_t{});
    default: panic("categorical codes of numpy type " + std::to_string(PyArray_TYPE(codes)));
  }
}

// The value of each category: its label's code among the labels in use
// (text categories), its number, or its ticks. A code of -1, a missing
// cell, stands for the label "nan" in text and for NaN otherwise.
struct CategoryValues {
  std::vector<double> values;
  double missing = kNaN;
};

CategoryValues text_category_values(PyObject* categories, PyArrayObject* codes,
                                    ColumnTarget& target) {
  PyRef cells = call_to_numpy(categories, reinterpret_cast<PyObject*>(&PyBaseObject_Type), false);
  PyRef iterator = check(PyObject_GetIter(cells.get()));
  std::vector<std::string> texts;
  while (PyRef cell = next_item(iterator.get())) texts.push_back(str_text(cell.get()));
  // Only the labels that cells use are ranked, as a column of the same
  // values in any other dtype would rank them.
  std::vector<bool> used(texts.size(), false);
  bool any_missing = false;
  for_each_code(codes, [&](std::size_t, std::int64_t code) {
    if (code < 0) {
      any_missing = true;
    } else if (static_cast<std::size_t>(code) < used.size()) {
      used[static_cast<std::size_t>(code)] = true;
    }
  });
  std::vector<std::string_view> labels;
  std::vector<std::size_t> category_of_label;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (!used[k]) continue;
    labels.push_back(texts[k]);
    category_of_label.push_back(k);
  }
  if (any_missing) labels.push_back("nan");
  const std::vector<double> label_codes = encode_texts(target.encoding, target.j, labels);
  CategoryValues out{std::vector<double>(texts.size(), kNaN), kNaN};
  for (std::size_t l = 0; l < category_of_label.size(); ++l) {
    out.values[category_of_label[l]] = label_codes[l];
  }
  if (any_missing) out.missing = label_codes.back();
  return out;
}

// A categorical column is read through its categories and codes, with no
// object or text made per cell.
void read_category(PyObject* column, ColumnTarget& target) {
  PyRef array = attribute(column, "array");
  PyRef categories = attribute(array.get(), "categories");
  PyRef codes_array = attribute(array.get(), "codes");
  PyRef codes = check(PyArray_FROMANY(codes_array.get(), NPY_NOTYPE, 1, 1, NPY_ARRAY_CARRAY_RO));
  auto* const plain_codes = reinterpret_cast<PyArrayObject*>(codes.get());
  const auto count = static_cast<std::size_t>(PyArray_SIZE(plain_codes));
  if (count != target.out.size()) {
    panic("a categorical column holds " + std::to_string(count) + " codes for " +
          std::to_string(target.out.size()) + " rows");
  }
  PyRef categories_dtype = attribute(categories.get(), "dtype");
  PyRef kind_text = attribute(categories_dtype.get(), "kind");
  const std::string kind = utf8_text(kind_text.get());

  CategoryValues values;
  if (kind == "O" || kind == "U" || kind == "T") {
    values = text_category_values(categories.get(), plain_codes, target);
  } else if (kind == "f" || kind == "i" || kind == "u" || kind == "b") {
    values.values.resize(length_of(categories.get()));
    read_float64(categories.get(), true, values.values);
  } else if (kind == "M" || kind == "m") {
    values.values.resize(length_of(categories.get()));
    PyRef ticks = attribute(categories.get(), "asi8");
    read_ticks(ticks.get(), values.values);
  } else {
    unsupported(target);
  }
  const std::size_t size = values.values.size();
  for_each_code(plain_codes, [&](std::size_t r, std::int64_t code) {
    if (code >= static_cast<std::int64_t>(size)) {
      panic(index_out_of_bounds(size, static_cast<std::uint64_t>(code)));
    }
    target.out[r] = code < 0 ? values.missing : values.values[static_cast<std::size_t>(code)];
  });
}

void read_arrow(PyObject* column, ColumnTarget& target) {
  // pandas before 2.2 exports no stream of a Series; its pyarrow array does.
  PyRef source = PyRef::borrow(column);
  const int has_stream = PyObject_HasAttrString(column, "__arrow_c_stream__");
  if (!has_stream) {
    PyRef array = attribute(column, "array");
    PyRef to_arrow = attribute(array.get(), "__arrow_array__");
    source = check(PyObject_CallNoArgs(to_arrow.get()));
  }
  const auto table = import_arrow_stream(source.get());
  expect_one_column(*table, target);
  read_arrow_column(*table, 0, target.out, target.encoding, target.j, target.name, target.dtype);
}

// Reads one column into target.out; returns the array the result takes the
// column's kept cells from, or null where it comes back float64 or object.
PyRef read_column(PyObject* column, PyObject* dtype, Family family, PyObject* series_type,
                  const MissingValues& missing_values, std::size_t rows, ColumnTarget& target) {
  switch (family) {
    case Family::kNumbers:
      read_float64(column, false, target.out);
      return {};
    case Family::kNullable:
      read_float64(column, true, target.out);
      return attribute(column, "array");
    case Family::kTicks: {
      PyRef array = attribute(column, "array");
      PyRef ticks = attribute(array.get(), "asi8");
      read_ticks(ticks.get(), target.out);
      return array;
    }
    case Family::kObjectText:
      if (is_arrow_str(column, dtype, series_type)) {
        read_arrow_str(column, dtype, target);
      } else {
        read_text(column, series_type, missing_values, true, rows, target);
      }
      return {};
    case Family::kTypedText:
      read_text(column, series_type, missing_values, false, rows, target);
      return attribute(column, "array");
    case Family::kCategory:
      read_category(column, target);
      return attribute(column, "array");
    case Family::kArrow:
      read_arrow(column, target);
      return attribute(column, "array");
    case Family::kOther:
      break;
    case Family::kUnsupported:
      unsupported(target);
  }
  // pandas may know how to make numbers of it; if not, the column is named.
  try {
    read_float64(column, true, target.out);
  } catch (const PyErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    try {
      unsupported(target);
    } catch (const PyErrorAlreadySet&) {
      PyRef raised = PyRef::steal(PyErr_GetRaisedException());
      PyException_SetCause(raised.get(), cause.release());
      PyErr_SetRaisedException(raised.release());
      throw;
    }
  }
  return {};
}

}  // namespace

bool frame_is_numeric(PyObject* frame) {
  PyRef dtypes = PyRef::steal(PyObject_GetAttrString(frame, "dtypes"));
  if (!dtypes) panic("dtypes attr not found: " + take_error_text());
  PyRef iterator = PyRef::steal(PyObject_GetIter(dtypes.get()));
  if (!iterator) panic("No dtypes found. " + take_error_text());
  bool numeric = true;
  while (true) {
    PyRef dtype = PyRef::steal(PyIter_Next(iterator.get()));
    if (!dtype) {
      if (PyErr_Occurred()) panic("No dtypes found. " + take_error_text());
      return numeric;
    }
    const std::string kind = dtype_text(dtype.get(), "kind");
    const std::string name = dtype_text(dtype.get(), "name");
    numeric = numeric && PyArray_DescrCheck(dtype.get()) && family_of(dtype.get(), name) == Family::kNumbers;
  }
}

FrameValues encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                             const std::vector<std::string>& columns) {
  if (columns.size() != cols) {
    panic(std::to_string(columns.size()) + " column labels for a frame of " +
          std::to_string(cols) + " columns");
  }
  FrameValues out{CellArray::allocate(rows, cols), EncodingInfo{}, std::vector<PyRef>(cols)};
  ColumnStage stage(out.values.cells(), rows, cols);

  PyRef pandas = check(PyImport_ImportModule("pandas"));
  PyRef series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  const MissingValues missing_values;
  // Columns are taken by position: labels need not be strings or unique.
  const ColumnsByPosition by_position(frame);
  for (std::size_t j = 0; j < cols; ++j) {
    PyRef column = by_position.get(j);
    PyRef dtype = check(PyObject_GetAttrString(column.get(), "dtype"));
    PyRef name = check(PyObject_GetAttrString(dtype.get(), "name"));
    ColumnTarget target{j, columns[j], utf8_text(name.get()), stage.column(j), out.encoding};
    const Family family = family_of(dtype.get(), target.dtype);
    out.typed[j] =
        read_column(column.get(), dtype.get(), family, series_type.get(), missing_values, rows, target);
  }
  stage.flush();
  return out;
}

}  // namespace gapwright::py
