// Praat's binary format: big-endian numbers, and texts stored as a 16-bit
// length followed by either one byte per character or, after a length of
// 0xFFFF, a character count and UTF-16 code units. Every read is checked
// against the end of the file, so a damaged or hostile length cannot make
// the reader allocate or read beyond what the file holds.
#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/praat_formats.hpp"

namespace textgrid {
namespace {

constexpr std::uint16_t wide_text_escape = 0xFFFF;
// The fewest bytes an interval (two times, an empty text) or a point takes.
constexpr std::size_t smallest_interval = 8 + 8 + 2;
constexpr std::size_t smallest_point = 8 + 2;

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes) : bytes_(bytes) {}

  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }

  // Fails unless `size` more bytes are there.
  void require(std::size_t size, const char* what) const {
    if (remaining() < size) ended_early(size, what);
  }

  std::string_view take(std::size_t size, const char* what) {
    require(size, what);
    std::string_view piece = bytes_.substr(pos_, size);
    pos_ += size;
    return piece;
  }

  std::uint64_t unsigned_big_endian(std::size_t size, const char* what) {
    std::uint64_t value = 0;
    for (unsigned char byte : take(size, what)) value = value << 8 | byte;
    return value;
  }

  std::uint8_t u8(const char* what) {
    return static_cast<std::uint8_t>(unsigned_big_endian(1, what));
  }
  std::uint16_t u16(const char* what) {
    return static_cast<std::uint16_t>(unsigned_big_endian(2, what));
  }
  std::int32_t i32(const char* what) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(unsigned_big_endian(4, what)));
  }

  // Infinities and NaNs all read as NaN, Praat's undefined value.
  double r64(const char* what) {
    std::uint64_t bits = unsigned_big_endian(8, what);
    if (((bits >> 52) & 0x7FF) == 0x7FF) return std::numeric_limits<double>::quiet_NaN();
    return std::bit_cast<double>(bits);
  }

 private:
  [[noreturn]] void ended_early(std::size_t size, const char* what) const {
    fail("Binary TextGrid ended early: " + std::string(what) + " needs " + std::to_string(size) +
         " bytes at byte " + std::to_string(pos_) + ", but only " + std::to_string(remaining()) +
         " remain");
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
};

void append_latin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

// A class name: one length byte, then the name.
std::string_view class_name(BinaryReader& reader) {
  std::uint8_t length = reader.u8("a class name");
  return reader.take(length, "a class name");
}

// One byte per character: Praat writes them for ASCII texts, and reads any
// byte above 0x7F as the character with that code.
std::string one_byte_text(BinaryReader& reader, std::size_t length, const char* what) {
  std::string_view bytes = reader.take(length, what);
  std::string text;
  text.reserve(bytes.size());
  for (unsigned char byte : bytes) append_latin1(text, byte);
  return text;
}

// `count` characters as UTF-16 code units, a surrogate pair counting as one.
std::string utf16_text(BinaryReader& reader, std::size_t count, const char* what) {
  reader.require(2 * count, what);
  std::string units;
  units.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view unit = reader.take(2, what);
    units += unit;
    unsigned first = static_cast<unsigned char>(unit[0]);
    if (first >= 0xDC && first <= 0xDF)
      fail(std::string("Binary TextGrid: ") + what + " holds a lone low surrogate");
    if (first >= 0xD8 && first <= 0xDB) {
      std::string_view low = reader.take(2, what);
      unsigned low_first = static_cast<unsigned char>(low[0]);
      if (low_first < 0xDC || low_first > 0xDF)
        fail(std::string("Binary TextGrid: ") + what + " holds an unpaired high surrogate");
      units += low;
    }
  }
  return utf16_to_utf8(units, true);
}

std::string wide_text(BinaryReader& reader, const char* what) {
  std::uint16_t length = reader.u16(what);
  if (length != wide_text_escape) return one_byte_text(reader, length, what);
  return utf16_text(reader, reader.u16(what), what);
}

std::size_t item_count(BinaryReader& reader, std::size_t smallest_item, const char* what) {
  std::int64_t count = reader.i32(what);
  if (count < 0)
    fail("Binary TextGrid: " + std::string(what) + " is negative (" + std::to_string(count) + ")");
  // A count that the rest of the file cannot hold is damage, found before any allocation.
  if (static_cast<std::size_t>(count) > reader.remaining() / smallest_item)
    fail("Binary TextGrid ended early: " + std::string(what) + " of " + std::to_string(count) +
         " needs at least " + std::to_string(static_cast<std::size_t>(count) * smallest_item) +
         " bytes, but only " + std::to_string(reader.remaining()) + " remain");
  return static_cast<std::size_t>(count);
}

void read_items(BinaryReader& reader, Tier& tier) {
  std::size_t count = item_count(reader, tier.is_interval ? smallest_interval : smallest_point,
                                 tier.is_interval ? "an interval count" : "a point count");
  tier.size = count;
  tier.items.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Item& item = tier.items.emplace_back();
    if (tier.is_interval) {
      item.tmin = reader.r64("an interval's start time");
      item.tmax = reader.r64("an interval's end time");
      item.label = wide_text(reader, "an interval's text");
    } else {
      item.tmin = item.tmax = reader.r64("a point's time");
      item.label = wide_text(reader, "a point's text");
    }
  }
}

void read_tier(BinaryReader& reader, Tier& tier) {
  std::string_view klass = class_name(reader);
  if (klass != "IntervalTier" && klass != "TextTier")
    fail("Unknown tier class: " + std::string(klass));
  tier.is_interval = klass == "IntervalTier";
  tier.name = wide_text(reader, "a tier name");
  tier.tmin = reader.r64("a tier's start time");
  tier.tmax = reader.r64("a tier's end time");
  read_items(reader, tier);
}

}  // namespace

TextGrid parse_binary(std::string_view bytes, std::string name) {
  BinaryReader reader(bytes);
  if (reader.take(binary_file_magic.size(), "the file header") != binary_file_magic)
    fail("Not a binary Praat file");
  if (std::string_view klass = class_name(reader); klass != "TextGrid")
    fail("Binary Praat file holds a " + std::string(klass) + ", not a TextGrid");
  TextGrid grid;
  grid.name = std::move(name);
  grid.tmin = reader.r64("the start time");
  grid.tmax = reader.r64("the end time");
  // Without the tier list, the TextGrid has no tiers.
  if (reader.u8("the tier list marker") != 0) {
    // A tier takes at least a class name, a name, two times and an item count.
    std::size_t count = item_count(reader, 1 + 2 + 8 + 8 + 4, "the tier count");
    grid.size = count;
    grid.tiers.resize(count);
    for (Tier& tier : grid.tiers) read_tier(reader, tier);
  }
  return grid;
}

}  // namespace textgrid
