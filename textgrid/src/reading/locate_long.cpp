// Where the values of a long-layout file stand. A scan of its own, line for
// line as the long reader walks them (the same sections, the same keys, the
// same texts run on over lines), so that the reader's hot loop carries no
// bookkeeping at all; the document itself then comes from the reader.
#include <cstring>
#include <optional>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/reading/source_map.hpp"

namespace textgrid {
namespace {

enum class Section { header, skip, tier, item };

// The text after "word[" when `line` opens with `word`, optional spaces and "[".
std::optional<std::string_view> opened(std::string_view line, std::string_view word) noexcept {
  if (!line.starts_with(word)) return std::nullopt;
  std::size_t bracket = line.find_first_not_of(' ', word.size());
  if (bracket == std::string_view::npos || line[bracket] != '[') return std::nullopt;
  return line.substr(bracket + 1);
}

// The number in the brackets ("12]:" -> 12), or 0 when there is none.
std::size_t bracket_number(std::string_view rest) noexcept {
  std::size_t number = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return c == ']' ? number : 0;
    number = number * 10 + static_cast<std::size_t>(c - '0');
  }
  return 0;
}

std::optional<Field> field_of(std::string_view key) noexcept {
  if (key == "xmin") return Field::tmin;
  if (key == "xmax") return Field::tmax;
  if (key == "size" || key == "intervals: size" || key == "points: size") return Field::size;
  return std::nullopt;
}

class LongScan {
 public:
  LongScan(std::string_view text, SourceMap& map) : cursor_(text), record_{map} {}

  void run() {
    while (!cursor_.at_end()) {
      std::string_view line = trim(cursor_.next_line());
      if (!open_section(line))
        if (auto key_value = parse_kv(line)) apply(key_value->first, key_value->second);
    }
  }
  std::size_t line() const noexcept { return cursor_.line_number(); }

 private:
  bool open_section(std::string_view line) {
    if (auto rest = opened(line, "item")) {
      section_ = rest->starts_with(']') ? Section::skip : Section::tier;
      if (section_ == Section::tier) {
        record_.tier(line_number(), bracket_number(*rest));
        has_tier_ = true;
      }
      return true;
    }
    auto rest = opened(line, "intervals");
    if (!rest) rest = opened(line, "points");
    if (!rest) return false;
    if (!has_tier_)
      fail("Interval or point section on line " + std::to_string(line_number()) +
           " comes before any tier (\"item [\" line)");
    record_.item(line_number(), bracket_number(*rest));
    section_ = Section::item;
    return true;
  }

  // Only what moves the cursor or stops the reader is done besides recording.
  void apply(std::string_view key, std::string_view value) {
    std::optional<Field> field = field_of(key);
    if (section_ == Section::header && field && key != "intervals: size" && key != "points: size")
      record_.grid_field(*field, line_number());
    if (section_ == Section::tier) {
      if (field && key != "size") record_.tier_field(*field, line_number());
      if (key == "class") detail::is_interval_class(value);
      if (key == "name") cursor_.read_text(value);
    }
    if (section_ == Section::item && (key == "text" || key == "mark")) cursor_.read_text(value);
  }

  std::size_t line_number() const noexcept { return cursor_.line_number(); }

  detail::LineCursor cursor_;
  MapRecord record_;
  Section section_ = Section::header;
  bool has_tier_ = false;
};

}  // namespace

TextGrid locate_long_text(std::string_view text, SourceMap& map) {
  LongScan scan(text, map);
  // The reader refuses what the scan lets pass only at the end of the text
  // (a text cut off inside an item), where the scan has stopped too.
  try {
    scan.run();
    return parse_long_text(text, {});
  } catch (const InternalFailure&) {
    map.stopped = scan.line();
    throw;
  }
}

}  // namespace textgrid
