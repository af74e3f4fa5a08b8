// Access to numpy's C API from every translation unit of the module.
#pragma once

#include "utils/python/compat.h"

#include <cstddef>  // std::size_t

#define PY_ARRAY_UNIQUE_SYMBOL gapwright_ARRAY_API
#ifndef GAPWRIGHT_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace gapwright::py {

// Imports numpy's C API through its capsule on first use; later calls return
// at once. Throws PyErrorAlreadySet when numpy cannot be imported.
void ensure_numpy_api();

// ensure_numpy_api without the exception: false, with nothing set, when
// numpy cannot be imported.
bool numpy_api_ready();

// `obj` as a plain object ndarray of `rows` x `cols`, whose cells numpy's
// own item access reads and writes as indexing with a tuple would, without
// making the tuples; null for anything else, subclasses included, which may
// index otherwise.
PyArrayObject* plain_object_matrix(PyObject* obj, std::size_t rows, std::size_t cols);

}  // namespace gapwright::py
