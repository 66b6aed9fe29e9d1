// The tolerant number conversions of both parsers: whatever does not fit the
// decimal syntax reads as zero. Times are mostly short decimals ("1.234567"),
// which are converted exactly in one pass; anything else takes the full path.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "fast_float/fast_float.h"
#include "textgrid/reading/text_parsers.hpp"

namespace textgrid {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

std::size_t count_digits(std::string_view text, std::size_t from) noexcept {
  std::size_t end = from;
  while (end < text.size() && is_digit(text[end])) ++end;
  return end - from;
}

// Every power of ten up to 10^22 is a double exactly.
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t largest_exact_integer = std::uint64_t{1} << 53;

// Digits with an optional fraction and no exponent whose significant digits
// fit a double exactly and whose fraction has at most 22 digits: then the
// value is one correctly rounded division of two exact doubles. Nothing for
// any other text, including every malformed one.
std::optional<double> short_decimal(std::string_view text) noexcept {
  const char* cursor = text.data();
  const char* const end = cursor + text.size();
  std::uint64_t significand = 0;
  auto take_digits = [&] {
    const char* first = cursor;
    while (cursor != end && is_digit(*cursor))
      significand = significand * 10 + static_cast<std::uint64_t>(*cursor++ - '0');
    return static_cast<std::size_t>(cursor - first);
  };
  const std::size_t whole_digits = take_digits();
  std::size_t fraction_digits = 0;
  if (cursor != end && *cursor == '.') {
    ++cursor;
    fraction_digits = take_digits();
  }
  // Twenty digits or more might have overflowed the 64 bits.
  const std::size_t digits = whole_digits + fraction_digits;
  if (cursor != end || digits == 0 || digits > 19 || fraction_digits > 22 ||
      significand > largest_exact_integer)
    return std::nullopt;
  return static_cast<double>(significand) / exact_powers_of_ten[fraction_digits];
}

// Accepts digits with an optional fraction (or "." and at least one digit),
// then an optional exponent; nothing else.
bool is_decimal_literal(std::string_view text) noexcept {
  std::size_t whole = count_digits(text, 0);
  std::size_t pos = whole;
  std::size_t fraction = 0;
  if (pos < text.size() && text[pos] == '.') {
    fraction = count_digits(text, pos + 1);
    pos += 1 + fraction;
  }
  if (whole == 0 && fraction == 0) return false;  // no digit at all, e.g. "." or "e5"
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    std::size_t exponent = count_digits(text, pos);
    if (exponent == 0) return false;
    pos += exponent;
  }
  return pos == text.size();
}

// Decimal order of magnitude of a literal that the float range cannot hold:
// positive means it overflowed, otherwise it underflowed.
long long order_of_magnitude(std::string_view literal) noexcept {
  std::size_t exponent_at = literal.find_first_of("eE");
  std::string_view mantissa = literal.substr(0, exponent_at);
  long long exponent = 0;
  if (exponent_at != std::string_view::npos) {
    std::string_view digits = literal.substr(exponent_at + 1);
    bool negative = digits.front() == '-';
    if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
    for (char c : digits) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > 1'000'000'000'000LL) break;  // far beyond any float; saturate
    }
    if (negative) exponent = -exponent;
  }
  std::size_t point = mantissa.find('.');
  std::string_view whole = mantissa.substr(0, point);
  std::size_t first_nonzero = whole.find_first_not_of('0');
  if (first_nonzero != std::string_view::npos)
    return exponent + static_cast<long long>(whole.size() - first_nonzero);
  std::string_view fraction = point == std::string_view::npos ? "" : mantissa.substr(point + 1);
  std::size_t leading_zeros = fraction.find_first_not_of('0');
  if (leading_zeros == std::string_view::npos) leading_zeros = fraction.size();
  return exponent - static_cast<long long>(leading_zeros);
}

// fast_float rounds exactly as std::from_chars does, and is there on standard
// libraries whose from_chars lacks double (libc++ before 20).
std::optional<double> convert_decimal(std::string_view literal) noexcept {
  double value = 0.0;
  auto [end, error] = fast_float::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (error == std::errc::result_out_of_range)
    return order_of_magnitude(literal) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  if (error != std::errc() || end != literal.data() + literal.size()) return std::nullopt;
  return value;
}

// The value of a number written without its sign; nothing when malformed.
std::optional<double> unsigned_number(std::string_view value) noexcept {
  if (std::optional<double> exact = short_decimal(value)) return exact;
  if (equals_ignoring_case(value, "inf") || equals_ignoring_case(value, "infinity"))
    return std::numeric_limits<double>::infinity();
  if (equals_ignoring_case(value, "nan")) return std::nan("");
  if (!is_decimal_literal(value)) return std::nullopt;
  return convert_decimal(value);
}

}  // namespace

double parse_number(std::string_view value) noexcept {
  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  std::optional<double> magnitude = unsigned_number(value);
  if (!magnitude) return 0.0;  // a malformed value is a positive zero, whatever its sign
  return negative ? -*magnitude : *magnitude;
}

std::uint64_t parse_count(std::string_view value) noexcept {
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  if (value.empty() || count_digits(value, 0) != value.size()) return 0;
  if (value.size() < 20) {  // at most 19 digits: cannot overflow
    std::uint64_t count = 0;
    for (char c : value) count = count * 10 + static_cast<std::uint64_t>(c - '0');
    return count;
  }
  std::uint64_t count = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
  if (error != std::errc() || end != value.data() + value.size()) return 0;
  return count;
}

}  // namespace textgrid
