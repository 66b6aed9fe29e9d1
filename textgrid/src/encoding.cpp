// Decoding text files that are not plain UTF-8: the byte-order marks that
// announce an encoding, and UTF-16 turned into the UTF-8 the parsers read.
#include <cstdint>

#include "textgrid/formats.hpp"

namespace textgrid {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool is_high_surrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

class UnitReader {
 public:
  UnitReader(std::string_view units, bool big_endian)
      : bytes_(reinterpret_cast<const unsigned char*>(units.data())),
        count_(units.size() / 2),
        big_endian_(big_endian) {}

  std::size_t count() const noexcept { return count_; }
  char32_t operator[](std::size_t i) const noexcept {
    unsigned first = bytes_[2 * i], second = bytes_[2 * i + 1];
    return big_endian_ ? (first << 8 | second) : (second << 8 | first);
  }

 private:
  const unsigned char* bytes_;
  std::size_t count_;
  bool big_endian_;
};

}  // namespace

std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::utf8_sig: return "utf-8-sig";
    case Encoding::utf16_le: return "utf-16-le";
    case Encoding::utf16_be: return "utf-16-be";
    case Encoding::utf8: break;
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
    case Encoding::utf8_sig: return 3;
    case Encoding::utf16_le:
    case Encoding::utf16_be: return 2;
    case Encoding::utf8: break;
  }
  return 0;
}

std::string utf16_to_utf8(std::string_view units, bool big_endian) {
  UnitReader unit(units, big_endian);
  std::string out;
  // Most TextGrid text is ASCII: one byte per unit; growth covers the rest.
  out.reserve(unit.count());
  for (std::size_t i = 0; i < unit.count(); ++i) {
    char32_t code = unit[i];
    if (is_high_surrogate(code) && i + 1 < unit.count() && is_low_surrogate(unit[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(code) || is_low_surrogate(code)) {
      code = replacement_character;
    }
    append_utf8(out, code);
  }
  return out;
}

bool is_binary_textgrid(std::string_view bytes) noexcept {
  return bytes.starts_with(binary_file_magic);
}

bool is_chronological_textgrid(std::string_view text) noexcept {
  return text.starts_with(chronological_file_header);
}

}  // namespace textgrid
