#pragma once
// Tables in the Arrow C data interface: the interface's own structs, an owned
// in-memory table (a schema and record batches whose buffers we allocated),
// and its export as schema, array and stream structs that share the table's
// buffers (no copy) and drop their share in their release callbacks.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "textgrid/model/buffer.hpp"

extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif  // ARROW_C_STREAM_INTERFACE
}

namespace textgrid::arrow {

// One buffer's memory (from malloc, freed with free); null stands for an
// absent buffer (a validity bitmap of a column without nulls).
class Storage {
 public:
  Storage() = default;
  // Takes over a Buffer's memory; never null, even when the buffer is empty.
  template <class T>
  static Storage adopt(Buffer<T>&& buffer) {
    if (buffer.capacity() == 0) buffer.reserve(1);
    return Storage(buffer.release().data);
  }
  const void* get() const noexcept { return memory_.get(); }

 private:
  struct Free {
    void operator()(void* memory) const noexcept { std::free(memory); }
  };
  explicit Storage(void* memory) : memory_(memory) {}
  std::unique_ptr<void, Free> memory_;
};

// The type of one column (or of a whole batch: a struct with one child per column).
struct Field {
  std::string name;
  std::string format;  // an interface format string: "u", "U", "g", "b", "I", "+s", ...
  bool nullable = false;
  std::vector<Field> children;
  std::string dictionary_format;  // set: dictionary-encoded, `format` is the index type
};

// One array's values: buffers in the order the format's layout gives them.
struct ArrayData {
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<Storage> buffers;
  std::vector<ArrayData> children;
  std::vector<ArrayData> dictionary;  // none, or the one values array
};

// A schema (a struct field) and its record batches (struct arrays).
struct Table {
  Field schema;
  std::vector<ArrayData> batches;

  std::int64_t num_rows() const noexcept;
};

// Fill `out` (which the caller owns and must eventually release). Exports
// keep the table alive until their release callbacks have run.
void export_schema(const Field& field, ArrowSchema* out);
void export_batch(std::shared_ptr<const Table> table, std::size_t batch, ArrowArray* out);
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

// Growable validity (or boolean) bitmap, least significant bit first.
class Bitmap {
 public:
  void append(bool value, std::size_t count = 1);
  void truncate(std::size_t length) noexcept;
  std::size_t size() const noexcept { return length_; }
  std::size_t count_zeros() const noexcept { return zeros_; }
  Buffer<std::uint8_t> take() && { return std::move(bytes_); }

 private:
  Buffer<std::uint8_t> bytes_;
  std::size_t length_ = 0;
  std::size_t zeros_ = 0;
};

// UTF-8 texts as one value buffer with 32-bit offsets, widened to 64-bit ones
// once the values pass `offset_limit` bytes (or on request).
class TextColumn {
 public:
  explicit TextColumn(std::size_t offset_limit = 0x7fffffff);
  void append(std::string_view text) {
    if (large_ || values_.size() + text.size() > offset_limit_) return append_widening(text);
    values_.append_small(text.data(), text.size());
    offsets_.push_back(static_cast<std::int32_t>(values_.size()));
  }
  // Room for `texts` more texts of `bytes` in all, so that appending them grows nothing.
  void reserve(std::size_t texts, std::size_t bytes);
  // Keeps the first `texts` texts (at most the size).
  void truncate(std::size_t texts) noexcept;
  std::size_t size() const noexcept;
  std::size_t value_bytes() const noexcept { return values_.size(); }
  bool is_large() const noexcept { return large_; }
  void widen();
  // Offsets then values, as the "u" / "U" layouts want them after validity.
  void finish_into(std::vector<Storage>& buffers) &&;

 private:
  void append_widening(std::string_view text);

  Buffer<std::int32_t> offsets_;
  Buffer<std::int64_t> large_offsets_;
  Buffer<char> values_;
  std::size_t offset_limit_;
  bool large_ = false;
};

// Small, whole columns (per-file reports): one value per row, nothing meaning null.
ArrayData text_column(std::span<const std::optional<std::string>> values);
ArrayData bool_column(std::span<const bool> values);
ArrayData double_column(std::span<const std::optional<double>> values);
ArrayData count_column(std::span<const std::optional<std::uint64_t>> values);
template <class T>
ArrayData plain_column(Buffer<T>&& values) {
  ArrayData data;
  data.length = static_cast<std::int64_t>(values.size());
  data.buffers.emplace_back();
  data.buffers.push_back(Storage::adopt(std::move(values)));
  return data;
}
ArrayData struct_batch(std::int64_t length, std::vector<ArrayData> columns);

}  // namespace textgrid::arrow
