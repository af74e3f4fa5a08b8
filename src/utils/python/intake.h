// Intake: turns the `data` argument of a masking call into an IntakeResult.
// Runs on the calling thread with the interpreter attached; only reads its
// input and keeps no reference to it.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include <cstddef>  // std::size_t
#include <span>     // std::span
#include <string>
#include <vector>

namespace gapwright::py {

// Classifies `data` (a 2-D float64 ndarray, an ndarray by type name, a
// pandas.DataFrame) and copies its cells. Throws PyErrorAlreadySet with the
// Python exception set, or InternalError.
IntakeResult pyany_to_vec(PyObject* data);

// Copies a 2-D buffer of native 8-byte floats holding exactly rows * cols
// items into a new row-major array. A buffer whose item count matches but
// whose dimensions are not (rows, cols) is an internal failure.
CellArray read_via_buffer(PyObject* obj, std::size_t rows, std::size_t cols);

// True when a column of the DataFrame holds strings by its dtype (kind "O" or
// name "string").
bool check_for_strs(PyObject* frame);

// Pieces shared by intake, the encoders and the rebuild.
namespace detail {

// The UTF-8 text of a str object; TypeError when obj is not a str. Throws
// PyErrorAlreadySet.
std::string utf8_text(PyObject* obj);

// The UTF-8 text of str(obj). Throws PyErrorAlreadySet.
std::string str_text(PyObject* obj);

// The tuple (first, second) of two Python objects, as an item key.
PyRef key_pair(PyObject* first, PyObject* second);
// The tuple (first, second) of two Python ints.
PyRef index_pair(std::size_t first, std::size_t second);

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

  // Copies every item in C order into out. BufferError when out's length is
  // not the buffer's item count.
  void copy_to(std::span<double> out) const;

 private:
  // Releases the view however the owner ends, a throwing constructor included.
  struct Hold {
    Py_buffer view{};
    bool held = false;
    Hold() = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
      if (held) PyBuffer_Release(&view);
    }
  };
  Hold hold_;
};

}  // namespace detail
}  // namespace gapwright::py
