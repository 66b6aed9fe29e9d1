// Decoding text files that are not plain UTF-8: the byte-order marks that
// announce an encoding, and UTF-16 turned into the UTF-8 the parsers read.
#include <bit>
#include <cstdint>
#include <cstring>

#include "textgrid/formats.hpp"

namespace textgrid {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

// Writes `code` as UTF-8 at `out`; returns the position after it.
char* put_utf8(char* out, char32_t code) noexcept {
  if (code < 0x80) {
    *out++ = static_cast<char>(code);
  } else if (code < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code >> 6));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code >> 12));
    *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code >> 18));
    *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  }
  return out;
}

bool is_high_surrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

template <bool big_endian>
char32_t unit_at(const unsigned char* bytes, std::size_t i) noexcept {
  unsigned first = bytes[2 * i], second = bytes[2 * i + 1];
  return big_endian ? (first << 8 | second) : (second << 8 | first);
}

// True when the four units at `at` are all ASCII (checked in one load).
template <bool big_endian>
bool four_ascii_units(const unsigned char* at) noexcept {
  if constexpr (std::endian::native != std::endian::little) return false;
  // Per unit, in memory order: the high byte must be 0, the low byte below 0x80.
  constexpr std::uint64_t non_ascii = big_endian ? 0x80FF80FF80FF80FFULL : 0xFF80FF80FF80FF80ULL;
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return (word & non_ascii) == 0;
}

// Calls `ascii4` for each run of four ASCII units and `emit` with every other
// character: a surrogate pair as one character, a lone surrogate as U+FFFD.
template <bool big_endian, class Ascii4, class Emit>
void for_each_character(std::string_view units, Ascii4&& ascii4, Emit&& emit) {
  auto bytes = reinterpret_cast<const unsigned char*>(units.data());
  std::size_t count = units.size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    // Most TextGrid text is ASCII: four units at a time.
    while (i + 4 <= count && four_ascii_units<big_endian>(bytes + 2 * i)) {
      ascii4(bytes + 2 * i);
      i += 4;
    }
    if (i == count) break;
    char32_t code = unit_at<big_endian>(bytes, i);
    if (code < 0xD800 || code > 0xDFFF) {
      emit(code);
    } else if (is_high_surrogate(code) && i + 1 < count &&
               is_low_surrogate(unit_at<big_endian>(bytes, i + 1))) {
      emit(0x10000 + ((code - 0xD800) << 10) + (unit_at<big_endian>(bytes, ++i) - 0xDC00));
    } else {
      emit(replacement_character);
    }
  }
}

std::size_t utf8_size(char32_t code) noexcept {
  return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Two passes: the exact size first, so that a large file is converted without
// growing its copy or reserving for the worst case.
template <bool big_endian>
std::string convert(std::string_view units) {
  constexpr int low = big_endian ? 1 : 0;  // where a unit's low byte stands
  std::size_t size = 0;
  for_each_character<big_endian>(
      units, [&](const unsigned char*) { size += 4; },
      [&](char32_t code) { size += utf8_size(code); });
  std::string out;
  out.resize_and_overwrite(size, [&](char* buffer, std::size_t) {
    char* at = buffer;
    for_each_character<big_endian>(
        units,
        [&](const unsigned char* four) {
          for (int k = 0; k < 4; ++k) *at++ = static_cast<char>(four[2 * k + low]);
        },
        [&](char32_t code) { at = put_utf8(at, code); });
    return size;
  });
  return out;
}

}  // namespace

std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::utf8_sig:
      return "utf-8-sig";
    case Encoding::utf16_le:
      return "utf-16-le";
    case Encoding::utf16_be:
      return "utf-16-be";
    case Encoding::utf8:
      break;
  }
  return "utf-8";
}

std::optional<Encoding> byte_order_mark(std::string_view bytes) noexcept {
  if (bytes.starts_with("\xEF\xBB\xBF")) return Encoding::utf8_sig;
  if (bytes.starts_with("\xFF\xFE")) return Encoding::utf16_le;
  if (bytes.starts_with("\xFE\xFF")) return Encoding::utf16_be;
  return std::nullopt;
}

std::size_t byte_order_mark_size(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::utf8_sig:
      return 3;
    case Encoding::utf16_le:
    case Encoding::utf16_be:
      return 2;
    case Encoding::utf8:
      break;
  }
  return 0;
}

std::string utf16_to_utf8(std::string_view units, bool big_endian) {
  return big_endian ? convert<true>(units) : convert<false>(units);
}

bool is_binary_textgrid(std::string_view bytes) noexcept {
  return bytes.starts_with(binary_file_magic);
}

bool is_chronological_textgrid(std::string_view text) noexcept {
  return text.starts_with(chronological_file_header);
}

}  // namespace textgrid
