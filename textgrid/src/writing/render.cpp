// Rendering a TextGrid to the long and the short text layouts, and saving it.
#include "textgrid/writing/render.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
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
#include "float_text.hpp"

namespace textgrid {

namespace {

using namespace std::string_view_literals;

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
