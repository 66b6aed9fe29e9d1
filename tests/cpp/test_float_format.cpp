// The writer's float text against a plain reference: the shortest scientific
// digits laid out positionally. Seeded (TAVREL_TEST_SEED, else fresh; printed).
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "check.hpp"
#include "textgrid/writing/render.hpp"

namespace {

// The shortest round-trip digits `d.ddde±x`, written out without an exponent.
std::string reference_text(double value) {
  char scientific[32];
  char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                            std::chars_format::scientific).ptr;
  const std::string text(scientific, end);
  const bool negative = text[0] == '-';
  const std::size_t e = text.find('e');
  std::string digits;
  for (std::size_t i = negative; i < e; ++i)
    if (text[i] != '.') digits += text[i];
  const int whole = std::stoi(text.substr(e + 1)) + 1;  // digits before the point
  const int count = static_cast<int>(digits.size());
  std::string out = negative ? "-" : "";
  if (whole <= 0) return out + "0." + std::string(-whole, '0') + digits;
  if (whole >= count) return out + digits + std::string(whole - count, '0');
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

double random_value(std::mt19937_64& engine, int kind) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  switch (kind) {
    case 0:  // any finite double, subnormals included
      return std::bit_cast<double>(engine());
    case 1:  // times of recordings, full precision
      return unit(engine) * 36000.0;
    case 2:  // times rounded to microseconds, as aligners write them
      return std::round(unit(engine) * 3.6e9) / 1e6;
    case 3: {  // either side of 2^53, where whole parts stop being exact
      const double limit = 9007199254740992.0;
      return std::nextafter(limit, engine() % 2 ? 0.0 : 1e300) * (engine() % 2 ? 1 : -1) +
             static_cast<double>(engine() % 64) - 32.0;
    }
    case 4: {  // times of a few decimals, up to and beyond the writer's short form
      const int places = static_cast<int>(engine() % 12);
      const double scale = std::pow(10.0, places);
      return std::round(unit(engine) * 2e6 * scale) / scale;
    }
    default:  // powers of ten and their neighbours
      const double power = std::pow(10.0, static_cast<int>(engine() % 60) - 30);
      return engine() % 3 == 0 ? power : std::nextafter(power, engine() % 2 ? 0.0 : 1e300);
  }
}

}  // namespace

TEST(float_text_matches_the_positional_reference_on_random_doubles) {
  const char* chosen = std::getenv("TAVREL_TEST_SEED");
  const std::uint64_t seed = chosen ? std::strtoull(chosen, nullptr, 10) : std::random_device{}();
  std::fprintf(stderr, "float text: TAVREL_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 engine(seed);
  int failures = 0;
  for (int i = 0; i < 500'000 && failures < 5; ++i) {
    double value = random_value(engine, i % 6);
    if (!std::isfinite(value)) continue;
    if (engine() % 2) value = -value;
    const std::string expected = reference_text(value);
    std::string got = "x";
    textgrid::append_float(got, value);
    if (got != "x" + expected) {
      ++failures;
      check::report(__FILE__, __LINE__, "append_float gave " + got.substr(1) + " for " + expected);
    }
  }
}
