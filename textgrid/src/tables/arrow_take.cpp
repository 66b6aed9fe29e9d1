// Copying chosen rows of imported Arrow columns into columns of our own.
#include "textgrid/tables/arrow_take.hpp"

#include <limits>
#include <string>
#include <utility>

#include "textgrid/tables/arrow_access.hpp"

namespace textgrid::arrow {

Error column_error(std::string_view column, std::string_view what) {
  return invalid_input("column '" + std::string(column) + "' " + std::string(what));
}

bool ColumnView::null(std::int64_t row) const noexcept { return is_null_at(*array, base + row); }

bool ColumnView::text(std::int64_t row, std::optional<std::string_view>& value) const noexcept {
  value.reset();
  if (null(row)) return true;
  std::string_view text;
  if (schema->dictionary == nullptr) {
    if (!checked_text_value(schema->format, *array, base + row, text)) return false;
    value = text;
    return true;
  }
  const ArrowArray* values = array->dictionary;
  std::int64_t index = integer_value(schema->format[0], array->buffers[1], base + row);
  if (values == nullptr || index < 0 || index >= values->length) return false;
  if (is_null_at(*values, values->offset + index)) return true;
  if (!checked_text_value(schema->dictionary->format, *values, values->offset + index, text))
    return false;
  value = text;
  return true;
}

double ColumnView::number(std::int64_t row) const noexcept {
  if (null(row)) return std::numeric_limits<double>::quiet_NaN();
  return number_value(schema->format, array->buffers[1], base + row);
}

ColumnView column_of(const ArrowSchema& schema, const ArrowArray& batch, std::size_t k) {
  return {schema.children[k], batch.children[k], batch.offset + batch.children[k]->offset};
}

Result<Carried> carried_kind(const ArrowSchema& field) {
  std::string_view format = field.format;
  std::string_view name = field.name ? field.name : "";
  if (field.dictionary != nullptr) {
    if (is_integer(format) && is_text(field.dictionary->format)) return Carried::text;
  } else if (number_width(format) != 0) {
    return Carried::number;
  } else if (format == "b") {
    return Carried::flag;
  } else if (is_text(format)) {
    return Carried::text;
  }
  return std::unexpected(column_error(name, "has Arrow type '" + std::string(format) +
                                                "'; only numbers, bools and texts are kept"));
}

Status ColumnCopy::append(const ColumnView& column, std::int64_t row) {
  if (kind_ == Carried::text) {
    std::optional<std::string_view> text;
    if (!column.text(row, text))
      return std::unexpected(column_error(column.schema->name ? column.schema->name : "",
                                          "holds a text outside its buffers or a dictionary "
                                          "index out of range"));
    valid_.append(text.has_value());
    texts_.append(text.value_or(std::string_view()));
    return {};
  }
  const bool present = !column.null(row);
  valid_.append(present);
  if (kind_ == Carried::flag) {
    flags_.append(present && bit_set(column.array->buffers[1], column.base + row));
  } else if (present) {
    numbers_.append(static_cast<const std::uint8_t*>(column.array->buffers[1]) +
                        (column.base + row) * static_cast<std::int64_t>(width_),
                    width_);
  } else {
    numbers_.append_fill(0, width_);
  }
  return {};
}

void ColumnCopy::append_null() {
  valid_.append(false);
  if (kind_ == Carried::number) numbers_.append_fill(0, width_);
  if (kind_ == Carried::flag) flags_.append(false);
  if (kind_ == Carried::text) texts_.append({});
}

std::string ColumnCopy::format(const ArrowSchema& source) const {
  if (kind_ == Carried::text) return large_text() ? "U" : "u";
  return source.format;
}

ArrayData ColumnCopy::finish() && {
  ArrayData data;
  data.length = static_cast<std::int64_t>(valid_.size());
  data.null_count = static_cast<std::int64_t>(valid_.count_zeros());
  data.buffers.push_back(data.null_count == 0 ? Storage()
                                              : Storage::adopt(std::move(valid_).take()));
  if (kind_ == Carried::number)
    data.buffers.push_back(Storage::adopt(std::move(numbers_)));
  else if (kind_ == Carried::flag)
    data.buffers.push_back(Storage::adopt(std::move(flags_).take()));
  else
    std::move(texts_).finish_into(data.buffers);
  return data;
}

}  // namespace textgrid::arrow
