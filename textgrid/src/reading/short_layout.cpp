// The short layout: bare values, one per line, each read from the position
// where it must stand. A quoted name or label may run on over several lines
// and still counts as one position, so later values keep their places.
#include <string>
#include <vector>

#include "common_spellings.hpp"
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

  // The common spellings' readers take whole lines past the cursor: they
  // start where the line at `position` does, when every line before it is cut.
  const char* start_of(std::size_t position, std::string_view text) const noexcept {
    return position == cut_ ? text.data() + cursor_.position() : nullptr;
  }
  void took(const char* next, std::string_view text, std::size_t count) noexcept {
    cursor_.skip_to(static_cast<std::size_t>(next - text.data()), count);
    cut_ += count;
  }

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

// One item whose lines all have their common spelling, read in one pass into
// `item` (its label a view of the text); false (and `item` untouched) for any
// other, which the general path then reads line by line.
bool read_common_item(Lines& lines, std::size_t position, std::string_view text, bool interval,
                      ItemView& item, spelling::NumberToken& last) {
  using namespace spelling;
  const char* at = lines.start_of(position, text);
  const char* const end = text.data() + text.size();
  double tmin = 0.0, tmax = 0.0;
  std::string_view label;
  if (!at || !(at = number_line(at, end, tmin, last))) return false;
  if (interval && !(at = number_line(at, end, tmax, last))) return false;
  if (!(at = quoted_line(skip_blanks(at, end), end, label))) return false;
  item = {tmin, interval ? tmax : tmin, label};
  lines.took(at, text, interval ? 3 : 2);
  return true;
}

template <class Record>
void read_general_item(Lines& lines, std::size_t& position, bool interval, Record& record,
                       Item& item) {
  item.tmin = lines.number(position++);
  if constexpr (Record::active) record.item(lines.line());
  item.tmax = interval ? lines.number(position++) : item.tmin;
  item.label = lines.text(position++);
}

// Where a tier's items go: into the tier, or in runs to a sink.
struct ItemOutput {
  Tier& tier;
  std::size_t tier_position;
  ItemSink* sink;
  std::size_t& backed_items;
};

// Reads the items of a tier starting at line `position`; returns the line after them.
template <class Record>
std::size_t read_items(Lines& lines, std::size_t position, ItemOutput out, Record& record,
                       std::string_view text, Front front) {
  Tier& tier = out.tier;
  const bool common = !Record::active && front == Front::common_spellings;
  const std::size_t item_lines = tier.is_interval ? 3 : 2;
  spelling::NumberToken last;  // an interval's start is usually spelled as the last end
  if (!out.sink) {
    detail::reserve_items(tier, out.backed_items);
    for (std::uint64_t i = 0; i < tier.size; ++i) {
      Item& item = tier.items.emplace_back();
      ItemView read;
      if (common && read_common_item(lines, position, text, tier.is_interval, read, last)) {
        item.tmin = read.tmin, item.tmax = read.tmax, item.label.assign(read.label);
        position += item_lines;
        continue;
      }
      read_general_item(lines, position, tier.is_interval, record, item);
    }
    return position;
  }
  // Items go on in runs whose labels are still views of the text.
  constexpr std::size_t run_length = 64;
  ItemView run[run_length];
  std::size_t held = 0;
  auto hand_over = [&] {
    if (held) out.sink->add(tier, out.tier_position, {run, held});
    held = 0;
  };
  Item general;
  for (std::uint64_t i = 0; i < tier.size; ++i) {
    if (common && read_common_item(lines, position, text, tier.is_interval, run[held], last)) {
      position += item_lines;
      if (++held == run_length) hand_over();
      continue;
    }
    hand_over();
    read_general_item(lines, position, tier.is_interval, record, general);
    const ItemView view{general.tmin, general.tmax, general.label};
    out.sink->add(tier, out.tier_position, {&view, 1});
  }
  hand_over();
  return position;
}

// Reads one tier starting at line `position`; returns the line after it.
template <class Record>
std::size_t read_tier(Lines& lines, std::size_t position, TextGrid& grid,
                      std::size_t& backed_items, Record& record, std::string_view text,
                      Front front, ItemSink* sink) {
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
  const ItemOutput out{tier, grid.tiers.size() - 1, sink, backed_items};
  return read_items(lines, position + 5, out, record, text, front);
}

template <class Record>
TextGrid read_grid(Lines& lines, std::string_view text, std::string name, Record& record,
                   Front front, ItemSink* sink = nullptr) {
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
    position = read_tier(lines, position, grid, backed_items, record, text, front, sink);
  return grid;
}

}  // namespace

TextGrid parse_short_text(std::string_view text, std::string name, Front front, ItemSink* sink) {
  Lines lines(text);
  NoRecord record;
  TextGrid grid = read_grid(lines, text, std::move(name), record, front, sink);
  return grid;
}

[[gnu::cold]] TextGrid locate_short_text(std::string_view text, SourceMap& map) {
  Lines lines(text);
  MapRecord record{map};
  try {
    return read_grid(lines, text, {}, record, Front::general_only);
  } catch (const InternalFailure&) {
    map.stopped = lines.line();
    throw;
  }
}

}  // namespace textgrid
