// Label encoding of string cells: each distinct string of a column gets its
// rank among the column's distinct strings in bytewise UTF-8 order.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include <string>
#include <utility>  // std::pair
#include <vector>

namespace gapwright::py {

// Codes (as doubles, in input order) and the column's encoder. Never fails.
std::pair<std::vector<double>, std::unordered_map<std::string, std::uint64_t>> label_encode(
    const std::vector<std::string>& strings);

struct EncodedValues {
  CellArray values;
  EncodingInfo encoding;
};

EncodedValues encode_object_array(PyObject* array, std::size_t rows, std::size_t cols);
EncodedValues encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                               const std::vector<std::string>& columns);

}  // namespace gapwright::py
