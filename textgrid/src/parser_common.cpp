// Line splitting and value helpers shared by the long and the short parser.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "textgrid/failure.hpp"
#include "textgrid/parser.hpp"

namespace textgrid {
namespace {

bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the multi-byte white-space character that `text` starts with, or 0.
std::size_t leading_wide_space(std::string_view text) noexcept {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.size() >= 2 && byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;
  if (text.size() < 3) return 0;
  unsigned lead = byte(0), mid = byte(1), last = byte(2);
  if (lead == 0xE1) return mid == 0x9A && last == 0x80 ? 3 : 0;                 // U+1680
  if (lead == 0xE3) return mid == 0x80 && last == 0x80 ? 3 : 0;                 // U+3000
  if (lead != 0xE2) return 0;
  if (mid == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
    bool space = (last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 || last == 0xAF;
    return space ? 3 : 0;
  }
  return mid == 0x81 && last == 0x9F ? 3 : 0;                                   // U+205F
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

std::optional<std::pair<std::string_view, std::string_view>> parse_kv(
    std::string_view line) noexcept {
  std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return std::pair{trim(line.substr(0, equals)), trim(line.substr(equals + 1))};
}

std::string_view strip_quotes(std::string_view value) noexcept {
  std::size_t first = value.find_first_not_of('"');
  if (first == std::string_view::npos) return {};
  std::size_t last = value.find_last_not_of('"');
  return value.substr(first, last - first + 1);
}

namespace detail {

std::string_view next_line(std::string_view text, std::size_t& pos) noexcept {
  const char* start = text.data() + pos;
  std::size_t rest = text.size() - pos;
  const void* feed = std::memchr(start, '\n', rest);
  std::size_t length = feed ? static_cast<const char*>(feed) - start : rest;
  pos += feed ? length + 1 : length;
  if (feed && length > 0 && start[length - 1] == '\r') --length;
  return {start, length};
}

bool is_interval_class(std::string_view raw_value) {
  std::string_view word = strip_quotes(raw_value);
  if (word == "IntervalTier") return true;
  if (word == "TextTier") return false;
  fail("Unknown tier class: " + std::string(raw_value));
}

}  // namespace detail
}  // namespace textgrid
