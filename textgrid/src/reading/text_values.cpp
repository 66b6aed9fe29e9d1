// Line splitting and value helpers shared by the long and the short parser.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"

namespace textgrid {
namespace {

bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the multi-byte white-space character that `text` starts with, or 0.
std::size_t leading_wide_space(std::string_view text) noexcept {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.size() >= 2 && byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;
  if (text.size() < 3) return 0;
  unsigned lead = byte(0), mid = byte(1), last = byte(2);
  if (lead == 0xE1) return mid == 0x9A && last == 0x80 ? 3 : 0;  // U+1680
  if (lead == 0xE3) return mid == 0x80 && last == 0x80 ? 3 : 0;  // U+3000
  if (lead != 0xE2) return 0;
  if (mid == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
    bool space = (last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 || last == 0xAF;
    return space ? 3 : 0;
  }
  return mid == 0x81 && last == 0x9F ? 3 : 0;  // U+205F
}

// Length of the multi-byte white-space character that `text` ends with, or 0.
std::size_t trailing_wide_space(std::string_view text) noexcept {
  if (text.size() >= 2 && leading_wide_space(text.substr(text.size() - 2)) == 2) return 2;
  if (text.size() >= 3 && leading_wide_space(text.substr(text.size() - 3)) == 3) return 3;
  return 0;
}

// Indentation is mostly runs of spaces: skip them eight bytes at a time.
std::string_view skip_space_runs(std::string_view text) noexcept {
  constexpr std::uint64_t spaces = 0x2020202020202020ULL;
  while (text.size() >= 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data(), sizeof word);
    std::uint64_t differing = word ^ spaces;
    if (differing != 0) {
      int bit = std::endian::native == std::endian::little ? std::countr_zero(differing)
                                                           : std::countl_zero(differing);
      return text.substr(static_cast<std::size_t>(bit / 8));
    }
    text.remove_prefix(8);
  }
  return text;
}

}  // namespace

std::string_view trim(std::string_view text) noexcept {
  text = skip_space_runs(text);
  while (!text.empty()) {
    auto first = static_cast<unsigned char>(text.front());
    std::size_t width = first < 0x80 ? is_ascii_space(first) : leading_wide_space(text);
    if (width == 0) break;
    text.remove_prefix(width);
  }
  while (!text.empty()) {
    auto last = static_cast<unsigned char>(text.back());
    std::size_t width = last < 0x80 ? is_ascii_space(last) : trailing_wide_space(text);
    if (width == 0) break;
    text.remove_suffix(width);
  }
  return text;
}

namespace {

// A printable ASCII byte: no white space of any kind starts or ends with it.
bool is_plain(char c) noexcept { return c > ' ' && static_cast<unsigned char>(c) < 0x7F; }

}  // namespace

std::optional<std::pair<std::string_view, std::string_view>> parse_kv(
    std::string_view line) noexcept {
  std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  // Nearly every line reads "key = value" with one space on either side of
  // the "=": the two parts are then already what trimming would give.
  if (equals >= 2 && equals + 2 < line.size() && line[equals - 1] == ' ' &&
      line[equals + 1] == ' ' && is_plain(line[equals - 2]) && is_plain(line[equals + 2]) &&
      is_plain(line.front()) && is_plain(line.back()))
    return std::pair{line.substr(0, equals - 1), line.substr(equals + 2)};
  return std::pair{trim(line.substr(0, equals)), trim(line.substr(equals + 1))};
}

std::string_view strip_quotes(std::string_view value) noexcept {
  std::size_t first = value.find_first_not_of('"');
  if (first == std::string_view::npos) return {};
  std::size_t last = value.find_last_not_of('"');
  return value.substr(first, last - first + 1);
}

namespace {

// The first LF or CR in [at, end), or `end`; sixteen or eight bytes at a time.
const char* find_line_break(const char* at, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  while (end - at >= 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    auto found = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr))));
    if (found != 0) return at + std::countr_zero(found);
    at += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    while (end - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, sizeof word);
      std::uint64_t lf = word ^ (ones * '\n'), cr = word ^ (ones * '\r');
      // The lowest flagged byte of each zero-byte test is exact.
      std::uint64_t found = (((lf - ones) & ~lf) | ((cr - ones) & ~cr)) & high_bits;
      if (found != 0) return at + std::countr_zero(found) / 8;
      at += 8;
    }
  }
  while (at < end && *at != '\n' && *at != '\r') ++at;
  return at;
}

// The first double quote in `text`, or npos. Most labels are a few bytes
// long, where a plain loop beats a call to memchr.
std::size_t find_quote(std::string_view text) noexcept {
  constexpr std::size_t short_text = 16;
  if (text.size() >= short_text) return text.find('"');
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '"') return i;
  return std::string_view::npos;
}

// Position of the quote that closes a quoted text whose body starts `body`,
// or npos: the first quote not followed by another one.
std::size_t closing_quote(std::string_view body) noexcept {
  for (std::size_t at = body.find('"'); at != std::string_view::npos; at = body.find('"', at + 2))
    if (at + 1 >= body.size() || body[at + 1] != '"') return at;
  return std::string_view::npos;
}

// The body of a quoted text, up to its closing quote: each doubled quote
// becomes one quote and each line break (LF, CR LF or lone CR) one LF.
void assign_quoted_body(std::string& out, std::string_view body) {
  const char* special = "\"\r";
  if (body.find_first_of(special) == std::string_view::npos) {
    out.assign(body);
    return;
  }
  out.clear();
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '"') {
      ++i;  // the second quote of the pair
    } else if (c == '\r') {
      c = '\n';
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    }
    out += c;
  }
}

std::size_t count_line_breaks(std::string_view text) noexcept {
  std::size_t breaks = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
      ++breaks;
  return breaks;
}

}  // namespace

namespace detail {

std::string_view next_line(std::string_view text, std::size_t& pos) noexcept {
  const char* start = text.data() + pos;
  const char* end = text.data() + text.size();
  const char* line_break = find_line_break(start, end);
  std::size_t length = static_cast<std::size_t>(line_break - start);
  pos += length;
  if (line_break != end)
    pos += *line_break == '\r' && line_break + 1 != end && line_break[1] == '\n' ? 2 : 1;
  return {start, length};
}

std::string LineCursor::read_text(std::string_view value) {
  if (value.empty() || value.front() != '"') return std::string(strip_quotes(value));
  std::size_t open = static_cast<std::size_t>(value.data() - text_.data());
  std::string_view on_line = text_.substr(open + 1, line_end_ - open - 1);
  // The common case: no quote inside, closed on its own line.
  std::size_t quote = find_quote(on_line);
  if (quote != std::string_view::npos && (quote + 1 == on_line.size() || on_line[quote + 1] != '"'))
    return std::string(on_line.substr(0, quote));
  std::string out;
  if (std::size_t close = closing_quote(on_line); close != std::string_view::npos) {
    assign_quoted_body(out, on_line.substr(0, close));
  } else if (!read_multiline(open, out)) {
    out.assign(strip_quotes(value));
  }
  return out;
}

// Once a search runs to the end of the text, every later run of quotes is
// of even length, so no later quoted text can be open at its line's end:
// the text is searched to its end at most once.
bool LineCursor::read_multiline(std::size_t open, std::string& out) {
  // The line's own quotes are all doubled, so the search may start at its break.
  std::size_t close = closing_quote(text_.substr(line_end_));
  if (close == std::string_view::npos) return false;
  close += line_end_;
  std::string_view body = text_.substr(open + 1, close - open - 1);
  assign_quoted_body(out, body);
  line_number_ += count_line_breaks(body);
  pos_ = close + 1;
  detail::next_line(text_, pos_);  // the rest of the closing quote's line is not read
  return true;
}

void reserve_items(Tier& tier, std::size_t& backed_items) {
  if (tier.size > backed_items) return;
  tier.items.reserve(static_cast<std::size_t>(tier.size));
  backed_items -= static_cast<std::size_t>(tier.size);
}

bool is_interval_class(std::string_view raw_value) {
  std::string_view word = strip_quotes(raw_value);
  if (word == "IntervalTier") return true;
  if (word == "TextTier") return false;
  fail("Unknown tier class: " + std::string(raw_value));
}

}  // namespace detail
}  // namespace textgrid
