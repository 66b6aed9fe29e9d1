// Checks of imported schemas and record batches against the layouts the C
// data interface gives each type, and checked reading of texts and numbers.
#include "arrow_checks.hpp"

#include <limits>
#include <optional>
#include <utility>

#include "textgrid/tables/arrow_import.hpp"

namespace textgrid::arrow {
namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

std::string quoted(std::string_view name) {
  std::string text = "'";  // appended: GCC 12 warns falsely on "literal" + string
  text += name;
  text += '\'';
  return text;
}

std::string count_of(std::int64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// What is wrong with an array's counts and pointers, whatever its type.
std::optional<std::string> array_fault(const ArrowArray& array) {
  if (array.length < 0) return "a negative length";
  if (array.offset < 0) return "a negative offset";
  // No buffer of 16-byte values (the widest read) reaches beyond this.
  if (array.offset > int64_max / 16 - array.length) return "an offset beyond any buffer";
  if (array.null_count < -1 || array.null_count > array.length) return "a null count out of range";
  if (array.n_buffers < 0 || (array.n_buffers > 0 && array.buffers == nullptr))
    return "a missing buffer list";
  if (array.n_children < 0 || (array.n_children > 0 && array.children == nullptr))
    return "a missing child list";
  return std::nullopt;
}

// The buffers a leaf array of `format` has: validity and values, plus the
// value bytes of a string; a string view has its data buffers and their
// sizes besides (3 at least).
std::int64_t buffers_needed(std::string_view format) {
  return format == "u" || format == "U" || format == "vu" ? 3 : 2;
}

// What is wrong with a leaf array (no children) of `format`, holding
// `dictionary` exactly when its field has one.
std::optional<std::string> leaf_fault(const ArrowArray& array, std::string_view format,
                                      bool dictionary) {
  if (std::optional<std::string> fault = array_fault(array)) return fault;
  const std::int64_t needed = buffers_needed(format);
  if (format == "vu" ? array.n_buffers < needed : array.n_buffers != needed)
    return count_of(array.n_buffers, "buffer") + " where " + (format == "vu" ? "at least " : "") +
           std::to_string(needed) + " are needed";
  if (array.n_children != 0)
    return count_of(array.n_children, "child array") + " where none belong";
  if (dictionary != (array.dictionary != nullptr))
    return dictionary ? "no dictionary" : "a dictionary its type does not declare";
  if (array.null_count > 0 && array.buffers[0] == nullptr) return "nulls but no validity bitmap";
  if (array.offset + array.length > 0 && array.buffers[1] == nullptr)
    return "a missing data buffer";
  return std::nullopt;
}

}  // namespace

bool is_integer_format(std::string_view format) noexcept {
  return format.size() == 1 &&
         std::string_view("cCsSiIlL").find(format[0]) != std::string_view::npos;
}

bool is_text_format(std::string_view format) noexcept {
  return format == "u" || format == "U" || format == "vu";
}

Status check_struct_schema(const ArrowSchema& schema) {
  auto refuse = [](std::string what) {
    return std::unexpected(invalid_input("the Arrow stream's schema is malformed: " + what));
  };
  if (schema.format == nullptr) return refuse("it has no type");
  if (std::string_view(schema.format) != "+s")
    return std::unexpected(
        invalid_input("the Arrow stream does not hold record batches (its type is " +
                      describe_type(schema) + ")"));
  if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr))
    return refuse("a missing field list");
  for (std::int64_t k = 0; k < schema.n_children; ++k) {
    const ArrowSchema* field = schema.children[k];
    if (field == nullptr || field->format == nullptr ||
        (field->dictionary != nullptr && field->dictionary->format == nullptr))
      return refuse("field " + std::to_string(k) + " has no type");
  }
  return {};
}

Status check_field(std::string_view name, Kind kind, const ArrowSchema& field) {
  std::string_view format = field.format;
  const bool plain = field.dictionary == nullptr;
  bool fits = false;
  std::string_view expected;
  switch (kind) {
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
      expected = "float64 (or float32 or an integer type)";
      break;
    case Kind::text:
      fits = plain
                 ? is_text_format(format)
                 : is_integer_format(format) && is_text_format(field.dictionary->format) &&
                       field.dictionary->dictionary == nullptr && field.dictionary->n_children == 0;
      expected = "string (or large_string, string_view or a dictionary of them)";
      break;
  }
  if (fits && field.n_children != 0)
    return std::unexpected(invalid_input("column " + quoted(name) + " has " +
                                         count_of(field.n_children, "child field") +
                                         " where its type has none"));
  if (fits) return {};
  return std::unexpected(invalid_input("column " + quoted(name) + " has Arrow type " +
                                       describe_type(field) + "; expected " +
                                       std::string(expected)));
}

Status check_batch(const ArrowSchema& schema, const ArrowArray& batch, std::int64_t index) {
  auto refuse = [&](const std::string& what) {
    return std::unexpected(invalid_input("record batch " + std::to_string(index) + " " + what));
  };
  if (std::optional<std::string> fault = array_fault(batch)) return refuse("has " + *fault);
  if (batch.n_children != schema.n_children)
    return refuse("does not match the schema: it has " + count_of(batch.n_children, "column") +
                  " where the schema has " + std::to_string(schema.n_children));
  for (std::int64_t k = 0; k < batch.n_children; ++k)
    if (batch.children[k] == nullptr) return refuse("lacks its column " + std::to_string(k));
  if (batch.null_count > 0) return refuse("has null rows");
  if (batch.dictionary != nullptr) return refuse("has a dictionary");
  return {};
}

Error Column::error_at(std::int64_t row, std::string_view what) const {
  return invalid_input("column " + quoted(name) + " holds " + std::string(what) + " at row " +
                       std::to_string(rows_before + row));
}

Status check_column(const ArrowSchema& field, const ArrowArray& array, std::string_view name,
                    std::int64_t start, std::int64_t rows, std::int64_t batch) {
  auto refuse = [&](const std::string& what) {
    return std::unexpected(invalid_input("column " + quoted(name) + " in record batch " +
                                         std::to_string(batch) + " does not match its type " +
                                         describe_type(field) + ": it has " + what));
  };
  const bool dictionary = field.dictionary != nullptr;
  if (std::optional<std::string> fault = leaf_fault(array, field.format, dictionary))
    return refuse(*fault);
  if (start > array.length - rows) return refuse("fewer rows than its record batch");
  if (!dictionary) return {};
  const ArrowArray& values = *array.dictionary;
  if (std::optional<std::string> fault = leaf_fault(values, field.dictionary->format, false))
    return refuse("a dictionary with " + *fault);
  return {};
}

std::expected<TextAccess, std::string> TextAccess::make(std::string_view format,
                                                        const ArrowArray& array) {
  const std::int64_t end = array.offset + array.length;
  if (format == "vu") {
    TextAccess access(Layout::views, array);
    access.data_buffers_ = array.n_buffers - 3;
    access.data_sizes_ = array.buffers[array.n_buffers - 1];
    if (access.data_buffers_ > 0 && access.data_sizes_ == nullptr)
      return std::unexpected("no sizes of its data buffers");
    for (std::int64_t k = 0; k < access.data_buffers_; ++k) {
      std::int64_t size = load_at<std::int64_t>(access.data_sizes_, k);
      if (size < 0) return std::unexpected("a data buffer of negative size");
      if (size > 0 && array.buffers[2 + k] == nullptr)
        return std::unexpected("a missing data buffer");
    }
    return access;
  }
  TextAccess access(format == "u" ? Layout::offsets32 : Layout::offsets64, array);
  if (end > 0)
    access.end_offset_ = access.layout_ == Layout::offsets32
                             ? load_at<std::int32_t>(array.buffers[1], end)
                             : load_at<std::int64_t>(array.buffers[1], end);
  if (access.end_offset_ < 0) return std::unexpected("a negative last offset");
  if (access.end_offset_ > 0 && array.buffers[2] == nullptr)
    return std::unexpected("a missing value buffer");
  return access;
}

bool TextAccess::text(std::int64_t at, std::string_view& out) const noexcept {
  if (layout_ == Layout::views) return view_text(at, out);
  std::int64_t begin = 0, end = 0;
  if (layout_ == Layout::offsets32) {
    begin = load_at<std::int32_t>(array_->buffers[1], at);
    end = load_at<std::int32_t>(array_->buffers[1], at + 1);
  } else {
    begin = load_at<std::int64_t>(array_->buffers[1], at);
    end = load_at<std::int64_t>(array_->buffers[1], at + 1);
  }
  if (begin < 0 || begin > end || end > end_offset_) return false;
  out = begin == end ? std::string_view()
                     : std::string_view(static_cast<const char*>(array_->buffers[2]) + begin,
                                        static_cast<std::size_t>(end - begin));
  return true;
}

// A view is 16 bytes: the length, then up to 12 bytes inline, or a prefix,
// the data buffer's number and the offset in it.
bool TextAccess::view_text(std::int64_t at, std::string_view& out) const noexcept {
  const char* view = static_cast<const char*>(array_->buffers[1]) + at * 16;
  const std::int32_t length = load_at<std::int32_t>(view, 0);
  if (length < 0) return false;
  if (length <= 12) {
    out = std::string_view(view + 4, static_cast<std::size_t>(length));
    return true;
  }
  const std::int32_t buffer = load_at<std::int32_t>(view + 8, 0);
  const std::int32_t offset = load_at<std::int32_t>(view + 12, 0);
  if (buffer < 0 || buffer >= data_buffers_ || offset < 0 ||
      offset > load_at<std::int64_t>(data_sizes_, buffer) - length)
    return false;
  out = std::string_view(static_cast<const char*>(array_->buffers[2 + buffer]) + offset,
                         static_cast<std::size_t>(length));
  return true;
}

bool integer_at(char format, const void* data, std::int64_t at, std::int64_t& value) noexcept {
  switch (format) {
    case 'c':
      value = load_at<std::int8_t>(data, at);
      return true;
    case 'C':
      value = load_at<std::uint8_t>(data, at);
      return true;
    case 's':
      value = load_at<std::int16_t>(data, at);
      return true;
    case 'S':
      value = load_at<std::uint16_t>(data, at);
      return true;
    case 'i':
      value = load_at<std::int32_t>(data, at);
      return true;
    case 'I':
      value = load_at<std::uint32_t>(data, at);
      return true;
    case 'l':
      value = load_at<std::int64_t>(data, at);
      return true;
    default: {
      std::uint64_t wide = load_at<std::uint64_t>(data, at);
      value = static_cast<std::int64_t>(wide);
      return wide <= static_cast<std::uint64_t>(int64_max);
    }
  }
}

double number_at(std::string_view format, const void* data, std::int64_t at) noexcept {
  if (format == "g") return load_at<double>(data, at);
  if (format == "f") return load_at<float>(data, at);
  // Unsigned 64-bit values beyond the signed range keep their value too.
  if (format == "L") return static_cast<double>(load_at<std::uint64_t>(data, at));
  std::int64_t integer = 0;
  integer_at(format[0], data, at, integer);
  return static_cast<double>(integer);
}

}  // namespace textgrid::arrow
