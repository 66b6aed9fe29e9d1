// The one-pass readers of the usual item lines against the general line-by-line
// path, on documents whose values are spelt every way a file may spell them.
// Seeded (TAVREL_TEST_SEED, else fresh; printed).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "../fuzz/fuzz_checks.hpp"
#include "check.hpp"

namespace {

using Engine = std::mt19937_64;

std::string pick(Engine& engine, std::initializer_list<const char*> choices) {
  return *(choices.begin() + engine() % choices.size());
}

std::string digits(Engine& engine, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += static_cast<char>('0' + engine() % 10);
  return out;
}

// Mostly times as aligners write them; now and then anything a file may hold.
std::string number_text(Engine& engine) {
  switch (engine() % 8) {
    case 0:
      return pick(engine, {"", "-", "+", "inf", "-Infinity", "nan", ".", "5.", ".5", "1e3", "2.5E-2",
                           "1 2", "0x10", "1.5.2", "--1", "99999999999999999999"});
    case 1:
      return pick(engine, {"-", "+"}) + digits(engine, engine() % 12) + "." +
             digits(engine, engine() % 12);
    default:
      return digits(engine, 1 + engine() % 9) + "." + digits(engine, engine() % 11);
  }
}

// An interval's start: mostly the last end's very spelling, as aligners write
// it; now and then one that only nearly repeats it.
std::string start_text(Engine& engine, const std::string& last_end) {
  switch (engine() % 8) {
    case 0:
      return number_text(engine);
    case 1:
      return last_end + pick(engine, {"5", "x", "0", ".", "e1"});
    case 2:
      return pick(engine, {"-", "+", "0"}) + last_end;
    case 3:
      return last_end.substr(0, last_end.size() - (last_end.empty() ? 0 : 1));
    default:
      return last_end;
  }
}

std::string label_text(Engine& engine) {
  switch (engine() % 6) {
    case 0:
      return pick(engine, {"\"a\"\"b\"", "\"open", "bare", "\"x\" tail", "\"two\nlines\"", "\"\""});
    default:
      return "\"" + pick(engine, {"ah", "", "sil", "\xc3\xa9t\xc3\xa9", "a=b", "long label text here"}) +
             "\"";
  }
}

std::string line_break(Engine& engine) {
  return engine() % 10 == 0 ? pick(engine, {"\r\n", "\r", " \t\n"}) : std::string(" \n");
}

std::string indent(Engine& engine, std::size_t usual) {
  if (engine() % 12 != 0) return std::string(usual, ' ');
  return pick(engine, {"", "\t", "  \t ", "   ", "                 ", "            \t"});
}

std::string long_document(Engine& engine, bool points, std::size_t items) {
  std::string text =
      "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\nxmin = 0 \nxmax = 9 \n"
      "tiers? <exists> \nsize = 1 \nitem []: \n    item [1]:\n        class = \"" +
      std::string(points ? "TextTier" : "IntervalTier") + "\" \n        name = \"t\" \n" +
      "        xmin = 0 \n        xmax = 9 \n        " + (points ? "points" : "intervals") +
      ": size = " + std::to_string(items) + " \n";
  std::string last_end = number_text(engine);
  for (std::size_t i = 0; i < items; ++i) {
    text += indent(engine, 8) + (points ? "points [" : "intervals [") + std::to_string(i + 1) +
            "]:" + line_break(engine);
    if (points) {
      text += indent(engine, 12) + pick(engine, {"number = ", "number = ", "time = ", "number =  "}) +
              number_text(engine) + line_break(engine);
    } else {
      text += indent(engine, 12) + "xmin = " + start_text(engine, last_end) + line_break(engine);
      last_end = number_text(engine);
      text += indent(engine, 12) + pick(engine, {"xmax = ", "xmax = ", "xmax="}) + last_end +
              line_break(engine);
    }
    text += indent(engine, 12) + (points ? "mark = " : "text = ") + label_text(engine) +
            line_break(engine);
  }
  return text;
}

std::string short_document(Engine& engine, bool points, std::size_t items) {
  std::string text = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n0\n9\n<exists>\n1\n\"" +
                     std::string(points ? "TextTier" : "IntervalTier") + "\"\n\"t\"\n0\n9\n" +
                     std::to_string(items) + "\n";
  std::string last = number_text(engine);
  for (std::size_t i = 0; i < items; ++i) {
    // A point's time or an interval's start, then its end, each perhaps
    // spelled as the number before it.
    last = start_text(engine, last);
    text += indent(engine, 0) + last + line_break(engine);
    if (!points) {
      last = engine() % 4 == 0 ? start_text(engine, last) : number_text(engine);
      text += indent(engine, 0) + last + line_break(engine);
    }
    text += indent(engine, 0) + label_text(engine) + line_break(engine);
  }
  return text;
}

}  // namespace

TEST(common_spellings_read_as_the_general_path_reads) {
  const char* chosen = std::getenv("TAVREL_TEST_SEED");
  const std::uint64_t seed = chosen ? std::strtoull(chosen, nullptr, 10) : std::random_device{}();
  std::fprintf(stderr, "common spellings: TAVREL_TEST_SEED=%llu\n",
               static_cast<unsigned long long>(seed));
  Engine engine(seed);
  int failures = 0;
  for (int round = 0; round < 3000 && failures < 3; ++round) {
    const bool short_layout = round % 2 == 1, points = round % 4 >= 2;
    const std::size_t items = 1 + engine() % 12;
    std::string text = short_layout ? short_document(engine, points, items)
                                    : long_document(engine, points, items);
    if (engine() % 5 == 0) text.resize(engine() % (text.size() + 1));  // cut anywhere
    const fuzz::Input input{static_cast<std::uint8_t>(short_layout ? 2 : 0), text};
    if (!fuzz::check_common_spellings(input)) {
      ++failures;
      check::report(__FILE__, __LINE__, "the readers differ on:\n" + text);
    }
  }
}
