// Rendering a TextGrid to the long and the short text layouts, and saving it.
#include "textgrid/writing/render.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "textgrid/model/error.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/writing/piece_writer.hpp"
#include "textgrid/writing/safe_save.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {

// Writes append_float's text at `at`, which has room for max_float_length
// bytes; returns its end.
char* put_float(char* at, double value) noexcept;

namespace {

using namespace std::string_view_literals;

// Room for "-0." plus 323 zeros plus 17 digits (the smallest subnormals), or
// for 17 digits followed by up to 292 zeros (the largest finite values).
constexpr std::size_t max_float_length = 352;

constexpr double exact_integer_limit = 9007199254740992.0;  // 2^53

// Lays out the shortest scientific digits `d.ddde±x` positionally.
std::size_t positional_from_scientific(const char* first, const char* last, char* out) {
  char* cursor = out;
  if (*first == '-') {
    *cursor++ = '-';
    ++first;
  }
  char digits[24];
  int count = 0;
  const char* p = first;
  for (; p != last && *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), last, exponent);

  const int integer_digits = exponent + 1;
  if (integer_digits <= 0) {
    *cursor++ = '0';
    *cursor++ = '.';
    for (int i = 0; i < -integer_digits; ++i) *cursor++ = '0';
    for (int i = 0; i < count; ++i) *cursor++ = digits[i];
  } else if (integer_digits >= count) {
    for (int i = 0; i < count; ++i) *cursor++ = digits[i];
    for (int i = count; i < integer_digits; ++i) *cursor++ = '0';
  } else {
    for (int i = 0; i < integer_digits; ++i) *cursor++ = digits[i];
    *cursor++ = '.';
    for (int i = integer_digits; i < count; ++i) *cursor++ = digits[i];
  }
  return static_cast<std::size_t>(cursor - out);
}

// Two digits at a time, from a table of "00" to "99".
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` in decimal ending just before `end`; returns where it starts.
char* digits_before(char* end, std::uint64_t value) noexcept {
  while (value >= 100) {
    const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    *--end = digit_pairs[pair + 1];
    *--end = digit_pairs[pair];
  }
  if (value >= 10) {
    *--end = digit_pairs[value * 2 + 1];
    *--end = digit_pairs[value * 2];
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

// Times as recordings hold them: non-negative, below a million seconds, at
// most nine decimals. Then m = round(value * 10^9) is below 10^15, so at most
// one decimal of nine places reads back as `value` (two would have to be
// closer than the value's unit in the last place); when m / 10^9 reads back
// as `value` (the reader's own conversion, one correctly rounded division),
// m without its trailing zeros is the shortest round-trip text, as the
// library's would be. Writes it before `end`; nullptr for any other value.
constexpr double nine_decimals = 1e9;
constexpr double short_time_limit = 1e6;
char* short_time_before(char* end, double value) noexcept {
  if (!(value >= 0.0 && value < short_time_limit)) return nullptr;
  // Rounded to a whole number as nearbyint would (below 2^52, adding and
  // taking away 2^52 leaves no fraction), without a call to the library.
  constexpr double whole_number_shift = 0x1p52;
  const double scaled = (value * nine_decimals + whole_number_shift) - whole_number_shift;
  if (scaled / nine_decimals != value) return nullptr;
  auto units = static_cast<std::uint64_t>(scaled);
  std::uint64_t whole = units / 1'000'000'000u;
  std::uint64_t fraction = units % 1'000'000'000u;
  if (fraction != 0) {
    int places = 9;
    // At most eight trailing zeros: eight, four, two, then one at a time.
    if (fraction % 100000000 == 0) fraction /= 100000000, places -= 8;
    if (fraction % 10000 == 0) fraction /= 10000, places -= 4;
    if (fraction % 100 == 0) fraction /= 100, places -= 2;
    if (fraction % 10 == 0) fraction /= 10, places -= 1;
    char* start = digits_before(end, fraction);
    while (end - start < places) *--start = '0';
    *--start = '.';
    end = start;
  }
  return digits_before(end, whole);
}

// Raw output: each writer below is given room for the most it can write.
template <std::size_t Size>
char* put(char* at, const char (&text)[Size]) noexcept {
  std::memcpy(at, text, Size - 1);
  return at + Size - 1;
}

char* put_count(char* at, std::uint64_t value) noexcept {
  return std::to_chars(at, at + 24, value).ptr;
}

void append_count(std::string& out, std::uint64_t value) {
  char text[24];
  out.append(text, static_cast<std::size_t>(put_count(text, value) - text));
}

// Praat writes a double quote inside a text as two double quotes; the text
// takes at most twice its bytes and two.
char* put_quoted(char* at, std::string_view text) noexcept {
  *at++ = '"';
  // Most labels are a few bytes: copied byte by byte, without library calls.
  constexpr std::size_t short_text = 32;
  if (text.size() < short_text) {
    for (char c : text) {
      *at++ = c;
      if (c == '"') *at++ = '"';
    }
    *at++ = '"';
    return at;
  }
  for (std::size_t quote = text.find('"'); quote != std::string_view::npos; quote = text.find('"')) {
    std::memcpy(at, text.data(), quote + 1);
    at += quote + 1;
    *at++ = '"';
    text.remove_prefix(quote + 1);
  }
  std::memcpy(at, text.data(), text.size());
  at += text.size();
  *at++ = '"';
  return at;
}

void append_quoted(std::string& out, std::string_view text) {
  const std::size_t old = out.size();
  out.resize_and_overwrite(old + 2 * text.size() + 2, [&](char* data, std::size_t) {
    return static_cast<std::size_t>(put_quoted(data + old, text) - data);
  });
}

// Rough bytes per item (typical times and positions), excluding the label.
constexpr std::size_t long_interval_bytes = 140;
constexpr std::size_t long_point_bytes = 100;
constexpr std::size_t short_interval_bytes = 45;
constexpr std::size_t short_point_bytes = 25;
constexpr std::size_t tier_header_bytes = 220;
constexpr std::size_t file_header_bytes = 160;

std::size_t estimated_bytes(const Tier& tier, bool long_layout) {
  std::size_t per_item = long_layout ? (tier.is_interval ? long_interval_bytes : long_point_bytes)
                                     : (tier.is_interval ? short_interval_bytes : short_point_bytes);
  std::size_t total = tier_header_bytes + tier.name.size() + per_item * tier.items.size();
  for (const Item& item : tier.items) total += item.label.size();
  return total;
}

std::size_t estimated_bytes(const TextGrid& grid, bool long_layout) {
  std::size_t total = file_header_bytes;
  for (const Tier& tier : grid.tiers) total += estimated_bytes(tier, long_layout);
  return total;
}

// The most an item's text takes besides twice its label: its fixed text, two
// times and its position.
constexpr std::size_t item_room = 96 + 2 * max_float_length + 24;

// The last time written and its text: an interval starts where the one before
// it ends, so its start is copied rather than formatted again.
struct LastTime {
  double value = 0.0;
  std::size_t length = 0;  // 0: nothing kept
  char text[32];
};

// put_float, with room for 32 bytes at `at` as it has; only the very same bits
// count as the same time (0 and -0 are written apart).
char* put_time(char* at, double value, LastTime& last) noexcept {
  if (last.length != 0 &&
      std::bit_cast<std::uint64_t>(value) == std::bit_cast<std::uint64_t>(last.value)) {
    std::memcpy(at, last.text, sizeof last.text);
    return at + last.length;
  }
  char* end = put_float(at, value);
  const auto length = static_cast<std::size_t>(end - at);
  last.length = length <= sizeof last.text ? length : 0;
  last.value = value;
  std::memcpy(last.text, at, sizeof last.text);
  return end;
}

char* put_long_interval(char* at, const Item& item, std::uint64_t position, LastTime& last) noexcept {
  at = put(at, "        intervals [");
  at = put_count(at, position);
  at = put(at, "]:\r\n            xmin = ");
  at = put_time(at, item.tmin, last);
  at = put(at, " \r\n            xmax = ");
  at = put_time(at, item.tmax, last);
  at = put(at, " \r\n            text = ");
  at = put_quoted(at, item.label);
  return put(at, " \r\n");
}

char* put_long_point(char* at, const Item& item, std::uint64_t position, LastTime& last) noexcept {
  at = put(at, "        points [");
  at = put_count(at, position);
  at = put(at, "]:\r\n            number = ");
  at = put_time(at, item.tmin, last);
  at = put(at, " \r\n            mark = ");
  at = put_quoted(at, item.label);
  return put(at, " \r\n");
}

char* put_short_interval(char* at, const Item& item, std::uint64_t /*position*/,
                         LastTime& last) noexcept {
  at = put_time(at, item.tmin, last);
  at = put(at, "\r\n");
  at = put_time(at, item.tmax, last);
  at = put(at, "\r\n");
  at = put_quoted(at, item.label);
  return put(at, "\r\n");
}

char* put_short_point(char* at, const Item& item, std::uint64_t /*position*/,
                      LastTime& last) noexcept {
  at = put_time(at, item.tmin, last);
  at = put(at, "\r\n");
  at = put_quoted(at, item.label);
  return put(at, "\r\n");
}

using ItemRenderer = char* (*)(char*, const Item&, std::uint64_t, LastTime&);

// Items per chunk of room made at once in the text.
constexpr std::size_t items_per_chunk = 64;

// Renders items [first, last) after what `out` holds, making room for the
// most they can take once per chunk rather than growing the text per piece.
void render_items(std::string& out, const std::vector<Item>& items, std::size_t first,
                  std::size_t last, ItemRenderer render) {
  LastTime last_time;
  for (std::size_t begin = first; begin < last; begin += items_per_chunk) {
    const std::size_t stop = std::min(begin + items_per_chunk, last);
    std::size_t room = 0;
    for (std::size_t i = begin; i < stop; ++i) room += item_room + 2 * items[i].label.size();
    const std::size_t old = out.size();
    out.resize_and_overwrite(old + room, [&](char* data, std::size_t) {
      char* at = data + old;
      for (std::size_t i = begin; i < stop; ++i) at = render(at, items[i], i + 1, last_time);
      return static_cast<std::size_t>(at - data);
    });
  }
}

// Items per piece of text on the pool: one allocation per piece, not per item.
constexpr std::size_t items_per_piece = 512;

// Small tiers render straight into `out`. Large ones render on the pool, one
// piece of consecutive items per element of the map, and the pieces are
// joined in item order, so the bytes never depend on scheduling.
void append_items(std::string& out, const std::vector<Item>& items, std::size_t begin,
                  std::size_t end, ItemRenderer render, std::size_t bytes_per_item) {
  const std::size_t count = end - begin;
  if (count < items_worth_the_pool || count < parallel_threshold()) {
    render_items(out, items, begin, end, render);
    return;
  }
  const std::size_t piece_count = (count + items_per_piece - 1) / items_per_piece;
  auto pieces = ordered_parallel_map(piece_count, [&](std::size_t piece_index) {
    std::string piece;
    const std::size_t first = begin + piece_index * items_per_piece;
    const std::size_t last = std::min(first + items_per_piece, end);
    std::size_t bytes = bytes_per_item * (last - first);
    for (std::size_t i = first; i < last; ++i) bytes += items[i].label.size();
    piece.reserve(bytes);
    render_items(piece, items, first, last, render);
    return piece;
  });
  std::size_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  out.reserve(out.size() + total);
  for (const auto& piece : pieces) out += piece;
}

void append_items(std::string& out, const Tier& tier, std::size_t begin, std::size_t end,
                  bool long_layout) {
  if (long_layout && tier.is_interval)
    append_items(out, tier.items, begin, end, put_long_interval, long_interval_bytes);
  else if (long_layout)
    append_items(out, tier.items, begin, end, put_long_point, long_point_bytes);
  else if (tier.is_interval)
    append_items(out, tier.items, begin, end, put_short_interval, short_interval_bytes);
  else
    append_items(out, tier.items, begin, end, put_short_point, short_point_bytes);
}

// A tier's text before its items.
void append_long_tier_head(std::string& out, const Tier& tier, std::uint64_t index) {
  out += "    item ["sv;
  append_count(out, index + 1);
  out += "]:\r\n        class = "sv;
  out += tier.is_interval ? "\"IntervalTier\""sv : "\"TextTier\""sv;
  out += " \r\n        name = "sv;
  append_quoted(out, tier.name);
  out += " \r\n        xmin = "sv;
  append_float(out, tier.tmin);
  out += " \r\n        xmax = "sv;
  append_float(out, tier.tmax);
  out += tier.is_interval ? " \r\n        intervals: size = "sv : " \r\n        points: size = "sv;
  append_count(out, tier.items.size());
  out += " \r\n"sv;
}

void append_short_tier_head(std::string& out, const Tier& tier) {
  out += tier.is_interval ? "\"IntervalTier\"\r\n"sv : "\"TextTier\"\r\n"sv;
  append_quoted(out, tier.name);
  out += "\r\n"sv;
  append_float(out, tier.tmin);
  out += "\r\n"sv;
  append_float(out, tier.tmax);
  out += "\r\n"sv;
  append_count(out, tier.items.size());
  out += "\r\n"sv;
}

void append_tier(std::string& out, const Tier& tier, std::uint64_t index, bool long_layout) {
  if (long_layout)
    append_long_tier_head(out, tier, index);
  else
    append_short_tier_head(out, tier);
  append_items(out, tier, 0, tier.items.size(), long_layout);
}

constexpr std::string_view file_type_header =
    "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

// The document's text before its first tier.
void append_document_head(std::string& out, const TextGrid& grid, bool long_layout) {
  out += file_type_header;
  if (long_layout) {
    out += "xmin = "sv;
    append_float(out, grid.tmin);
    out += " \r\nxmax = "sv;
    append_float(out, grid.tmax);
    // Written "<exists>" even without tiers, as Praat writes it (and needs it).
    out += " \r\ntiers? <exists> \r\nsize = "sv;
    append_count(out, grid.tiers.size());
    out += grid.tiers.empty() ? " \r\nitem []: (empty)\r\n"sv : " \r\nitem []: \r\n"sv;
  } else {
    append_float(out, grid.tmin);
    out += "\r\n"sv;
    append_float(out, grid.tmax);
    out += "\r\n<exists>\r\n"sv;
    append_count(out, grid.tiers.size());
    out += "\r\n"sv;
  }
}

std::string document_text(const TextGrid& grid, bool long_layout) {
  std::string out;
  out.reserve(estimated_bytes(grid, long_layout));
  append_document_head(out, grid, long_layout);
  for (std::size_t i = 0; i < grid.tiers.size(); ++i) append_tier(out, grid.tiers[i], i, long_layout);
  return out;
}

// A document of this many items or more is saved in pieces, each written while
// the next is formatted; the items of a piece are formatted together (on the
// pool when there are enough).
constexpr std::size_t items_saved_in_pieces = 100'000;
constexpr std::size_t items_per_saved_piece = 1 << 15;

void save_in_pieces(const TextGrid& grid, std::string_view path, bool long_layout) {
  PieceWriter writer(path);
  std::string out;
  append_document_head(out, grid, long_layout);
  for (std::size_t i = 0; i < grid.tiers.size(); ++i) {
    const Tier& tier = grid.tiers[i];
    if (long_layout)
      append_long_tier_head(out, tier, i);
    else
      append_short_tier_head(out, tier);
    for (std::size_t first = 0; first < tier.items.size(); first += items_per_saved_piece) {
      append_items(out, tier, first, std::min(first + items_per_saved_piece, tier.items.size()),
                   long_layout);
      writer.write(std::exchange(out, std::string()));
    }
  }
  if (!out.empty()) writer.write(std::move(out));
  writer.finish();
}


}  // namespace

char* put_float(char* at, double value) noexcept {
  if (std::isnan(value)) return put(at, "NaN");
  if (std::isinf(value)) return value < 0 ? put(at, "-inf") : put(at, "inf");
  // The short form (at most 17 bytes) ends half-way into `digits`, so that a
  // fixed 32-byte copy, which the compiler turns into two moves, takes it whole.
  char digits[64];
  char* const digits_end = digits + 32;
  if (const char* start = short_time_before(digits_end, std::fabs(value))) {
    if (std::signbit(value)) *at++ = '-';
    std::memcpy(at, start, 32);
    return at + (digits_end - start);
  }
  // Below 2^53 every whole part is exact, so the library's shortest fixed form
  // is the shortest digits laid out positionally, in one step. Above, it would
  // spell out the exact binary value instead of padding the digits with zeros.
  if (std::fabs(value) < exact_integer_limit)
    return std::to_chars(at, at + max_float_length, value, std::chars_format::fixed).ptr;
  char scientific[32];
  auto result = std::to_chars(scientific, scientific + sizeof scientific, value,
                              std::chars_format::scientific);
  return at + positional_from_scientific(scientific, result.ptr, at);
}

void append_float(std::string& out, double value) {
  char text[max_float_length];
  out.append(text, static_cast<std::size_t>(put_float(text, value) - text));
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

std::string Tier::to_long_textgrid_string(std::uint64_t index) const {
  std::string out;
  out.reserve(estimated_bytes(*this, true));
  append_tier(out, *this, index, true);
  return out;
}

std::string Tier::to_short_textgrid_string() const {
  std::string out;
  out.reserve(estimated_bytes(*this, false));
  append_tier(out, *this, 0, false);
  return out;
}

std::string TextGrid::to_long_textgrid_string() const { return document_text(*this, true); }

std::string TextGrid::to_short_textgrid_string() const { return document_text(*this, false); }

void TextGrid::save_textgrid(std::string_view path, bool long_format) const {
  std::size_t items = 0;
  for (const Tier& tier : tiers) items += tier.items.size();
  if (items >= items_saved_in_pieces) return save_in_pieces(*this, path, long_format);
  save_file(path, document_text(*this, long_format));
}

}  // namespace textgrid
