#include "utils/python/object_access.h"

#include "utils/python/errors.h"

#include "runtime/pool_copy.h"

#include <bit>          // std::endian
#include <cmath>        // std::isnan
#include <cstdint>      // std::uintptr_t
#include <string_view>  // std::string_view

namespace gapwright::py {
namespace {

// "d", alone or behind a byte-order mark that names this machine's order.
bool is_native_f64_format(const char* format) {
  if (format == nullptr) return false;
  std::string_view code(format);
  if (code.size() == 2) {
    constexpr bool little = std::endian::native == std::endian::little;
    const char mark = code.front();
    const bool native = mark == '@' || mark == '=' || mark == (little ? '<' : '>') ||
                        (!little && mark == '!');
    if (!native) return false;
    code.remove_prefix(1);
  }
  return code == "d";
}

}  // namespace

std::string utf8_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_error(PyExc_TypeError,
                std::string("expected a str, got '") + Py_TYPE(obj)->tp_name + "'");
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PyErrorAlreadySet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string str_text(PyObject* obj) {
  PyRef text = check(PyObject_Str(obj));
  return utf8_text(text.get());
}

PyRef key_pair(PyObject* first, PyObject* second) {
  return check_created(PyTuple_Pack(2, first, second));
}

PyRef index_pair(std::size_t first, std::size_t second) {
  PyRef a = check_created(PyLong_FromSize_t(first));
  PyRef b = check_created(PyLong_FromSize_t(second));
  return key_pair(a.get(), b.get());
}

PyRef next_item(PyObject* iterator) {
  PyRef item = PyRef::steal(PyIter_Next(iterator));
  if (!item && PyErr_Occurred()) throw PyErrorAlreadySet{};
  return item;
}

MissingValues::MissingValues() {
  // Without pandas loaded no cell can be one of its missing values.
  PyRef pandas = PyRef::steal(PyImport_GetModule(check_created(PyUnicode_FromString("pandas")).get()));
  if (!pandas) {
    if (PyErr_Occurred()) throw PyErrorAlreadySet{};
    return;
  }
  na_ = check(PyObject_GetAttrString(pandas.get(), "NA"));
  nat_ = check(PyObject_GetAttrString(pandas.get(), "NaT"));
}

bool MissingValues::contains(PyObject* cell) const noexcept {
  if (cell == Py_None || cell == na_.get() || cell == nat_.get()) return true;
  return PyFloat_Check(cell) && std::isnan(PyFloat_AS_DOUBLE(cell));
}

ColumnsByPosition::ColumnsByPosition(PyObject* frame)
    : iloc_(check(PyObject_GetAttrString(frame, "iloc"))),
      all_rows_(check_created(PySlice_New(nullptr, nullptr, nullptr))) {}

PyRef ColumnsByPosition::key(std::size_t position) const {
  PyRef index = check_created(PyLong_FromSize_t(position));
  return key_pair(all_rows_.get(), index.get());
}

PyRef ColumnsByPosition::get(std::size_t position) const {
  PyRef column_key = key(position);
  return check(PyObject_GetItem(iloc_.get(), column_key.get()));
}

F64Buffer::F64Buffer(PyObject* obj) {
  check_status(PyObject_GetBuffer(obj, &hold_.view, PyBUF_FULL_RO));
  hold_.held = true;
  const Py_buffer& view = hold_.view;
  if (view.shape == nullptr) raise_error(PyExc_BufferError, "shape is null");
  if (view.strides == nullptr) raise_error(PyExc_BufferError, "strides is null");
  if (view.itemsize != 8 || !is_native_f64_format(view.format)) {
    raise_error(PyExc_BufferError, "buffer contents are not compatible with f64");
  }
  // Alignment does not matter: the items are copied out bytewise. Frames
  // that travel by pickle protocol 5, as dask ships them, arrive with their
  // blocks at any byte offset.
  // The copy walks `shape`; an exporter whose shape and length disagree
  // would have it step outside the buffer.
  std::size_t items = 1;
  for (int dim = 0; dim < view.ndim; ++dim) {
    if (view.shape[dim] < 0 ||
        __builtin_mul_overflow(items, static_cast<std::size_t>(view.shape[dim]), &items)) {
      panic("buffer dimension " + std::to_string(dim) + " has an invalid extent");
    }
  }
  if (view.len < 0 || view.len % 8 != 0 || items != item_count()) {
    panic("buffer shape holds " + std::to_string(items) + " items but its length is " +
          std::to_string(view.len) + " bytes");
  }
}

void F64Buffer::expect_item_count(std::size_t wanted) const {
  if (wanted == item_count()) return;
  raise_error(PyExc_BufferError, "slice to copy to (of length " + std::to_string(wanted) +
                                     ") does not match buffer length of " +
                                     std::to_string(item_count()));
}

void F64Buffer::copy_to(std::span<double> out) const {
  expect_item_count(out.size());
  if (out.empty()) return;
  check_status(PyBuffer_ToContiguous(out.data(), &hold_.view, hold_.view.len, 'C'));
}

void F64Buffer::copy_to(std::span<double> out, ThreadPool& pool) const {
  expect_item_count(out.size());
  const Py_buffer& view = hold_.view;
  if (PyBuffer_IsContiguous(&view, 'C')) {
    copy_on_pool(pool, out.data(), view.buf, out.size() * sizeof(double));
  } else if (view.ndim == 2 && PyBuffer_IsContiguous(&view, 'F')) {
    // A frame's float block, column after column: the transpose of its
    // columns as rows.
    transpose_on_pool(pool, out.data(), view.buf, static_cast<std::size_t>(view.shape[1]),
                      static_cast<std::size_t>(view.shape[0]));
  } else {
    copy_to(out);
  }
}

}  // namespace gapwright::py
