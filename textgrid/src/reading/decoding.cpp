// All decoding of text files: UTF-8 validation, the byte-order marks that
// announce an encoding, UTF-16 and the 8-bit code pages turned into the UTF-8
// the parsers read, and the encoding a caller asks for.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/reader.hpp"

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

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Length of the valid multi-byte sequence at `at`, or 0 when it is malformed
// (overlong, a surrogate, beyond U+10FFFF, or cut short).
std::size_t multibyte_length(const unsigned char* at, const unsigned char* end) noexcept {
  unsigned lead = at[0];
  std::size_t length;
  unsigned second_low = 0x80, second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;   // overlong
    if (lead == 0xED) second_high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;   // overlong
    if (lead == 0xF4) second_high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - at) < length) return 0;
  if (at[1] < second_low || at[1] > second_high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (!is_continuation(at[i])) return 0;
  return length;
}

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

std::uint64_t load_word(const unsigned char* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Skips ASCII bytes 64 (or eight) at a time; returns the first byte that is not
// ASCII, or a position less than eight bytes before `end`.
const unsigned char* skip_ascii(const unsigned char* at, const unsigned char* end) noexcept {
#if defined(__SSE2__)
  // The high bits of 64 bytes at once; the first set one is the byte wanted.
  auto high_bits_of = [](const unsigned char* block, int k) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + k);
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes)));
  };
  while (end - at >= 64) {
    const std::uint64_t high = high_bits_of(at, 0) | high_bits_of(at, 1) << 16 |
                               high_bits_of(at, 2) << 32 | high_bits_of(at, 3) << 48;
    if (high != 0) return at + std::countr_zero(high);
    at += 64;
  }
#endif
  while (end - at >= 32) {
    std::uint64_t any = load_word(at) | load_word(at + 8) | load_word(at + 16) | load_word(at + 24);
    if ((any & high_bits) != 0) break;
    at += 32;
  }
  while (end - at >= 8) {
    std::uint64_t high = load_word(at) & high_bits;
    if (high != 0) {
      int bit = std::endian::native == std::endian::little ? std::countr_zero(high)
                                                           : std::countl_zero(high);
      return at + bit / 8;
    }
    at += 8;
  }
  return at;
}

bool utf8_is_valid(std::string_view text) noexcept {
  auto at = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = at + text.size();
  while (at < end) {
    at = skip_ascii(at, end);
    if (at == end) break;
    if (*at < 0x80) {
      ++at;
    } else if (std::size_t length = multibyte_length(at, end)) {
      at += length;
    } else {
      return false;
    }
  }
  return true;
}

// Windows-1252 at 0x80..0x9F; the five unassigned bytes keep their C1 code points.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t code_point_8bit(unsigned char byte, bool cp1252) noexcept {
  if (cp1252 && byte >= 0x80 && byte < 0xA0) return cp1252_high[byte - 0x80];
  return byte;
}

// Each byte is one character: Latin-1 (ISO 8859-1) or Windows-1252.
std::string decode_8bit(std::string_view bytes, bool cp1252) {
  std::size_t size = 0;
  for (unsigned char byte : bytes) size += utf8_size(code_point_8bit(byte, cp1252));
  std::string out;
  out.resize_and_overwrite(size, [&](char* buffer, std::size_t) {
    char* at = buffer;
    for (unsigned char byte : bytes) at = put_utf8(at, code_point_8bit(byte, cp1252));
    return size;
  });
  return out;
}

// UTF-16 without a byte-order mark: the first units of an ASCII text put a
// NUL in every other byte. Such bytes are valid UTF-8, but no TextGrid.
bool looks_like_bare_utf16(std::string_view bytes) noexcept {
  constexpr std::size_t looked_at = 64, fewest = 8;  // a TextGrid is far longer than 4 units
  std::size_t length = std::min(bytes.size(), looked_at) & ~std::size_t{1};
  if (length < fewest || (bytes[0] != '\0' && bytes[1] != '\0')) return false;
  bool even_nul = true, odd_nul = true, even_set = true, odd_set = true;
  for (std::size_t i = 0; i < length; i += 2) {
    even_nul = even_nul && bytes[i] == '\0';
    odd_nul = odd_nul && bytes[i + 1] == '\0';
    even_set = even_set && bytes[i] != '\0';
    odd_set = odd_set && bytes[i + 1] != '\0';
  }
  return (even_nul && odd_set) || (odd_nul && even_set);
}

Error not_utf8() { return invalid_data("stream did not contain valid UTF-8"); }

}  // namespace

std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::utf8_sig:
      return "utf-8-sig";
    case Encoding::utf16_le:
      return "utf-16-le";
    case Encoding::utf16_be:
      return "utf-16-be";
    case Encoding::latin1:
      return "latin-1";
    case Encoding::cp1252:
      return "cp1252";
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
    case Encoding::latin1:
    case Encoding::cp1252:
      break;
  }
  return 0;
}

std::string utf16_to_utf8(std::string_view units, bool big_endian) {
  return big_endian ? convert<true>(units) : convert<false>(units);
}

// A byte-order mark always wins: it cannot be mistaken. Plain UTF-8 costs one
// look at the first bytes on top of the validation.
Result<Encoding> decode_text(std::string_view& bytes, std::string& converted,
                             TextEncoding encoding) {
  std::optional<Encoding> marked = byte_order_mark(bytes);
  if (marked == Encoding::utf16_le || marked == Encoding::utf16_be) {
    converted = utf16_to_utf8(bytes.substr(2), marked == Encoding::utf16_be);
    bytes = converted;
    return *marked;
  }
  if (marked) {
    if (!is_valid_utf8(bytes)) return std::unexpected(not_utf8());
    bytes.remove_prefix(byte_order_mark_size(*marked));
    return *marked;
  }
  // No encoding reads it: its NUL bytes would turn it into an empty grid.
  if (looks_like_bare_utf16(bytes)) return std::unexpected(not_utf8());
  if (encoding == TextEncoding::latin1 || encoding == TextEncoding::cp1252) {
    bool cp1252 = encoding == TextEncoding::cp1252;
    converted = decode_8bit(bytes, cp1252);
    bytes = converted;
    return cp1252 ? Encoding::cp1252 : Encoding::latin1;
  }
  if (is_valid_utf8(bytes)) return Encoding::utf8;
  if (encoding != TextEncoding::praat) return std::unexpected(not_utf8());
  converted = decode_8bit(bytes, false);
  bytes = converted;
  return Encoding::latin1;
}

bool is_valid_utf8(std::string_view text) noexcept { return utf8_is_valid(text); }

std::size_t first_undecodable_byte(std::string_view bytes) noexcept {
  if (looks_like_bare_utf16(bytes)) return 0;
  auto begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* end = begin + bytes.size();
  for (const unsigned char* at = begin; at < end;) {
    std::size_t length = *at < 0x80 ? 1 : multibyte_length(at, end);
    if (length == 0) return static_cast<std::size_t>(at - begin);
    at += length;
  }
  return bytes.size();
}

std::string with_replacement_characters(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string text;
  auto at = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* end = at + bytes.size();
  while (at < end) {
    std::size_t length = *at < 0x80 ? 1 : multibyte_length(at, end);
    if (length == 0) {
      text += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no valid character
      ++at;
    } else {
      text.append(reinterpret_cast<const char*>(at), length);
      at += length;
    }
  }
  return text;
}

bool is_binary_textgrid(std::string_view bytes) noexcept {
  return bytes.starts_with(binary_file_magic);
}

bool is_chronological_textgrid(std::string_view text) noexcept {
  return text.starts_with(chronological_file_header);
}

}  // namespace textgrid
