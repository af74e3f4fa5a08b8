// What intake hands to the masking call: the cells as a dense row-major
// matrix of doubles, what kind of container to rebuild, and how string cells
// were label-encoded.
#pragma once

#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <optional>       // std::optional
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map
#include <variant>        // std::variant
#include <vector>         // std::vector

namespace gapwright::py {

// The kind of container to rebuild: a numpy array, or a DataFrame with the
// str() texts of its column labels, one per column in order.
struct OUT {
  struct Array {};
  struct DataFrame {
    std::vector<std::string> columns;
  };
  std::variant<Array, DataFrame> kind;

  bool is_array() const noexcept { return std::holds_alternative<Array>(kind); }
};

// Label encoding of string columns. Invariants: every index in
// encoded_columns is < cols and unique, ascending; encoders and decoders hold
// exactly those keys; a column with k distinct strings uses codes 0..k-1, and
// decoders[c][code] is the string whose encoders[c] entry is code.
struct EncodingInfo {
  std::vector<std::size_t> encoded_columns;
  std::unordered_map<std::size_t, std::unordered_map<std::string, std::uint64_t>> encoders;
  // Codes are dense, so a column's decoder is indexed by code.
  std::unordered_map<std::size_t, std::vector<std::string>> decoders;
};

struct IntakeResult {
  std::vector<double> values;  // rows * cols cells, row r column c at r * cols + c
  std::size_t rows = 0;
  std::size_t cols = 0;
  OUT container;
  std::optional<EncodingInfo> encoding;
};

}  // namespace gapwright::py
