// Telling the text layouts apart for "auto" reading, by the first lines after
// the file-type header: the long layout states its values as "key = value"
// lines ("xmin = 0"), the short one as bare values, one a line ("0"); Praat's
// free-form text puts several on a line or adds "!" comments, or starts with
// the bare file-type text ("ooTextFile"). Only the start of the file is looked
// at, so no name or label can sway the choice.
#include <cctype>
#include <string_view>

#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/reading/text_parsers.hpp"

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

namespace {

// Only white space (any the parsers trim from a line), or nothing: no layout
// could be read from it.
bool is_blank(std::string_view text) noexcept { return trim(text).empty(); }

// The short layout puts a blank line between its two header lines and the
// values; without it, the values follow at once ("0" in the third line), and
// the token reader, which does not count lines, reads them as Praat does.
bool short_values_follow_header(std::string_view text) noexcept {
  if (!text.starts_with("File type")) return false;
  std::size_t pos = 0;
  detail::next_line(text, pos);
  detail::next_line(text, pos);
  std::string_view third = trim(detail::next_line(text, pos));
  return !third.empty() && (std::isdigit(static_cast<unsigned char>(third[0])) ||
                            third[0] == '+' || third[0] == '-');
}

TextReader choose_auto_reader(std::string_view text) noexcept {
  // The chronological format names itself in its first line.
  if (is_chronological_textgrid(text)) return TextReader::chronological;
  switch (detect_text_layout(text)) {
    case TextLayout::long_text:
      return TextReader::long_text;
    case TextLayout::free_text:
      return TextReader::free_text;
    case TextLayout::short_text:
      break;
  }
  if (short_values_follow_header(text)) return TextReader::short_without_blank;
  if (is_blank(text)) return TextReader::blank;
  return TextReader::short_text;
}

}  // namespace

bool has_textgrid_header(std::string_view text) noexcept {
  constexpr int header_lines = 5;
  if (text.starts_with(utf8_byte_order_mark)) text.remove_prefix(utf8_byte_order_mark.size());
  std::size_t pos = 0;
  for (int line = 0; line < header_lines && pos < text.size(); ++line) {
    std::string_view found = detail::next_line(text, pos);
    if (found.find("ooTextFile") != std::string_view::npos ||
        found.find("TextGrid") != std::string_view::npos)
      return true;
  }
  return false;
}

TextReader choose_text_reader(std::string_view text, FileType file_type) noexcept {
  if (file_type == FileType::long_text) return TextReader::long_text;
  if (file_type == FileType::short_text) return TextReader::short_text;
  return choose_auto_reader(text);
}

std::string_view layout_name(TextReader reader) noexcept {
  switch (reader) {
    case TextReader::long_text:
      return "long";
    case TextReader::free_text:
      return "free-form";
    case TextReader::chronological:
      return "chronological";
    case TextReader::short_text:
    case TextReader::short_without_blank:
    case TextReader::blank:
      break;
  }
  return "short";
}

}  // namespace textgrid
