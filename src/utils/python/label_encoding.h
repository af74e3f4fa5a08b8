// Label encoding of string cells: each distinct string of a column gets its
// rank among the column's distinct strings in bytewise UTF-8 order.
#pragma once

#include "utils/python/intake_result.h"
#include "utils/python/py_ref.h"

#include <span>         // std::span
#include <string>
#include <string_view>  // std::string_view
#include <utility>      // std::pair
#include <vector>

namespace gapwright::py {

using Encoder = std::unordered_map<std::string, std::uint64_t>;

// Codes (as doubles, in input order) and the column's encoder. Never fails.
std::pair<std::vector<double>, Encoder> label_encode(const std::vector<std::string>& strings);
std::pair<std::vector<double>, Encoder> label_encode(std::span<const std::string_view> strings);

// Label-encodes one column's texts as column j of a table: its maps go into
// `encoding`, its codes are returned in row order.
std::vector<double> encode_texts(EncodingInfo& encoding, std::size_t j,
                                 std::span<const std::string_view> texts);

struct EncodedValues {
  CellArray values;
  EncodingInfo encoding;
};

EncodedValues encode_object_array(PyObject* array, std::size_t rows, std::size_t cols);

}  // namespace gapwright::py
