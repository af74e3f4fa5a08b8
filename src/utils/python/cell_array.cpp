#include "utils/python/intake_result.h"

#include "runtime/checked_math.h"
#include "utils/python/errors.h"
#include "utils/python/numpy_api.h"

#include <new>      // std::bad_alloc
#include <string>   // std::to_string
#include <utility>  // std::move

namespace gapwright::py {

CellArray CellArray::allocate(std::size_t rows, std::size_t cols) {
  ensure_numpy_api();
  constexpr auto max_extent = static_cast<std::size_t>(NPY_MAX_INTP);
  if (rows > max_extent || cols > max_extent) {
    panic("matrix of " + std::to_string(rows) + " rows and " + std::to_string(cols) +
          " columns exceeds numpy's dimension range");
  }
  // Past numpy's size limit no memory could hold the table either.
  if (cell_count(rows, cols) > max_extent / sizeof(double)) throw std::bad_alloc();
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  CellArray matrix;
  matrix.array_ = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!matrix.array_) {
    // Memory that cannot be had is reported alike on every path.
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyErrorAlreadySet{};
    PyErr_Clear();
    throw std::bad_alloc();
  }
  matrix.data_ = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(matrix.array_.get())));
  matrix.rows_ = rows;
  matrix.cols_ = cols;
  return matrix;
}

const std::vector<std::string>* OUT::column_names() const noexcept {
  if (const auto* frame = std::get_if<DataFrame>(&kind)) return &frame->columns;
  if (const auto* table = std::get_if<ArrowTable>(&kind)) return &table->columns;
  return nullptr;
}

PyRef CellArray::release() noexcept {
  data_ = nullptr;
  rows_ = 0;
  cols_ = 0;
  return std::move(array_);
}

}  // namespace gapwright::py
