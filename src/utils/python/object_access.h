// Object access: the reads and keys that intake, the encoders and the rebuild
// all need from a Python object, kept below the three so that none of them
// reaches into another. Every function runs with the interpreter attached and
// throws PyErrorAlreadySet with the Python exception set, or InternalError.
#pragma once

#include "utils/python/py_ref.h"

#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t
#include <span>     // std::span
#include <string>

namespace gapwright::py {

// The UTF-8 text of a str object; TypeError when obj is not a str.
std::string utf8_text(PyObject* obj);

// The UTF-8 text of str(obj).
std::string str_text(PyObject* obj);

// The tuple (first, second) of two Python objects, as an item key.
PyRef key_pair(PyObject* first, PyObject* second);
// The tuple (first, second) of two Python ints.
PyRef index_pair(std::size_t first, std::size_t second);

// The next item of an iterator; null at its end. Throws when iteration raised.
PyRef next_item(PyObject* iterator);

// Recognises the missing values a text cell may hold: None, a float NaN, and
// pandas' NA and NaT when pandas is loaded.
class MissingValues {
 public:
  MissingValues();
  bool contains(PyObject* cell) const noexcept;

 private:
  PyRef na_;
  PyRef nat_;
};

// The columns of a DataFrame addressed by position through `iloc`: labels may
// repeat or not be strs, so a position is the one address sure to name a
// single column. Holds a reference to `frame.iloc`, read once on construction.
class ColumnsByPosition {
 public:
  explicit ColumnsByPosition(PyObject* frame);

  // frame.iloc[:, position]
  PyRef get(std::size_t position) const;

 private:
  // The `iloc` key (slice(None), position).
  PyRef key(std::size_t position) const;

  PyRef iloc_;
  PyRef all_rows_;
};

// A buffer of native, aligned 8-byte floats exported by a Python object,
// held read-only and released on destruction. The constructor raises the
// BufferError of each check it fails.
class F64Buffer {
 public:
  explicit F64Buffer(PyObject* obj);

  int ndim() const noexcept { return hold_.view.ndim; }
  std::size_t item_count() const noexcept {
    return static_cast<std::size_t>(hold_.view.len) / 8;
  }

  // BufferError, as a length mismatch, when the buffer does not hold exactly
  // `wanted` items.
  void expect_item_count(std::size_t wanted) const;

  // Copies every item in C order into out. BufferError when out's length is
  // not the buffer's item count.
  void copy_to(std::span<double> out) const;
  // The same, a large buffer held row after row or column after column
  // copied on `pool` as well as the calling thread.
  void copy_to(std::span<double> out, ThreadPool& pool) const;

 private:
  // Releases the view however the owner ends, a throwing constructor included.
  struct Hold {
    Py_buffer view{};
    bool held = false;
    Hold() = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Not by a thread the interpreter is ending, detached (see py_ref.h).
    ~Hold() {
      if (held && PyGILState_Check()) PyBuffer_Release(&view);
    }
  };
  Hold hold_;
};

}  // namespace gapwright::py
