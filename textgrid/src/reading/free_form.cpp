// Praat's free-form text: the values of the short layout in order, any number
// on a line, with "!" comments to the end of a line. As Praat does, a word
// that cannot start the value looked for ("xmin", "=", "item", "[1]:", "tiers",
// "coming") is passed over, so this reads the long and the short layout as
// well; numbers are read as Praat reads them (see praat_number).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "fast_float/fast_float.h"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/reading/source_map.hpp"

namespace textgrid {
namespace {

enum class Kind { number, text, presence };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::number:
      return "a number";
    case Kind::text:
      return "a text";
    case Kind::presence:
      return "<exists> or <absent>";
  }
  return "";
}

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool starts_number(char c) noexcept { return (c >= '0' && c <= '9') || c == '+' || c == '-'; }

Kind kind_started_by(char c, bool& starts_value) noexcept {
  starts_value = true;
  if (c == '"') return Kind::text;
  if (c == '<') return Kind::presence;
  starts_value = starts_number(c);
  return Kind::number;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Where the number that `word` starts with ends: sign, digits (at least one),
// a decimal point and digits, an exponent with at least one digit, a percent
// sign. Nothing when `word` does not start with a number.
std::optional<std::size_t> numeric_prefix(std::string_view word) noexcept {
  std::size_t at = 0;
  auto digits = [&] {
    while (at < word.size() && is_digit(word[at])) ++at;
  };
  if (at < word.size() && (word[at] == '+' || word[at] == '-')) ++at;
  if (at >= word.size() || !is_digit(word[at])) return std::nullopt;
  digits();
  if (at < word.size() && word[at] == '.') {
    ++at;
    digits();
  }
  if (at < word.size() && (word[at] == 'e' || word[at] == 'E')) {
    ++at;
    if (at < word.size() && (word[at] == '+' || word[at] == '-')) ++at;
    if (at >= word.size() || !is_digit(word[at])) return std::nullopt;
    digits();
  }
  if (at < word.size() && word[at] == '%') ++at;
  return at;
}

// Praat reads at most 40 characters as one number.
constexpr std::size_t longest_number = 40;

// The number `word` starts with, as std::from_chars reads it. Standard
// libraries whose from_chars lacks double (libc++ before 20) take fast_float
// for decimals, which rounds the same, and the C library for the rare hex words
// (which only free-form files can hold).
std::errc prefix_to_double(std::string_view word, std::chars_format format, double& value) noexcept {
#if defined(__cpp_lib_to_chars)
  return std::from_chars(word.data(), word.data() + word.size(), value, format).ec;
#else
  if (format == std::chars_format::general)
    return fast_float::from_chars(word.data(), word.data() + word.size(), value).ec;
  char hex[longest_number + 3] = "0x";
  const std::size_t digits = std::min(word.size(), longest_number);
  std::memcpy(hex + 2, word.data(), digits);
  hex[2 + digits] = '\0';
  errno = 0;
  value = std::strtod(hex, nullptr);
  return errno == ERANGE ? std::errc::result_out_of_range : std::errc{};
#endif
}

// The longest prefix of `word` that C's strtod reads (decimal or hexadecimal,
// in the C locale); out-of-range values go to infinity or zero as strtod's do.
double c_number_prefix(std::string_view word) noexcept {
  bool negative = !word.empty() && word[0] == '-';
  if (!word.empty() && (word[0] == '-' || word[0] == '+')) word.remove_prefix(1);
  auto format = std::chars_format::general;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') &&
      (std::isxdigit(static_cast<unsigned char>(word[2])) ||
       (word[2] == '.' && word.size() > 3 && std::isxdigit(static_cast<unsigned char>(word[3]))))) {
    word.remove_prefix(2);
    format = std::chars_format::hex;
  }
  double value = 0.0;
  std::errc error = prefix_to_double(word, format, value);
  if (error == std::errc::result_out_of_range) {
    // Too large or too small: which, the exponent's sign tells.
    bool tiny = word.find_first_of("eEpP") != std::string_view::npos &&
                word.find('-', word.find_first_of("eEpP")) != std::string_view::npos;
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -value : value;
}

// Praat's reading of a single number: undefined (NaN) unless the word starts
// with a number; a percent sign right after it divides by 100.
double praat_single_number(std::string_view word) noexcept {
  std::optional<std::size_t> end = numeric_prefix(word);
  if (!end) return std::numeric_limits<double>::quiet_NaN();
  double value = c_number_prefix(word);
  return word[*end - 1] == '%' ? 0.01 * value : value;
}

// A number word as Praat reads it: "3/4" is a fraction (undefined when either
// part is, or the denominator is 0); otherwise the number the word starts
// with ("2.5;" reads as 2.5, "0x1.8" as 1.5, "50%" as 0.5).
double praat_number(std::string_view word) noexcept {
  std::size_t slash = word.find('/');
  if (slash == std::string_view::npos) return praat_single_number(word);
  double numerator = praat_single_number(word.substr(0, slash));
  double denominator = praat_single_number(word.substr(slash + 1));
  if (std::isnan(numerator) || std::isnan(denominator) || denominator == 0.0)
    return std::numeric_limits<double>::quiet_NaN();
  return numerator / denominator;
}

// A count word as Praat reads it: the decimal integer it starts with ("3x"
// reads as 3, "2.7" as 2); a negative count, or none, counts nothing.
std::uint64_t praat_count(std::string_view word) noexcept {
  bool negative = !word.empty() && word[0] == '-';
  if (!word.empty() && (word[0] == '-' || word[0] == '+')) word.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error == std::errc::result_out_of_range) value = std::numeric_limits<std::int64_t>::max();
  return negative ? 0 : value;
}


class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}

  double number() { return praat_number(number_word()); }
  std::uint64_t count() { return praat_count(number_word()); }

  // "<exists>" or "<absent>": from "<" to the next ">", no white space between.
  bool presence() {
    seek(Kind::presence);
    std::size_t close = pos_ + 1;
    while (close < text_.size() && text_[close] != '>' && !is_space(text_[close])) ++close;
    if (close >= text_.size() || text_[close] != '>')
      fail("Free-form TextGrid has no \">\" closing its <exists> or <absent>");
    std::string_view word = text_.substr(pos_, close + 1 - pos_);
    pos_ = close + 1;
    if (word != "<exists>" && word != "<absent>")
      fail("Free-form TextGrid has " + std::string(word) + " where <exists> or <absent> belongs");
    return word == "<exists>";
  }

  // Praat reads the file-type line as a whole, whatever else it holds
  // ("File type = ooTextFile", a remark after the type). A file that goes on
  // with its values on that line is still read, value after value.
  void skip_file_type_line() {
    std::size_t end = text_.find_first_of("\r\n");
    if (end == std::string_view::npos) end = text_.size();
    std::string_view first = text_.substr(0, end);
    if (first.find("ooTextFile") == std::string_view::npos || first.find('"') != std::string_view::npos) {
      text();
      if (pos_ <= end && text_.substr(pos_, end - pos_).find('"') == std::string_view::npos) pos_ = end;
      return;
    }
    pos_ = end;
  }

  std::string text() {
    seek(Kind::text);
    std::string out;
    for (std::size_t at = pos_ + 1;; ++at) {
      if (at >= text_.size()) fail("Free-form TextGrid ended inside a quoted text");
      char c = text_[at];
      if (c == '"') {
        if (at + 1 < text_.size() && text_[at + 1] == '"') {
          ++at;  // a doubled quote stands for one
        } else {
          pos_ = at + 1;
          return out;
        }
      } else if (c == '\r') {
        c = '\n';
        if (at + 1 < text_.size() && text_[at + 1] == '\n') ++at;
      }
      out += c;
    }
  }

 private:
  // Moves to the first character of the next value of `kind`, passing over
  // white space, comments and words that start no value at all.
  void seek(Kind kind) {
    for (;;) {
      while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
      if (pos_ >= text_.size())
        fail(std::string("Free-form TextGrid ended while looking for ") + kind_name(kind));
      char c = text_[pos_];
      bool starts_value;
      Kind found = kind_started_by(c, starts_value);
      if (starts_value) {
        if (found != kind)
          fail(std::string("Free-form TextGrid has ") + kind_name(found) + " where " +
               kind_name(kind) + " belongs");
        start_ = pos_;
        return;
      }
      if (c == '!') {
        while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
      } else {
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
      }
    }
  }

  // The next number, a word that ends at white space.
  std::string_view number_word() {
    seek(Kind::number);
    std::size_t start = pos_;
    while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
    if (pos_ - start > longest_number)
      fail("Free-form TextGrid has a number longer than 40 characters");
    return text_.substr(start, pos_ - start);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t start_ = 0;  // where the last value found starts

 public:
  std::size_t position() const noexcept { return pos_; }
  std::size_t value_start() const noexcept { return start_; }
};

// Lines of offsets met in increasing order, counted once.
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) : text_(text) {}
  std::size_t line_of(std::size_t offset) noexcept {
    for (; at_ < offset && at_ < text_.size(); ++at_)
      if (text_[at_] == '\n' || (text_[at_] == '\r' && (at_ + 1 >= text_.size() || text_[at_ + 1] != '\n')))
        ++line_;
    return line_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0, line_ = 1;
};

// Plain reading records nothing; locating reading records lines of values.
template <class Record>
struct Recorder {
  Record& record;
  LineCounter lines;
  std::size_t line(const Tokens& tokens) { return lines.line_of(tokens.value_start()); }
};

template <class Record>
void read_tier(Tokens& tokens, Tier& tier, Recorder<Record>& at) {
  std::string class_word = tokens.text();
  if constexpr (Record::active) at.record.tier(at.line(tokens));
  tier.is_interval = detail::is_interval_class(class_word);
  tier.name = tokens.text();
  tier.tmin = tokens.number();
  if constexpr (Record::active) at.record.tier_field(Field::tmin, at.line(tokens));
  tier.tmax = tokens.number();
  if constexpr (Record::active) at.record.tier_field(Field::tmax, at.line(tokens));
  tier.size = tokens.count();
  if constexpr (Record::active) at.record.tier_field(Field::size, at.line(tokens));
  // Appended one by one: each item takes text, so a huge count ends at the text's end.
  for (std::uint64_t i = 0; i < tier.size; ++i) {
    Item& item = tier.items.emplace_back();
    item.tmin = tokens.number();
    if constexpr (Record::active) at.record.item(at.line(tokens));
    item.tmax = tier.is_interval ? tokens.number() : item.tmin;
    item.label = tokens.text();
  }
}

template <class Record>
TextGrid read_grid(Tokens& tokens, std::string name, Recorder<Record>& at) {
  TextGrid grid;
  grid.name = std::move(name);
  tokens.skip_file_type_line();
  tokens.text();  // the object class
  grid.tmin = tokens.number();
  if constexpr (Record::active) at.record.grid_field(Field::tmin, at.line(tokens));
  grid.tmax = tokens.number();
  if constexpr (Record::active) at.record.grid_field(Field::tmax, at.line(tokens));
  if (tokens.presence()) {
    grid.size = tokens.count();
    if constexpr (Record::active) at.record.grid_field(Field::size, at.line(tokens));
  }
  for (std::uint64_t t = 0; t < grid.size; ++t) read_tier(tokens, grid.tiers.emplace_back(), at);
  return grid;
}

}  // namespace

TextGrid parse_free_text(std::string_view text, std::string name) {
  Tokens tokens(text);
  NoRecord record;
  Recorder<NoRecord> at{record, LineCounter(text)};
  TextGrid grid = read_grid(tokens, std::move(name), at);
  return grid;
}

[[gnu::cold]] TextGrid locate_free_text(std::string_view text, SourceMap& map) {
  Tokens tokens(text);
  MapRecord record{map};
  Recorder<MapRecord> at{record, LineCounter(text)};
  try {
    return read_grid(tokens, {}, at);
  } catch (const InternalFailure&) {
    map.stopped = line_at(text, tokens.position());
    throw;
  }
}

// An offset at the end stands on the last line, not after its line break.
std::size_t line_at(std::string_view text, std::size_t offset) noexcept {
  if (text.empty()) return 1;
  return LineCounter(text).line_of(std::min(offset, text.size() - 1));
}

}  // namespace textgrid
