// A DataFrame's columns, read one by one by their dtype family: numbers and
// booleans as floats, datetimes and timedeltas as their ticks, text of any
// dtype (object, str, string, Arrow strings, categories of strings) by label
// encoding, categories by the values their codes stand for, Arrow columns
// through the Arrow C stream interface.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include <cstddef>  // std::size_t
#include <string>
#include <vector>

namespace gapwright::py {

struct FrameValues {
  CellArray values;
  EncodingInfo encoding;
  // Per column, the input array to take the kept cells from (OUT::DataFrame).
  std::vector<PyRef> typed;
};

// True when every column has a numpy dtype of numbers or booleans, so that
// the frame converts to float64 as one block and comes back float64. Reads
// `frame.dtypes`; a frame whose dtypes break pandas' conventions is an
// internal failure.
bool frame_is_numeric(PyObject* frame);

// Reads every column of `frame` into a rows x cols matrix. An unsupported
// column is a TypeError naming it; pandas' own errors pass unchanged.
FrameValues encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                             const std::vector<std::string>& columns);

}  // namespace gapwright::py
