// Reading Arrow columns and handing them back with holes: the layouts the
// readers decode by hand (bitmaps at an offset, half floats, string views,
// dictionaries) and the ownership of exported arrays.
#include "utils/arrow/column_reader.h"
#include "utils/arrow/exported_stream.h"
#include "utils/arrow/imported_table.h"

#include <gtest/gtest.h>

#include <array>    // std::array
#include <cmath>    // std::isnan, std::ldexp
#include <cstring>  // std::memcpy
#include <limits>   // std::numeric_limits
#include <memory>   // std::make_shared
#include <string>
#include <vector>

namespace gapwright::arrow {
namespace {

// An array over caller-owned buffers whose release only counts its calls.
struct FakeArray {
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray array{};
  int* releases = nullptr;

  FakeArray(std::int64_t length, std::int64_t offset, std::int64_t null_count,
            std::vector<const void*> buffer_list, int* counter = nullptr)
      : buffers(std::move(buffer_list)), releases(counter) {
    array.length = length;
    array.offset = offset;
    array.null_count = null_count;
    array.n_buffers = static_cast<std::int64_t>(buffers.size());
    array.buffers = buffers.data();
    array.release = [](ArrowArray* self) {
      auto* owner = static_cast<FakeArray*>(self->private_data);
      if (owner->releases != nullptr) ++*owner->releases;
      self->release = nullptr;
    };
    array.private_data = this;
  }
};

ArrowSchema schema_of(const char* format, ArrowSchema* dictionary = nullptr) {
  ArrowSchema schema{};
  schema.format = format;
  schema.dictionary = dictionary;
  return schema;
}

std::vector<double> numbers(const ArrowSchema& schema, const ArrowArray& array, std::int64_t offset,
                            std::int64_t length) {
  std::vector<double> out(static_cast<std::size_t>(length));
  read_numbers(schema, ColumnSlice{&array, offset, length}, out);
  return out;
}

TEST(arrow_columns_test, numbers_respect_the_offset_of_values_and_validity) {
  const std::int32_t values[] = {9, 1, 2, 3, 4};
  const std::uint8_t validity[] = {0b11011};  // element 2 is null
  FakeArray column(4, 1, 1, {validity, values});
  const ArrowSchema schema = schema_of("i");
  const std::vector<double> out = numbers(schema, column.array, 1, 4);
  EXPECT_EQ(out[0], 1.0);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[2], 3.0);
  EXPECT_EQ(out[3], 4.0);
  const std::uint8_t bools[] = {0b0110};
  FakeArray flags(3, 1, 0, {nullptr, bools});
  EXPECT_EQ(numbers(schema_of("b"), flags.array, 1, 3), (std::vector<double>{1.0, 1.0, 0.0}));
}

TEST(arrow_columns_test, half_floats_decode_to_their_exact_doubles) {
  const std::uint16_t halves[] = {0x3C00, 0xC000, 0x7C00, 0x0001, 0x7BFF, 0x7E00};
  FakeArray column(6, 0, 0, {nullptr, halves});
  const std::vector<double> out = numbers(schema_of("e"), column.array, 0, 6);
  EXPECT_EQ(out[0], 1.0);
  EXPECT_EQ(out[1], -2.0);
  EXPECT_EQ(out[2], std::numeric_limits<double>::infinity());
  EXPECT_EQ(out[3], std::ldexp(1.0, -24));
  EXPECT_EQ(out[4], 65504.0);
  EXPECT_TRUE(std::isnan(out[5]));
}

// A 16-byte string view: inline up to 12 bytes, else a prefix, a buffer
// index and an offset.
std::array<std::uint8_t, 16> view(const std::string& text, std::int32_t index, std::int32_t offset) {
  std::array<std::uint8_t, 16> bytes{};
  const auto length = static_cast<std::int32_t>(text.size());
  std::memcpy(bytes.data(), &length, 4);
  if (text.size() <= 12) {
    std::memcpy(bytes.data() + 4, text.data(), text.size());
  } else {
    std::memcpy(bytes.data() + 4, text.data(), 4);
    std::memcpy(bytes.data() + 8, &index, 4);
    std::memcpy(bytes.data() + 12, &offset, 4);
  }
  return bytes;
}

TEST(arrow_columns_test, texts_of_every_layout_and_nulls_as_the_missing_label) {
  const std::int32_t offsets[] = {0, 1, 3, 3, 6};
  const char data[] = "abbxyz";
  const std::uint8_t validity[] = {0b1011};
  FakeArray utf8(4, 0, 1, {validity, offsets, data});
  std::vector<std::string_view> out;
  read_texts(schema_of("u"), ColumnSlice{&utf8.array, 1, 3}, out);
  EXPECT_EQ(out, (std::vector<std::string_view>{"bb", kMissingText, "xyz"}));

  const std::string long_text = "a text longer than twelve bytes";
  const auto short_view = view("short", 0, 0);
  const auto long_view = view(long_text, 1, 2);
  std::uint8_t views[32];
  std::memcpy(views, short_view.data(), 16);
  std::memcpy(views + 16, long_view.data(), 16);
  const std::string padded = "--" + long_text;
  const std::int64_t sizes[] = {0, static_cast<std::int64_t>(padded.size())};
  FakeArray string_views(2, 0, 0, {nullptr, views, "", padded.data(), sizes});
  out.clear();
  read_texts(schema_of("vu"), ColumnSlice{&string_views.array, 0, 2}, out);
  EXPECT_EQ(out, (std::vector<std::string_view>{"short", long_text}));

  const std::int8_t indices[] = {1, 0, 1, 5};
  const std::uint8_t index_validity[] = {0b0111};
  FakeArray dictionary_values(2, 0, 0, {nullptr, offsets, data});
  FakeArray dictionary(4, 0, 1, {index_validity, indices});
  dictionary.array.dictionary = &dictionary_values.array;
  ArrowSchema value_schema = schema_of("u");
  const ArrowSchema schema = schema_of("c", &value_schema);
  EXPECT_EQ(cell_kind(schema), CellKind::kText);
  out.clear();
  read_texts(schema, ColumnSlice{&dictionary.array, 0, 4}, out);
  EXPECT_EQ(out, (std::vector<std::string_view>{"bb", "a", "bb", kMissingText}));
  // an index outside the dictionary is refused, not read
  const std::uint8_t all_valid[] = {0b1111};
  dictionary.buffers[0] = all_valid;
  out.clear();
  EXPECT_THROW(read_texts(schema, ColumnSlice{&dictionary.array, 0, 4}, out), StreamError);
}

TEST(arrow_columns_test, unsupported_types_are_named) {
  EXPECT_EQ(cell_kind(schema_of("d:10,2")), CellKind::kUnsupported);
  EXPECT_EQ(type_text(schema_of("d:10,2")), "decimal(10,2)");
  EXPECT_EQ(type_text(schema_of("+l")), "list");
  EXPECT_EQ(cell_kind(schema_of("tss:UTC")), CellKind::kNumber);
  EXPECT_EQ(cell_kind(schema_of("tiM")), CellKind::kUnsupported);
}

// A one-batch stream of a struct of two double columns, its release counted.
struct FakeStream {
  static constexpr double kFirst[] = {1.0, 2.0, 3.0};
  static constexpr double kSecond[] = {4.0, 5.0, 6.0};
  static inline const std::uint8_t kValidity[] = {0b101};

  int releases = 0;
  FakeArray first{3, 0, 1, {kValidity, kFirst}, &releases};
  FakeArray second{3, 0, 0, {nullptr, kSecond}, &releases};
  FakeArray batch{3, 0, 0, {nullptr}, &releases};
  ArrowSchema fields[2] = {schema_of("g"), schema_of("g")};
  ArrowSchema* field_list[2] = {&fields[0], &fields[1]};
  bool sent = false;

  ArrowArrayStream stream() {
    batch.children = {&first.array, &second.array};
    batch.array.n_children = 2;
    batch.array.children = batch.children.data();
    ArrowArrayStream out{};
    out.get_schema = [](ArrowArrayStream* self, ArrowSchema* schema) {
      auto* fake = static_cast<FakeStream*>(self->private_data);
      *schema = schema_of("+s");
      schema->n_children = 2;
      schema->children = fake->field_list;
      schema->release = [](ArrowSchema* s) { s->release = nullptr; };
      return 0;
    };
    out.get_next = [](ArrowArrayStream* self, ArrowArray* array) {
      auto* fake = static_cast<FakeStream*>(self->private_data);
      if (fake->sent) {
        array->release = nullptr;
      } else {
        *array = fake->batch.array;
        fake->sent = true;
      }
      return 0;
    };
    out.get_last_error = [](ArrowArrayStream*) -> const char* { return nullptr; };
    out.release = [](ArrowArrayStream* self) { self->release = nullptr; };
    out.private_data = this;
    return out;
  }
};

TEST(arrow_columns_test, an_exported_table_marks_holes_and_keeps_the_input_alive) {
  FakeStream fake;
  ArrowArrayStream source = fake.stream();
  auto table = std::make_shared<const ImportedTable>(std::move(source));
  ASSERT_EQ(table->rows(), 3u);
  ASSERT_EQ(table->cols(), 2u);
  auto holes = std::make_shared<HoleMasks>();
  // column 0 keeps its null (row 1) and loses row 0; column 1 loses row 2
  holes->masks = {{{0b100}, {0b011}}};
  ArrowArrayStream exported{};
  export_stream(table, holes, &exported);
  ArrowArray batch{};
  ASSERT_EQ(exported.get_next(&exported, &batch), 0);
  table.reset();
  exported.release(&exported);
  EXPECT_EQ(fake.releases, 0) << "the exported batch still shares the input's buffers";

  ASSERT_EQ(batch.n_children, 2);
  const ArrowArray& first = *batch.children[0];
  EXPECT_EQ(static_cast<const std::uint8_t*>(first.buffers[0])[0], 0b100);
  EXPECT_EQ(first.null_count, -1);
  EXPECT_EQ(first.buffers[1], FakeStream::kFirst);
  EXPECT_EQ(static_cast<const std::uint8_t*>(batch.children[1]->buffers[0])[0], 0b011);
  // a consumer may move a child out and release it on its own
  ArrowArray moved = *batch.children[1];
  batch.children[1]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(fake.releases, 0);
  moved.release(&moved);
  EXPECT_EQ(fake.releases, 1) << "the input batch is released once, after its last sharer";
}

}  // namespace
}  // namespace gapwright::arrow
