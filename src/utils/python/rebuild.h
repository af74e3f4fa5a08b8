// Result rebuild: the masked matrix back into the caller's kind of container.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include "runtime/thread_pool.h"

#include <optional>

namespace gapwright::py {

// Builds a new numpy array or DataFrame (see the table in rebuild.cpp) from
// the masked matrix, decoding label-encoded columns. The matrix's array is
// the float array of the result: returned as it is, or the one the object
// array and the frame are made from; a large frame's copy of it is made on
// `pool` as well as the calling thread. Takes over the first three
// arguments. Throws PyErrorAlreadySet or InternalError.
PyRef arr_to_out(CellArray matrix, OUT container, std::optional<EncodingInfo> encoding,
                 ThreadPool& pool);

}  // namespace gapwright::py
