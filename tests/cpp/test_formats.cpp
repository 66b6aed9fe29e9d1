// UTF-16 decoding, the binary and chronological readers, and what reading a
// file reports about its format and encoding.
#include <bit>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/reader.hpp"

using namespace textgrid;
using namespace std::string_literals;

namespace {

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// Builds a file in Praat's binary format, field by field.
struct BinaryFile {
  std::string bytes = std::string(binary_file_magic);

  BinaryFile& u8(unsigned value) {
    bytes.push_back(static_cast<char>(value));
    return *this;
  }
  BinaryFile& u16(unsigned value) { return u8(value >> 8).u8(value & 0xFF); }
  BinaryFile& i32(std::int32_t value) {
    auto bits = static_cast<std::uint32_t>(value);
    return u16(bits >> 16).u16(bits & 0xFFFF);
  }
  BinaryFile& r64(double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    for (int shift = 56; shift >= 0; shift -= 8) u8((bits >> shift) & 0xFF);
    return *this;
  }
  BinaryFile& name(std::string_view text) {
    u8(static_cast<unsigned>(text.size()));
    bytes += text;
    return *this;
  }
  BinaryFile& ascii(std::string_view text) {
    u16(static_cast<unsigned>(text.size()));
    bytes += text;
    return *this;
  }
  BinaryFile& utf16(std::vector<unsigned> units, unsigned characters) {
    u16(0xFFFF).u16(characters);
    for (unsigned unit : units) u16(unit);
    return *this;
  }
};

// A grid from 0 to 3 holding one interval tier with the intervals that `items` writes.
BinaryFile one_tier(unsigned count, auto&& items) {
  BinaryFile file;
  file.name("TextGrid").r64(0).r64(3).u8(1).i32(1);
  file.name("IntervalTier").ascii("words").r64(0).r64(3).i32(static_cast<std::int32_t>(count));
  items(file);
  return file;
}

TextGrid parse_binary_ok(const std::string& bytes, bool strict = false) {
  return parsed_or_fail(validated(parse_binary(bytes, "doc"), strict));
}

TextGrid parse_chronological_ok(std::string_view text, bool strict = false) {
  return parsed_or_fail(validated(parse_chronological_text(text, "doc"), strict));
}

const std::string chronological_head =
    "\"Praat chronological TextGrid text file\"\n0 3   ! Time domain.\n2   ! Number of tiers.\n"
    "\"IntervalTier\" \"words\" 0 3\n\"TextTier\" \"events\" 0 3\n";

}  // namespace

// The check skips plain ASCII in blocks: a fault is found wherever it stands
// in or after a block, and a valid character anywhere passes.
TEST(utf8_check_finds_a_fault_wherever_it_stands) {
  struct Case {
    const char* inserted;
    bool valid;
  };
  for (Case c : {Case{"\xC3\xA9", true}, Case{"\xE2\x82\xAC", true}, Case{"\xFF", false},
                 Case{"\xC3", false}, Case{"\xE2\x82", false}, Case{"\x80", false}}) {
    for (std::size_t position = 0; position <= 200; ++position) {
      std::string text(200, 'x');
      text.insert(position, c.inserted);
      CHECK_EQ(textgrid::is_valid_utf8(text), c.valid);
    }
  }
}

// A file read into storage that held a longer one keeps only its own bytes.
TEST(reading_into_used_storage_gives_the_file_alone) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string longer = (folder / "tavrel_read_longer.txt").string();
  const std::string shorter = (folder / "tavrel_read_shorter.txt").string();
  std::ofstream(longer, std::ios::binary) << std::string(100000, 'a');
  std::ofstream(shorter, std::ios::binary) << "bcd";
  std::string bytes;
  CHECK(textgrid::read_bytes_into(longer, bytes).has_value());
  CHECK_EQ(bytes.size(), std::size_t{100000});
  CHECK(textgrid::read_bytes_into(shorter, bytes).has_value());
  CHECK_EQ(bytes, std::string("bcd"));
  CHECK(!textgrid::read_bytes_into(shorter + ".missing", bytes).has_value());
  std::filesystem::remove(longer);
  std::filesystem::remove(shorter);
}

TEST(utf16_decodes_to_utf8_as_praat_reads_it) {
  struct Case {
    std::string units;  // little-endian
    std::string expected;
  };
  const Case cases[] = {
      {""s, ""s},
      {"a\0b\0"s, "ab"s},
      {"\xE9\0\x03\x26"s, "\xC3\xA9\xE2\x98\x83"s},  // é ☃
      {"\x3D\xD8\0\xDE"s, "\xF0\x9F\x98\x80"s},      // a surrogate pair
      {"\x3D\xD8"
       "a\0"s,
       "\xEF\xBF\xBD"
       "a"s},  // a lone high surrogate
      {"\0\xDE"
       "a\0"s,
       "\xEF\xBF\xBD"
       "a"s},                          // a lone low surrogate
      {"\x3D\xD8"s, "\xEF\xBF\xBD"s},  // cut inside a pair
      {"a\0b"s, "a"s},                 // an odd final byte
      {"\0\0"s, "\0"s},
  };
  for (const Case& c : cases) {
    CHECK_EQ(utf16_to_utf8(c.units, false), c.expected);
    std::string swapped = c.units;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    CHECK_EQ(utf16_to_utf8(swapped, true), c.expected);
  }
}

TEST(binary_texts_read_as_ascii_latin1_or_utf16) {
  BinaryFile file = one_tier(3, [](BinaryFile& f) {
    f.r64(0).r64(1).ascii("plain");
    f.r64(1).r64(2).ascii("caf\xE9");  // a byte above 0x7F is that character
    f.r64(2).r64(3).utf16({0x00E9, 0xD83D, 0xDE00, 0x0022}, 3);
  });
  TextGrid grid = parse_binary_ok(file.bytes, true);
  CHECK_EQ(grid.name, "doc");
  CHECK_EQ(grid.size, 1u);
  CHECK_EQ(grid.tiers[0],
           tier_of("words", true,
                   {{"plain", 0, 1}, {"caf\xC3\xA9", 1, 2}, {"\xC3\xA9\xF0\x9F\x98\x80\"", 2, 3}},
                   0, 3));
}

TEST(binary_points_and_a_missing_tier_list) {
  BinaryFile points;
  points.name("TextGrid").r64(0).r64(2).u8(1).i32(1);
  points.name("TextTier").ascii("").r64(0).r64(2).i32(2).r64(0.5).ascii("a").r64(1.5).ascii("");
  Tier tier = parse_binary_ok(points.bytes).tiers[0];
  CHECK_EQ(tier, tier_of("", false, {{"a", 0.5, 0.5}, {"", 1.5, 1.5}}, 0, 2));
  BinaryFile none;
  none.name("TextGrid").r64(0).r64(2).u8(0);
  TextGrid grid = parse_binary_ok(none.bytes);
  CHECK(grid.tiers.empty());
  CHECK_EQ(grid.tmax, 2.0);
}

TEST(binary_infinities_read_as_undefined) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double odd : {inf, -inf, std::nan("")}) {
    BinaryFile file;
    file.name("TextGrid").r64(odd).r64(1e-310).u8(0);
    TextGrid grid = parse_binary_ok(file.bytes);
    CHECK(std::isnan(grid.tmin));
    CHECK_EQ(grid.tmax, 1e-310);  // subnormal numbers keep their value
  }
}

TEST(binary_goes_through_the_same_validation) {
  BinaryFile file = one_tier(1, [](BinaryFile& f) { f.r64(2).r64(1).ascii("backwards"); });
  CHECK(validated(parse_binary(file.bytes, "doc"), false).has_value());
  Result<TextGrid> strict = validated(parse_binary(file.bytes, "doc"), true);
  CHECK(!strict && strict.error().kind == ErrorKind::InvalidData);
}

TEST(chronological_items_go_to_their_tiers_in_file_order) {
  std::string text = chronological_head +
                     "\n! words:\n1 0 1.5\n\"a \"\"quoted\"\" text\"\n"
                     "\n! events:\n2 1 \n\"two\r\nlines\"\n"
                     "\n! words:\n1 1.5 3\n\"\"\n";
  TextGrid grid = parse_chronological_ok(text, true);
  CHECK_EQ(grid.size, 2u);
  CHECK_EQ(grid.tiers[0],
           tier_of("words", true, {{"a \"quoted\" text", 0, 1.5}, {"", 1.5, 3}}, 0, 3));
  CHECK_EQ(grid.tiers[1], tier_of("events", false, {{"two\nlines", 1, 1}}, 0, 3));
}

TEST(chronological_reading_skips_words_and_comments_between_values) {
  std::string text =
      "\"Praat chronological TextGrid text file\" xmin 0 xmax 3 ! 9 9 9\r"
      "tiers: 1 \"TextTier\" name \"p\" 0 3 !\"\n"
      "point 1 at 1.25 label \"!\" trailing words";
  TextGrid grid = parse_chronological_ok(text);
  CHECK_EQ(grid.tiers.size(), 1u);
  CHECK_EQ(grid.tiers[0], tier_of("p", false, {{"!", 1.25, 1.25}}, 0, 3));
}

TEST(damaged_chronological_files_fail_with_their_line) {
  struct Case {
    std::string tail;
    std::string message;
  };
  const Case cases[] = {
      {"3 0 1 \"x\"", "tier number 3 is not between 1 and 2"},
      {"-1 0 1 \"x\"", "tier number -1 is not between 1 and 2"},
      {"1 0 1 \"open\nto the end", "a text that is never closed (line 6)"},
      {"1 0 1 \"x\"\"", "a text that is never closed (line 6)"},
      {"1 0 1 \"x\"y", "a character right after a closing quote (line 6)"},
      {"\n\n1 \"x\"", "the wrong kind of value for an interval's start time (line 8)"},
      {"1 0 1 <x>", "the wrong kind of value for an interval's text (line 6)"},
      {"1 0 1", "ended early: an interval's text is missing"},
  };
  for (const Case& c : cases) {
    std::string message =
        failure_message([&] { validated(parse_chronological_text(chronological_head + c.tail, ""), false); });
    CHECK(contains(message, c.message));
  }
  std::string hostile =
      "\"Praat chronological TextGrid text file\" 0 1 2147483647 \"TextTier\" \"a\" 0 1";
  CHECK(contains(failure_message([&] { validated(parse_chronological_text(hostile, ""), false); }),
                 "ended early: a tier class is missing"));
  CHECK_EQ(failure_message(
               [&] { validated(parse_chronological_text(chronological_head + "\"Tier\"", ""), false); }),
           "Chronological TextGrid: the wrong kind of value for a tier number (line 6)");
}

TEST(reading_reports_the_format_and_encoding_it_found) {
  struct Case {
    const char* file;
    std::string_view layout;
    std::string_view encoding;
  };
  const Case cases[] = {
      {"example_long_lf", "long", "utf-8"},
      {"example_long_bom", "long", "utf-8-sig"},
      {"example_long_utf16le", "long", "utf-16-le"},
      {"example_short_utf16be", "short", "utf-16-be"},
      {"latin1_long", "", "unknown"},
      {"praat/unicode_binary", "binary", "binary"},
      {"praat/tricky_chronological_utf16", "chronological", "utf-16-be"},
      {"praat/unicode_chronological_utf8", "chronological", "utf-8"},
  };
  for (const Case& c : cases) {
    std::string path = std::string(TAVREL_TESTS_DIR) + "/data/" + c.file + ".TextGrid";
    SourceInfo info;
    Result<TextGrid> grid = read_from_file(path, true, "auto", &info);
    CHECK_EQ(grid.has_value(), c.layout != "");
    CHECK_EQ(info.layout, c.layout);
    CHECK_EQ(info.encoding, c.encoding);
  }
}
