// Times as text: the shortest digits that read back as the same double,
// written positionally, as the writers lay them out.
#include "float_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "textgrid/writing/render.hpp"

namespace textgrid {
namespace {

char* put_word(char* at, std::string_view word) noexcept {
  std::memcpy(at, word.data(), word.size());
  return at + word.size();
}

constexpr double exact_integer_limit = 9007199254740992.0;  // 2^53

// Lays out the shortest scientific digits `d.ddde±x` positionally.
std::size_t positional_from_scientific(const char* first, const char* last, char* out) {
  char* cursor = out;
  if (*first == '-') {
    *cursor++ = '-';
    ++first;
  }
  char digits[24];
  int count = 0;
  const char* p = first;
  for (; p != last && *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), last, exponent);

  const int integer_digits = exponent + 1;
  if (integer_digits <= 0) {
    *cursor++ = '0';
    *cursor++ = '.';
    for (int i = 0; i < -integer_digits; ++i) *cursor++ = '0';
    for (int i = 0; i < count; ++i) *cursor++ = digits[i];
  } else if (integer_digits >= count) {
    for (int i = 0; i < count; ++i) *cursor++ = digits[i];
    for (int i = count; i < integer_digits; ++i) *cursor++ = '0';
  } else {
    for (int i = 0; i < integer_digits; ++i) *cursor++ = digits[i];
    *cursor++ = '.';
    for (int i = integer_digits; i < count; ++i) *cursor++ = digits[i];
  }
  return static_cast<std::size_t>(cursor - out);
}

// Two digits at a time, from a table of "00" to "99".
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` in decimal ending just before `end`; returns where it starts.
char* digits_before(char* end, std::uint64_t value) noexcept {
  while (value >= 100) {
    const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    *--end = digit_pairs[pair + 1];
    *--end = digit_pairs[pair];
  }
  if (value >= 10) {
    *--end = digit_pairs[value * 2 + 1];
    *--end = digit_pairs[value * 2];
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

// The eight decimal digits of `value` (below 10^8) as byte values 0 to 9, the
// first digit in the lowest byte: the halves, quarters and digits are split
// off in all lanes at once by multiplying with reciprocals.
std::uint64_t eight_digit_lanes(std::uint32_t value) noexcept {
  const std::uint64_t halves = value / 10000u | std::uint64_t{value % 10000u} << 32;
  const std::uint64_t hundreds = (halves * 10486u >> 20) & 0x0000007F0000007Fu;  // x / 100
  const std::uint64_t pairs = hundreds | (halves - hundreds * 100u) << 16;
  const std::uint64_t tens = (pairs * 103u >> 10) & 0x000F000F000F000Fu;  // x / 10
  return tens | (pairs - tens * 10u) << 8;
}

// Times as recordings hold them: non-negative, below a million seconds, at
// most nine decimals. Then m = round(value * 10^9) is below 10^15, so at most
// one decimal of nine places reads back as `value` (two would have to be
// closer than the value's unit in the last place); when m / 10^9 reads back
// as `value` (the reader's own conversion, one correctly rounded division),
// m without its trailing zeros is the shortest round-trip text, as the
// library's would be. Writes it before `end`, which has eight bytes of room
// after it; nullptr for any other value.
constexpr double nine_decimals = 1e9;
constexpr double short_time_limit = 1e6;
char* short_time_before(char* end, double value) noexcept {
  if (!(value >= 0.0 && value < short_time_limit)) return nullptr;
  // Rounded to a whole number as nearbyint would (below 2^52, adding and
  // taking away 2^52 leaves no fraction), without a call to the library.
  constexpr double whole_number_shift = 0x1p52;
  const double scaled = (value * nine_decimals + whole_number_shift) - whole_number_shift;
  if (scaled / nine_decimals != value) return nullptr;
  auto units = static_cast<std::uint64_t>(scaled);
  const std::uint64_t whole = units / 1'000'000'000u;
  const std::uint64_t fraction = units % 1'000'000'000u;
  if (fraction != 0) {
    // The nine decimals: the first, then eight at once, whose trailing zeros
    // are the zero bytes at the top of their lanes.
    const auto first = static_cast<char>('0' + fraction / 100'000'000u);
    const std::uint64_t rest =
        eight_digit_lanes(static_cast<std::uint32_t>(fraction % 100'000'000u));
    const int places = rest == 0 ? 1 : 9 - std::countl_zero(rest) / 8;
    std::uint64_t text = rest + 0x3030303030303030u;  // the digits in ASCII
    if constexpr (std::endian::native == std::endian::big) text = std::byteswap(text);
    char* start = end - 1 - places;
    start[0] = '.';
    start[1] = first;
    std::memcpy(start + 2, &text, sizeof text);  // up to eight bytes past `end`
    end = start;
  }
  return digits_before(end, whole);
}

}  // namespace

char* put_float(char* at, double value) noexcept {
  if (std::isnan(value)) return put_word(at, "NaN");
  if (std::isinf(value)) return put_word(at, value < 0 ? "-inf" : "inf");
  // The short form (at most 17 bytes) ends half-way into `digits`, so that a
  // fixed 32-byte copy, which the compiler turns into two moves, takes it whole.
  char digits[64];
  char* const digits_end = digits + 32;
  if (const char* start = short_time_before(digits_end, std::fabs(value))) {
    if (std::signbit(value)) *at++ = '-';
    std::memcpy(at, start, 32);
    return at + (digits_end - start);
  }
  // Below 2^53 every whole part is exact, so the library's shortest fixed form
  // is the shortest digits laid out positionally, in one step. Above, it would
  // spell out the exact binary value instead of padding the digits with zeros.
  if (std::fabs(value) < exact_integer_limit)
    return std::to_chars(at, at + max_float_length, value, std::chars_format::fixed).ptr;
  char scientific[32];
  auto result = std::to_chars(scientific, scientific + sizeof scientific, value,
                              std::chars_format::scientific);
  return at + positional_from_scientific(scientific, result.ptr, at);
}

void append_float(std::string& out, double value) {
  char text[max_float_length];
  out.append(text, static_cast<std::size_t>(put_float(text, value) - text));
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

}  // namespace textgrid
