// Praat's chronological text format: a header line, the time domain, the tier
// count and one line per tier (class, name, times), then every interval and
// point in time order, each led by its tier's number. Values are free-form
// tokens separated by white space; a "!" where a value could start comments
// out the rest of its line. Texts are quoted, a doubled quote standing for
// one quote, and may span lines.
#include <cstdint>
#include <optional>
#include <string>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/text_parsers.hpp"

namespace textgrid {
namespace {

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool starts_number(char c) noexcept { return c == '-' || c == '+' || (c >= '0' && c <= '9'); }

class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}

  // The next number token as it stands; a text where a number belongs, or the
  // end of the file, is damage.
  std::string_view number(const char* what) {
    std::optional<std::string_view> token = number_or_end(what);
    if (!token) ended_early(what);
    return *token;
  }

  // As `number`, but the end of the file gives nothing.
  std::optional<std::string_view> number_or_end(const char* what) {
    if (!find_value(what, true)) return std::nullopt;
    std::size_t start = pos_;
    while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // The next quoted text, with doubled quotes undone and line breaks read as LF.
  std::string text(const char* what) {
    if (!find_value(what, false)) ended_early(what);
    ++pos_;  // the opening quote
    std::string value;
    for (;;) {
      std::size_t stop = text_.find_first_of("\"\r", pos_);
      if (stop == std::string_view::npos) fail_at("a text that is never closed");
      value.append(text_.substr(pos_, stop - pos_));
      pos_ = stop + 1;
      if (text_[stop] == '\r') {
        if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
        value.push_back('\n');
      } else if (pos_ < text_.size() && text_[pos_] == '"') {
        ++pos_;
        value.push_back('"');
      } else {
        break;
      }
    }
    if (pos_ < text_.size() && !is_space(text_[pos_]))
      fail_at("a character right after a closing quote");
    return value;
  }

 private:
  void skip_space_and_comments() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (is_space(c)) {
        ++pos_;
      } else if (c == '!') {
        pos_ = text_.find_first_of("\n\r", pos_);
        if (pos_ == std::string_view::npos) pos_ = text_.size();
      } else {
        return;
      }
    }
  }

  // Moves to the start of the next number (or text); any other word on the
  // way is skipped, as are comments. False at the end of the text.
  bool find_value(const char* what, bool want_number) {
    for (;;) {
      skip_space_and_comments();
      if (pos_ >= text_.size()) return false;
      char c = text_[pos_];
      bool is_number = starts_number(c);
      if (want_number ? is_number : c == '"') return true;
      if (c == '"' || is_number || c == '<')
        fail_at(std::string("the wrong kind of value for ") + what);
      while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
    }
  }

  std::size_t line_number() const {
    std::string_view before = text_.substr(0, pos_);
    std::size_t lines = 1;
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (before[i] == '\n' ||
          (before[i] == '\r' && (i + 1 == before.size() || before[i + 1] != '\n')))
        ++lines;
    }
    return lines;
  }

  [[noreturn]] void fail_at(const std::string& what) const {
    fail("Chronological TextGrid: " + what + " (line " + std::to_string(line_number()) + ")");
  }
  [[noreturn]] void ended_early(const char* what) const {
    fail(std::string("Chronological TextGrid ended early: ") + what + " is missing");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Integers are read as their leading sign and digits, as strtoll would.
std::int64_t leading_integer(std::string_view token) {
  bool negative = !token.empty() && token.front() == '-';
  if (!token.empty() && (token.front() == '-' || token.front() == '+')) token.remove_prefix(1);
  std::int64_t value = 0;
  for (char c : token) {
    if (c < '0' || c > '9') break;
    if (value > (INT64_MAX - 9) / 10) break;  // saturate: no tier count or number is near
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

double number(Tokens& tokens, const char* what) { return parse_number(tokens.number(what)); }

void read_tier_header(Tokens& tokens, Tier& tier) {
  std::string klass = tokens.text("a tier class");
  if (klass != "IntervalTier" && klass != "TextTier") fail("Unknown tier class: " + klass);
  tier.is_interval = klass == "IntervalTier";
  tier.name = tokens.text("a tier name");
  tier.tmin = number(tokens, "a tier's start time");
  tier.tmax = number(tokens, "a tier's end time");
}

void read_item(Tokens& tokens, Tier& tier) {
  Item& item = tier.items.emplace_back();
  if (tier.is_interval) {
    item.tmin = number(tokens, "an interval's start time");
    item.tmax = number(tokens, "an interval's end time");
    item.label = tokens.text("an interval's text");
  } else {
    item.tmin = item.tmax = number(tokens, "a point's time");
    item.label = tokens.text("a point's text");
  }
  tier.size = tier.items.size();
}

}  // namespace

TextGrid parse_chronological_text(std::string_view text, std::string name) {
  Tokens tokens(text);
  if (tokens.text("the header") != strip_quotes(chronological_file_header))
    fail("Not a chronological TextGrid");
  TextGrid grid;
  grid.name = std::move(name);
  grid.tmin = number(tokens, "the start time");
  grid.tmax = number(tokens, "the end time");
  // Tiers are added as their lines are read: a hostile count costs nothing.
  std::int64_t tier_count = leading_integer(tokens.number("the tier count"));
  for (std::int64_t t = 0; t < tier_count; ++t) read_tier_header(tokens, grid.tiers.emplace_back());
  grid.size = grid.tiers.size();
  // The items run to the end of the file.
  while (std::optional<std::string_view> token = tokens.number_or_end("a tier number")) {
    std::int64_t tier_number = leading_integer(*token);
    if (tier_number < 1 || static_cast<std::uint64_t>(tier_number) > grid.tiers.size())
      fail("Chronological TextGrid: tier number " + std::to_string(tier_number) +
           " is not between 1 and " + std::to_string(grid.tiers.size()));
    read_item(tokens, grid.tiers[static_cast<std::size_t>(tier_number - 1)]);
  }
  return grid;
}

}  // namespace textgrid
