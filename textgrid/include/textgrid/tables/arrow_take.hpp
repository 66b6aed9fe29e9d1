#pragma once
// Copying chosen rows out of the columns of imported Arrow batches into
// columns of our own: numbers of any fixed width, bools and texts (utf8,
// large_utf8, utf8_view or dictionary-encoded, copied as plain utf8), nulls
// kept.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/model/error.hpp"

namespace textgrid::arrow {

Error column_error(std::string_view column, std::string_view what);

// One column of one batch, read through its offsets.
struct ColumnView {
  const ArrowSchema* schema;
  const ArrowArray* array;
  std::int64_t base;  // the batch's and the column's offsets

  bool null(std::int64_t row) const noexcept;
  // The text at `row`, nothing for a null; false when a dictionary index is
  // out of range or the text lies outside its buffers.
  bool text(std::int64_t row, std::optional<std::string_view>& value) const noexcept;
  // The number at `row` as double; NaN for a null.
  double number(std::int64_t row) const noexcept;
};

// Column `k` of a struct batch.
ColumnView column_of(const ArrowSchema& schema, const ArrowArray& batch, std::size_t k);

enum class Carried { number, flag, text };

// How a column's values are carried over; an error value for other types.
Result<Carried> carried_kind(const ArrowSchema& field);

// The values of one carried column at chosen rows, appended one by one.
class ColumnCopy {
 public:
  // `width`: bytes per value of a number column.
  ColumnCopy(Carried kind, std::size_t width) : kind_(kind), width_(width) {}

  Status append(const ColumnView& column, std::int64_t row);
  void append_null();
  bool large_text() const noexcept { return texts_.is_large(); }
  // The format of the copied column, given the source column's.
  std::string format(const ArrowSchema& source) const;
  ArrayData finish() &&;

 private:
  Carried kind_;
  std::size_t width_;
  Bitmap valid_;
  Buffer<std::uint8_t> numbers_;
  Bitmap flags_;
  TextColumn texts_;
};

}  // namespace textgrid::arrow
