#pragma once
// Importing hostile Arrow streams: schemas, record batches, buffers, offsets,
// null counts, string views and dictionaries built as C structs from the fuzz
// input. Every buffer has exactly the size the interface implies for the
// lengths and offsets its array claims (what a consumer may rely on), so the
// sanitizers flag any read beyond it; everything else (counts, pointers,
// lengths, offsets, views, indices, formats) is the input's to choose. The
// import must end in columns of equal length or an error value, and must
// release every struct it was handed exactly once.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/arrow_import.hpp"

namespace fuzz::arrow_input {

// Reads the input as a sequence of small decisions; zeros once it runs out.
class Bytes {
 public:
  explicit Bytes(std::string_view text) : text_(text) {}
  std::uint8_t next() { return at_ < text_.size() ? static_cast<std::uint8_t>(text_[at_++]) : 0; }
  int below(int bound) { return next() % bound; }
  // True about once in `in`; never once the input is used up.
  bool chance(int in) { return below(in) == in - 1; }
  std::int32_t any_int32() {
    std::uint32_t value = 0;
    for (int k = 0; k < 4; ++k) value = value << 8 | next();
    return static_cast<std::int32_t>(value);
  }
  std::string word(std::size_t limit) {
    std::string text;
    while (text.size() < limit) {
      char c = static_cast<char>(next());
      if (c == '\0') break;
      text += c;
    }
    return text;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// Structs handed out and not yet released.
inline int& live_structs() {
  static int live = 0;
  return live;
}

// All memory of one top-level struct and its children and dictionaries.
struct Memory {
  std::vector<void*> blocks;
  std::vector<std::unique_ptr<ArrowArray>> arrays;
  std::vector<std::unique_ptr<ArrowSchema>> schemas;
  std::vector<std::unique_ptr<std::vector<const void*>>> buffer_lists;
  std::vector<std::unique_ptr<std::vector<ArrowArray*>>> array_lists;
  std::vector<std::unique_ptr<std::vector<ArrowSchema*>>> schema_lists;
  std::vector<std::unique_ptr<std::string>> texts;
  Memory() = default;
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;
  ~Memory() {
    for (void* block : blocks) std::free(block);
  }
  // Exactly `size` bytes (none for 0), filled from the input.
  void* block(std::size_t size, Bytes& bytes) {
    void* memory = std::malloc(size);
    for (std::size_t k = 0; k < size; ++k) static_cast<std::uint8_t*>(memory)[k] = bytes.next();
    blocks.push_back(memory);
    return memory;
  }
  const char* text(std::string value) {
    texts.push_back(std::make_unique<std::string>(std::move(value)));
    return texts.back()->c_str();
  }
};

template <class Struct>
void release_top(Struct* value) {
  delete static_cast<Memory*>(value->private_data);
  value->release = nullptr;
  --live_structs();
}

template <class Struct>
void release_owned(Struct* value) {  // children: their parent frees them
  value->release = nullptr;
}

// Formats a field may have: the ones the import reads, then others.
inline constexpr const char* formats[] = {
    "l", "i",  "I", "L", "c", "C",  "s",  "S",    "g",     "f",   "b",       "u",
    "U", "vu", "e", "z", "n", "+s", "+l", "tss:", "d:5,2", "w:4", "tsu:UTC", "tDm"};
inline constexpr int read_formats = 14;  // formats[0 .. 14) are read by some column
inline constexpr const char* wanted_names[] = {"file_id", "tier_name", "is_interval",
                                               "tmin",    "tmax",      "label"};
inline constexpr const char* plausible[6][3] = {{"l", "I", "L"}, {"u", "U", "vu"},
                                                {"b", "b", "b"}, {"g", "f", "l"},
                                                {"g", "I", "L"}, {"u", "vu", "U"}};

struct FieldPlan {
  std::string format;
  std::string dictionary_format;  // set: dictionary-encoded
};

inline ArrowSchema* new_schema(Memory& memory) {
  memory.schemas.push_back(std::make_unique<ArrowSchema>());
  ArrowSchema* schema = memory.schemas.back().get();
  *schema = ArrowSchema{};
  schema->release = release_owned<ArrowSchema>;
  return schema;
}

inline ArrowArray* new_array(Memory& memory) {
  memory.arrays.push_back(std::make_unique<ArrowArray>());
  ArrowArray* array = memory.arrays.back().get();
  *array = ArrowArray{};
  array->release = release_owned<ArrowArray>;
  return array;
}

inline std::int64_t width_of(const std::string& format) {
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S" || format == "e") return 2;
  if (format == "i" || format == "I" || format == "f") return 4;
  return 8;
}

// The buffers of a leaf array of `format` with `end` = offset + length slots,
// sized as the interface implies: validity, values (or offsets and bytes, or
// views, data buffers and their sizes).
inline std::vector<const void*> leaf_buffers(const std::string& format, std::int64_t end,
                                             Memory& memory, Bytes& bytes) {
  const std::size_t slots = static_cast<std::size_t>(std::max<std::int64_t>(end, 0));
  std::vector<const void*> buffers;
  buffers.push_back(bytes.chance(2) ? nullptr : memory.block((slots + 7) / 8, bytes));
  if (format == "u" || format == "U") {
    const bool wide = format == "U";
    const std::size_t width = wide ? 8 : 4;
    auto* offsets = static_cast<std::uint8_t*>(memory.block((slots + 1) * width, bytes));
    const bool ordered = !bytes.chance(4);
    std::int64_t offset = 0;
    for (std::size_t k = 0; k <= slots; ++k) {
      offset = ordered ? offset + bytes.below(6) : static_cast<std::int8_t>(bytes.next());
      if (wide)
        std::memcpy(offsets + k * 8, &offset, 8);
      else {
        auto narrow = static_cast<std::int32_t>(offset);
        std::memcpy(offsets + k * 4, &narrow, 4);
      }
    }
    buffers.push_back(offsets);
    buffers.push_back(
        memory.block(static_cast<std::size_t>(std::max<std::int64_t>(offset, 0)), bytes));
    return buffers;
  }
  if (format == "vu") {
    auto* views = static_cast<std::uint8_t*>(memory.block(slots * 16, bytes));
    const int data_buffers = bytes.below(3);
    std::vector<std::int64_t> sizes;
    for (std::size_t k = 0; k < slots; ++k) {
      // Mostly sensible views: inline texts or ones into the data buffers.
      if (bytes.chance(3)) continue;  // keep the raw bytes from the input
      std::int32_t view[4] = {bytes.below(30), 0, bytes.below(4) - 1, bytes.below(40)};
      std::memcpy(views + k * 16, view, 16);
    }
    buffers.push_back(views);
    for (int k = 0; k < data_buffers; ++k) {
      sizes.push_back(bytes.below(64));
      buffers.push_back(memory.block(static_cast<std::size_t>(sizes.back()), bytes));
    }
    auto* size_block = static_cast<std::int64_t*>(memory.block(sizes.size() * 8, bytes));
    std::copy(sizes.begin(), sizes.end(), size_block);
    buffers.push_back(size_block);
    return buffers;
  }
  buffers.push_back(format == "b" ? memory.block((slots + 7) / 8, bytes)
                                  : memory.block(slots * width_of(format), bytes));
  return buffers;
}

// A leaf array of `format` (at most 40 slots), its counts sometimes off.
inline ArrowArray* leaf_array(const std::string& format, std::int64_t length, Memory& memory,
                              Bytes& bytes) {
  ArrowArray* array = new_array(memory);
  array->length = bytes.chance(8) ? bytes.below(40) - 2 : length;
  array->offset = bytes.chance(3) ? bytes.below(5) - (bytes.chance(8) ? 3 : 0) : 0;
  const std::int64_t end = array->offset + array->length;
  std::vector<const void*> buffers = leaf_buffers(format, end, memory, bytes);
  array->null_count = bytes.chance(2) ? 0 : bytes.below(6) - 1;
  if (bytes.chance(10)) {  // a buffer list of the wrong size, or with holes
    // A string view's last buffer lists the sizes of the data buffers before
    // it; dropping one keeps the list last (with a size to spare), as
    // nothing could tell a list too short for its count.
    if (bytes.chance(2))
      buffers.push_back(nullptr);
    else if (format == "vu")
      buffers.erase(buffers.end() - 2);
    else
      buffers.pop_back();
    if (!buffers.empty() && bytes.chance(2))
      buffers[bytes.below(static_cast<int>(buffers.size()))] = nullptr;
  }
  memory.buffer_lists.push_back(std::make_unique<std::vector<const void*>>(std::move(buffers)));
  array->n_buffers = static_cast<std::int64_t>(memory.buffer_lists.back()->size());
  array->buffers = memory.buffer_lists.back()->data();
  if (bytes.chance(20)) {  // a child where a leaf has none
    memory.array_lists.push_back(
        std::make_unique<std::vector<ArrowArray*>>(1, leaf_array("i", 1, memory, bytes)));
    array->n_children = 1;
    array->children = memory.array_lists.back()->data();
  }
  return array;
}

// Indices of a dictionary-encoded column: mostly inside the dictionary.
inline void write_indices(ArrowArray& array, const std::string& format, std::int64_t values,
                          Bytes& bytes) {
  const bool integers = format.size() == 1 && std::strchr("cCsSiIlL", format[0]) != nullptr;
  if (!integers || array.n_buffers < 2 || array.buffers[1] == nullptr) return;
  const std::int64_t width = width_of(format);
  auto* data = static_cast<std::uint8_t*>(const_cast<void*>(array.buffers[1]));
  for (std::int64_t k = 0; k < std::max<std::int64_t>(array.offset + array.length, 0); ++k) {
    std::int64_t index = bytes.below(static_cast<int>(values) + 3) - 1;
    std::memcpy(data + k * width, &index, static_cast<std::size_t>(width));  // little-endian
  }
}

// The schema: a struct of up to seven fields, mostly the wanted columns in
// order with a type that column takes.
struct Plan {
  std::string format = "+s";
  std::vector<std::string> names;
  std::vector<bool> named;
  std::vector<FieldPlan> fields;
};

inline FieldPlan field_plan(int column, Bytes& bytes) {
  FieldPlan field;
  if (column < 6 && !bytes.chance(6))
    field.format = plausible[column][bytes.below(3)];
  else if (bytes.chance(8))
    field.format = bytes.word(12);  // any text at all
  else
    field.format = formats[bytes.below(static_cast<int>(std::size(formats)))];
  if ((column == 1 || column == 5) && bytes.chance(3)) {
    field.dictionary_format = field.format;
    field.format = formats[bytes.below(8)];  // an integer index type
  }
  return field;
}

inline Plan plan_schema(Bytes& bytes) {
  Plan plan;
  if (bytes.chance(16)) plan.format = formats[bytes.below(read_formats)];
  const int columns = bytes.chance(4) ? bytes.below(8) : 6 + bytes.below(2);
  for (int k = 0; k < columns; ++k) {
    const bool canonical = !bytes.chance(5);
    const int name = canonical ? k : bytes.below(8);
    plan.named.push_back(name < 7);
    plan.names.push_back(name < 6 ? wanted_names[name] : "extra");
    plan.fields.push_back(field_plan(canonical ? k : 6, bytes));
  }
  return plan;
}

inline ArrowSchema* build_schema(const Plan& plan, Memory& memory, Bytes& bytes) {
  ArrowSchema* schema = new_schema(memory);
  schema->format = memory.text(plan.format);
  auto children = std::make_unique<std::vector<ArrowSchema*>>();
  for (std::size_t k = 0; k < plan.fields.size(); ++k) {
    ArrowSchema* field = new_schema(memory);
    field->format = memory.text(plan.fields[k].format);
    field->name = plan.named[k] ? memory.text(plan.names[k]) : nullptr;
    if (!plan.fields[k].dictionary_format.empty()) {
      field->dictionary = new_schema(memory);
      field->dictionary->format = memory.text(plan.fields[k].dictionary_format);
    }
    if (bytes.chance(24)) {  // a child field where the type has none
      field->n_children = 1;
      memory.schema_lists.push_back(
          std::make_unique<std::vector<ArrowSchema*>>(1, new_schema(memory)));
      memory.schema_lists.back()->front()->format = "i";
      field->children = memory.schema_lists.back()->data();
    }
    children->push_back(bytes.chance(40) ? nullptr : field);
  }
  schema->n_children = static_cast<std::int64_t>(children->size());
  schema->children = children->data();
  memory.schema_lists.push_back(std::move(children));
  return schema;
}

// One record batch following the plan, its shape sometimes off.
inline ArrowArray* build_batch(const Plan& plan, Memory& memory, Bytes& bytes) {
  ArrowArray* batch = new_array(memory);
  batch->length = bytes.chance(12) ? bytes.below(8) - 3 : bytes.below(24);
  batch->offset = bytes.chance(4) ? bytes.below(4) : 0;
  batch->null_count = bytes.chance(12) ? 1 : 0;
  batch->n_buffers = 1;
  memory.buffer_lists.push_back(std::make_unique<std::vector<const void*>>(1, nullptr));
  batch->buffers = memory.buffer_lists.back()->data();
  std::size_t columns = plan.fields.size();
  if (bytes.chance(10)) columns = static_cast<std::size_t>(bytes.below(8));
  auto children = std::make_unique<std::vector<ArrowArray*>>();
  for (std::size_t k = 0; k < columns; ++k) {
    const FieldPlan field = k < plan.fields.size() ? plan.fields[k] : FieldPlan{"l", ""};
    const bool encoded = !field.dictionary_format.empty();
    const std::int64_t length = std::max<std::int64_t>(batch->offset + batch->length, 0);
    ArrowArray* array = leaf_array(field.format, length, memory, bytes);
    if (encoded != bytes.chance(12)) {
      const std::string values = encoded ? field.dictionary_format : "u";
      array->dictionary = leaf_array(values, bytes.below(12), memory, bytes);
      write_indices(*array, field.format, array->dictionary->length, bytes);
    }
    children->push_back(bytes.chance(50) ? nullptr : array);
  }
  batch->n_children = static_cast<std::int64_t>(children->size());
  batch->children = children->data();
  memory.array_lists.push_back(std::move(children));
  return batch;
}

// A stream of planned batches, failing at a chosen point or not at all.
struct StreamState {
  Plan plan;
  std::string input;
  std::unique_ptr<Bytes> bytes;
  int batches = 0;
  int given = 0;
  int fail_at = -1;  // -2: get_schema fails
  bool message = false;
};

inline int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto& state = *static_cast<StreamState*>(stream->private_data);
  if (state.fail_at == -2) return EIO;
  auto memory = std::make_unique<Memory>();
  *out = *build_schema(state.plan, *memory, *state.bytes);
  out->release = release_top<ArrowSchema>;
  out->private_data = memory.release();
  ++live_structs();
  return 0;
}

inline int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto& state = *static_cast<StreamState*>(stream->private_data);
  if (state.given == state.fail_at) return EINVAL;
  if (state.given++ >= state.batches) {
    *out = ArrowArray{};
    return 0;
  }
  auto memory = std::make_unique<Memory>();
  *out = *build_batch(state.plan, *memory, *state.bytes);
  out->release = release_top<ArrowArray>;
  out->private_data = memory.release();
  ++live_structs();
  return 0;
}

inline const char* stream_error(ArrowArrayStream* stream) {
  auto& state = *static_cast<StreamState*>(stream->private_data);
  return state.message ? "the producer failed \xff" : nullptr;
}

inline void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
  --live_structs();
}

// Rows of the batches handed out that were well formed enough to count.
inline std::int64_t& delivered_rows() {
  static std::int64_t rows = 0;
  return rows;
}

template <class Struct>
void hand_out(Struct& out, Struct* built, std::unique_ptr<Memory> memory) {
  out = *built;
  out.release = release_top<Struct>;
  out.private_data = memory.release();
  ++live_structs();
}

// Our own stream, or (option bit 1) one batch made a stream by the import's
// helper for producers that offer a single array.
inline ArrowArrayStream make_stream(Input input) {
  auto state = std::make_unique<StreamState>();
  state->input = std::string(input.text);
  state->bytes = std::make_unique<Bytes>(state->input);
  Bytes& bytes = *state->bytes;
  state->plan = plan_schema(bytes);
  state->batches = bytes.below(5);
  state->fail_at = bytes.chance(6) ? bytes.below(6) - 2 : -1;
  state->message = bytes.chance(2);
  ArrowArrayStream stream{};
  if (input.options & 2) {
    ArrowSchema schema{};
    ArrowArray batch{};
    auto schema_memory = std::make_unique<Memory>();
    ArrowSchema* built_schema = build_schema(state->plan, *schema_memory, bytes);
    hand_out(schema, built_schema, std::move(schema_memory));
    auto batch_memory = std::make_unique<Memory>();
    ArrowArray* built_batch = build_batch(state->plan, *batch_memory, bytes);
    hand_out(batch, built_batch, std::move(batch_memory));
    textgrid::arrow::single_batch_stream(schema, batch, stream);
    return stream;  // its release frees what the import did not take
  }
  stream =
      ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state.release()};
  ++live_structs();
  return stream;
}

}  // namespace fuzz::arrow_input

namespace fuzz {

// Option bit 0: read per-file bounds (for up to 7 files, bits 2-4) rather
// than corpus rows; bit 1: a single batch. The rest builds the stream.
inline bool check_arrow_import(Input input) {
  arrow_input::live_structs() = 0;
  ArrowArrayStream stream = arrow_input::make_stream(input);
  bool consistent = true;
  if (input.options & 1) {
    const std::size_t files = (input.options >> 2) & 7;
    auto bounds = textgrid::arrow::read_file_bounds(stream, files);
    consistent = !bounds || (bounds->tmins.size() == files && bounds->tmaxs.size() == files);
  } else {
    auto columns = textgrid::arrow::read_corpus_columns(stream);
    if (columns) {
      const std::size_t rows = columns->file_ids.size();
      consistent = columns->tier_names.size() == rows && columns->is_intervals.size() == rows &&
                   columns->tmins.size() == rows && columns->tmaxs.size() == rows &&
                   columns->labels.size() == rows;
    }
  }
  // Whatever happened, everything handed over was released, and only once.
  return consistent && stream.release == nullptr && arrow_input::live_structs() == 0;
}

}  // namespace fuzz
