#include "utils/arrow/column_reader.h"

#include <bit>      // std::bit_cast
#include <cmath>    // std::ldexp
#include <cstdint>  // std::int32_t, std::uint16_t …
#include <cstring>  // std::memcpy, std::strncmp
#include <limits>   // std::numeric_limits

namespace gapwright::arrow {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The physical layout of a column's values.
enum class Layout {
  kBool,
  kInt8, kUInt8, kInt16, kUInt16, kInt32, kUInt32, kInt64, kUInt64,
  kHalf, kFloat, kDouble,
  kNull,
  kUtf8, kLargeUtf8, kUtf8View,
  kOther,
};

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

Layout layout_of(std::string_view format) {
  if (format.size() == 1) {
    switch (format[0]) {
      case 'n': return Layout::kNull;
      case 'b': return Layout::kBool;
      case 'c': return Layout::kInt8;
      case 'C': return Layout::kUInt8;
      case 's': return Layout::kInt16;
      case 'S': return Layout::kUInt16;
      case 'i': return Layout::kInt32;
      case 'I': return Layout::kUInt32;
      case 'l': return Layout::kInt64;
      case 'L': return Layout::kUInt64;
      case 'e': return Layout::kHalf;
      case 'f': return Layout::kFloat;
      case 'g': return Layout::kDouble;
      case 'u': return Layout::kUtf8;
      case 'U': return Layout::kLargeUtf8;
      default: return Layout::kOther;
    }
  }
  if (format == "vu") return Layout::kUtf8View;
  // Dates, times, timestamps and durations: their ticks.
  if (format == "tdD" || format == "tts" || format == "ttm") return Layout::kInt32;
  if (format == "tdm" || format == "ttu" || format == "ttn") return Layout::kInt64;
  if (starts_with(format, "ts") && format.size() >= 4 && format[3] == ':') return Layout::kInt64;
  if (starts_with(format, "tD") && format.size() == 3) return Layout::kInt64;
  return Layout::kOther;
}

bool is_text(Layout layout) {
  return layout == Layout::kUtf8 || layout == Layout::kLargeUtf8 || layout == Layout::kUtf8View;
}

bool is_index(Layout layout) {
  return layout >= Layout::kInt8 && layout <= Layout::kUInt64;
}

// The element at position i (offset included) of a buffer of T.
template <typename T>
T element(const void* buffer, std::int64_t i) {
  T value;
  std::memcpy(&value, static_cast<const char*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

bool bit(const void* bitmap, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

double half_to_double(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int fraction = h & 0x3ff;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (exponent == 0) return sign * std::ldexp(fraction, -24);
  if (exponent == 31) return fraction == 0 ? sign * std::numeric_limits<double>::infinity() : kNaN;
  return sign * std::ldexp(fraction + 1024, exponent - 25);
}

const void* buffer(const ArrowArray& array, std::int64_t i) {
  if (array.n_buffers <= i || array.buffers == nullptr) {
    throw StreamError("an Arrow array has " + std::to_string(array.n_buffers) +
                      " buffers where its type needs more");
  }
  return array.buffers[i];
}

void check_extent(const ColumnSlice& slice) {
  if (slice.offset < 0 || slice.length < 0 || slice.offset + slice.length > slice.array->offset + slice.array->length) {
    throw StreamError("an Arrow column is shorter than its table");
  }
}

// True for a null at element position i; `validity` may be null (no nulls).
bool is_null(const void* validity, std::int64_t i) { return validity != nullptr && !bit(validity, i); }

const void* validity_of(const ArrowArray& array) {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers == nullptr) return nullptr;
  return array.buffers[0];
}

double number_at(Layout layout, const void* values, std::int64_t i) {
  switch (layout) {
    case Layout::kBool: return bit(values, i) ? 1.0 : 0.0;
    case Layout::kInt8: return element<std::int8_t>(values, i);
    case Layout::kUInt8: return element<std::uint8_t>(values, i);
    case Layout::kInt16: return element<std::int16_t>(values, i);
    case Layout::kUInt16: return element<std::uint16_t>(values, i);
    case Layout::kInt32: return element<std::int32_t>(values, i);
    case Layout::kUInt32: return element<std::uint32_t>(values, i);
    case Layout::kInt64: return static_cast<double>(element<std::int64_t>(values, i));
    case Layout::kUInt64: return static_cast<double>(element<std::uint64_t>(values, i));
    case Layout::kHalf: return half_to_double(element<std::uint16_t>(values, i));
    case Layout::kFloat: return element<float>(values, i);
    case Layout::kDouble: return element<double>(values, i);
    default: return kNaN;
  }
}

std::int64_t index_at(Layout layout, const void* values, std::int64_t i) {
  const double index = number_at(layout, values, i);
  return static_cast<std::int64_t>(index);
}

// The text at element position i of a string array.
std::string_view text_at(Layout layout, const ArrowArray& array, std::int64_t i) {
  if (layout == Layout::kUtf8View) {
    // A view is 16 bytes: its length, then up to 12 bytes inline, or a prefix,
    // the index of the data buffer and the offset within it.
    const auto* view = static_cast<const char*>(buffer(array, 1)) + i * 16;
    const auto length = element<std::int32_t>(view, 0);
    if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
    const auto index = element<std::int32_t>(view + 8, 0);
    const auto offset = element<std::int32_t>(view + 12, 0);
    const auto* data = static_cast<const char*>(buffer(array, 2 + index));
    return {data + offset, static_cast<std::size_t>(length)};
  }
  const auto* data = static_cast<const char*>(buffer(array, 2));
  std::int64_t begin = 0;
  std::int64_t end = 0;
  if (layout == Layout::kUtf8) {
    begin = element<std::int32_t>(buffer(array, 1), i);
    end = element<std::int32_t>(buffer(array, 1), i + 1);
  } else {
    begin = element<std::int64_t>(buffer(array, 1), i);
    end = element<std::int64_t>(buffer(array, 1), i + 1);
  }
  if (end < begin) throw StreamError("an Arrow string array has decreasing offsets");
  return {data + begin, static_cast<std::size_t>(end - begin)};
}

// The dictionary's entries as the cells of a column read them.
std::vector<double> dictionary_numbers(const ArrowSchema& schema, const ArrowArray& dictionary) {
  std::vector<double> entries(static_cast<std::size_t>(dictionary.length));
  read_numbers(schema, ColumnSlice{&dictionary, dictionary.offset, dictionary.length}, entries);
  return entries;
}

std::int64_t checked_index(std::int64_t index, std::int64_t size) {
  if (index < 0 || index >= size) {
    throw StreamError("an Arrow dictionary index " + std::to_string(index) +
                      " is outside its dictionary of " + std::to_string(size));
  }
  return index;
}

}  // namespace

CellKind cell_kind(const ArrowSchema& schema) {
  if (schema.format == nullptr) return CellKind::kUnsupported;
  const Layout layout = layout_of(schema.format);
  if (schema.dictionary != nullptr) {
    return is_index(layout) ? cell_kind(*schema.dictionary) : CellKind::kUnsupported;
  }
  if (is_text(layout)) return CellKind::kText;
  if (layout == Layout::kOther) return CellKind::kUnsupported;
  return CellKind::kNumber;
}

std::string type_text(const ArrowSchema& schema) {
  if (schema.format == nullptr) return "unknown";
  const std::string_view format(schema.format);
  if (starts_with(format, "d:")) return "decimal(" + std::string(format.substr(2)) + ")";
  if (format == "z" || format == "Z" || format == "vz" || starts_with(format, "w:")) return "binary";
  if (format == "+l" || format == "+L" || format == "+vl" || format == "+vL" ||
      starts_with(format, "+w:")) {
    return "list";
  }
  if (format == "+s") return "struct";
  if (format == "+m") return "map";
  if (starts_with(format, "+u")) return "union";
  if (format == "+r") return "run-end encoded";
  if (starts_with(format, "ti")) return "interval";
  if (schema.dictionary != nullptr) return "dictionary of " + type_text(*schema.dictionary);
  return "Arrow format '" + std::string(format) + "'";
}

void read_numbers(const ArrowSchema& schema, const ColumnSlice& slice, std::span<double> out) {
  check_extent(slice);
  const ArrowArray& array = *slice.array;
  const Layout layout = layout_of(schema.format);
  if (layout == Layout::kNull) {
    std::fill(out.begin(), out.end(), kNaN);
    return;
  }
  const void* validity = validity_of(array);
  const void* values = buffer(array, 1);
  if (schema.dictionary != nullptr) {
    if (array.dictionary == nullptr) throw StreamError("an Arrow dictionary column has no dictionary");
    const std::vector<double> entries = dictionary_numbers(*schema.dictionary, *array.dictionary);
    const auto size = static_cast<std::int64_t>(entries.size());
    for (std::int64_t r = 0; r < slice.length; ++r) {
      const std::int64_t i = slice.offset + r;
      out[r] = is_null(validity, i) ? kNaN : entries[checked_index(index_at(layout, values, i), size)];
    }
    return;
  }
  if (layout == Layout::kDouble && validity == nullptr) {
    std::memcpy(out.data(), static_cast<const double*>(values) + slice.offset,
                static_cast<std::size_t>(slice.length) * sizeof(double));
    return;
  }
  for (std::int64_t r = 0; r < slice.length; ++r) {
    const std::int64_t i = slice.offset + r;
    out[r] = is_null(validity, i) ? kNaN : number_at(layout, values, i);
  }
}

void read_texts(const ArrowSchema& schema, const ColumnSlice& slice,
                std::vector<std::string_view>& out, std::vector<std::size_t>* nulls) {
  check_extent(slice);
  const ArrowArray& array = *slice.array;
  const Layout layout = layout_of(schema.format);
  const void* validity = validity_of(array);
  // Appends every row's text, text_at(i) for a valid element position i.
  auto append_rows = [&](auto&& text_at_position) {
    for (std::int64_t r = 0; r < slice.length; ++r) {
      const std::int64_t i = slice.offset + r;
      if (is_null(validity, i)) {
        if (nulls != nullptr) nulls->push_back(out.size());
        out.push_back(kMissingText);
      } else {
        out.push_back(text_at_position(i));
      }
    }
  };
  if (schema.dictionary == nullptr) {
    append_rows([&](std::int64_t i) { return text_at(layout, array, i); });
    return;
  }
  if (array.dictionary == nullptr) throw StreamError("an Arrow dictionary column has no dictionary");
  const ArrowArray& dictionary = *array.dictionary;
  std::vector<std::string_view> entries;
  read_texts(*schema.dictionary, ColumnSlice{&dictionary, dictionary.offset, dictionary.length},
             entries);
  const auto size = static_cast<std::int64_t>(entries.size());
  const void* indices = buffer(array, 1);
  append_rows([&](std::int64_t i) {
    return entries[static_cast<std::size_t>(checked_index(index_at(layout, indices, i), size))];
  });
}

}  // namespace gapwright::arrow
