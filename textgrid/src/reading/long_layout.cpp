// The long layout: one "key = value" per line, with section lines ("item [",
// "intervals [", "points [", with or without the space) opening tiers and
// items. One forgiving pass over the text; keys and values stay views into it,
// only names and labels are copied. A quoted name or label may run on over
// several lines; the pass then resumes after its closing quote.
#include <cstring>
#include <string>
#include <vector>

#include "common_spellings.hpp"
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

// Which of an item's lines have been read, as bits: a text that ends after
// its time lines and before its label, the last line Praat writes, was cut
// off inside the item.
constexpr unsigned start_line = 1, end_line = 2, label_line = 4;
constexpr unsigned time_lines = start_line | end_line, all_item_lines = time_lines | label_line;

// Where the items go: into their tier, or each to the sink once the next one
// (or tier, or the end) shows it complete. With a sink, the last tier holds at
// most the item being read.
class ItemOutput {
 public:
  ItemOutput(TextGrid& grid, ItemSink* sink) : grid_(grid), sink_(sink) {}

  ItemSink* sink() const noexcept { return sink_; }
  Tier& tier() noexcept { return grid_.tiers.back(); }

  // A new item in the last tier.
  void start() {
    hand_over();
    tier().items.emplace_back();
    lines_read = 0;
  }

  // Before a new tier and at the end: the items the last tier holds are complete.
  void hand_over() {
    if (!sink_ || grid_.tiers.empty()) return;
    for (const Item& item : tier().items) {
      const ItemView view{item.tmin, item.tmax, item.label};
      add({&view, 1});
    }
    tier().items.clear();
  }

  // Items read in one pass, complete, after any the tier holds.
  void add(std::span<const ItemView> items) {
    sink_->add(tier(), grid_.tiers.size() - 1, items);
  }

  unsigned lines_read = 0;  // of the item being read, as bits

 private:
  TextGrid& grid_;
  ItemSink* sink_;
};

// What the key lines of one parse change besides the document.
struct ParseState {
  detail::LineCursor cursor;
  std::size_t backed_items;  // see detail::reserve_items
  ItemOutput items;
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
    if (!state.items.sink()) detail::reserve_items(tier, state.backed_items);
  }
}

void apply_item_key(Item& item, std::string_view key, std::string_view value,
                    ParseState& state) {
  unsigned& lines_read = state.items.lines_read;
  if (key == "xmin") {
    item.tmin = parse_number(value);
    lines_read |= start_line;
  } else if (key == "xmax") {
    item.tmax = parse_number(value);
    lines_read |= end_line;
  } else if (key == "number" || key == "time") {  // older files name a point's time "time"
    item.tmin = item.tmax = parse_number(value);
    lines_read |= time_lines;
  } else if (key == "text" || key == "mark") {
    item.label = state.cursor.read_text(value);
    lines_read |= label_line;
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
                                    TextGrid& grid, ItemOutput& items) {
  // Most lines are key lines: one test of the first letter passes them by.
  if (line.empty() || (line.front() != 'i' && line.front() != 'p')) return std::nullopt;
  std::string_view rest;
  if (opens_with(line, "item", rest)) {
    if (rest.starts_with(']')) return Section::skip;
    items.hand_over();
    grid.tiers.emplace_back();
    return Section::tier;
  }
  if (opens_with(line, "intervals", rest) || opens_with(line, "points", rest)) {
    if (grid.tiers.empty())
      fail("Interval or point section on line " + std::to_string(line_number) +
           " comes before any tier (\"item [\" line)");
    items.start();
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
      apply_item_key(grid.tiers.back().items.back(), key, value, state);
      break;
    case Section::skip:
      break;
  }
}

// One item line in its common spelling, applied as apply_item_key and
// open_section would apply it; the start of the next line, or nullptr.
const char* common_item_line(const char* at, const char* end, ItemOutput& items) {
  using namespace spelling;
  Tier& tier = items.tier();
  const char* after = nullptr;
  std::string_view label;
  switch (*at) {
    case 'x':
      if ((after = literal(at, end, "xmin = ")) &&
          (after = number_line(after, end, tier.items.back().tmin)))
        items.lines_read |= start_line;
      else if ((after = literal(at, end, "xmax = ")) &&
               (after = number_line(after, end, tier.items.back().tmax)))
        items.lines_read |= end_line;
      return after;
    case 'n':
      if (!(after = literal(at, end, "number = "))) return nullptr;
      if ((after = number_line(after, end, tier.items.back().tmin))) {
        tier.items.back().tmax = tier.items.back().tmin;
        items.lines_read |= time_lines;
      }
      return after;
    case 't':
    case 'm':
      if (!(after = literal(at, end, "text = ")) && !(after = literal(at, end, "mark = ")))
        return nullptr;
      if ((after = quoted_line(skip_blanks(after, end), end, label))) {
        tier.items.back().label.assign(label);
        items.lines_read |= label_line;
      }
      return after;
    case 'i':
    case 'p':
      if (!(after = literal(at, end, "intervals [")) && !(after = literal(at, end, "points [")))
        return nullptr;
      items.start();
      return past_line(after, end);
    default:
      return nullptr;
  }
}

// A "key = number" line in its common spelling, indented as `indent` guesses;
// the start of the next line, or nullptr.
template <std::size_t Size>
const char* number_key(const char* at, const char* end, std::size_t& indent,
                       const char (&key)[Size], double& value, spelling::NumberToken& last) {
  at = spelling::literal(spelling::skip_indent(at, end, indent), end, key);
  return at ? spelling::number_line(at, end, value, last) : nullptr;
}

// The usual run of intervals (or of points), their lines in the order Praat
// writes them, in straight-line code whose branches the processor predicts;
// returns where it stopped, `lines` counting the lines it took. The value
// lines share one indentation and the section lines another. Without a sink
// each complete item stays in its tier; with one, complete items go on in
// runs whose labels are views of the text. The item being read when a line
// is not of the run stays in the tier, as read so far, for the general path.
const char* read_usual_items(const char* at, const char* end, ItemOutput& items,
                             std::size_t& lines) {
  using namespace spelling;
  Tier& tier = items.tier();
  const bool points = !tier.is_interval;
  std::size_t values = 0, sections = 0;
  NumberToken last;
  constexpr std::size_t run_length = 64;
  ItemView run[run_length];
  std::size_t held = 0;
  auto hand_over = [&] {
    if (held) items.add({run, held});
    held = 0;
  };
  unsigned lines_read = 0;  // of the item being read
  for (;;) {
    Item& item = tier.items.back();
    const char* next = points ? number_key(at, end, values, "number = ", item.tmin, last)
                              : number_key(at, end, values, "xmin = ", item.tmin, last);
    if (!next) break;
    if (points) item.tmax = item.tmin;
    at = next, ++lines;
    lines_read = points ? time_lines : start_line;
    if (!points) {
      if (!(next = number_key(at, end, values, "xmax = ", item.tmax, last))) break;
      at = next, ++lines;
      lines_read = time_lines;
    }
    std::string_view label;
    next = points ? literal(skip_indent(at, end, values), end, "mark = ")
                  : literal(skip_indent(at, end, values), end, "text = ");
    if (!next || !(next = quoted_line(skip_blanks(next, end), end, label))) break;
    at = next, ++lines;
    lines_read = all_item_lines;
    next = points ? literal(skip_indent(at, end, sections), end, "points [")
                  : literal(skip_indent(at, end, sections), end, "intervals [");
    if (!next) {
      item.label.assign(label);
      break;
    }
    if (items.sink()) {
      run[held] = {item.tmin, item.tmax, label};
      item.tmin = item.tmax = 0.0;
      if (++held == run_length) hand_over();
    } else {
      item.label.assign(label);
      tier.items.emplace_back();
    }
    at = past_line(next, end), ++lines;
    lines_read = 0;
  }
  hand_over();
  items.lines_read = lines_read;
  return at;
}

// Reads the lines after an item's section line for as long as each is an item
// line in its common spelling; the general loop reads on from the first other.
void read_common_items(ParseState& state, std::string_view text) {
  const char* const end = text.data() + text.size();
  std::size_t lines = 0;
  const char* at = read_usual_items(text.data() + state.cursor.position(), end, state.items, lines);
  while (at != end) {
    const char* start = spelling::skip_blanks(at, end);
    const char* next = start == end ? nullptr : common_item_line(start, end, state.items);
    if (!next) break;
    at = next;
    ++lines;
  }
  state.cursor.skip_to(static_cast<std::size_t>(at - text.data()), lines);
}

// Praat refuses a text that ends after some of an item's lines ("Early end of
// text detected"). One that ends right after an item's section line, before
// any of its lines, is read as it always has been, and so is one whose label
// has been read (an item written in another order, or a label never closed).
void fail_inside_item(const TextGrid& grid, const ParseState& state) {
  const unsigned read = state.items.lines_read;
  if (read == 0 || (read & label_line)) return;
  const bool interval = grid.tiers.back().is_interval;
  std::vector<const char*> missing;
  if (interval && !(read & start_line)) missing.push_back("xmin");
  if (interval && !(read & end_line)) missing.push_back("xmax");
  if (!interval && (read & time_lines) != time_lines) missing.push_back("number");
  if (!(read & label_line)) missing.push_back(interval ? "text" : "mark");
  std::string lines;
  for (std::size_t i = 0; i < missing.size(); ++i)
    lines += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + std::string(missing[i]);
  fail("Long TextGrid ended early: the text ends on line " +
       std::to_string(state.cursor.line_number()) + ", inside " +
       (interval ? "an interval" : "a point") + " of tier " + std::to_string(grid.tiers.size()) +
       " whose " + lines + (missing.size() == 1 ? " line is" : " lines are") + " missing");
}

}  // namespace

TextGrid parse_long_text(std::string_view text, std::string name, Front front, ItemSink* sink) {
  TextGrid grid;
  grid.name = std::move(name);
  Section section = Section::header;
  ParseState state{detail::LineCursor(text), text.size() / min_item_bytes, ItemOutput(grid, sink)};
  while (!state.cursor.at_end()) {
    std::string_view line = trim(state.cursor.next_line());
    if (std::optional<Section> opened =
            open_section(line, state.cursor.line_number(), grid, state.items)) {
      section = *opened;
      if (section == Section::item && front == Front::common_spellings)
        read_common_items(state, text);
    } else if (auto key_value = parse_kv(line)) {
      apply_key(section, grid, key_value->first, key_value->second, state);
    }
  }
  if (section == Section::item) fail_inside_item(grid, state);
  state.items.hand_over();
  return grid;
}

}  // namespace textgrid
