// Reading the columns of imported Arrow streams into the core's column types.
// Producers differ in how they lay out the same values (offsets of either
// width, string views, dictionaries, batches sliced with offsets), so every
// access goes through the array's own offset and layout, and every batch is
// checked before it is read (see arrow_access.hpp). Columns grow by appending
// (geometrically): an exact reserve per batch would copy everything read so
// far once per batch.
#include "textgrid/tables/arrow_import.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "arrow_checks.hpp"
#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/reading/reader.hpp"

namespace textgrid::arrow {
namespace {

// Rows read between looks at cancellation.
constexpr std::int64_t rows_per_piece = std::int64_t{1} << 16;

// Appends the column's texts; a null gives `null_text`, or an error when there is none.
Status append_texts(const Column& column, std::int64_t length, std::vector<std::string>& texts,
                    const std::string* null_text) {
  auto append_null = [&](std::int64_t row) -> Status {
    if (null_text == nullptr) return std::unexpected(column.error_at(row, "a null"));
    texts.push_back(*null_text);
    return {};
  };
  const bool encoded = column.field->dictionary != nullptr;
  const ArrowArray& values_array = encoded ? *column.array->dictionary : *column.array;
  auto values = TextAccess::make(encoded ? column.field->dictionary->format : column.field->format,
                                 values_array);
  if (!values)
    return std::unexpected(
        invalid_input("column '" + std::string(column.name) + "' has " + values.error()));
  std::string_view text;
  for (std::int64_t row = 0; row < length; ++row) {
    if (column.is_null(row)) {
      if (Status added = append_null(row); !added) return added;
      continue;
    }
    std::int64_t at = column.first + row;
    if (encoded) {
      std::int64_t index = 0;
      if (!integer_at(column.field->format[0], column.array->buffers[1], at, index) || index < 0 ||
          index >= values_array.length)
        return std::unexpected(column.error_at(row, "a dictionary index out of range"));
      at = values_array.offset + index;
      if (values->is_null(at)) {
        if (Status added = append_null(row); !added) return added;
        continue;
      }
    }
    if (!values->text(at, text))
      return std::unexpected(column.error_at(row, "a text outside its buffers"));
    texts.emplace_back(text);
  }
  return {};
}

// Numbers (as double) of a float64, float32 or integer column. A null is an
// error unless `valid` is given, which then records which rows hold a value.
Status append_numbers(const Column& column, std::int64_t length, Buffer<double>& numbers,
                      Buffer<bool>* valid) {
  std::string_view format = column.field->format;
  const void* data = column.array->buffers[1];
  for (std::int64_t row = 0; row < length; ++row) {
    const bool present = !column.is_null(row);
    if (!present && valid == nullptr) return std::unexpected(column.error_at(row, "a null"));
    if (valid != nullptr) valid->push_back(present);
    numbers.push_back(present ? number_at(format, data, column.first + row) : 0.0);
  }
  return {};
}

Status append_ids(const Column& column, std::int64_t length, Buffer<std::uint64_t>& ids) {
  const char format = column.field->format[0];
  for (std::int64_t row = 0; row < length; ++row) {
    std::int64_t id = 0;
    if (column.is_null(row)) return std::unexpected(column.error_at(row, "a null"));
    if (!integer_at(format, column.array->buffers[1], column.first + row, id) || id < 0)
      return std::unexpected(column.error_at(row, "an id that is negative or too large"));
    ids.push_back(static_cast<std::uint64_t>(id));
  }
  return {};
}

Status append_flags(const Column& column, std::int64_t length, Buffer<bool>& flags) {
  for (std::int64_t row = 0; row < length; ++row) {
    if (column.is_null(row)) return std::unexpected(column.error_at(row, "a null"));
    flags.push_back(bit_set(column.array->buffers[1], column.first + row));
  }
  return {};
}

struct Wanted {
  std::string_view name;
  Kind kind;
  bool optional = false;  // a table without it reads as if it were not wanted
};

// Positions of the wanted columns in a struct schema, their types checked,
// so that a stream without batches is refused as surely as one with.
template <std::size_t N>
Result<std::array<std::int64_t, N>> find_columns(const ArrowSchema& schema,
                                                 const std::array<Wanted, N>& wanted) {
  if (Status valid = check_struct_schema(schema); !valid) return std::unexpected(valid.error());
  std::array<std::int64_t, N> positions;
  for (std::size_t k = 0; k < N; ++k) {
    positions[k] = -1;
    for (std::int64_t child = 0; child < schema.n_children; ++child) {
      const char* name = schema.children[child]->name;
      if (name == nullptr || wanted[k].name != name) continue;
      if (positions[k] >= 0)
        return std::unexpected(
            invalid_input("the table has two columns named '" + std::string(wanted[k].name) + "'"));
      positions[k] = child;
    }
    if (positions[k] < 0 && wanted[k].optional) continue;
    if (positions[k] < 0)
      return std::unexpected(
          invalid_input("the table has no column '" + std::string(wanted[k].name) + "'"));
    if (Status fits = check_field(wanted[k].name, wanted[k].kind, *schema.children[positions[k]]);
        !fits)
      return std::unexpected(fits.error());
  }
  return positions;
}

// The stream's own words for its failure, as valid UTF-8.
Error stream_error(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  return invalid_input("reading the Arrow stream failed: " +
                       (message != nullptr ? with_replacement_characters(message)
                                           : std::string(std::strerror(code))));
}

// Calls `read_piece(columns, length)` for every batch of the stream, in pieces
// of at most rows_per_piece rows, with the wanted columns in their order (an
// optional one the table lacks without an array).
template <std::size_t N, class ReadPiece>
Status for_each_batch(ArrowArrayStream& raw_stream, const std::array<Wanted, N>& wanted,
                      ReadPiece&& read_piece) {
  OwnedStruct<ArrowArrayStream> stream;
  stream.value = raw_stream;
  raw_stream.release = nullptr;
  if (stream.value.get_schema == nullptr || stream.value.get_next == nullptr)
    return std::unexpected(invalid_input("the Arrow stream lacks its callbacks"));
  OwnedStruct<ArrowSchema> schema;
  if (int code = stream.value.get_schema(&stream.value, &schema.value); code != 0)
    return std::unexpected(stream_error(stream.value, code));
  if (schema.value.release == nullptr)
    return std::unexpected(invalid_input("the Arrow stream gave no schema"));
  auto positions = find_columns(schema.value, wanted);
  if (!positions) return std::unexpected(positions.error());
  std::int64_t rows_before = 0;
  for (std::int64_t index = 0;; ++index) {
    throw_if_cancelled();
    OwnedStruct<ArrowArray> batch;
    if (int code = stream.value.get_next(&stream.value, &batch.value); code != 0)
      return std::unexpected(stream_error(stream.value, code));
    if (batch.value.release == nullptr) return {};
    if (Status shaped = check_batch(schema.value, batch.value, index); !shaped) return shaped;
    std::array<Column, N> columns{};
    for (std::size_t k = 0; k < N; ++k) {
      if ((*positions)[k] < 0) continue;
      const ArrowSchema& field = *schema.value.children[(*positions)[k]];
      const ArrowArray& array = *batch.value.children[(*positions)[k]];
      if (Status fits = check_column(field, array, wanted[k].name, batch.value.offset,
                                     batch.value.length, index);
          !fits)
        return fits;
      columns[k] =
          Column{wanted[k].name, &field, &array, array.offset + batch.value.offset, rows_before};
    }
    for (std::int64_t done = 0; done < batch.value.length; done += rows_per_piece) {
      if (done > 0) throw_if_cancelled();
      const std::int64_t piece = std::min(rows_per_piece, batch.value.length - done);
      if (Status read = read_piece(columns, piece); !read) return read;
      for (Column& column : columns) {
        column.first += piece;
        column.rows_before += piece;
      }
    }
    rows_before += batch.value.length;
  }
}

// The six columns of TextGrid rows, and the optional tier_index after them.
template <std::size_t N>
Result<CorpusColumns> read_rows(ArrowArrayStream& stream, const std::array<Wanted, N>& wanted) {
  CorpusColumns corpus;
  const std::string empty_label;
  Status read = for_each_batch(
      stream, wanted, [&](const std::array<Column, N>& columns, std::int64_t length) {
        Status status = append_ids(columns[0], length, corpus.file_ids);
        if (status) status = append_texts(columns[1], length, corpus.tier_names, nullptr);
        if (status) status = append_flags(columns[2], length, corpus.is_intervals);
        if (status) status = append_numbers(columns[3], length, corpus.tmins, nullptr);
        if (status) status = append_numbers(columns[4], length, corpus.tmaxs, nullptr);
        if (status) status = append_texts(columns[5], length, corpus.labels, &empty_label);
        if (N > 6 && status && columns[N - 1].array != nullptr)
          status = append_ids(columns[N - 1], length, corpus.tier_indices);
        return status;
      });
  if (!read) return std::unexpected(read.error());
  return corpus;
}

// The stream of one schema and one batch, each handed out once.
struct SingleBatch {
  OwnedStruct<ArrowSchema> schema;
  OwnedStruct<ArrowArray> batch;
};

int single_batch_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto& single = *static_cast<SingleBatch*>(stream->private_data);
  if (single.schema.value.release == nullptr) return EINVAL;
  *out = single.schema.value;
  single.schema.value.release = nullptr;
  return 0;
}

int single_batch_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto& single = *static_cast<SingleBatch*>(stream->private_data);
  *out = single.batch.value;  // after the batch: a released array, the end
  single.batch.value.release = nullptr;
  return 0;
}

const char* single_batch_error(ArrowArrayStream*) { return nullptr; }

void release_single_batch(ArrowArrayStream* stream) {
  delete static_cast<SingleBatch*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void single_batch_stream(ArrowSchema& schema, ArrowArray& batch, ArrowArrayStream& out) {
  auto single = std::make_unique<SingleBatch>();
  single->schema.value = schema;
  schema.release = nullptr;
  single->batch.value = batch;
  batch.release = nullptr;
  out = ArrowArrayStream{single_batch_schema, single_batch_next, single_batch_error,
                         release_single_batch, single.release()};
}

Result<CorpusColumns> read_corpus_columns(ArrowArrayStream& stream, TierIndices tier_indices) {
  static constexpr std::array<Wanted, 6> rows = {
      Wanted{"file_id", Kind::ids},       Wanted{"tier_name", Kind::text},
      Wanted{"is_interval", Kind::flags}, Wanted{"tmin", Kind::numbers},
      Wanted{"tmax", Kind::numbers},      Wanted{"label", Kind::text}};
  if (tier_indices == TierIndices::ignore) return read_rows(stream, rows);
  static constexpr std::array<Wanted, 7> rows_and_tiers = {
      rows[0], rows[1], rows[2], rows[3], rows[4], rows[5], Wanted{"tier_index", Kind::ids, true}};
  return read_rows(stream, rows_and_tiers);
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
