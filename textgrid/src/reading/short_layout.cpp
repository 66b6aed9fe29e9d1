// The short layout: bare values, one per line, each read from the position
// where it must stand. A quoted name or label may run on over several lines
// and still counts as one position, so later values keep their places.
#include <string>
#include <vector>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/reading/source_map.hpp"

namespace textgrid {
namespace {

// Positions of the global values; line 5 (the tier-list marker) is never read.
constexpr std::size_t global_tmin_line = 3;
constexpr std::size_t global_tmax_line = 4;
constexpr std::size_t tier_count_line = 6;
constexpr std::size_t first_tier_line = 7;

// Lines are cut from the text as they are asked for. Values are read at
// increasing positions, so a forward cursor is enough, and a text made of
// many short lines costs nothing beyond the text itself (a list of line
// views would cost 16 bytes per line, 16 times the size of a file of empty
// lines).
class Lines {
 public:
  explicit Lines(std::string_view text) : cursor_(text) {}

  // The line at 0-based `position`, at or after the last one asked for; a
  // layout that ends early is an internal failure.
  std::string_view at(std::size_t position) {
    while (cut_ <= position) {
      if (cursor_.at_end()) fail_missing(position);
      current_ = trim(cursor_.next_line());
      ++cut_;
    }
    if (position + 1 != cut_) fail("Short TextGrid lines must be read in order");
    return current_;
  }

  // The 1-based line of the value last cut (lines of multi-line texts counted).
  std::size_t line() const noexcept { return cursor_.line_number(); }

  double number(std::size_t position) { return parse_number(at(position)); }
  std::uint64_t count(std::size_t position) { return parse_count(at(position)); }
  std::string text(std::size_t position) { return cursor_.read_text(at(position)); }

 private:
  // Every line has been cut by now, so `cut_` is the number of lines.
  [[noreturn]] void fail_missing(std::size_t position) const {
    fail("Short TextGrid ended early: line " + std::to_string(position + 1) +
         " is missing (the text has " + std::to_string(cut_) + (cut_ == 1 ? " line)" : " lines)"));
  }

  detail::LineCursor cursor_;
  std::size_t cut_ = 0;       // lines cut so far, a multi-line text counting as one
  std::string_view current_;  // the last line cut, number cut_ - 1
};

// The fewest bytes an item takes: a point's two lines, a digit and an empty
// label, each with its line break.
constexpr std::size_t min_item_bytes = 3;

// Reads the items of `tier` starting at line `position`; returns the line after them.
template <class Record>
std::size_t read_items(Lines& lines, std::size_t position, Tier& tier, std::size_t& backed_items,
                       Record& record) {
  detail::reserve_items(tier, backed_items);
  for (std::uint64_t i = 0; i < tier.size; ++i) {
    Item& item = tier.items.emplace_back();
    item.tmin = lines.number(position++);
    if constexpr (Record::active) record.item(lines.line());
    item.tmax = tier.is_interval ? lines.number(position++) : item.tmin;
    item.label = lines.text(position++);
  }
  return position;
}

// Reads one tier starting at line `position`; returns the line after it.
template <class Record>
std::size_t read_tier(Lines& lines, std::size_t position, TextGrid& grid,
                      std::size_t& backed_items, Record& record) {
  Tier& tier = grid.tiers.emplace_back();
  std::string_view class_word = lines.at(position);
  if constexpr (Record::active) record.tier(lines.line());
  tier.is_interval = detail::is_interval_class(class_word);
  tier.name = lines.text(position + 1);
  tier.tmin = lines.number(position + 2);
  if constexpr (Record::active) record.tier_field(Field::tmin, lines.line());
  tier.tmax = lines.number(position + 3);
  if constexpr (Record::active) record.tier_field(Field::tmax, lines.line());
  tier.size = lines.count(position + 4);
  if constexpr (Record::active) record.tier_field(Field::size, lines.line());
  return read_items(lines, position + 5, tier, backed_items, record);
}

template <class Record>
TextGrid read_grid(Lines& lines, std::string_view text, std::string name, Record& record) {
  TextGrid grid;
  grid.name = std::move(name);
  grid.tmin = lines.number(global_tmin_line);
  if constexpr (Record::active) record.grid_field(Field::tmin, lines.line());
  grid.tmax = lines.number(global_tmax_line);
  if constexpr (Record::active) record.grid_field(Field::tmax, lines.line());
  grid.size = lines.count(tier_count_line);
  if constexpr (Record::active) record.grid_field(Field::size, lines.line());
  std::size_t position = first_tier_line;
  std::size_t backed_items = text.size() / min_item_bytes;
  for (std::uint64_t t = 0; t < grid.size; ++t)
    position = read_tier(lines, position, grid, backed_items, record);
  return grid;
}

}  // namespace

TextGrid parse_short_text(std::string_view text, std::string name) {
  Lines lines(text);
  NoRecord record;
  TextGrid grid = read_grid(lines, text, std::move(name), record);
  return grid;
}

[[gnu::cold]] TextGrid locate_short_text(std::string_view text, SourceMap& map) {
  Lines lines(text);
  MapRecord record{map};
  try {
    return read_grid(lines, text, {}, record);
  } catch (const InternalFailure&) {
    map.stopped = lines.line();
    throw;
  }
}

}  // namespace textgrid
