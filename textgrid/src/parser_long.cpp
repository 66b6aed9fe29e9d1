// The long layout: one "key = value" per line, with section lines ("item [",
// "intervals [", "points [") opening tiers and items. One forgiving pass over
// the text; keys and values stay views into it, only names and labels are copied.
#include <string>

#include "textgrid/failure.hpp"
#include "textgrid/lib.hpp"
#include "textgrid/parser.hpp"

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

void apply_tier_key(Tier& tier, std::string_view key, std::string_view value) {
  if (key == "class") {
    tier.is_interval = detail::is_interval_class(value);
  } else if (key == "name") {
    tier.name.assign(strip_quotes(value));
  } else if (key == "xmin") {
    tier.tmin = parse_number(value);
  } else if (key == "xmax") {
    tier.tmax = parse_number(value);
  } else if (key == "intervals: size" || key == "points: size") {
    tier.size = parse_count(value);
  }
}

void apply_item_key(Item& item, std::string_view key, std::string_view value) {
  if (key == "xmin") {
    item.tmin = parse_number(value);
  } else if (key == "xmax") {
    item.tmax = parse_number(value);
  } else if (key == "number") {
    item.tmin = item.tmax = parse_number(value);
  } else if (key == "text" || key == "mark") {
    item.label.assign(strip_quotes(value));
  }
}

// Opens the tier or item that a section line starts; other lines give nothing.
// Only the prefix counts: the index in brackets is not read.
std::optional<Section> open_section(std::string_view line, std::size_t line_number,
                                    TextGrid& grid) {
  if (line.starts_with("item [")) {
    if (line.starts_with("item []")) return Section::skip;
    grid.tiers.emplace_back();
    return Section::tier;
  }
  if (line.starts_with("intervals [") || line.starts_with("points [")) {
    if (grid.tiers.empty())
      fail("Interval or point section on line " + std::to_string(line_number) +
           " comes before any tier (\"item [\" line)");
    grid.tiers.back().items.emplace_back();
    return Section::item;
  }
  return std::nullopt;
}

void apply_key(Section section, TextGrid& grid, std::string_view key, std::string_view value) {
  switch (section) {
    case Section::header:
      apply_header_key(grid, key, value);
      break;
    case Section::tier:
      apply_tier_key(grid.tiers.back(), key, value);
      break;
    case Section::item:
      apply_item_key(grid.tiers.back().items.back(), key, value);
      break;
    case Section::skip:
      break;
  }
}

Result<TextGrid> finish(TextGrid grid, bool strict) {
  if (strict) {
    if (Status valid = grid.assert_valid(); !valid) return std::unexpected(std::move(valid.error()));
  }
  return grid;
}

}  // namespace

Result<TextGrid> parse_long_text(std::string_view text, std::string name, bool strict) {
  TextGrid grid;
  grid.name = std::move(name);
  Section section = Section::header;
  std::size_t pos = 0;
  for (std::size_t line_number = 1; pos < text.size(); ++line_number) {
    std::string_view line = trim(detail::next_line(text, pos));
    if (std::optional<Section> opened = open_section(line, line_number, grid)) {
      section = *opened;
    } else if (auto key_value = parse_kv(line)) {
      apply_key(section, grid, key_value->first, key_value->second);
    }
  }
  return finish(std::move(grid), strict);
}

Result<TextGrid> read_from_file_long(std::string_view path, bool strict) {
  Result<std::string> text = read_text(path);
  if (!text) return std::unexpected(std::move(text.error()));
  return parse_long_text(*text, file_stem(path), strict);
}

}  // namespace textgrid
