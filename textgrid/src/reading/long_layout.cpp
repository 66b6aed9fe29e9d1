// The long layout: one "key = value" per line, with section lines ("item [",
// "intervals [", "points [", with or without the space) opening tiers and
// items. One forgiving pass over the text; keys and values stay views into it,
// only names and labels are copied. A quoted name or label may run on over
// several lines; the pass then resumes after its closing quote.
#include <cstring>
#include <string>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"

namespace textgrid {
namespace {

// Which keys the parser listens to at the current line.
enum class Section { header, skip, tier, item };

void apply_header_key(TextGrid& grid, std::string_view key, std::string_view value) {
  if (key == "xmin") {
    grid.tmin = parse_number(value);
  } else if (key == "xmax") {
    grid.tmax = parse_number(value);
  } else if (key == "size") {
    grid.size = parse_count(value);
  }
}

// The fewest bytes an item takes: its section line and two key lines.
constexpr std::size_t min_item_bytes = 24;

// What the key lines of one parse change besides the document.
struct ParseState {
  detail::LineCursor cursor;
  std::size_t backed_items;  // see detail::reserve_items
};

void apply_tier_key(Tier& tier, std::string_view key, std::string_view value, ParseState& state) {
  if (key == "class") {
    tier.is_interval = detail::is_interval_class(value);
  } else if (key == "name") {
    tier.name = state.cursor.read_text(value);
  } else if (key == "xmin") {
    tier.tmin = parse_number(value);
  } else if (key == "xmax") {
    tier.tmax = parse_number(value);
  } else if (key == "intervals: size" || key == "points: size") {
    tier.size = parse_count(value);
    detail::reserve_items(tier, state.backed_items);
  }
}

void apply_item_key(Item& item, std::string_view key, std::string_view value,
                    detail::LineCursor& cursor) {
  if (key == "xmin") {
    item.tmin = parse_number(value);
  } else if (key == "xmax") {
    item.tmax = parse_number(value);
  } else if (key == "number" || key == "time") {  // older files name a point's time "time"
    item.tmin = item.tmax = parse_number(value);
  } else if (key == "text" || key == "mark") {
    item.label = cursor.read_text(value);
  }
}

// True when `line` starts with `word`, optional spaces and "["; `rest` is then
// what follows the bracket. A template so that the word's length is known.
template <std::size_t Size>
bool opens_with(std::string_view line, const char (&word)[Size], std::string_view& rest) noexcept {
  constexpr std::size_t length = Size - 1;
  if (line.size() < length || std::memcmp(line.data(), word, length) != 0) return false;
  std::size_t bracket = line.find_first_not_of(' ', length);
  if (bracket == std::string_view::npos || line[bracket] != '[') return false;
  rest = line.substr(bracket + 1);
  return true;
}

// Opens the tier or item that a section line starts; other lines give nothing.
// Only the prefix counts: the index in brackets is not read.
std::optional<Section> open_section(std::string_view line, std::size_t line_number,
                                    TextGrid& grid) {
  // Most lines are key lines: one test of the first letter passes them by.
  if (line.empty() || (line.front() != 'i' && line.front() != 'p')) return std::nullopt;
  std::string_view rest;
  if (opens_with(line, "item", rest)) {
    if (rest.starts_with(']')) return Section::skip;
    grid.tiers.emplace_back();
    return Section::tier;
  }
  if (opens_with(line, "intervals", rest) || opens_with(line, "points", rest)) {
    if (grid.tiers.empty())
      fail("Interval or point section on line " + std::to_string(line_number) +
           " comes before any tier (\"item [\" line)");
    grid.tiers.back().items.emplace_back();
    return Section::item;
  }
  return std::nullopt;
}

void apply_key(Section section, TextGrid& grid, std::string_view key, std::string_view value,
               ParseState& state) {
  switch (section) {
    case Section::header:
      apply_header_key(grid, key, value);
      break;
    case Section::tier:
      apply_tier_key(grid.tiers.back(), key, value, state);
      break;
    case Section::item:
      apply_item_key(grid.tiers.back().items.back(), key, value, state.cursor);
      break;
    case Section::skip:
      break;
  }
}

}  // namespace

TextGrid parse_long_text(std::string_view text, std::string name) {
  TextGrid grid;
  grid.name = std::move(name);
  Section section = Section::header;
  ParseState state{detail::LineCursor(text), text.size() / min_item_bytes};
  while (!state.cursor.at_end()) {
    std::string_view line = trim(state.cursor.next_line());
    if (std::optional<Section> opened = open_section(line, state.cursor.line_number(), grid)) {
      section = *opened;
    } else if (auto key_value = parse_kv(line)) {
      apply_key(section, grid, key_value->first, key_value->second, state);
    }
  }
  return grid;
}

}  // namespace textgrid
