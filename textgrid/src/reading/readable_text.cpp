#include "readable_text.hpp"

namespace textgrid {
namespace {

constexpr bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

std::size_t character_count(std::string_view text) noexcept {
  std::size_t count = 0;
  for (unsigned char byte : text) count += !is_continuation(byte);
  return count;
}

// Byte offset of character `n` (the size when there are fewer).
std::size_t character_offset(std::string_view text, std::size_t n) noexcept {
  for (std::size_t at = 0; at < text.size(); ++at)
    if (!is_continuation(static_cast<unsigned char>(text[at])) && n-- == 0) return at;
  return text.size();
}

std::string excerpt(std::string_view text, std::size_t limit) {
  const std::size_t count = character_count(text);
  if (count <= limit || limit < 4) return std::string(text);
  // The end is kept too: what follows a long value often says most.
  const std::size_t tail = limit / 4, head = limit - tail - 1;
  std::string out(text.substr(0, character_offset(text, head)));
  out += "\u2026";
  out += text.substr(character_offset(text, count - tail));
  return out;
}

void append_hex(std::string& out, const char* prefix, unsigned value, int digits) {
  static constexpr char hex[] = "0123456789abcdef";
  out += prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += hex[(value >> shift) & 0xF];
}

// Line breaks of every kind a reader may split at (Python's str.splitlines
// among them) and the other control characters.
std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const auto third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      append_hex(out, "\\x", byte, 2);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
      append_hex(out, "\\x", next, 2);
      ++i;
    } else if (byte == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
      append_hex(out, "\\u", 0x2000u + third - 0x80u, 4);  // U+2028, U+2029
      i += 2;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace

std::string readable_text(std::string_view text, std::size_t limit) {
  return escaped(excerpt(text, limit));
}

}  // namespace textgrid
