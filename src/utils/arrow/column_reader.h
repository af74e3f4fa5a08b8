// Reads the cells of an Arrow column as the masking matrix takes them:
// numbers and booleans as their values, dates, times, timestamps and
// durations as their ticks, text as string views (for label encoding), a
// dictionary as the cells its indices pick. Nulls read as NaN, or as the
// missing label in text.
#pragma once

#include "utils/arrow/imported_table.h"

#include <span>         // std::span
#include <string>
#include <string_view>  // std::string_view
#include <vector>

namespace gapwright::arrow {

enum class CellKind {
  kNumber,       // read_numbers
  kText,         // read_texts
  kUnsupported,  // neither: a TypeError for the caller
};

// What a column of this schema reads as; for a dictionary, what its values do.
CellKind cell_kind(const ArrowSchema& schema);

// A reader's name for the column's type, for messages: "decimal128(10, 2)",
// "list", "binary" … (the format string when nothing better is known).
std::string type_text(const ArrowSchema& schema);

// The text that stands for a null in a text column, as pandas' default string
// columns write their missing value.
inline constexpr std::string_view kMissingText = "nan";

// Writes the slice's cells, in row order, to out (its length is the slice's).
// Throws StreamError on a malformed array.
void read_numbers(const ArrowSchema& schema, const ColumnSlice& slice, std::span<double> out);

// Appends the slice's cells as views into the arrays' buffers (kMissingText
// for a null), and, when `nulls` is given, the positions in `out` of the
// nulls. The views live as long as the arrays.
void read_texts(const ArrowSchema& schema, const ColumnSlice& slice,
                std::vector<std::string_view>& out, std::vector<std::size_t>* nulls = nullptr);

}  // namespace gapwright::arrow
