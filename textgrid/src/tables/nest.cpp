// Joining the items of a child tier to the items of a parent tier that
// contain them. The stream is read once, keeping its batches; the rows of the
// two tiers are found with one comparison per distinct tier name of a batch,
// grouped by file with one counting pass, matched file by file (pointers that
// only move forward when the tiers are in time order, as read files are), and
// the child rows' columns are copied out into one batch.
#include "textgrid/tables/nest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "arrow_checks.hpp"
#include "textgrid/tables/arrow_access.hpp"
#include "textgrid/tables/arrow_take.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/tables/nest_match.hpp"

namespace textgrid::arrow {
namespace {

struct KeyColumns {
  std::size_t file_id, tier_name, tmin, tmax, label;
};

Result<std::size_t> find_column(const ArrowSchema& schema, std::string_view name) {
  for (std::int64_t child = 0; child < schema.n_children; ++child) {
    const char* found = schema.children[child]->name;
    if (found != nullptr && name == found) return static_cast<std::size_t>(child);
  }
  return std::unexpected(invalid_input("the table has no column '" + std::string(name) + "'"));
}

Result<KeyColumns> key_columns(const ArrowSchema& schema) {
  if (std::string_view(schema.format) != "+s")
    return std::unexpected(invalid_input("the Arrow stream does not hold record batches"));
  KeyColumns keys{};
  std::pair<std::string_view, std::size_t*> wanted[] = {{"file_id", &keys.file_id},
                                                        {"tier_name", &keys.tier_name},
                                                        {"tmin", &keys.tmin},
                                                        {"tmax", &keys.tmax},
                                                        {"label", &keys.label}};
  for (auto& [name, slot] : wanted) {
    Result<std::size_t> found = find_column(schema, name);
    if (!found) return std::unexpected(found.error());
    *slot = *found;
  }
  const ArrowSchema& ids = *schema.children[keys.file_id];
  if (ids.dictionary != nullptr || !is_integer(ids.format))
    return std::unexpected(column_error(
        "file_id", "has Arrow type '" + std::string(ids.format) + "'; expected an integer type"));
  for (std::size_t time : {keys.tmin, keys.tmax}) {
    const ArrowSchema& field = *schema.children[time];
    if (field.dictionary != nullptr || number_width(field.format) == 0 ||
        std::string_view(field.format) == "e")
      return std::unexpected(column_error(
          field.name, "has Arrow type '" + std::string(field.format) + "'; expected float64"));
  }
  for (std::size_t text : {keys.tier_name, keys.label}) {
    Result<Carried> kind = carried_kind(*schema.children[text]);
    if (!kind || *kind != Carried::text)
      return std::unexpected(column_error(
          schema.children[text]->name,
          "has Arrow type '" + std::string(schema.children[text]->format) + "'; expected text"));
  }
  return keys;
}

// Rows of the two tiers, in stream order: where they are and what they hold.
struct TierRows {
  Buffer<std::uint32_t> child_batch;
  Buffer<std::int64_t> child_row;
  Buffer<std::uint32_t> child_file;  // the file's slot
  Buffer<double> child_tmin, child_tmax;
  Buffer<std::uint32_t> parent_batch;
  Buffer<std::int64_t> parent_row;
  Buffer<std::uint32_t> parent_file;
  Buffer<double> parent_tmin, parent_tmax;
  std::unordered_map<std::int64_t, std::uint32_t> file_slots;

  std::uint32_t slot_of(std::int64_t file_id) {
    return file_slots.try_emplace(file_id, static_cast<std::uint32_t>(file_slots.size()))
        .first->second;
  }
};

// Which tier each row of a batch belongs to: bit 1 the parent, bit 2 the
// child. A dictionary's names are compared once each, not once per row.
Status roles_of(const ColumnView& names, std::int64_t length, std::string_view parent,
                std::string_view child, Buffer<std::uint8_t>& roles) {
  auto role = [&](const std::optional<std::string_view>& name) -> std::uint8_t {
    if (!name) return 0;
    return static_cast<std::uint8_t>((*name == parent ? 1 : 0) | (*name == child ? 2 : 0));
  };
  roles.append_fill(0, static_cast<std::size_t>(length));
  const ArrowArray* values = names.array->dictionary;
  if (names.schema->dictionary != nullptr && values != nullptr) {
    Buffer<std::uint8_t> entry_roles;
    for (std::int64_t index = 0; index < values->length; ++index) {
      std::optional<std::string_view> name;
      std::string_view text;
      if (!is_null_at(*values, values->offset + index)) {
        if (!checked_text_value(names.schema->dictionary->format, *values, values->offset + index,
                                text))
          return std::unexpected(column_error("tier_name", "holds a text outside its buffers"));
        name = text;
      }
      entry_roles.push_back(role(name));
    }
    for (std::int64_t row = 0; row < length; ++row) {
      if (names.null(row)) continue;
      std::int64_t index =
          integer_value(names.schema->format[0], names.array->buffers[1], names.base + row);
      if (index < 0 || index >= values->length)
        return std::unexpected(column_error("tier_name", "holds a dictionary index out of range"));
      roles[static_cast<std::size_t>(row)] = entry_roles[static_cast<std::size_t>(index)];
    }
    return {};
  }
  for (std::int64_t row = 0; row < length; ++row) {
    std::optional<std::string_view> name;
    if (!names.text(row, name))
      return std::unexpected(column_error(
          "tier_name", "holds a text outside its buffers or a dictionary index out of range"));
    roles[static_cast<std::size_t>(row)] = role(name);
  }
  return {};
}

Status collect_rows(const ArrowSchema& schema, const ArrowArray& batch, std::uint32_t number,
                    const KeyColumns& keys, std::string_view parent, std::string_view child,
                    TierRows& rows) {
  Buffer<std::uint8_t> roles;
  if (Status found =
          roles_of(column_of(schema, batch, keys.tier_name), batch.length, parent, child, roles);
      !found)
    return found;
  const ColumnView ids = column_of(schema, batch, keys.file_id);
  const ColumnView tmins = column_of(schema, batch, keys.tmin);
  const ColumnView tmaxs = column_of(schema, batch, keys.tmax);
  for (std::int64_t row = 0; row < batch.length; ++row) {
    const std::uint8_t role = roles[static_cast<std::size_t>(row)];
    if (role == 0) continue;
    if (ids.null(row)) return std::unexpected(column_error("file_id", "holds a null"));
    const std::uint32_t file =
        rows.slot_of(integer_value(ids.schema->format[0], ids.array->buffers[1], ids.base + row));
    if (role & 1) {
      rows.parent_batch.push_back(number);
      rows.parent_row.push_back(row);
      rows.parent_file.push_back(file);
      rows.parent_tmin.push_back(tmins.number(row));
      rows.parent_tmax.push_back(tmaxs.number(row));
    }
    if (role & 2) {
      rows.child_batch.push_back(number);
      rows.child_row.push_back(row);
      rows.child_file.push_back(file);
      rows.child_tmin.push_back(tmins.number(row));
      rows.child_tmax.push_back(tmaxs.number(row));
    }
  }
  return {};
}

// Entries of each file, in stream order: file f's are order[starts[f] .. starts[f + 1]).
struct ByFile {
  Buffer<std::size_t> starts;
  Buffer<std::size_t> order;
};

ByFile group_by_file(const Buffer<std::uint32_t>& files, std::size_t file_count) {
  ByFile grouped;
  grouped.starts.append_fill(0, file_count + 1);
  for (std::uint32_t file : files) ++grouped.starts[file + 1];
  for (std::size_t f = 0; f < file_count; ++f) grouped.starts[f + 1] += grouped.starts[f];
  Buffer<std::size_t> next = grouped.starts;
  grouped.order.append_fill(0, files.size());
  for (std::size_t k = 0; k < files.size(); ++k) grouped.order[next[files[k]]++] = k;
  return grouped;
}

// For each child row, the parent row (an index into the parent entries) that
// contains it, or none.
Buffer<std::size_t> match_parents(const TierRows& rows) {
  constexpr std::size_t none = no_parent;
  const std::size_t files = rows.file_slots.size();
  const ByFile parents = group_by_file(rows.parent_file, files);
  const ByFile children = group_by_file(rows.child_file, files);
  Buffer<std::size_t> matched;
  matched.append_fill(none, rows.child_row.size());
  std::vector<Span> spans;
  std::vector<Span> queries;
  std::vector<std::size_t> found;
  for (std::size_t f = 0; f < files; ++f) {
    spans.clear();
    queries.clear();
    for (std::size_t k = parents.starts[f]; k < parents.starts[f + 1]; ++k) {
      std::size_t entry = parents.order[k];
      spans.push_back({rows.parent_tmin[entry], rows.parent_tmax[entry]});
    }
    for (std::size_t k = children.starts[f]; k < children.starts[f + 1]; ++k) {
      std::size_t entry = children.order[k];
      queries.push_back({rows.child_tmin[entry], rows.child_tmax[entry]});
    }
    earliest_containing(spans, queries, found);
    for (std::size_t q = 0; q < queries.size(); ++q)
      if (found[q] != none)
        matched[children.order[children.starts[f] + q]] =
            parents.order[parents.starts[f] + found[q]];
  }
  return matched;
}

// Positions of the parent entries among their file's parent items.
Buffer<std::uint32_t> parent_positions(const TierRows& rows) {
  Buffer<std::uint32_t> positions;
  std::vector<std::uint32_t> seen(rows.file_slots.size(), 0);
  for (std::uint32_t file : rows.parent_file) positions.push_back(seen[file]++);
  return positions;
}

// A column of the parent's values: null where the child has no parent.
template <class T>
ArrayData parent_column(Buffer<T>&& values, const Buffer<std::size_t>& matched) {
  Bitmap valid;
  for (std::size_t p : matched) valid.append(p != no_parent);
  ArrayData data;
  data.length = static_cast<std::int64_t>(values.size());
  data.null_count = static_cast<std::int64_t>(valid.count_zeros());
  data.buffers.push_back(data.null_count == 0 ? Storage()
                                              : Storage::adopt(std::move(valid).take()));
  data.buffers.push_back(Storage::adopt(std::move(values)));
  return data;
}

Field output_schema(const ArrowSchema& input, const std::vector<ColumnCopy>& copies,
                    bool large_parent_labels) {
  Field schema{"", "+s", false, {}, {}};
  for (std::int64_t k = 0; k < input.n_children; ++k) {
    const ArrowSchema& field = *input.children[k];
    schema.children.push_back(Field{field.name ? field.name : "",
                                    copies[static_cast<std::size_t>(k)].format(field),
                                    true,
                                    {},
                                    {}});
  }
  schema.children.push_back(Field{"parent_label", large_parent_labels ? "U" : "u", true, {}, {}});
  schema.children.push_back(Field{"parent_tmin", "g", true, {}, {}});
  schema.children.push_back(Field{"parent_tmax", "g", true, {}, {}});
  schema.children.push_back(Field{"parent_index", "I", true, {}, {}});
  return schema;
}

}  // namespace

namespace {

// The batch's shape and every column's layout, before any value is read.
Status check_nested_batch(const ArrowSchema& schema, const ArrowArray& batch, std::int64_t index) {
  if (Status shaped = check_batch(schema, batch, index); !shaped) return shaped;
  for (std::int64_t k = 0; k < schema.n_children; ++k) {
    const ArrowSchema& field = *schema.children[k];
    if (Status fits = check_column(field, *batch.children[k], field.name ? field.name : "",
                                   batch.offset, batch.length, index);
        !fits)
      return fits;
  }
  return {};
}

}  // namespace

Result<std::shared_ptr<const Table>> nest_tiers(ArrowArrayStream& raw_stream,
                                                std::string_view parent, std::string_view child) {
  OwnedStruct<ArrowArrayStream> stream;
  stream.value = raw_stream;
  raw_stream.release = nullptr;
  auto stream_error = [&](int code) {
    const char* message = stream.value.get_last_error != nullptr
                              ? stream.value.get_last_error(&stream.value)
                              : nullptr;
    return std::unexpected(invalid_input(
        "reading the Arrow stream failed: " +
        (message ? with_replacement_characters(message) : std::string(std::strerror(code)))));
  };
  if (stream.value.get_schema == nullptr || stream.value.get_next == nullptr)
    return std::unexpected(invalid_input("the Arrow stream lacks its callbacks"));
  OwnedStruct<ArrowSchema> schema;
  if (int code = stream.value.get_schema(&stream.value, &schema.value); code != 0)
    return stream_error(code);
  // Nothing from outside is used before it is checked (see arrow_checks.hpp).
  if (Status valid = check_struct_schema(schema.value); !valid)
    return std::unexpected(valid.error());
  Result<KeyColumns> keys = key_columns(schema.value);
  if (!keys) return std::unexpected(keys.error());
  std::vector<ColumnCopy> copies;
  for (std::int64_t k = 0; k < schema.value.n_children; ++k) {
    Result<Carried> kind = carried_kind(*schema.value.children[k]);
    if (!kind) return std::unexpected(kind.error());
    copies.emplace_back(*kind, number_width(schema.value.children[k]->format));
  }
  // Every batch is kept: the child rows are copied out once all are matched.
  std::vector<std::unique_ptr<OwnedStruct<ArrowArray>>> batches;
  TierRows rows;
  for (;;) {
    auto batch = std::make_unique<OwnedStruct<ArrowArray>>();
    if (int code = stream.value.get_next(&stream.value, &batch->value); code != 0)
      return stream_error(code);
    if (batch->value.release == nullptr) break;
    if (Status valid = check_nested_batch(schema.value, batch->value,
                                          static_cast<std::int64_t>(batches.size()));
        !valid)
      return std::unexpected(valid.error());
    if (Status collected =
            collect_rows(schema.value, batch->value, static_cast<std::uint32_t>(batches.size()),
                         *keys, parent, child, rows);
        !collected)
      return std::unexpected(collected.error());
    batches.push_back(std::move(batch));
  }
  const Buffer<std::size_t> matched = match_parents(rows);
  const Buffer<std::uint32_t> positions = parent_positions(rows);
  const std::size_t n = rows.child_row.size();
  for (std::size_t k = 0; k < copies.size(); ++k)
    for (std::size_t c = 0; c < n; ++c)
      if (Status copied = copies[k].append(
              column_of(schema.value, batches[rows.child_batch[c]]->value, k), rows.child_row[c]);
          !copied)
        return std::unexpected(copied.error());
  ColumnCopy labels(Carried::text, 0);
  Buffer<std::uint32_t> indices;
  Buffer<double> parent_tmins, parent_tmaxs;
  for (std::size_t c = 0; c < n; ++c) {
    const std::size_t p = matched[c];
    indices.push_back(p == no_parent ? 0 : positions[p]);
    if (p == no_parent) {
      labels.append_null();
      parent_tmins.push_back(0.0);
      parent_tmaxs.push_back(0.0);
      continue;
    }
    if (Status copied = labels.append(
            column_of(schema.value, batches[rows.parent_batch[p]]->value, keys->label),
            rows.parent_row[p]);
        !copied)
      return std::unexpected(copied.error());
    parent_tmins.push_back(rows.parent_tmin[p]);
    parent_tmaxs.push_back(rows.parent_tmax[p]);
  }
  auto table = std::make_shared<Table>();
  table->schema = output_schema(schema.value, copies, labels.large_text());
  std::vector<ArrayData> columns;
  for (ColumnCopy& copy : copies) columns.push_back(std::move(copy).finish());
  columns.push_back(std::move(labels).finish());
  columns.push_back(parent_column(std::move(parent_tmins), matched));
  columns.push_back(parent_column(std::move(parent_tmaxs), matched));
  columns.push_back(parent_column(std::move(indices), matched));
  table->batches.push_back(struct_batch(static_cast<std::int64_t>(n), std::move(columns)));
  return std::shared_ptr<const Table>(std::move(table));
}

}  // namespace textgrid::arrow
