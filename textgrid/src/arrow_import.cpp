// Reading the columns of imported Arrow streams into the core's column types.
// Producers differ in how they lay out the same values (offsets of either
// width, string views, dictionaries, batches sliced with offsets), so every
// access goes through the array's own offset and layout. Columns grow by
// appending (geometrically): an exact reserve per batch would copy everything
// read so far once per batch.
#include "textgrid/arrow_import.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace textgrid::arrow {
namespace {

template <class T>
T load(const void* buffer, std::int64_t index) noexcept {
  T value;
  std::memcpy(&value,
              static_cast<const char*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof value);
  return value;
}

bool bit_at(const void* bitmap, std::int64_t index) noexcept {
  return (static_cast<const std::uint8_t*>(bitmap)[index / 8] >> (index % 8)) & 1;
}

// Releases what it holds, whatever path the reading takes.
template <class Struct>
struct Owned {
  Struct value{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (value.release != nullptr) value.release(&value);
  }
};

// One column of one batch: its type, its array, and where its rows start.
struct Column {
  std::string_view name;
  const ArrowSchema* schema;
  const ArrowArray* array;
  std::int64_t offset;

  bool is_null(std::int64_t row) const noexcept {
    return array->null_count != 0 && array->buffers[0] != nullptr &&
           !bit_at(array->buffers[0], offset + row);
  }
};

Error column_error(std::string_view column, std::string_view what) {
  return invalid_input("column '" + std::string(column) + "' " + std::string(what));
}

bool is_integer_format(std::string_view format) {
  return format.size() == 1 &&
         std::string_view("cCsSiIlL").find(format[0]) != std::string_view::npos;
}

// The integer at `row` (already offset) of an integer array, widened; false
// for an unsigned value beyond the signed range.
bool integer_at(char format, const void* data, std::int64_t row, std::int64_t& value) noexcept {
  switch (format) {
    case 'c':
      value = load<std::int8_t>(data, row);
      return true;
    case 'C':
      value = load<std::uint8_t>(data, row);
      return true;
    case 's':
      value = load<std::int16_t>(data, row);
      return true;
    case 'S':
      value = load<std::uint16_t>(data, row);
      return true;
    case 'i':
      value = load<std::int32_t>(data, row);
      return true;
    case 'I':
      value = load<std::uint32_t>(data, row);
      return true;
    case 'l':
      value = load<std::int64_t>(data, row);
      return true;
    default: {
      std::uint64_t wide = load<std::uint64_t>(data, row);
      value = static_cast<std::int64_t>(wide);
      return wide <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    }
  }
}

// Texts of a utf8 ("u"), large_utf8 ("U") or utf8_view ("vu") array.
class TextAccess {
 public:
  static Result<TextAccess> make(const ArrowSchema& schema, const ArrowArray& array,
                                 std::string_view column) {
    std::string_view format = schema.format;
    if (format != "u" && format != "U" && format != "vu")
      return std::unexpected(
          column_error(column, "has Arrow type '" + std::string(format) + "'; expected text"));
    return TextAccess(format, array);
  }

  // `row` counts from the array's start, its offset not yet added.
  std::string_view at(std::int64_t row) const noexcept {
    const std::int64_t at = array_->offset + row;
    if (format_ == "u") {
      std::int32_t begin = load<std::int32_t>(array_->buffers[1], at);
      std::int32_t end = load<std::int32_t>(array_->buffers[1], at + 1);
      return {static_cast<const char*>(array_->buffers[2]) + begin,
              static_cast<std::size_t>(end - begin)};
    }
    if (format_ == "U") {
      std::int64_t begin = load<std::int64_t>(array_->buffers[1], at);
      std::int64_t end = load<std::int64_t>(array_->buffers[1], at + 1);
      return {static_cast<const char*>(array_->buffers[2]) + begin,
              static_cast<std::size_t>(end - begin)};
    }
    // A view is 16 bytes: the length, then up to 12 bytes inline, or a
    // prefix, the data buffer's number and the offset in it.
    const char* view = static_cast<const char*>(array_->buffers[1]) + at * 16;
    std::int32_t length = load<std::int32_t>(view, 0);
    if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
    std::int32_t buffer = load<std::int32_t>(view + 8, 0);
    std::int32_t offset = load<std::int32_t>(view + 12, 0);
    return {static_cast<const char*>(array_->buffers[2 + buffer]) + offset,
            static_cast<std::size_t>(length)};
  }

  bool is_null(std::int64_t row) const noexcept {
    return array_->null_count != 0 && array_->buffers[0] != nullptr &&
           !bit_at(array_->buffers[0], array_->offset + row);
  }

 private:
  TextAccess(std::string_view format, const ArrowArray& array) : format_(format), array_(&array) {}
  std::string_view format_;
  const ArrowArray* array_;
};

// Appends the column's texts; a null gives `null_text`, or an error when there is none.
Status append_texts(const Column& column, std::int64_t length, std::vector<std::string>& texts,
                    const std::string* null_text) {
  const ArrowSchema* dictionary = column.schema->dictionary;
  auto null_value = [&]() -> Status {
    if (null_text == nullptr) return std::unexpected(column_error(column.name, "holds a null"));
    texts.push_back(*null_text);
    return {};
  };
  if (dictionary == nullptr) {
    // A plain text column: its array offset is the column's own.
    auto access = TextAccess::make(*column.schema, *column.array, column.name);
    if (!access) return std::unexpected(access.error());
    for (std::int64_t row = column.offset - column.array->offset, end = row + length; row < end;
         ++row) {
      if (access->is_null(row)) {
        if (Status added = null_value(); !added) return added;
      } else {
        texts.emplace_back(access->at(row));
      }
    }
    return {};
  }
  if (column.array->dictionary == nullptr)
    return std::unexpected(column_error(column.name, "lacks its dictionary"));
  auto values = TextAccess::make(*dictionary, *column.array->dictionary, column.name);
  if (!values) return std::unexpected(values.error());
  const char format = column.schema->format[0];
  for (std::int64_t row = 0; row < length; ++row) {
    std::int64_t index = 0;
    if (column.is_null(row)) {
      if (Status added = null_value(); !added) return added;
      continue;
    }
    if (!integer_at(format, column.array->buffers[1], column.offset + row, index) || index < 0 ||
        index >= column.array->dictionary->length)
      return std::unexpected(column_error(column.name, "holds a dictionary index out of range"));
    if (values->is_null(index)) {
      if (Status added = null_value(); !added) return added;
      continue;
    }
    texts.emplace_back(values->at(index));
  }
  return {};
}

double number_at(std::string_view format, const void* data, std::int64_t at) noexcept {
  if (format == "g") return load<double>(data, at);
  if (format == "f") return load<float>(data, at);
  std::int64_t integer = 0;
  integer_at(format[0], data, at, integer);
  return static_cast<double>(integer);
}

// Numbers (as double) of a float64, float32 or integer column. A null is an
// error unless `valid` is given, which then records which rows hold a value.
Status append_numbers(const Column& column, std::int64_t length, Buffer<double>& numbers,
                      Buffer<bool>* valid) {
  std::string_view format = column.schema->format;
  const void* data = column.array->buffers[1];
  for (std::int64_t row = 0; row < length; ++row) {
    const bool present = !column.is_null(row);
    if (!present && valid == nullptr)
      return std::unexpected(column_error(column.name, "holds a null"));
    if (valid != nullptr) valid->push_back(present);
    numbers.push_back(present ? number_at(format, data, column.offset + row) : 0.0);
  }
  return {};
}

Status append_ids(const Column& column, std::int64_t length, Buffer<std::uint64_t>& ids) {
  std::string_view format = column.schema->format;
  for (std::int64_t row = 0; row < length; ++row) {
    std::int64_t id = 0;
    if (column.is_null(row)) return std::unexpected(column_error(column.name, "holds a null"));
    if (!integer_at(format[0], column.array->buffers[1], column.offset + row, id) || id < 0)
      return std::unexpected(
          column_error(column.name, "holds an id that is negative or too large"));
    ids.push_back(static_cast<std::uint64_t>(id));
  }
  return {};
}

Status append_flags(const Column& column, std::int64_t length, Buffer<bool>& flags) {
  for (std::int64_t row = 0; row < length; ++row) {
    if (column.is_null(row)) return std::unexpected(column_error(column.name, "holds a null"));
    flags.push_back(bit_at(column.array->buffers[1], column.offset + row));
  }
  return {};
}

// What a column must hold, checked on the schema so that a stream without
// batches is refused as surely as one with.
enum class Kind { ids, text, flags, numbers };

struct Wanted {
  std::string_view name;
  Kind kind;
};

bool is_text_format(std::string_view format) {
  return format == "u" || format == "U" || format == "vu";
}

Status check_type(const Wanted& wanted, const ArrowSchema& field) {
  std::string_view format = field.format;
  const bool plain = field.dictionary == nullptr;
  bool fits = false;
  std::string_view expected;
  switch (wanted.kind) {
    case Kind::ids:
      fits = plain && is_integer_format(format);
      expected = "an integer type";
      break;
    case Kind::flags:
      fits = plain && format == "b";
      expected = "bool";
      break;
    case Kind::numbers:
      fits = plain && (format == "g" || format == "f" || is_integer_format(format));
      expected = "float64";
      break;
    case Kind::text:
      fits = plain ? is_text_format(format)
                   : is_integer_format(format) && is_text_format(field.dictionary->format);
      expected = "text";
      break;
  }
  if (fits) return {};
  return std::unexpected(column_error(wanted.name, "has Arrow type '" + std::string(format) +
                                                       "'; expected " + std::string(expected)));
}

// Positions of the wanted columns in a struct schema, their types checked.
template <std::size_t N>
Result<std::array<std::size_t, N>> find_columns(const ArrowSchema& schema,
                                                const std::array<Wanted, N>& wanted) {
  if (std::string_view(schema.format) != "+s")
    return std::unexpected(invalid_input("the Arrow stream does not hold record batches"));
  std::array<std::size_t, N> positions;
  for (std::size_t k = 0; k < N; ++k) {
    positions[k] = static_cast<std::size_t>(-1);
    for (std::int64_t child = 0; child < schema.n_children; ++child) {
      const char* name = schema.children[child]->name;
      if (name != nullptr && wanted[k].name == name) positions[k] = static_cast<std::size_t>(child);
    }
    if (positions[k] == static_cast<std::size_t>(-1))
      return std::unexpected(
          invalid_input("the table has no column '" + std::string(wanted[k].name) + "'"));
    if (Status fits = check_type(wanted[k], *schema.children[positions[k]]); !fits)
      return std::unexpected(fits.error());
  }
  return positions;
}

// Calls `read_batch(columns, length)` for every batch of the stream, with the
// wanted columns in their order.
template <std::size_t N, class ReadBatch>
Status for_each_batch(ArrowArrayStream& raw_stream, const std::array<Wanted, N>& wanted,
                      ReadBatch&& read_batch) {
  Owned<ArrowArrayStream> stream;
  stream.value = raw_stream;
  raw_stream.release = nullptr;
  auto stream_error = [&](int code) {
    const char* message = stream.value.get_last_error(&stream.value);
    return std::unexpected(invalid_input("reading the Arrow stream failed: " +
                                         std::string(message ? message : std::strerror(code))));
  };
  Owned<ArrowSchema> schema;
  if (int code = stream.value.get_schema(&stream.value, &schema.value); code != 0)
    return stream_error(code);
  auto positions = find_columns(schema.value, wanted);
  if (!positions) return std::unexpected(positions.error());
  for (;;) {
    Owned<ArrowArray> batch;
    if (int code = stream.value.get_next(&stream.value, &batch.value); code != 0)
      return stream_error(code);
    if (batch.value.release == nullptr) return {};
    std::array<Column, N> columns;
    for (std::size_t k = 0; k < N; ++k) {
      std::size_t child = (*positions)[k];
      const ArrowArray* array = batch.value.children[child];
      columns[k] = Column{wanted[k].name, schema.value.children[child], array,
                          batch.value.offset + array->offset};
    }
    if (Status read = read_batch(columns, batch.value.length); !read) return read;
  }
}

// The six columns of TextGrid rows, then the `extra` ones, read by `read_extra`.
template <std::size_t Extra, class ReadExtra>
Result<CorpusColumns> read_rows(ArrowArrayStream& stream, const std::array<Wanted, Extra>& extra,
                                ReadExtra&& read_extra) {
  std::array<Wanted, 6 + Extra> wanted = {
      Wanted{"file_id", Kind::ids},       Wanted{"tier_name", Kind::text},
      Wanted{"is_interval", Kind::flags}, Wanted{"tmin", Kind::numbers},
      Wanted{"tmax", Kind::numbers},      Wanted{"label", Kind::text}};
  for (std::size_t k = 0; k < Extra; ++k) wanted[6 + k] = extra[k];
  CorpusColumns corpus;
  const std::string empty_label;
  Status read = for_each_batch(
      stream, wanted, [&](const std::array<Column, 6 + Extra>& columns, std::int64_t length) {
        Status status = append_ids(columns[0], length, corpus.file_ids);
        if (status) status = append_texts(columns[1], length, corpus.tier_names, nullptr);
        if (status) status = append_flags(columns[2], length, corpus.is_intervals);
        if (status) status = append_numbers(columns[3], length, corpus.tmins, nullptr);
        if (status) status = append_numbers(columns[4], length, corpus.tmaxs, nullptr);
        if (status) status = append_texts(columns[5], length, corpus.labels, &empty_label);
        if (status) status = read_extra(columns, length, corpus);
        return status;
      });
  if (!read) return std::unexpected(read.error());
  return corpus;
}

}  // namespace

Result<CorpusColumns> read_corpus_columns(ArrowArrayStream& stream, bool tier_indices) {
  if (!tier_indices)
    return read_rows(stream, std::array<Wanted, 0>{},
                     [](const auto&, std::int64_t, CorpusColumns&) { return Status{}; });
  return read_rows(stream, std::array<Wanted, 1>{Wanted{"tier_index", Kind::ids}},
                   [](const auto& columns, std::int64_t length, CorpusColumns& corpus) {
                     return append_ids(columns[6], length, corpus.tier_indices);
                   });
}

bool has_column(ArrowArrayStream& stream, std::string_view name) {
  Owned<ArrowSchema> schema;
  if (stream.get_schema(&stream, &schema.value) != 0) return false;
  for (std::int64_t child = 0; child < schema.value.n_children; ++child) {
    const char* found = schema.value.children[child]->name;
    if (found != nullptr && name == found) return true;
  }
  return false;
}


Result<FileBounds> read_file_bounds(ArrowArrayStream& stream, std::size_t files) {
  static constexpr std::array<Wanted, 3> wanted = {
      Wanted{"file_id", Kind::ids}, Wanted{"tmin", Kind::numbers}, Wanted{"tmax", Kind::numbers}};
  Buffer<std::uint64_t> ids;
  Buffer<double> tmins, tmaxs;
  Buffer<bool> tmin_valid, tmax_valid;
  Status read = for_each_batch(stream, wanted,
                               [&](const std::array<Column, 3>& columns, std::int64_t length) {
                                 Status status = append_ids(columns[0], length, ids);
                                 if (status)
                                   status = append_numbers(columns[1], length, tmins, &tmin_valid);
                                 if (status)
                                   status = append_numbers(columns[2], length, tmaxs, &tmax_valid);
                                 return status;
                               });
  if (!read) return std::unexpected(read.error());
  FileBounds bounds;
  bounds.tmins.resize(files);
  bounds.tmaxs.resize(files);
  for (std::size_t row = 0; row < ids.size(); ++row) {
    if (ids[row] >= files)
      return std::unexpected(invalid_input("bounds name file id " + std::to_string(ids[row]) +
                                           " but only " + std::to_string(files) +
                                           " output files are given"));
    if (tmin_valid[row]) bounds.tmins[ids[row]] = tmins[row];
    if (tmax_valid[row]) bounds.tmaxs[ids[row]] = tmaxs[row];
  }
  return bounds;
}

}  // namespace textgrid::arrow
