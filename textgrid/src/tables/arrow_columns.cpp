// Builders of Arrow columns in our own buffers: bitmaps, text columns with
// growing offsets, and the small whole columns of per-file reports.
#include <cstring>
#include <utility>

#include "textgrid/tables/arrow.hpp"

namespace textgrid::arrow {

void Bitmap::append(bool value, std::size_t count) {
  if (count == 0) return;
  std::size_t bytes_needed = (length_ + count + 7) / 8;
  if (bytes_needed > bytes_.size()) bytes_.append_fill(0, bytes_needed - bytes_.size());
  if (!value) {
    zeros_ += count;
    length_ += count;
    return;  // new bytes start cleared
  }
  std::uint8_t* bytes = bytes_.data();
  std::size_t at = length_;
  const std::size_t end = length_ + count;
  for (; at < end && at % 8 != 0; ++at) bytes[at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
  if (std::size_t whole = (end - at) / 8; whole > 0) {
    std::memset(bytes + at / 8, 0xff, whole);
    at += whole * 8;
  }
  for (; at < end; ++at) bytes[at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
  length_ = end;
}

TextColumn::TextColumn(std::size_t offset_limit) : offset_limit_(offset_limit) {
  offsets_.push_back(0);
}

std::size_t TextColumn::size() const noexcept {
  return (large_ ? large_offsets_.size() : offsets_.size()) - 1;
}

void TextColumn::append_widening(std::string_view text) {
  values_.append(text.data(), text.size());
  if (!large_ && values_.size() > offset_limit_) widen();
  if (large_)
    large_offsets_.push_back(static_cast<std::int64_t>(values_.size()));
  else
    offsets_.push_back(static_cast<std::int32_t>(values_.size()));
}

void Bitmap::truncate(std::size_t length) noexcept {
  if (length >= length_) return;
  std::uint8_t* bytes = bytes_.data();
  for (std::size_t at = length; at < length_; ++at) {
    const auto bit = static_cast<std::uint8_t>(1u << (at % 8));
    if ((bytes[at / 8] & bit) == 0) --zeros_;
    bytes[at / 8] = static_cast<std::uint8_t>(bytes[at / 8] & ~bit);  // appending expects clear bits
  }
  bytes_.truncate((length + 7) / 8);
  length_ = length;
}

void TextColumn::truncate(std::size_t texts) noexcept {
  if (texts >= size()) return;
  if (large_) {
    large_offsets_.truncate(texts + 1);
    values_.truncate(static_cast<std::size_t>(large_offsets_[texts]));
  } else {
    offsets_.truncate(texts + 1);
    values_.truncate(static_cast<std::size_t>(offsets_[texts]));
  }
}

void TextColumn::reserve(std::size_t texts, std::size_t bytes) {
  values_.reserve_more(bytes);
  if (large_)
    large_offsets_.reserve_more(texts);
  else
    offsets_.reserve_more(texts);
}

void TextColumn::widen() {
  if (large_) return;
  large_offsets_.reserve(offsets_.capacity());
  for (std::int32_t offset : offsets_) large_offsets_.push_back(offset);
  offsets_ = Buffer<std::int32_t>();
  large_ = true;
}

void TextColumn::finish_into(std::vector<Storage>& buffers) && {
  if (large_)
    buffers.push_back(Storage::adopt(std::move(large_offsets_)));
  else
    buffers.push_back(Storage::adopt(std::move(offsets_)));
  buffers.push_back(Storage::adopt(std::move(values_)));
}

namespace {

// A validity buffer, absent when every value is present.
Storage validity_storage(Bitmap&& valid) {
  if (valid.count_zeros() == 0) return {};
  return Storage::adopt(std::move(valid).take());
}

}  // namespace

ArrayData text_column(std::span<const std::optional<std::string>> values) {
  TextColumn texts;
  Bitmap valid;
  for (const std::optional<std::string>& value : values) {
    valid.append(value.has_value());
    texts.append(value ? std::string_view(*value) : std::string_view());
  }
  ArrayData data;
  data.length = static_cast<std::int64_t>(values.size());
  data.null_count = static_cast<std::int64_t>(valid.count_zeros());
  data.buffers.push_back(validity_storage(std::move(valid)));
  std::move(texts).finish_into(data.buffers);
  return data;
}

ArrayData bool_column(std::span<const bool> values) {
  Bitmap bits;
  for (bool value : values) bits.append(value);
  ArrayData data;
  data.length = static_cast<std::int64_t>(values.size());
  data.buffers.emplace_back();
  data.buffers.push_back(Storage::adopt(std::move(bits).take()));
  return data;
}

// Numbers with nulls: a validity bitmap beside the values (0 under a null).
namespace {

template <class T>
ArrayData optional_column(std::span<const std::optional<T>> values) {
  Buffer<T> numbers;
  Bitmap valid;
  numbers.reserve(values.size());
  for (const std::optional<T>& value : values) {
    valid.append(value.has_value());
    numbers.push_back(value.value_or(T{}));
  }
  ArrayData data;
  data.length = static_cast<std::int64_t>(values.size());
  data.null_count = static_cast<std::int64_t>(valid.count_zeros());
  data.buffers.push_back(validity_storage(std::move(valid)));
  data.buffers.push_back(Storage::adopt(std::move(numbers)));
  return data;
}

}  // namespace

ArrayData double_column(std::span<const std::optional<double>> values) {
  return optional_column(values);
}

ArrayData count_column(std::span<const std::optional<std::uint64_t>> values) {
  return optional_column(values);
}

ArrayData struct_batch(std::int64_t length, std::vector<ArrayData> columns) {
  ArrayData batch;
  batch.length = length;
  batch.buffers.emplace_back();  // a struct has only its (absent) validity buffer
  batch.children = std::move(columns);
  return batch;
}

}  // namespace textgrid::arrow
