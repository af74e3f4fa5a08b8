// Intake: turns the `data` argument of a masking call into an IntakeResult.
// Runs on the calling thread with the interpreter attached; only reads its
// input and keeps no reference to it.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t

namespace gapwright::py {

// Classifies `data` (a 2-D float64 ndarray, an ndarray by type name, a
// polars DataFrame or pyarrow Table, a pandas.DataFrame) and copies its cells, large tables on `pool` as well as
// the calling thread. Throws PyErrorAlreadySet with the Python exception set,
// or InternalError.
IntakeResult pyany_to_vec(PyObject* data, ThreadPool& pool);

// Copies a 2-D buffer of native 8-byte floats holding exactly rows * cols
// items into a new row-major array, in the buffer's own C order whatever
// dimensions it reports. Another item count is a BufferError.
CellArray read_via_buffer(PyObject* obj, std::size_t rows, std::size_t cols, ThreadPool& pool);

}  // namespace gapwright::py
