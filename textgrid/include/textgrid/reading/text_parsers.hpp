#pragma once
// The two text parsers and the tolerant value conversions they share.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "textgrid/model/error.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/reading/item_sink.hpp"

namespace textgrid {

// Trims leading and trailing Unicode white space.
std::string_view trim(std::string_view text) noexcept;

// Splits a line at its first "=" into a trimmed (key, value); nothing without "=".
std::optional<std::pair<std::string_view, std::string_view>> parse_kv(
    std::string_view line) noexcept;

// Tolerant conversions: a malformed number reads as 0.0, a malformed count as 0.
double parse_number(std::string_view value) noexcept;
std::uint64_t parse_count(std::string_view value) noexcept;
// Removes every leading and every trailing double quote.
std::string_view strip_quotes(std::string_view value) noexcept;

// Which lines the long and short parsers read in one pass: the common
// spellings of item lines, or none (every line line by line; the reference the
// one-pass readers are checked against).
enum class Front { common_spellings, general_only };

// Parse text already in memory into the document it holds, unvalidated;
// `name` becomes the TextGrid's name. Validation is the reader's, once. With
// a sink, the items go there, in order, and the tiers hold none.
TextGrid parse_long_text(std::string_view text, std::string name,
                         Front front = Front::common_spellings, ItemSink* sink = nullptr);
TextGrid parse_short_text(std::string_view text, std::string name,
                          Front front = Front::common_spellings, ItemSink* sink = nullptr);
// Praat's free-form text (values anywhere on their lines, "!" comments).
TextGrid parse_free_text(std::string_view text, std::string name);

// The text layouts; "auto" tells them apart by the lines after the header.
enum class TextLayout { long_text, short_text, free_text };
TextLayout detect_text_layout(std::string_view text) noexcept;

// The reader a decoded text goes to, for a file type of long, short or
// automatic. The short layout without its blank line after the header goes to
// the free-form reader; a blank text to the short one, which names it empty.
enum class TextReader { long_text, short_text, short_without_blank, free_text, blank, chronological };
enum class FileType;  // see lib.hpp
TextReader choose_text_reader(std::string_view text, FileType file_type) noexcept;
// "long", "short", "free-form" or "chronological".
std::string_view layout_name(TextReader reader) noexcept;

// Whether one of the first lines names Praat's text file or the TextGrid class
// ("File type = \"ooTextFile\"", "Object class = \"TextGrid\"", the
// chronological header), as every file Praat writes does. A text without one
// that cannot be read is not a TextGrid file at all.
bool has_textgrid_header(std::string_view text) noexcept;
inline constexpr const char* not_a_textgrid_message = "not a TextGrid file";

// What an empty or blank file in "auto" fails with.
inline constexpr const char* empty_file_message =
    "The TextGrid file is empty: it holds no text to read";

namespace detail {
// The line starting at `pos` (without its LF, CR LF or lone CR), advancing
// `pos` past it. Callers stop when `pos` reaches the end: an empty remainder
// is not a line.
std::string_view next_line(std::string_view text, std::size_t& pos) noexcept;

// Walks a text line by line and reads text values, which may run on over
// several lines when quoted.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) noexcept : text_(text) {}

  bool at_end() const noexcept { return pos_ >= text_.size(); }
  // Lines read so far, the lines of multi-line texts included.
  std::size_t line_number() const noexcept { return line_number_; }
  // Where the next line starts; a move past whole lines that the common
  // spellings' readers took, `lines` of them, to where the next one starts.
  std::size_t position() const noexcept { return pos_; }
  void skip_to(std::size_t next, std::size_t lines) noexcept {
    pos_ = next;
    line_number_ += lines;
  }
  // The next line, untrimmed.
  std::string_view next_line() noexcept {
    std::size_t start = pos_;
    std::string_view line = detail::next_line(text_, pos_);
    line_end_ = start + line.size();
    ++line_number_;
    return line;
  }

  // Reads the text value `value`, a view into the line last returned. A value
  // that starts with a double quote ends at the first quote that is not
  // doubled; each doubled quote stands for one quote, and whatever follows
  // the closing quote is ignored. When the closing quote is on a later line,
  // the text takes in the line breaks (each as one LF) and the cursor goes on
  // after the closing quote's line. A quote never closed reads as the value
  // without its outer quotes, like a value without a leading quote.
  std::string read_text(std::string_view value);

 private:
  bool read_multiline(std::size_t open, std::string& out);

  std::string_view text_;
  std::size_t pos_ = 0;       // where the next line starts
  std::size_t line_end_ = 0;  // where the line last returned ends, before its break
  std::size_t line_number_ = 0;
};

// Makes room for a tier's declared item count when the text can back it:
// `backed_items` starts as the most items the whole text could hold and is
// spent by each reservation, so that hostile counts, however many tiers
// declare them, reserve no more than the text could fill.
void reserve_items(Tier& tier, std::size_t& backed_items);

// True for "IntervalTier", false for "TextTier" (quotes removed); any other
// class word is an internal failure naming the value as given.
bool is_interval_class(std::string_view raw_value);
}  // namespace detail

}  // namespace textgrid
