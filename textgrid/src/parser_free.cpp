// Praat's free-form text: the values of the short layout in order, any number
// on a line, with "!" comments to the end of a line. As Praat does, a word
// that cannot start the value looked for ("xmin", "=", "item", "[1]:") is
// passed over, so this reads the long and the short layout as well.
#include <string>

#include "textgrid/failure.hpp"
#include "textgrid/parser.hpp"

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

class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}

  double number() { return parse_number(word(Kind::number)); }
  std::uint64_t count() { return parse_count(word(Kind::number)); }
  bool presence() { return word(Kind::presence) == "<exists>"; }

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
        return;
      }
      if (c == '!') {
        while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
      } else {
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
      }
    }
  }

  // The next value of `kind` that ends at white space (a number, a presence mark).
  std::string_view word(Kind kind) {
    seek(kind);
    std::size_t start = pos_;
    while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

void read_tier(Tokens& tokens, Tier& tier) {
  std::string class_word = tokens.text();
  tier.is_interval = detail::is_interval_class(class_word);
  tier.name = tokens.text();
  tier.tmin = tokens.number();
  tier.tmax = tokens.number();
  tier.size = tokens.count();
  // Appended one by one: each item takes text, so a huge count ends at the text's end.
  for (std::uint64_t i = 0; i < tier.size; ++i) {
    Item& item = tier.items.emplace_back();
    item.tmin = tokens.number();
    item.tmax = tier.is_interval ? tokens.number() : item.tmin;
    item.label = tokens.text();
  }
}

}  // namespace

Result<TextGrid> parse_free_text(std::string_view text, std::string name, bool strict) {
  Tokens tokens(text);
  TextGrid grid;
  grid.name = std::move(name);
  tokens.text();  // the file type
  tokens.text();  // the object class
  grid.tmin = tokens.number();
  grid.tmax = tokens.number();
  if (tokens.presence()) grid.size = tokens.count();
  for (std::uint64_t t = 0; t < grid.size; ++t) read_tier(tokens, grid.tiers.emplace_back());
  if (strict) {
    if (Status valid = grid.assert_valid(); !valid)
      return std::unexpected(std::move(valid.error()));
  }
  return grid;
}

}  // namespace textgrid
