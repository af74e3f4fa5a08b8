#include "utils/arrow/exported_stream.h"

#include <cerrno>   // ENOMEM
#include <cstring>  // std::memcpy
#include <new>      // std::bad_alloc
#include <string>

namespace gapwright::arrow {
namespace {

// What an exported schema owns: copies of the texts and of the children.
struct SchemaCopy {
  std::string format;
  std::string name;
  std::string metadata;
  bool has_name = false;
  bool has_metadata = false;
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;

  SchemaCopy() = default;
  SchemaCopy(const SchemaCopy&) = delete;
  SchemaCopy& operator=(const SchemaCopy&) = delete;
  // A consumer may have moved a child out, leaving it released.
  ~SchemaCopy() {
    for (ArrowSchema* child : children) drop(child);
    drop(dictionary);
  }
  static void drop(ArrowSchema* schema) {
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
  }
};

void release_schema(ArrowSchema* schema) {
  delete static_cast<SchemaCopy*>(schema->private_data);
  schema->release = nullptr;
}

// Metadata is a count, then that many length-prefixed keys and values.
std::size_t metadata_size(const char* metadata) {
  std::int32_t count = 0;
  std::memcpy(&count, metadata, 4);
  std::size_t at = 4;
  for (std::int32_t i = 0; i < 2 * count; ++i) {
    std::int32_t length = 0;
    std::memcpy(&length, metadata + at, 4);
    at += 4 + static_cast<std::size_t>(length);
  }
  return at;
}

void copy_schema(const ArrowSchema& source, ArrowSchema* out) {
  auto copy = std::make_unique<SchemaCopy>();
  copy->format = source.format;
  if (source.name != nullptr) {
    copy->name = source.name;
    copy->has_name = true;
  }
  if (source.metadata != nullptr) {
    copy->metadata.assign(source.metadata, metadata_size(source.metadata));
    copy->has_metadata = true;
  }
  for (std::int64_t i = 0; i < source.n_children; ++i) {
    auto child = std::make_unique<ArrowSchema>();
    copy_schema(*source.children[i], child.get());
    copy->children.push_back(child.release());
  }
  if (source.dictionary != nullptr) {
    auto dictionary = std::make_unique<ArrowSchema>();
    copy_schema(*source.dictionary, dictionary.get());
    copy->dictionary = dictionary.release();
  }
  out->format = copy->format.c_str();
  out->name = copy->has_name ? copy->name.c_str() : nullptr;
  out->metadata = copy->has_metadata ? copy->metadata.data() : nullptr;
  out->flags = source.flags;
  out->n_children = source.n_children;
  out->children = copy->children.data();
  out->dictionary = copy->dictionary;
  out->release = release_schema;
  out->private_data = copy.release();
}

// What an exported array owns: the table it shares buffers with, its own
// list of buffer pointers and children, and the bitmap that replaced the
// source's validity.
struct ArrayShare {
  std::shared_ptr<const ImportedTable> table;
  std::shared_ptr<const HoleMasks> holes;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;

  ArrayShare() = default;
  ArrayShare(const ArrayShare&) = delete;
  ArrayShare& operator=(const ArrayShare&) = delete;
  ~ArrayShare() {
    for (ArrowArray* child : children) drop(child);
    drop(dictionary);
  }
  static void drop(ArrowArray* array) {
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
  }
};

void release_array(ArrowArray* array) {
  delete static_cast<ArrayShare*>(array->private_data);
  array->release = nullptr;
}

using Bitmap = std::vector<std::uint8_t>;

// `out` shares the buffers of `source`. `validity`, when given and not
// empty, replaces its first buffer, and its null count becomes unknown;
// `field_validity` does the same for the fields of a struct.
void share_array(const ArrowArray& source, const std::shared_ptr<const ImportedTable>& table,
                 const std::shared_ptr<const HoleMasks>& holes, const Bitmap* validity,
                 const std::vector<Bitmap>* field_validity, ArrowArray* out) {
  auto share = std::make_unique<ArrayShare>();
  share->table = table;
  share->holes = holes;
  share->buffers.assign(source.buffers, source.buffers + source.n_buffers);
  std::int64_t null_count = source.null_count;
  if (validity != nullptr && !validity->empty() && !share->buffers.empty()) {
    share->buffers[0] = validity->data();
    null_count = -1;
  }
  for (std::int64_t i = 0; i < source.n_children; ++i) {
    auto child = std::make_unique<ArrowArray>();
    const Bitmap* field = field_validity != nullptr ? &(*field_validity)[i] : nullptr;
    share_array(*source.children[i], table, holes, field, nullptr, child.get());
    share->children.push_back(child.release());
  }
  if (source.dictionary != nullptr) {
    auto dictionary = std::make_unique<ArrowArray>();
    share_array(*source.dictionary, table, holes, nullptr, nullptr, dictionary.get());
    share->dictionary = dictionary.release();
  }
  out->length = source.length;
  out->null_count = null_count;
  out->offset = source.offset;
  out->n_buffers = source.n_buffers;
  out->n_children = source.n_children;
  out->buffers = share->buffers.data();
  out->children = share->children.data();
  out->dictionary = share->dictionary;
  out->release = release_array;
  out->private_data = share.release();
}

// The exported stream: the batches in order, each a new array.
struct StreamState {
  std::shared_ptr<const ImportedTable> table;
  std::shared_ptr<const HoleMasks> holes;
  std::size_t next = 0;
  std::string error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  try {
    copy_schema(state->table->schema(), out);
    return 0;
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  const ImportedTable& table = *state->table;
  if (state->next == table.batches()) {
    out->release = nullptr;
    return 0;
  }
  const std::size_t b = state->next;
  try {
    const ArrowArray& batch = table.batch(b);
    const auto& masks = state->holes->masks[b];
    if (table.is_struct()) {
      share_array(batch, state->table, state->holes, nullptr, &masks, out);
    } else {
      share_array(batch, state->table, state->holes, &masks[0], nullptr, out);
    }
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  }
  ++state->next;
  return 0;
}

const char* stream_error(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  return state->error.empty() ? nullptr : state->error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_stream(std::shared_ptr<const ImportedTable> table,
                   std::shared_ptr<const HoleMasks> holes, ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>();
  state->table = std::move(table);
  state->holes = std::move(holes);
  out->get_schema = stream_schema;
  out->get_next = stream_next;
  out->get_last_error = stream_error;
  out->release = stream_release;
  out->private_data = state.release();
}

}  // namespace gapwright::arrow
