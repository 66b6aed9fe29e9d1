// The long layout: one "key = value" per line, with section lines ("item [",
// "intervals [", "points [", with or without the space) opening tiers and
// items. One forgiving pass over the text; keys and values stay views into it,
// only names and labels are copied. A quoted name or label may run on over
// several lines; the pass then resumes after its closing quote.
#include <cstring>
#include <string>

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
      apply_item_key(grid.tiers.back().items.back(), key, value, state.cursor);
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
      if ((after = literal(at, end, "xmin = ")))
        return number_line(after, end, tier.items.back().tmin);
      if ((after = literal(at, end, "xmax = ")))
        return number_line(after, end, tier.items.back().tmax);
      return nullptr;
    case 'n':
      if (!(after = literal(at, end, "number = "))) return nullptr;
      if ((after = number_line(after, end, tier.items.back().tmin)))
        tier.items.back().tmax = tier.items.back().tmin;
      return after;
    case 't':
    case 'm':
      if (!(after = literal(at, end, "text = ")) && !(after = literal(at, end, "mark = ")))
        return nullptr;
      if ((after = quoted_line(skip_blanks(after, end), end, label)))
        tier.items.back().label.assign(label);
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
  for (;;) {
    Item& item = tier.items.back();
    const char* next = points ? number_key(at, end, values, "number = ", item.tmin, last)
                              : number_key(at, end, values, "xmin = ", item.tmin, last);
    if (!next) break;
    if (points) item.tmax = item.tmin;
    at = next, ++lines;
    if (!points) {
      if (!(next = number_key(at, end, values, "xmax = ", item.tmax, last))) break;
      at = next, ++lines;
    }
    std::string_view label;
    next = points ? literal(skip_indent(at, end, values), end, "mark = ")
                  : literal(skip_indent(at, end, values), end, "text = ");
    if (!next || !(next = quoted_line(skip_blanks(next, end), end, label))) break;
    at = next, ++lines;
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
  }
  hand_over();
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
  state.items.hand_over();
  return grid;
}

}  // namespace textgrid
