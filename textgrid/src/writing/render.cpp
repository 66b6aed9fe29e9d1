// Rendering a TextGrid to the long and the short text layouts, and saving it.
#include "textgrid/writing/render.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "textgrid/model/error.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/writing/safe_save.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {
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
  const double scaled = std::nearbyint(value * nine_decimals);
  if (scaled / nine_decimals != value) return nullptr;
  auto units = static_cast<std::uint64_t>(scaled);
  std::uint64_t whole = units / 1'000'000'000u;
  std::uint64_t fraction = units % 1'000'000'000u;
  if (fraction != 0) {
    int places = 9;
    while (fraction % 10 == 0) fraction /= 10, --places;
    char* start = digits_before(end, fraction);
    while (end - start < places) *--start = '0';
    *--start = '.';
    end = start;
  }
  return digits_before(end, whole);
}

void append_count(std::string& out, std::uint64_t value) {
  char text[24];
  auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// Praat writes a double quote inside a text as two double quotes.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (auto quote = text.find('"'); quote != std::string_view::npos; quote = text.find('"')) {
    out.append(text.substr(0, quote + 1));
    out += '"';
    text.remove_prefix(quote + 1);
  }
  out.append(text);
  out += '"';
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

void append_long_interval(std::string& out, const Item& item, std::uint64_t position) {
  out += "        intervals ["sv;
  append_count(out, position);
  out += "]:\r\n            xmin = "sv;
  append_float(out, item.tmin);
  out += " \r\n            xmax = "sv;
  append_float(out, item.tmax);
  out += " \r\n            text = "sv;
  append_quoted(out, item.label);
  out += " \r\n"sv;
}

void append_long_point(std::string& out, const Item& item, std::uint64_t position) {
  out += "        points ["sv;
  append_count(out, position);
  out += "]:\r\n            number = "sv;
  append_float(out, item.tmin);
  out += " \r\n            mark = "sv;
  append_quoted(out, item.label);
  out += " \r\n"sv;
}

void append_short_interval(std::string& out, const Item& item, std::uint64_t /*position*/) {
  append_float(out, item.tmin);
  out += "\r\n"sv;
  append_float(out, item.tmax);
  out += "\r\n"sv;
  append_quoted(out, item.label);
  out += "\r\n"sv;
}

void append_short_point(std::string& out, const Item& item, std::uint64_t /*position*/) {
  append_float(out, item.tmin);
  out += "\r\n"sv;
  append_quoted(out, item.label);
  out += "\r\n"sv;
}

using ItemRenderer = void (*)(std::string&, const Item&, std::uint64_t);

// Items per piece of text on the pool: one allocation per piece, not per item.
constexpr std::size_t items_per_piece = 512;

// Small tiers render straight into `out`. Large ones render on the pool, one
// piece of consecutive items per element of the map, and the pieces are
// joined in item order, so the bytes never depend on scheduling.
void append_items(std::string& out, const std::vector<Item>& items, ItemRenderer render,
                  std::size_t bytes_per_item) {
  const std::size_t count = items.size();
  if (count < items_worth_the_pool || count < parallel_threshold()) {
    for (std::size_t i = 0; i < count; ++i) render(out, items[i], i + 1);
    return;
  }
  const std::size_t piece_count = (count + items_per_piece - 1) / items_per_piece;
  auto pieces = ordered_parallel_map(piece_count, [&](std::size_t piece_index) {
    std::string piece;
    const std::size_t first = piece_index * items_per_piece;
    const std::size_t last = std::min(first + items_per_piece, count);
    std::size_t bytes = bytes_per_item * (last - first);
    for (std::size_t i = first; i < last; ++i) bytes += items[i].label.size();
    piece.reserve(bytes);
    for (std::size_t i = first; i < last; ++i) render(piece, items[i], i + 1);
    return piece;
  });
  std::size_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  out.reserve(out.size() + total);
  for (const auto& piece : pieces) out += piece;
}

void append_long_tier(std::string& out, const Tier& tier, std::uint64_t index) {
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
  if (tier.is_interval)
    append_items(out, tier.items, append_long_interval, long_interval_bytes);
  else
    append_items(out, tier.items, append_long_point, long_point_bytes);
}

void append_short_tier(std::string& out, const Tier& tier) {
  out += tier.is_interval ? "\"IntervalTier\"\r\n"sv : "\"TextTier\"\r\n"sv;
  append_quoted(out, tier.name);
  out += "\r\n"sv;
  append_float(out, tier.tmin);
  out += "\r\n"sv;
  append_float(out, tier.tmax);
  out += "\r\n"sv;
  append_count(out, tier.items.size());
  out += "\r\n"sv;
  if (tier.is_interval)
    append_items(out, tier.items, append_short_interval, short_interval_bytes);
  else
    append_items(out, tier.items, append_short_point, short_point_bytes);
}

constexpr std::string_view file_type_header =
    "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

}  // namespace

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN"sv;
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf"sv : "inf"sv;
    return;
  }
  char text[max_float_length];
  char* const text_end = text + sizeof text;
  if (const char* start = short_time_before(text_end, std::fabs(value))) {
    if (std::signbit(value)) out += '-';
    out.append(start, static_cast<std::size_t>(text_end - start));
    return;
  }
  // Below 2^53 every whole part is exact, so the library's shortest fixed form
  // is the shortest digits laid out positionally, in one step. Above, it would
  // spell out the exact binary value instead of padding the digits with zeros.
  if (std::fabs(value) < exact_integer_limit) {
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    out.append(text, result.ptr);
    return;
  }
  char scientific[32];
  auto result = std::to_chars(scientific, scientific + sizeof scientific, value,
                              std::chars_format::scientific);
  out.append(text, positional_from_scientific(scientific, result.ptr, text));
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

std::string Tier::to_long_textgrid_string(std::uint64_t index) const {
  std::string out;
  out.reserve(estimated_bytes(*this, true));
  append_long_tier(out, *this, index);
  return out;
}

std::string Tier::to_short_textgrid_string() const {
  std::string out;
  out.reserve(estimated_bytes(*this, false));
  append_short_tier(out, *this);
  return out;
}

std::string TextGrid::to_long_textgrid_string() const {
  std::string out;
  out.reserve(estimated_bytes(*this, true));
  out += file_type_header;
  out += "xmin = "sv;
  append_float(out, tmin);
  out += " \r\nxmax = "sv;
  append_float(out, tmax);
  // Written "<exists>" even without tiers, as Praat writes it (and needs it).
  out += " \r\ntiers? <exists> \r\nsize = "sv;
  append_count(out, tiers.size());
  out += tiers.empty() ? " \r\nitem []: (empty)\r\n"sv : " \r\nitem []: \r\n"sv;
  for (std::size_t i = 0; i < tiers.size(); ++i) append_long_tier(out, tiers[i], i);
  return out;
}

std::string TextGrid::to_short_textgrid_string() const {
  std::string out;
  out.reserve(estimated_bytes(*this, false));
  out += file_type_header;
  append_float(out, tmin);
  out += "\r\n"sv;
  append_float(out, tmax);
  out += "\r\n<exists>\r\n"sv;
  append_count(out, tiers.size());
  out += "\r\n"sv;
  for (const Tier& tier : tiers) append_short_tier(out, tier);
  return out;
}

void TextGrid::save_textgrid(std::string_view path, bool long_format) const {
  const std::string text = long_format ? to_long_textgrid_string() : to_short_textgrid_string();
  save_file(path, text);
}

}  // namespace textgrid
