// A table handed back through the Arrow C stream interface: the batches of
// an imported table, their buffers shared rather than copied, each column
// with a validity bitmap that also marks the holes. The exported arrays keep
// the imported table alive until the consumer releases the last of them.
#pragma once

#include "utils/arrow/imported_table.h"

#include <cstdint>  // std::uint8_t
#include <memory>   // std::shared_ptr
#include <vector>

namespace gapwright::arrow {

// The holes of one table: for each batch and column, a bitmap over the
// column's element positions (its offset included) of the cells that stay
// valid, or empty where the column keeps its own validity.
struct HoleMasks {
  // masks[b][c]
  std::vector<std::vector<std::vector<std::uint8_t>>> masks;
};

// Builds a stream over `table` with `holes` applied; every call gives a new,
// independent stream (the consumer releases it). Never fails but for memory.
void export_stream(std::shared_ptr<const ImportedTable> table,
                   std::shared_ptr<const HoleMasks> holes, ArrowArrayStream* out);

}  // namespace gapwright::arrow
