#pragma once
// The two text parsers and the tolerant value conversions they share.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "textgrid/error.hpp"
#include "textgrid/textgrid.hpp"

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

// Parse text already in memory; `name` becomes the TextGrid's name.
Result<TextGrid> parse_long_text(std::string_view text, std::string name, bool strict);
Result<TextGrid> parse_short_text(std::string_view text, std::string name, bool strict);

namespace detail {
// The line starting at `pos` (without its LF or CR LF), advancing `pos` past it.
// Callers stop when `pos` reaches the end: an empty remainder is not a line.
std::string_view next_line(std::string_view text, std::size_t& pos) noexcept;
// True for "IntervalTier", false for "TextTier" (quotes removed); any other
// class word is an internal failure naming the value as given.
bool is_interval_class(std::string_view raw_value);
}  // namespace detail

// Read a file from disk and parse it.
Result<TextGrid> read_from_file_long(std::string_view path, bool strict);
Result<TextGrid> read_from_file_short(std::string_view path, bool strict);

}  // namespace textgrid
