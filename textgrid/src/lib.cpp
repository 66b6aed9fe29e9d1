// Entry points for reading: a whole file as UTF-8 text, one TextGrid by its
// file-type word, and batches of files on the worker pool.
#include "textgrid/lib.hpp"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "textgrid/failure.hpp"
#include "textgrid/formats.hpp"
#include "textgrid/parallel.hpp"
#include "textgrid/parser.hpp"
#include "textgrid/platform.hpp"

namespace textgrid {
namespace {

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

// Skips ASCII bytes eight at a time; returns the first byte that is not
// ASCII, or a position less than eight bytes before `end`.
const unsigned char* skip_ascii(const unsigned char* at, const unsigned char* end) noexcept {
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

bool is_valid_utf8(std::string_view text) noexcept {
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

Result<TextGrid> parse_by_layout(std::string_view text, std::string&& name, bool strict,
                                 SourceInfo& info) {
  switch (detect_text_layout(text)) {
    case TextLayout::long_text:
      info.layout = "long";
      return parse_long_text(text, std::move(name), strict);
    case TextLayout::free_text:
      info.layout = "free-form";
      return parse_free_text(text, std::move(name), strict);
    case TextLayout::short_text:
      break;
  }
  info.layout = "short";
  return parse_short_text(text, std::move(name), strict);
}

Result<std::string> read_bytes(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected(invalid_input("file name contained an unexpected NUL byte"));
  return platform::read_whole_file(std::string(path));
}

// The UTF-8 text of a text file's bytes: a view into `bytes`, or into
// `converted` when the bytes had to be turned into UTF-8. Plain UTF-8 costs
// one look at the first bytes on top of the validation.
Result<Encoding> decode_text(std::string_view& bytes, std::string& converted) {
  std::optional<Encoding> marked = byte_order_mark(bytes);
  if (marked == Encoding::utf16_le || marked == Encoding::utf16_be) {
    converted = utf16_to_utf8(bytes.substr(2), marked == Encoding::utf16_be);
    bytes = converted;
    return *marked;
  }
  if (!is_valid_utf8(bytes))
    return std::unexpected(invalid_data("stream did not contain valid UTF-8"));
  if (!marked) return Encoding::utf8;
  bytes.remove_prefix(byte_order_mark_size(*marked));
  return *marked;
}

// The chronological format names itself in its first line; every other text
// goes to the long/short decision.
Result<TextGrid> parse_by_header(std::string_view text, std::string&& name, bool strict,
                                 SourceInfo& info) {
  if (!is_chronological_textgrid(text)) return parse_by_layout(text, std::move(name), strict, info);
  info.layout = "chronological";
  return parse_chronological_text(text, std::move(name), strict);
}

}  // namespace

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

Result<std::string> read_text(std::string_view path) {
  Result<std::string> bytes = read_bytes(path);
  if (!bytes) return bytes;
  std::string_view text = *bytes;
  std::string converted;
  if (Result<Encoding> decoded = decode_text(text, converted); !decoded)
    return std::unexpected(std::move(decoded.error()));
  return std::string(text);
}

std::string file_stem(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = component.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(component);
  return std::string(component.substr(0, dot));
}

FileType reading_file_type(std::string_view word) {
  if (word == "long") return FileType::long_text;
  if (word == "short") return FileType::short_text;
  if (word != "auto") fail("Unknown file type: " + std::string(word));
  return FileType::automatic;
}

std::optional<TextEncoding> encoding_from_word(std::string_view word) noexcept {
  for (const EncodingWord& known : encoding_words)
    if (known.word == word) return known.encoding;
  return std::nullopt;
}

Result<TextGrid> read_from_bytes(std::string_view bytes, std::string name,
                                 const ReadOptions& options, SourceInfo* info) {
  SourceInfo ignored;
  SourceInfo& found = info ? *info : ignored;
  found = {};
  const bool automatic = options.file_type == FileType::automatic;
  if (automatic && is_binary_textgrid(bytes)) {
    found.layout = found.encoding = "binary";
    return parse_binary(bytes, std::move(name), options.strict);
  }
  std::string converted;
  std::string_view text = bytes;
  Result<Encoding> encoding = decode_text(text, converted);
  if (!encoding) {
    found.encoding = "unknown";
    return std::unexpected(std::move(encoding.error()));
  }
  found.encoding = encoding_name(*encoding);
  if (automatic) return parse_by_header(text, std::move(name), options.strict, found);
  const bool long_layout = options.file_type == FileType::long_text;
  found.layout = long_layout ? "long" : "short";
  return long_layout ? parse_long_text(text, std::move(name), options.strict)
                     : parse_short_text(text, std::move(name), options.strict);
}

Result<TextGrid> read_from_file(std::string_view path, const ReadOptions& options,
                                SourceInfo* info) {
  if (info) *info = {};
  // One read serves both the format decision and the parse.
  Result<std::string> bytes = read_bytes(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return read_from_bytes(*bytes, file_stem(path), options, info);
}

Result<TextGrid> read_from_file(std::string_view path, bool strict, std::string_view file_type,
                                SourceInfo* info) {
  if (info) *info = {};
  return read_from_file(path, ReadOptions{strict, reading_file_type(file_type)}, info);
}

std::vector<TextGridData> files_to_data(std::span<const std::string> files, bool strict,
                                        std::string_view file_type) {
  return ordered_parallel_map(files.size(), [&](std::size_t k) {
    Result<TextGrid> grid = read_from_file(files[k], strict, file_type);
    return grid ? grid->to_data() : TextGridData{0.0, 0.0, {}};
  });
}

std::vector<Vectors> files_to_vectors(std::span<const std::string> files, bool strict,
                                      std::string_view file_type) {
  return ordered_parallel_map(files.size(), [&](std::size_t k) {
    Result<TextGrid> grid = read_from_file(files[k], strict, file_type);
    return grid ? grid->to_vectors() : Vectors{};
  });
}

}  // namespace textgrid
