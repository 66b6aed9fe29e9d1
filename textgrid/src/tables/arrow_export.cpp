// Export of owned tables through the Arrow C data and stream interfaces. Every
// exported struct owns its children and dictionary and holds a share of the
// table, so consumers may move children out and release in any order.
#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "textgrid/tables/arrow.hpp"

namespace textgrid::arrow {
namespace {

// Owns an exported schema's strings, children and dictionary. Children a
// consumer has moved out are marked released and skipped; children exported
// before a failure midway are released with their parent's private data.
struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  ArrowSchema dictionary{};

  SchemaPrivate() = default;
  SchemaPrivate(const SchemaPrivate&) = delete;
  SchemaPrivate& operator=(const SchemaPrivate&) = delete;
  ~SchemaPrivate() {
    for (ArrowSchema& child : children)
      if (child.release != nullptr) child.release(&child);
    if (dictionary.release != nullptr) dictionary.release(&dictionary);
  }
};

void release_schema(ArrowSchema* schema) noexcept {
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->release = nullptr;
}

// The dictionary's values: a plain field of the given format.
void export_dictionary_values(const std::string& format, ArrowSchema* out) {
  auto values = std::make_unique<SchemaPrivate>();
  values->format = format;
  *out = ArrowSchema{
      values->format.c_str(), nullptr,     nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
      release_schema,         values.get()};
  values.release();
}

// Owns an exported array's buffer list, children and dictionary, and a share
// of the table whose buffers it points into; released as SchemaPrivate is.
struct ArrayPrivate {
  std::shared_ptr<const Table> table;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  ArrowArray dictionary{};

  ArrayPrivate() = default;
  ArrayPrivate(const ArrayPrivate&) = delete;
  ArrayPrivate& operator=(const ArrayPrivate&) = delete;
  ~ArrayPrivate() {
    for (ArrowArray& child : children)
      if (child.release != nullptr) child.release(&child);
    if (dictionary.release != nullptr) dictionary.release(&dictionary);
  }
};

void release_array(ArrowArray* array) noexcept {
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->release = nullptr;
}

void export_array(const std::shared_ptr<const Table>& table, const ArrayData& data,
                  ArrowArray* out) {
  auto owned = std::make_unique<ArrayPrivate>();
  owned->table = table;
  for (const Storage& buffer : data.buffers) owned->buffers.push_back(buffer.get());
  // Sized up front: the pointers below must stay valid.
  owned->children.resize(data.children.size());
  for (std::size_t i = 0; i < data.children.size(); ++i) {
    export_array(table, data.children[i], &owned->children[i]);
    owned->child_pointers.push_back(&owned->children[i]);
  }
  ArrowArray* dictionary = nullptr;
  if (!data.dictionary.empty()) {
    export_array(table, data.dictionary.front(), &owned->dictionary);
    dictionary = &owned->dictionary;
  }
  *out = ArrowArray{data.length,
                    data.null_count,
                    0,
                    static_cast<int64_t>(owned->buffers.size()),
                    static_cast<int64_t>(owned->children.size()),
                    owned->buffers.data(),
                    owned->child_pointers.data(),
                    dictionary,
                    release_array,
                    owned.get()};
  owned.release();
}

struct StreamPrivate {
  std::shared_ptr<const Table> table;
  std::size_t next_batch = 0;
  std::string last_error;
};

// Stream callbacks report failures as errno values, never by throwing.
template <class Body>
int guarded(ArrowArrayStream* stream, Body&& body) noexcept {
  auto* owned = static_cast<StreamPrivate*>(stream->private_data);
  try {
    body(*owned);
    return 0;
  } catch (const std::bad_alloc&) {
    owned->last_error = "out of memory";
    return ENOMEM;
  } catch (const std::exception& failure) {
    owned->last_error = failure.what();
    return EIO;
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return guarded(stream, [&](StreamPrivate& owned) { export_schema(owned.table->schema, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  return guarded(stream, [&](StreamPrivate& owned) {
    if (owned.next_batch == owned.table->batches.size()) {
      out->release = nullptr;  // the end of the stream
      return;
    }
    export_batch(owned.table, owned.next_batch, out);
    ++owned.next_batch;
  });
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
  auto* owned = static_cast<StreamPrivate*>(stream->private_data);
  return owned->last_error.empty() ? nullptr : owned->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

std::int64_t Table::num_rows() const noexcept {
  std::int64_t rows = 0;
  for (const ArrayData& batch : batches) rows += batch.length;
  return rows;
}

void export_schema(const Field& field, ArrowSchema* out) {
  auto owned = std::make_unique<SchemaPrivate>();
  owned->format = field.format;
  owned->name = field.name;
  owned->children.resize(field.children.size());
  for (std::size_t i = 0; i < field.children.size(); ++i) {
    export_schema(field.children[i], &owned->children[i]);
    owned->child_pointers.push_back(&owned->children[i]);
  }
  ArrowSchema* dictionary = nullptr;
  if (!field.dictionary_format.empty()) {
    export_dictionary_values(field.dictionary_format, &owned->dictionary);
    dictionary = &owned->dictionary;
  }
  *out = ArrowSchema{owned->format.c_str(),
                     owned->name.c_str(),
                     nullptr,
                     field.nullable ? ARROW_FLAG_NULLABLE : 0,
                     static_cast<int64_t>(owned->children.size()),
                     owned->child_pointers.data(),
                     dictionary,
                     release_schema,
                     owned.get()};
  owned.release();
}

void export_batch(std::shared_ptr<const Table> table, std::size_t batch, ArrowArray* out) {
  const ArrayData& data = table->batches.at(batch);
  export_array(table, data, out);
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
  auto owned = std::make_unique<StreamPrivate>();
  owned->table = std::move(table);
  *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, stream_release,
                          owned.release()};
}

}  // namespace textgrid::arrow
