#include "utils/python/intake.h"

#include "runtime/checked_math.h"
#include "runtime/pool_copy.h"
#include "utils/python/arrow_tables.h"
#include "utils/python/errors.h"
#include "utils/python/frame_columns.h"
#include "utils/python/label_encoding.h"
#include "utils/python/numpy_api.h"
#include "utils/python/object_access.h"

#include <cstring>  // std::memcpy
#include <optional>  // std::optional
#include <span>  // std::span
#include <string>
#include <utility>  // std::move
#include <vector>

namespace gapwright::py {
namespace {

std::string shape_text(std::size_t rows, std::size_t cols) {
  std::string text = "(";
  text += std::to_string(rows);
  text += ", ";
  text += std::to_string(cols);
  text += ')';
  return text;
}

// `shape` as unsigned integers; the sequence and integer conversions raise
// their own TypeError or OverflowError.
std::vector<std::size_t> read_shape(PyObject* data) {
  PyRef shape = check(PyObject_GetAttrString(data, "shape"));
  if (PyUnicode_Check(shape.get())) {
    raise_error(PyExc_TypeError, "shape must be a sequence of integers, not 'str'");
  }
  if (!PySequence_Check(shape.get())) {
    raise_error(PyExc_TypeError, std::string("shape must be a sequence of integers, not '") +
                                     Py_TYPE(shape.get())->tp_name + "'");
  }
  PyRef iterator = check(PyObject_GetIter(shape.get()));
  std::vector<std::size_t> entries;
  while (PyRef item = next_item(iterator.get())) {
    PyRef index = check(PyNumber_Index(item.get()));
    const std::size_t entry = PyLong_AsSize_t(index.get());
    if (entry == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrorAlreadySet{};
    entries.push_back(entry);
  }
  return entries;
}

// The type's __qualname__ as a str; a failure to make it (out of memory)
// propagates.
PyRef type_qualname(PyObject* data) { return check(PyType_GetQualName(Py_TYPE(data))); }

// Copies the cells of a 2-D native float64 array in logical row-major order.
IntakeResult read_float64_array(PyArrayObject* array, ThreadPool& pool) {
  const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  CellArray values = CellArray::allocate(rows, cols);
  const std::span<double> cells = values.cells();
  if (!cells.empty()) {
    const char* base = PyArray_BYTES(array);
    if (PyArray_IS_C_CONTIGUOUS(array)) {
      copy_on_pool(pool, cells.data(), base, cells.size() * sizeof(double));
    } else if (PyArray_IS_F_CONTIGUOUS(array)) {
      // Column after column: the transpose of a cols x rows matrix.
      transpose_on_pool(pool, cells.data(), base, cols, rows);
    } else {
      // memcpy per cell: the cells of a misaligned array cannot be loaded as doubles.
      const npy_intp row_stride = PyArray_STRIDE(array, 0);
      const npy_intp col_stride = PyArray_STRIDE(array, 1);
      double* out = cells.data();
      for (std::size_t r = 0; r < rows; ++r) {
        const char* row = base + static_cast<npy_intp>(r) * row_stride;
        for (std::size_t c = 0; c < cols; ++c) {
          std::memcpy(out++, row + static_cast<npy_intp>(c) * col_stride, sizeof(double));
        }
      }
    }
  }
  return IntakeResult{std::move(values), rows, cols, OUT{OUT::Array{}}, std::nullopt};
}

bool is_native_float64_matrix(PyObject* data) {
  if (!PyArray_Check(data)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  return PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE &&
         PyArray_ISNOTSWAPPED(array);
}

// A subclass may override `shape`; the encoder and the buffer read rely on it
// describing the array they index.
void check_array_shape(PyObject* data, std::size_t rows, std::size_t cols) {
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != rows ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != cols) {
    panic("array shape " + shape_text(rows, cols) +
          " does not match the dimensions of its data");
  }
}

IntakeResult read_ndarray_by_name(PyObject* data, std::size_t rows, std::size_t cols,
                                   ThreadPool& pool) {
  PyRef dtype = check(PyObject_GetAttrString(data, "dtype"));
  PyRef name = check(PyObject_GetAttrString(dtype.get(), "name"));
  if (utf8_text(name.get()) == "object") {
    EncodedValues encoded = encode_object_array(data, rows, cols);
    return IntakeResult{std::move(encoded.values), rows, cols, OUT{OUT::Array{}},
                        std::move(encoded.encoding)};
  }
  return IntakeResult{read_via_buffer(data, rows, cols, pool), rows, cols, OUT{OUT::Array{}},
                      std::nullopt};
}

std::vector<std::string> column_texts(PyObject* frame) {
  PyRef labels = check(PyObject_GetAttrString(frame, "columns"));
  PyRef iterator = PyRef::steal(PyObject_GetIter(labels.get()));
  if (!iterator) panic("no items found! " + take_error_text());
  std::vector<std::string> texts;
  while (true) {
    PyRef label = PyRef::steal(PyIter_Next(iterator.get()));
    if (!label) {
      if (PyErr_Occurred()) panic("no items found! " + take_error_text());
      break;
    }
    try {
      texts.push_back(str_text(label.get()));
    } catch (const PyErrorAlreadySet&) {
      panic("Failed str conversion: " + take_error_text());
    }
  }
  return texts;
}

CellArray frame_to_float64(PyObject* frame, std::size_t rows, std::size_t cols,
                           ThreadPool& pool) {
  PyRef to_numpy = check(PyObject_GetAttrString(frame, "to_numpy"));
  PyRef args = check_created(PyTuple_New(0));
  PyRef kwargs = check_created(PyDict_New());
  PyRef dtype = check_created(PyUnicode_FromString("float64"));
  check_status(PyDict_SetItemString(kwargs.get(), "dtype", dtype.get()));
  check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
  PyRef converted = check(PyObject_Call(to_numpy.get(), args.get(), kwargs.get()));
  return read_via_buffer(converted.get(), rows, cols, pool);
}

IntakeResult read_dataframe(PyObject* frame, ThreadPool& pool) {
  const std::vector<std::size_t> shape = read_shape(frame);
  if (shape.size() != 2) {
    panic("a DataFrame shape has 2 entries, this one has " + std::to_string(shape.size()));
  }
  const std::size_t rows = shape[0];
  const std::size_t cols = shape[1];
  std::vector<std::string> columns = column_texts(frame);
  if (columns.size() != cols) {
    panic("the frame has " + std::to_string(columns.size()) + " column labels but its shape " +
          shape_text(rows, cols) + " says " + std::to_string(cols) + " columns");
  }
  if (!frame_is_numeric(frame)) {
    FrameValues read = encode_dataframe(frame, rows, cols, columns);
    return IntakeResult{std::move(read.values), rows, cols,
                        OUT{OUT::DataFrame{std::move(columns), std::move(read.typed)}},
                        std::move(read.encoding)};
  }
  CellArray values = frame_to_float64(frame, rows, cols, pool);
  return IntakeResult{std::move(values), rows, cols, OUT{OUT::DataFrame{std::move(columns), {}}},
                      std::nullopt};
}

// A bare name that reads like a supported type ("ndarray" of the wrong
// dimensions, another library's "DataFrame") is spelled out with its module,
// so that the message does not seem to refuse what it then offers.
[[noreturn]] void raise_unsupported(PyObject* data, PyObject* qualname,
                                    std::optional<std::size_t> ndarray_dims) {
  static constexpr const char* kSupported =
      ". Supported types are: numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table";
  const bool looks_supported =
      ndarray_dims || PyUnicode_CompareWithASCIIString(qualname, "DataFrame") == 0;
  if (!looks_supported) {
    // %U keeps the name whole, embedded NULs and lone surrogates included.
    raise_formatted(PyExc_TypeError, "Unsupported type: '%U'%s", qualname, kSupported);
  }
  PyRef module = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(data)),
                                              "__module__"));
  std::string dims;
  if (ndarray_dims) {
    dims = " with " + std::to_string(*ndarray_dims) +
           (*ndarray_dims == 1 ? " dimension" : " dimensions") + " (2 needed)";
  }
  raise_formatted(PyExc_TypeError, "Unsupported type: '%S.%U'%s%s", module.get(), qualname,
                  dims.c_str(), kSupported);
}

}  // namespace

CellArray read_via_buffer(PyObject* obj, std::size_t rows, std::size_t cols, ThreadPool& pool) {
  const F64Buffer buffer(obj);
  if (buffer.ndim() != 2) raise_error(PyExc_ValueError, "Expected a 2-dimensional array");
  const std::size_t count = cell_count(rows, cols);
  // Only the count must agree: a buffer that reports another shape is read
  // in its own C order, as a reshape would.
  buffer.expect_item_count(count);
  CellArray values = CellArray::allocate(rows, cols);
  buffer.copy_to(values.cells(), pool);
  return values;
}

IntakeResult pyany_to_vec(PyObject* data, ThreadPool& pool) {
  // Without numpy's C API there is no float64 fast path; intake still goes
  // on by type name and pandas.
  const bool numpy_ready = numpy_api_ready();
  if (numpy_ready && is_native_float64_matrix(data)) {
    return read_float64_array(reinterpret_cast<PyArrayObject*>(data), pool);
  }

  const PyRef qualname = type_qualname(data);
  std::optional<std::size_t> ndarray_dims;
  if (PyUnicode_CompareWithASCIIString(qualname.get(), "ndarray") == 0) {
    const std::vector<std::size_t> shape = read_shape(data);
    ndarray_dims = shape.size();
    if (shape.size() == 2) {
      if (numpy_ready && PyArray_Check(data)) {
        check_array_shape(data, shape[0], shape[1]);
        // Native float64 arrays were read above, so a numpy array here is
        // either an object array or one without float64 cells. numpy would
        // refuse some of those (datetimes) a buffer with an error of its own.
        if (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(data)) != NPY_OBJECT) {
          raise_error(PyExc_BufferError, "buffer contents are not compatible with f64");
        }
      }
      return read_ndarray_by_name(data, shape[0], shape[1], pool);
    }
  }

  // Tables of libraries that are already loaded, before pandas is needed.
  if (const auto library = arrow_table_library(data)) return read_arrow_table(data, *library, pool);

  PyRef pandas = check(PyImport_ImportModule("pandas"));
  PyRef frame_type = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (check_status(PyObject_IsInstance(data, frame_type.get())) == 1) {
    return read_dataframe(data, pool);
  }

  raise_unsupported(data, qualname.get(), ndarray_dims);
}

}  // namespace gapwright::py
