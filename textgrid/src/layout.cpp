// Telling the text layouts apart for "auto" reading, by the first lines after
// the file-type header: the long layout states its values as "key = value"
// lines ("xmin = 0"), the short one as bare values, one a line ("0"); Praat's
// free-form text puts several on a line or adds "!" comments, or starts with
// the bare file-type text ("ooTextFile"). Only the start of the file is looked
// at, so no name or label can sway the choice.
#include <string_view>

#include "textgrid/parser.hpp"

namespace textgrid {
namespace {

// Short files hold bare values here (bounds, tier-list marker, tier count);
// a label, which might hold "=", comes later.
constexpr int lines_looked_at = 4;

constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

bool is_header_line(std::string_view line) noexcept {
  return line.starts_with("File type") || line.starts_with("Object class");
}

bool opens_tier_list(std::string_view line) noexcept {
  if (!line.starts_with("item")) return false;
  std::size_t bracket = line.find_first_not_of(' ', 4);
  return bracket != std::string_view::npos && line[bracket] == '[';
}

bool is_long_layout_line(std::string_view line) noexcept {
  return line.find('=') != std::string_view::npos || opens_tier_list(line);
}

// Several values on the line, or a comment (a bare value is one word).
bool is_free_form_line(std::string_view line) noexcept {
  if (line.starts_with('"')) return false;  // a text: the short layout's class, name or label
  return line.find_first_of(" \t!") != std::string_view::npos;
}

}  // namespace

TextLayout detect_text_layout(std::string_view text) noexcept {
  if (text.starts_with(utf8_byte_order_mark)) text.remove_prefix(utf8_byte_order_mark.size());
  std::size_t pos = 0;
  bool first = true;
  for (int looked_at = 0; pos < text.size() && looked_at < lines_looked_at;) {
    std::string_view line = trim(detail::next_line(text, pos));
    if (line.empty() || is_header_line(line)) continue;
    if (first && line.starts_with('"')) {
      // The file type as a bare text; other formats' headers are not read here.
      return line.starts_with("\"ooTextFile") ? TextLayout::free_text : TextLayout::short_text;
    }
    first = false;
    if (is_long_layout_line(line)) return TextLayout::long_text;
    if (is_free_form_line(line)) return TextLayout::free_text;
    ++looked_at;
  }
  return TextLayout::short_text;
}

}  // namespace textgrid
