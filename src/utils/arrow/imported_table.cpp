#include "utils/arrow/imported_table.h"

#include <cstring>  // std::strcmp

namespace gapwright::arrow {
namespace {

// Releases a stream however the import ends.
class StreamHold {
 public:
  explicit StreamHold(ArrowArrayStream&& stream) noexcept : stream_(stream) {
    stream.release = nullptr;
  }
  StreamHold(const StreamHold&) = delete;
  StreamHold& operator=(const StreamHold&) = delete;
  ~StreamHold() {
    if (stream_.release != nullptr) stream_.release(&stream_);
  }
  ArrowArrayStream* get() noexcept { return &stream_; }

  [[noreturn]] void fail(const char* what, int code) {
    const char* detail =
        stream_.get_last_error != nullptr ? stream_.get_last_error(&stream_) : nullptr;
    std::string message = std::string(what) + " failed (error " + std::to_string(code) + ")";
    if (detail != nullptr) message += ": " + std::string(detail);
    throw StreamError(message);
  }

 private:
  ArrowArrayStream stream_;
};

}  // namespace

OwnedSchema::~OwnedSchema() {
  if (raw_.release != nullptr) raw_.release(&raw_);
}

OwnedArray::~OwnedArray() {
  if (raw_.release != nullptr) raw_.release(&raw_);
}

ImportedTable::ImportedTable(ArrowArrayStream&& stream) {
  StreamHold hold(std::move(stream));
  ArrowArrayStream* source = hold.get();
  if (source->release == nullptr) throw StreamError("the Arrow stream was already released");
  if (const int code = source->get_schema(source, schema_.get()); code != 0) {
    hold.fail("reading the Arrow stream's schema", code);
  }
  if (schema_.get()->release == nullptr || schema_.get()->format == nullptr) {
    throw StreamError("the Arrow stream gave no schema");
  }
  is_struct_ = std::strcmp(schema_.get()->format, "+s") == 0;
  while (true) {
    auto batch = std::make_unique<OwnedArray>();
    if (const int code = source->get_next(source, batch->get()); code != 0) {
      hold.fail("reading a batch of the Arrow stream", code);
    }
    if (batch->released()) break;
    const ArrowArray& array = **batch;
    if (array.length < 0 || array.offset < 0) throw StreamError("an Arrow batch has a negative length");
    if (is_struct_ && array.n_children != schema_.get()->n_children) {
      throw StreamError("an Arrow batch has " + std::to_string(array.n_children) +
                        " columns where its schema has " +
                        std::to_string(schema_.get()->n_children));
    }
    starts_.push_back(rows_);
    rows_ += static_cast<std::size_t>(array.length);
    batches_.push_back(std::move(batch));
  }
}

std::size_t ImportedTable::cols() const noexcept {
  return is_struct_ ? static_cast<std::size_t>(schema().n_children) : 1;
}

const ArrowSchema& ImportedTable::column_schema(std::size_t c) const noexcept {
  return is_struct_ ? *schema().children[c] : schema();
}

std::string ImportedTable::column_name(std::size_t c) const {
  const char* name = column_schema(c).name;
  return name != nullptr ? std::string(name) : std::string();
}

ColumnSlice ImportedTable::column(std::size_t b, std::size_t c) const noexcept {
  const ArrowArray& array = batch(b);
  if (!is_struct_) return ColumnSlice{&array, array.offset, array.length};
  const ArrowArray* field = array.children[c];
  return ColumnSlice{field, field->offset + array.offset, array.length};
}

}  // namespace gapwright::arrow
