#pragma once
// Reading values out of imported Arrow arrays: loads at any alignment, bits,
// integers of every width, and texts of the utf8, large_utf8 and utf8_view
// layouts, always through the array's own offset.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "textgrid/tables/arrow.hpp"

namespace textgrid::arrow {

template <class T>
T load_at(const void* buffer, std::int64_t index) noexcept {
  T value;
  std::memcpy(&value,
              static_cast<const char*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof value);
  return value;
}

inline bool bit_set(const void* bitmap, std::int64_t index) noexcept {
  return (static_cast<const std::uint8_t*>(bitmap)[index / 8] >> (index % 8)) & 1;
}

// Releases what it holds, whatever path the reading takes.
template <class Struct>
struct OwnedStruct {
  Struct value{};
  OwnedStruct() = default;
  OwnedStruct(const OwnedStruct&) = delete;
  OwnedStruct& operator=(const OwnedStruct&) = delete;
  ~OwnedStruct() {
    if (value.release != nullptr) value.release(&value);
  }
};

// Bytes per value of a fixed-width number format ("c" ... "g"); 0 for others.
inline std::size_t number_width(std::string_view format) noexcept {
  if (format.size() != 1) return 0;
  switch (format[0]) {
    case 'c': case 'C': return 1;
    case 's': case 'S': case 'e': return 2;
    case 'i': case 'I': case 'f': return 4;
    case 'l': case 'L': case 'g': return 8;
    default: return 0;
  }
}

inline bool is_integer(std::string_view format) noexcept {
  return number_width(format) != 0 && format != "e" && format != "f" && format != "g";
}

inline bool is_text(std::string_view format) noexcept {
  return format == "u" || format == "U" || format == "vu";
}

// The integer at `at` (offset included) of an integer array, widened; an
// unsigned 64-bit value beyond the signed range saturates.
inline std::int64_t integer_value(char format, const void* data, std::int64_t at) noexcept {
  switch (format) {
    case 'c': return load_at<std::int8_t>(data, at);
    case 'C': return load_at<std::uint8_t>(data, at);
    case 's': return load_at<std::int16_t>(data, at);
    case 'S': return load_at<std::uint16_t>(data, at);
    case 'i': return load_at<std::int32_t>(data, at);
    case 'I': return load_at<std::uint32_t>(data, at);
    case 'l': return load_at<std::int64_t>(data, at);
    default: {
      std::uint64_t wide = load_at<std::uint64_t>(data, at);
      return wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(wide);
    }
  }
}

// A float64, float32 or integer value as double.
inline double number_value(std::string_view format, const void* data, std::int64_t at) noexcept {
  if (format == "g") return load_at<double>(data, at);
  if (format == "f") return load_at<float>(data, at);
  return static_cast<double>(integer_value(format[0], data, at));
}

// Whether value `at` (offset included) of an array is null.
inline bool is_null_at(const ArrowArray& array, std::int64_t at) noexcept {
  return array.null_count != 0 && array.buffers[0] != nullptr && !bit_set(array.buffers[0], at);
}

// The text at `at` (offset included) of a "u", "U" or "vu" array.
inline std::string_view text_value(std::string_view format, const ArrowArray& array,
                                   std::int64_t at) noexcept {
  if (format == "u") {
    std::int32_t begin = load_at<std::int32_t>(array.buffers[1], at);
    std::int32_t end = load_at<std::int32_t>(array.buffers[1], at + 1);
    return {static_cast<const char*>(array.buffers[2]) + begin,
            static_cast<std::size_t>(end - begin)};
  }
  if (format == "U") {
    std::int64_t begin = load_at<std::int64_t>(array.buffers[1], at);
    std::int64_t end = load_at<std::int64_t>(array.buffers[1], at + 1);
    return {static_cast<const char*>(array.buffers[2]) + begin,
            static_cast<std::size_t>(end - begin)};
  }
  // A view is 16 bytes: the length, then up to 12 bytes inline, or a prefix,
  // the data buffer's number and the offset in it.
  const char* view = static_cast<const char*>(array.buffers[1]) + at * 16;
  std::int32_t length = load_at<std::int32_t>(view, 0);
  if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
  std::int32_t buffer = load_at<std::int32_t>(view + 8, 0);
  std::int32_t offset = load_at<std::int32_t>(view + 12, 0);
  return {static_cast<const char*>(array.buffers[2 + buffer]) + offset,
          static_cast<std::size_t>(length)};
}

// text_value for arrays from outside, whose buffer list the layout's checks
// (arrow_checks) accepted: false when the offsets or the view at `at` point
// outside the buffers the array's length and sizes imply.
inline bool checked_text_value(std::string_view format, const ArrowArray& array, std::int64_t at,
                               std::string_view& out) noexcept {
  if (format == "vu") {
    const char* view = static_cast<const char*>(array.buffers[1]) + at * 16;
    const std::int32_t length = load_at<std::int32_t>(view, 0);
    if (length < 0) return false;
    if (length <= 12) {
      out = {view + 4, static_cast<std::size_t>(length)};
      return true;
    }
    const std::int32_t buffer = load_at<std::int32_t>(view + 8, 0);
    const std::int32_t offset = load_at<std::int32_t>(view + 12, 0);
    const void* sizes = array.buffers[array.n_buffers - 1];
    if (buffer < 0 || buffer >= array.n_buffers - 3 || offset < 0 || sizes == nullptr ||
        array.buffers[2 + buffer] == nullptr ||
        offset > load_at<std::int64_t>(sizes, buffer) - length)
      return false;
    out = {static_cast<const char*>(array.buffers[2 + buffer]) + offset,
           static_cast<std::size_t>(length)};
    return true;
  }
  const bool narrow = format == "u";
  auto offset_at = [&](std::int64_t k) {
    return narrow ? std::int64_t{load_at<std::int32_t>(array.buffers[1], k)}
                  : load_at<std::int64_t>(array.buffers[1], k);
  };
  const std::int64_t begin = offset_at(at), end = offset_at(at + 1);
  if (begin < 0 || begin > end || end > offset_at(array.offset + array.length)) return false;
  if (begin == end) {
    out = {};
    return true;
  }
  if (array.buffers[2] == nullptr) return false;
  out = {static_cast<const char*>(array.buffers[2]) + begin, static_cast<std::size_t>(end - begin)};
  return true;
}

}  // namespace textgrid::arrow
