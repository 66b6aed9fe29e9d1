#pragma once
// Checked access to the columns of imported Arrow record batches. Nothing a
// producer hands over is trusted: each column is checked against its field
// before a batch is read (buffer and child counts, lengths and offsets, the
// buffers and dictionary its layout needs), and every text offset, string view
// and dictionary index is checked, as it is read, against the buffer sizes the
// interface implies. A malformed batch is refused; nothing is read out of bounds.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/arrow_access.hpp"
#include "textgrid/model/error.hpp"

namespace textgrid::arrow {

bool is_integer_format(std::string_view format) noexcept;
bool is_text_format(std::string_view format) noexcept;

// What the import reads a column as.
enum class Kind { ids, text, flags, numbers };

// The names, field pointers and formats of a struct schema, checked for
// pointers that are missing; an error value when one is.
Status check_struct_schema(const ArrowSchema& schema);
// Whether a (checked) field holds what `kind` needs.
Status check_field(std::string_view name, Kind kind, const ArrowSchema& field);
// Whether record batch `index` has the schema's shape: as many columns, sane
// length and offset, no null rows.
Status check_batch(const ArrowSchema& schema, const ArrowArray& batch, std::int64_t index);

// One column of one checked batch: its field, its array, where the batch's
// rows start in the array's buffers (the array's own offset included), and
// how many rows earlier batches held (so that messages count table rows).
struct Column {
  std::string_view name;
  const ArrowSchema* field;
  const ArrowArray* array;
  std::int64_t first;
  std::int64_t rows_before;

  // `row` counts from the batch's first row.
  bool is_null(std::int64_t row) const noexcept {
    return array->null_count != 0 && array->buffers[0] != nullptr &&
           !bit_set(array->buffers[0], first + row);
  }
  Error error_at(std::int64_t row, std::string_view what) const;
};

// Checks the array of a column whose field passed check_field, for reading
// `rows` rows from logical row `start` (the batch's offset) of record batch `batch`.
Status check_column(const ArrowSchema& field, const ArrowArray& array, std::string_view name,
                    std::int64_t start, std::int64_t rows, std::int64_t batch);

// The texts of a string, large_string or string_view array.
class TextAccess {
 public:
  // For an array whose shape check_column (or, for a dictionary, its own
  // checks) accepted; an error text when its buffers cannot hold a text.
  static std::expected<TextAccess, std::string> make(std::string_view format,
                                                     const ArrowArray& array);
  // The text at physical position `at`; false when the entry lies outside
  // its buffers or is otherwise malformed.
  bool text(std::int64_t at, std::string_view& out) const noexcept;
  bool is_null(std::int64_t at) const noexcept {
    return array_->null_count != 0 && array_->buffers[0] != nullptr &&
           !bit_set(array_->buffers[0], at);
  }

 private:
  enum class Layout { offsets32, offsets64, views };
  TextAccess(Layout layout, const ArrowArray& array) : layout_(layout), array_(&array) {}
  bool view_text(std::int64_t at, std::string_view& out) const noexcept;

  Layout layout_;
  const ArrowArray* array_;
  std::int64_t end_offset_ = 0;  // the last offset: the size of the value buffer
  std::int64_t data_buffers_ = 0;
  const void* data_sizes_ = nullptr;
};

// The integer at `at` of an array of integer format `format`, widened; false
// for an unsigned value beyond the signed range.
bool integer_at(char format, const void* data, std::int64_t at, std::int64_t& value) noexcept;
// The number at `at` of a float64, float32 or integer array.
double number_at(std::string_view format, const void* data, std::int64_t at) noexcept;

}  // namespace textgrid::arrow
