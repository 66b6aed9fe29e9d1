#pragma once
// The value lines of the long and short layouts as Praat and the aligners spell
// them ("            xmin = 1.25 ", "\"ah\""), read in one pass over their bytes.
// Each reader returns where the next line starts, or nullptr for any other
// spelling, which the general line-by-line path then reads: a line read here
// must give exactly what the general path gives for it.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "textgrid/reading/text_parsers.hpp"

namespace textgrid::spelling {

inline bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// A printable ASCII byte: no white space of any kind starts or ends with it.
inline bool is_plain_byte(char c) noexcept {
  return c > ' ' && static_cast<unsigned char>(c) < 0x7F;
}

// Past the indentation: spaces sixteen (or eight) at a time, then spaces and
// tabs. SSE2 is part of every x86-64 processor, so the wheels may rely on it.
inline const char* skip_blanks(const char* at, const char* end) noexcept {
  // Most values stand at the start of their line or right after "= ": one
  // predicted test, so that where the value starts does not wait for a search.
  if (at != end && !is_blank(*at)) return at;
#if defined(__SSE2__)
  const __m128i spaces = _mm_set1_epi8(' ');
  while (end - at >= 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    auto other = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, spaces))) & 0xFFFFu;
    if (other != 0) {
      at += std::countr_zero(other);
      if (*at != '\t') return at;
      break;
    }
    at += 16;
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t spaces = 0x2020202020202020ULL;
    while (end - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, sizeof word);
      if (std::uint64_t differing = word ^ spaces) {
        at += std::countr_zero(differing) / 8;
        if (*at != '\t') return at;
        break;
      }
      at += 8;
    }
  }
#endif
  while (at != end && is_blank(*at)) ++at;
  return at;
}

// Past the indentation of a line, expected to be `expected` spaces as on the
// line of the same kind before it. Checking the guess is a test the processor
// predicts, so the lines after it need not wait for a search; a wrong guess
// is searched for and becomes the next guess.
inline const char* skip_indent(const char* at, const char* end, std::size_t& expected) noexcept {
#if defined(__SSE2__)
  if (expected < 16 && end - at >= 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    auto spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(' '))));
    const unsigned indent = (1u << expected) - 1;
    if ((spaces & ((indent << 1) | 1u)) == indent && at[expected] != '\t') return at + expected;
  }
#endif
  const char* past = skip_blanks(at, end);
  expected = static_cast<std::size_t>(past - at);
  return past;
}

// The first double quote or line break at or after `at`, or `end`.
inline const char* find_quote_or_break(const char* at, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  while (end - at >= 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, quote),
                                _mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr)));
    if (auto found = static_cast<unsigned>(_mm_movemask_epi8(hits))) return at + std::countr_zero(found);
    at += 16;
  }
#endif
  while (at != end && *at != '"' && *at != '\n' && *at != '\r') ++at;
  return at;
}

// Past `word` when the bytes at `at` spell it.
template <std::size_t Size>
inline const char* literal(const char* at, const char* end, const char (&word)[Size]) noexcept {
  constexpr std::size_t length = Size - 1;
  if (static_cast<std::size_t>(end - at) < length || std::memcmp(at, word, length) != 0)
    return nullptr;
  return at + length;
}

// After a value: blanks, then a line break (LF, CR LF or a lone CR) or the end
// of the text. The start of the next line, or nullptr.
inline const char* line_end(const char* at, const char* end) noexcept {
  while (at != end && is_blank(*at)) ++at;
  if (at == end) return at;
  if (*at == '\n') return at + 1;
  if (*at != '\r') return nullptr;
  ++at;
  return at != end && *at == '\n' ? at + 1 : at;
}

// Past the line break of the line `at` is in, whatever comes before it.
inline const char* past_line(const char* at, const char* end) noexcept {
  while (at != end && *at != '\n' && *at != '\r') ++at;
  if (at == end) return at;
  return *at == '\r' && at + 1 != end && at[1] == '\n' ? at + 2 : at + 1;
}

namespace detail {
// The powers of ten a decimal of at most eight fraction digits divides by; each is a double exactly.
inline constexpr double powers_of_ten_exact[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
}  // namespace detail

namespace detail {
// How many of the eight bytes of `word` (the first in its lowest byte) are
// decimal digits before the first other byte. A carry or a borrow only runs
// from a byte that is not a digit into the bytes after it, so the first such
// byte is found exactly.
inline int leading_digits(std::uint64_t word) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
  const std::uint64_t below_zero = word - 0x3030303030303030ULL;
  const std::uint64_t above_nine = word + 0x4646464646464646ULL;
  return std::countr_zero((below_zero | above_nine | word) & high_bits) / 8;
}

// The value of the first `count` (1 to 8) digits of `word`: the digits are
// moved to the top bytes, behind zeros, and combined in three multiplications.
inline std::uint64_t digits_value(std::uint64_t word, int count) noexcept {
  std::uint64_t value = (word - 0x3030303030303030ULL) << (8 * (8 - count));
  value = value * 10 + (value >> 8);
  return (((value & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
          (((value >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
         32;
}

inline constexpr std::uint64_t powers_of_ten[] = {1,      10,      100,      1000,     10000,
                                                  100000, 1000000, 10000000, 100000000};

// How many of the bytes at `at` are digits or points, when fewer than sixteen
// and sixteen can be read; 0 otherwise.
inline std::size_t decimal_run_length(const char* at, const char* end) noexcept {
#if defined(__SSE2__)
  if (end - at < 16) return 0;
  __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)),
                                _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
  __m128i decimal = _mm_or_si128(digit, _mm_cmpeq_epi8(chunk, _mm_set1_epi8('.')));
  auto other = ~static_cast<unsigned>(_mm_movemask_epi8(decimal));
  return static_cast<std::size_t>(std::countr_zero(other)) & 15u;
#else
  const char* cursor = at;
  while (cursor != end && ((*cursor >= '0' && *cursor <= '9') || *cursor == '.')) ++cursor;
  return static_cast<std::size_t>(cursor - at);
#endif
}

// "digits[.digits]" of at most eight digits on either side, with eight bytes
// to read at each: the significand and the fraction's length, or false.
inline bool eight_digit_decimal(const char*& at, const char* end, std::uint64_t& significand,
                                std::size_t& fraction) noexcept {
  // The words are read first byte lowest.
  if constexpr (std::endian::native != std::endian::little) return false;
  if (end - at < 8) return false;
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  const int whole = leading_digits(word);
  if (whole == 8) return false;
  std::uint64_t value = whole ? digits_value(word, whole) : 0;
  const char* cursor = at + whole;
  int places = 0;
  if (*cursor == '.') {
    ++cursor;
    if (end - cursor < 8) return false;
    std::memcpy(&word, cursor, sizeof word);
    places = leading_digits(word);
    if (places == 8) return false;
    if (places) value = value * powers_of_ten[places] + digits_value(word, places);
    cursor += places;
  }
  if (whole + places == 0) return false;
  at = cursor;
  significand = value;
  fraction = static_cast<std::size_t>(places);
  return true;
}
}  // namespace detail

// The last number token read, so that the same spelling on a later line
// (an interval's start is its neighbour's end) is known by its bytes alone.
struct NumberToken {
  const char* text = nullptr;
  std::size_t length = 0;  // recognised again only when 1 to 15 bytes long
  double value = 0.0;
};

namespace detail {
// True when the token at `at`, with the byte after it, spells `last` again:
// the same bytes then give the same value, whichever path converted them.
// `last` lies before `at` in the same text, so sixteen bytes can be read at both.
inline bool repeats(const char* at, const char* end, const NumberToken& last) noexcept {
#if defined(__SSE2__)
  if (last.length - 1 >= 15 || end - at < 16) return false;
  __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  __m128i there = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last.text));
  auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, there)));
  const unsigned wanted = (2u << last.length) - 1;  // the token and the byte ending it
  return (same & wanted) == wanted;
#else
  if (last.length - 1 >= 15 || end - at < 16) return false;
  return std::memcmp(at, last.text, last.length + 1) == 0;
#endif
}
}  // namespace detail

// A number value alone on the rest of its line. Plain decimals ("0.123456")
// are converted while their digits are scanned, exactly as parse_number
// converts them (one correctly rounded division of two exact doubles); any
// other run of printable bytes goes to parse_number itself. A token spelled
// as `last` takes its value; `last` then holds this line's token.
inline const char* number_line(const char* at, const char* end, double& value,
                               NumberToken& last) noexcept {
  at = skip_blanks(at, end);
  const char* const token = at;
  if (detail::repeats(token, end, last)) {
    const char* next = line_end(token + last.length, end);
    if (next) value = last.value;
    return next;
  }
  const bool negative = at != end && *at == '-';
  if (at != end && (*at == '-' || *at == '+')) ++at;
  std::uint64_t significand = 0;
  std::size_t fraction = 0;
  // Branch-free for the usual times; any other token (near the end of the
  // text, longer digit runs, exponents) is parse_number's. Where the token
  // ends is found apart from its value, so that the next line need not wait
  // for the digits to be converted.
  const char* const digits = at;
  const char* after = digits + detail::decimal_run_length(at, end);
  const char* converted = digits;
  double number;
  if (after != digits && !is_plain_byte(*after) &&
      detail::eight_digit_decimal(converted, end, significand, fraction) && converted == after) {
    double magnitude = static_cast<double>(significand) / detail::powers_of_ten_exact[fraction];
    number = negative ? -magnitude : magnitude;
  } else {
    while (at != end && is_plain_byte(*at)) ++at;
    if (at == token) return nullptr;
    after = at;
    number = parse_number({token, static_cast<std::size_t>(after - token)});
  }
  const char* next = line_end(after, end);
  if (next) {
    value = number;
    last = {token, static_cast<std::size_t>(after - token), number};
  }
  return next;
}

inline const char* number_line(const char* at, const char* end, double& value) noexcept {
  NumberToken none;
  return number_line(at, end, value, none);
}

// A quoted text closed on its own line with no quote inside (a doubled quote
// or a text running on over lines takes the general path). Whatever follows
// the closing quote on its line is not read, as in the general path.
inline const char* quoted_line(const char* at, const char* end, std::string_view& text) noexcept {
  if (at == end || *at != '"') return nullptr;
  const char* body = ++at;
  at = find_quote_or_break(at, end);
  if (at == end || *at != '"' || (at + 1 != end && at[1] == '"')) return nullptr;
  text = {body, static_cast<std::size_t>(at - body)};
  return past_line(at + 1, end);
}

}  // namespace textgrid::spelling
