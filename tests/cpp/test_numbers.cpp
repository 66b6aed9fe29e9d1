// Number conversion against std::from_chars on random texts. The sample is
// seeded (TAVREL_TEST_SEED, else a fresh seed, printed either way) and sized by
// TAVREL_NUMBER_SAMPLES, so that a long run can repeat what CI samples briefly.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "check.hpp"
#include "textgrid/reading/text_parsers.hpp"

using textgrid::parse_count;
using textgrid::parse_number;

namespace {

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::mt19937_64 seeded_engine(const char* test) {
  static const std::uint64_t seed = env_number("TAVREL_TEST_SEED", std::random_device{}());
  std::fprintf(stderr, "%s: TAVREL_TEST_SEED=%llu\n", test, static_cast<unsigned long long>(seed));
  return std::mt19937_64(seed);
}

std::uint64_t sample_size() { return env_number("TAVREL_NUMBER_SAMPLES", 300'000); }

// The value std::from_chars gives the text after its sign, with the sign applied.
double reference(const std::string& text) {
  std::size_t skip = !text.empty() && (text[0] == '+' || text[0] == '-');
  double value = 0.0;
  std::from_chars(text.data() + skip, text.data() + text.size(), value);
  return text[0] == '-' ? -value : value;
}

void append_digits(std::string& text, std::mt19937_64& engine, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + engine() % 10);
}

// Decimals shaped like the times of real files and well beyond: optional sign,
// leading zeros, up to 21 whole and 25 fraction digits, with or without a point.
std::string random_decimal(std::mt19937_64& engine) {
  std::string text;
  const char* signs[] = {"", "", "-", "+"};
  text += signs[engine() % 4];
  if (engine() % 4 == 0) text.append(engine() % 3 + 1, '0');
  append_digits(text, engine, engine() % 22);
  if (engine() % 8 != 0) {
    text += '.';
    if (engine() % 4 == 0) text.append(engine() % 8, '0');
    append_digits(text, engine, engine() % 26);
  }
  if (text.find_first_of("0123456789") == std::string::npos) text += '7';
  return text;
}

// The shortest round-trip text of a random double, written positionally.
std::string random_shortest(std::mt19937_64& engine) {
  const double scales[] = {1e-3, 1.0, 60.0, 3600.0, 1e6, 1e15};
  double value = std::uniform_real_distribution<double>(0.0, 1.0)(engine) * scales[engine() % 6];
  char text[400];
  auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

// Integers around 2^53, where a double stops holding every integer, as decimals.
std::string random_near_exact_limit(std::mt19937_64& engine) {
  std::uint64_t value = (std::uint64_t{1} << 53) - 64 + engine() % 128;
  std::size_t fraction = engine() % 23;
  std::string digits = std::to_string(value);
  if (fraction >= digits.size()) digits = std::string(fraction - digits.size() + 1, '0') + digits;
  const std::size_t whole = digits.size() - fraction;
  return digits.substr(0, whole) + "." + digits.substr(whole);
}

template <class Make>
void check_against_reference(const char* test, Make&& make) {
  std::mt19937_64 engine = seeded_engine(test);
  std::uint64_t failures = 0;
  for (std::uint64_t i = 0, n = sample_size(); i < n && failures < 5; ++i) {
    const std::string text = make(engine);
    const double got = parse_number(text);
    const double expected = reference(text);
    if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(expected)) {
      ++failures;
      char shown[64];
      std::snprintf(shown, sizeof shown, " gave %.17g, expected %.17g", got, expected);
      check::report(__FILE__, __LINE__, "parse_number(\"" + text + "\")" + shown);
    }
  }
}

}  // namespace

TEST(parse_number_matches_from_chars_on_random_decimals) {
  check_against_reference("random decimals", random_decimal);
}

TEST(parse_number_matches_from_chars_on_shortest_texts_of_random_doubles) {
  check_against_reference("shortest texts", random_shortest);
}

TEST(parse_number_matches_from_chars_around_the_exact_integer_limit) {
  check_against_reference("near 2^53", random_near_exact_limit);
}

TEST(parse_count_matches_from_chars_on_random_digit_strings) {
  std::mt19937_64 engine = seeded_engine("random counts");
  for (std::uint64_t i = 0, n = sample_size() / 4; i < n; ++i) {
    std::string text;
    append_digits(text, engine, engine() % 22 + 1);
    std::uint64_t expected = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), expected);
    if (error != std::errc() || end != text.data() + text.size()) expected = 0;
    if (parse_count(text) != expected) {
      check::report(__FILE__, __LINE__, "parse_count(\"" + text + "\")");
      break;
    }
  }
}
