// Result rebuild: the masked matrix back into the caller's kind of container.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include <optional>

namespace gapwright::py {

// A read-only row-major view of the masked matrix.
struct MatrixView {
  const double* data;
  std::size_t rows;
  std::size_t cols;
};

// Builds a new numpy array or DataFrame (see the table in rebuild.cpp) from
// the matrix, decoding label-encoded columns. Never writes to the matrix;
// takes over `container` and `encoding`. Throws PyErrorAlreadySet or
// InternalError.
PyRef arr_to_out(MatrixView matrix, OUT container, std::optional<EncodingInfo> encoding);

}  // namespace gapwright::py
