// Value conversions, line splitting and both parsers on texts held in memory.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "examples.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/reading/text_parsers.hpp"

using namespace textgrid;

namespace {

const double inf = std::numeric_limits<double>::infinity();

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

TextGrid parse_long(std::string_view text, bool strict = false) {
  return parsed_or_fail(validated(parse_long_text(text, "doc"), strict));
}

TextGrid parse_short(std::string_view text, bool strict = false) {
  return parsed_or_fail(validated(parse_short_text(text, "doc"), strict));
}

// Doubled quotes inside a quoted text stand for one quote each.
const std::string long_example = long_example_text(R"("say ""hi""")");
const std::string short_example = short_example_text(R"("say ""hi""")");

TextGrid example_grid() {
  TextGrid grid;
  grid.name = "doc";
  grid.tmin = 0;
  grid.tmax = 2.5;
  grid.size = 2;
  grid.tiers.push_back({"words", {{"hello", 0, 1.2}, {"say \"hi\"", 1.2, 2.5}}, 2, 0, 2.5, true});
  grid.tiers.push_back({"events", {{"click", 0.5, 0.5}}, 1, 0, 2.5, false});
  return grid;
}

}  // namespace

TEST(parse_number_accepts_exactly_the_decimal_syntax) {
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {"0", 0.0},          {"1", 1.0},           {"+1", 1.0},          {"-1", -1.0},
      {".5", 0.5},         {"5.", 5.0},          {"-.5", -0.5},        {"+5.", 5.0},
      {"1e3", 1000.0},     {"1E3", 1000.0},      {"1e+3", 1000.0},     {"2.5e-1", 0.25},
      {".5e1", 5.0},       {"5.e1", 50.0},       {"007", 7.0},         {"-0", -0.0},
      {"0.1", 0.1},        {"1e400", inf},       {"-1e400", -inf},     {"1e-400", 0.0},
      {"-1e-400", -0.0},   {"0.1e310", inf},     {"1000e-326", 1e-323}, {"0e999999", 0.0},
      {"4.9e-324", 4.9e-324},
      {"1e99999999999999999999999", inf},
      {"123456789012345678901234567890e-999999999999", 0.0},
      {"inf", inf},        {"-inf", -inf},       {"+INF", inf},        {"INFINITY", inf},
      {"-Infinity", -inf},
      // Malformed values read as zero.
      {"", 0.0},           {"-", 0.0},           {"+", 0.0},           {".", 0.0},
      {"1e", 0.0},         {"1e+", 0.0},         {"e5", 0.0},          {"1,5", 0.0},
      {" 1", 0.0},         {"1 ", 0.0},          {"1 000", 0.0},       {"0x10", 0.0},
      {"nan(1)", 0.0},     {"infin", 0.0},       {"++1", 0.0},         {"1.2.3", 0.0},
      {"abc", 0.0},        {"1e3.5", 0.0},       {"--1", 0.0},         {"in f", 0.0},
  };
  for (const Case& c : cases) {
    double got = parse_number(c.text);
    if (!same_double(got, c.expected))
      check::report(__FILE__, __LINE__, std::string("parse_number(\"") + c.text + "\") gave " +
                                            std::to_string(got));
  }
  for (const char* text : {"nan", "NaN", "-nan", "+NAN"}) CHECK(std::isnan(parse_number(text)));
}

TEST(parse_number_rounds_to_nearest) {
  CHECK_EQ(parse_number("0.1"), 0.1);
  CHECK_EQ(parse_number("1.7976931348623157e308"), 1.7976931348623157e308);
  CHECK_EQ(parse_number("9007199254740993"), 9007199254740992.0);  // tie goes to even
  CHECK_EQ(parse_number(std::string(400, '1') + "e-399"), 1.1111111111111111);
}

TEST(parse_count_accepts_unsigned_decimal_only) {
  struct Case {
    const char* text;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"0", 0},   {"7", 7},   {"+7", 7},  {"0012", 12}, {"18446744073709551615", 18446744073709551615ULL},
      {"18446744073709551616", 0},        {"", 0},      {"+", 0},   {"-1", 0},   {"2.0", 0},
      {"1e3", 0}, {" 1", 0},  {"1 ", 0},  {"x", 0},     {"99999999999999999999999", 0},
  };
  for (const Case& c : cases) {
    if (parse_count(c.text) != c.expected)
      check::report(__FILE__, __LINE__, std::string("parse_count(\"") + c.text + "\")");
  }
}

TEST(strip_quotes_removes_every_outer_quote) {
  CHECK_EQ(strip_quotes("\"a\""), "a");
  CHECK_EQ(strip_quotes("\"\"\"a\"\""), "a");
  CHECK_EQ(strip_quotes("a \"\"b\"\" c"), "a \"\"b\"\" c");
  CHECK_EQ(strip_quotes("\"\""), "");
  CHECK_EQ(strip_quotes("\""), "");
  CHECK_EQ(strip_quotes(""), "");
  CHECK_EQ(strip_quotes("\" a \""), " a ");
  CHECK_EQ(strip_quotes("\"say \\\"hi\\\"\""), "say \\\"hi\\");
}

TEST(trim_removes_unicode_white_space_at_both_ends) {
  const char* const spaces[] = {
      "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2005",
      "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
  };
  for (const char* space : spaces) {
    const std::string s = space;
    const std::string around = s + "x" + s;
    const std::string doubled = s + s + "a b" + s;
    CHECK_EQ(trim(around), "x");
    CHECK_EQ(trim(doubled), "a b");
    CHECK_EQ(trim(s), "");
  }
  // Near misses keep their bytes: U+200B (zero width space), U+2030, U+00A1, U+3001.
  for (const char* kept : {"\u200B", "\u2030", "\u00A1", "\u3001", "\u1681", "\u2060"}) {
    const std::string padded = std::string(kept) + " ";
    CHECK_EQ(trim(padded), kept);
  }
  CHECK_EQ(trim(""), "");
  CHECK_EQ(trim("é"), "é");
  // Runs of spaces of every length around the eight-byte stride.
  for (std::size_t n = 0; n < 20; ++n) {
    const std::string pad(n, ' ');
    const std::string padded = pad + "a" + pad;
    const std::string mixed = pad + "\t\u3000 b c\r";
    CHECK_EQ(trim(pad), "");
    CHECK_EQ(trim(padded), "a");
    CHECK_EQ(trim(mixed), "b c");
  }
}

TEST(parse_kv_splits_at_the_first_equals_sign) {
  auto kv = parse_kv("  xmin =\t1.5 ");
  CHECK(kv.has_value());
  CHECK_EQ(kv->first, "xmin");
  CHECK_EQ(kv->second, "1.5");
  kv = parse_kv("text = \"a = b\"");
  CHECK_EQ(kv->first, "text");
  CHECK_EQ(kv->second, "\"a = b\"");
  kv = parse_kv("=");
  CHECK(kv.has_value() && kv->first.empty() && kv->second.empty());
  kv = parse_kv("intervals: size = 3");
  CHECK_EQ(kv->first, "intervals: size");
  CHECK(!parse_kv("tiers? <exists>").has_value());
  CHECK(!parse_kv("").has_value());
}

TEST(next_line_splits_at_every_line_ending) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\n\nb", {"a", "", "b"}},
      {"\n", {""}},
      {"a\rb\rc", {"a", "b", "c"}},
      {"a\r\r\n", {"a", ""}},
      {"\r", {""}},
      {"a\n\rb\r\n\nc", {"a", "", "b", "", "c"}},
      // Breaks on either side of the eight-byte stride.
      {"0123456\r01234567\n0123456789abcdef\r\n", {"0123456", "01234567", "0123456789abcdef"}},
      {"\t\x0b\x0c\x0e\x8d\x8a plain", {"\t\x0b\x0c\x0e\x8d\x8a plain"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (std::size_t pos = 0; pos < c.text.size();)
      got.emplace_back(detail::next_line(c.text, pos));
    CHECK(got == c.lines);
  }
}

TEST(file_stem_drops_directories_and_the_last_extension) {
  const std::pair<const char*, const char*> cases[] = {
      {"data/a.TextGrid", "a"}, {"a.b.TextGrid", "a.b"}, {"notes", "notes"},
      {".TextGrid", ".TextGrid"}, {"/x/y/.hidden", ".hidden"}, {"dir.d/file", "file"},
      {"a.", "a"}, {"/abs/path/ü.TextGrid", "ü"},
  };
  for (auto [path, stem] : cases) CHECK_EQ(file_stem(path), stem);
}

TEST(long_parser_reads_the_written_layout) {
  TextGrid grid = parse_long(long_example);
  CHECK(grid == example_grid());
  std::string lf = long_example;
  std::erase(lf, '\r');
  CHECK(parse_long(lf) == example_grid());
  CHECK(validated(parse_long_text(long_example, "doc"), true).has_value());
}

TEST(long_parser_edge_cases) {
  // Empty text: no tiers, zero bounds; strict rejects the bounds.
  TextGrid empty = parse_long("");
  CHECK(empty.tiers.empty() && empty.tmin == 0.0 && empty.tmax == 0.0 && empty.size == 0);
  auto strict_empty = validated(parse_long_text("", "doc"), true);
  CHECK(!strict_empty && strict_empty.error().message == "Time bounds should be non-negative in TextGrid");

  // Lines ending in CR alone are lines like any other.
  TextGrid cr = parse_long("xmin = 1\rxmax = 2\ritem [1]:\r");
  CHECK(cr.tiers.size() == 1 && cr.tmin == 1.0 && cr.tmax == 2.0);

  // White space, blank lines and indentation are ignored; values are tolerant.
  TextGrid loose = parse_long("\n\t xmin\t=  .5\n\nxmax = 1e3\nsize = 2.0\n");
  CHECK(loose.tmin == 0.5 && loose.tmax == 1000.0 && loose.size == 0);
  CHECK(parse_long("xmin = abc\nxmax = 1,5\n").tmax == 0.0);

  // Global keys count only before the first section; a plain "size" in a tier is ignored.
  TextGrid late = parse_long("item []:\nxmin = 7\nitem [1]:\nsize = 4\nxmin = 3\n");
  CHECK(late.tmin == 0.0 && late.tiers.size() == 1 && late.tiers[0].size == 0 &&
        late.tiers[0].tmin == 3.0);

  // Tier defaults, unquoted class word, either size key whatever the class.
  TextGrid tiers = parse_long(
      "item [1]:\nname = \"a\"\nitem [2]:\nclass = TextTier\npoints: size = 3\n"
      "intervals: size = 5\nitem [3]:\nintervals:size = 9\nXMIN = 4\n");
  CHECK(tiers.tiers.size() == 3 && tiers.tiers[0].is_interval && tiers.tiers[0].name == "a");
  CHECK(!tiers.tiers[1].is_interval && tiers.tiers[1].size == 5);
  CHECK(tiers.tiers[2].size == 0 && tiers.tiers[2].tmin == 0.0);

  // Item keys: number sets both, mark in an interval tier, last value wins,
  // tier keys after an item are ignored, indices in brackets are not read.
  TextGrid items = parse_long(
      "item [5]:\nclass = \"IntervalTier\"\nintervals [9]:\nxmin = 1\nxmax = 2\n"
      "mark = \"m\"\ntext = \"\"\"t\"\"\"\npoints [1]:\nnumber = 3\nname = \"late\"\n"
      "text = \"a \"\"q\"\" b\"\nintervals [1]\ntext =\n");
  const Tier& tier = items.tiers.at(0);
  CHECK(tier.name.empty() && tier.items.size() == 3);
  CHECK(tier.items[0] == (Item{"\"t\"", 1.0, 2.0}));
  CHECK(tier.items[1] == (Item{"a \"q\" b", 3.0, 3.0}));
  CHECK(tier.items[2] == (Item{"", 0.0, 0.0}));

  // A label continued over several lines keeps them all, key lines included.
  TextGrid multi = parse_long("item [1]:\nintervals [1]:\ntext = \"one\ntwo\nxmax = 4\nthree\"\n");
  CHECK(multi.tiers[0].items[0] == (Item{"one\ntwo\nxmax = 4\nthree", 0.0, 0.0}));

  // A byte-order mark stays on the first line, which no key uses.
  CHECK(parse_long("\xEF\xBB\xBFxmin = 1\nxmax = 2\n").tmax == 2.0);
}

TEST(long_parser_internal_failures) {
  CHECK(failure_message([] { parse_long("item [1]:\nclass = \"PointTier\"\n"); }) ==
        "Unknown tier class: \"PointTier\"");
  CHECK(failure_message([] { parse_long("item [1]:\nclass =  intervaltier \n"); }) ==
        "Unknown tier class: intervaltier");
  CHECK(failure_message([] { parse_long("item [1]:\nclass = \"\"\n"); }) ==
        "Unknown tier class: \"\"");
  CHECK(!failure_message([] { parse_long("xmin = 0\nintervals [1]:\n"); }).empty());
  CHECK(!failure_message([] { parse_long("item []:\npoints [1]:\n"); }).empty());
}

TEST(long_parser_strict_checks_declared_counts) {
  auto grid = validated(parse_long_text("xmin = 0\nxmax = 1\nsize = 2\nitem [1]:\nxmin = 0\nxmax = 1\n",
                              "doc"), true);
  CHECK(!grid && grid.error().message == "TextGrid size does not match number of tiers");
  grid = validated(parse_long_text("xmin = 0\nxmax = 1\nsize = 1\nitem [1]:\nxmin = 0\nxmax = 1\n"
                         "intervals [1]:\nxmin = 0\nxmax = 1\ntext = \"\"\n",
                         "doc"), true);
  CHECK(!grid && grid.error().message == "Tier size does not match number of items");
  CHECK(grid.error().kind == ErrorKind::InvalidData);
}

TEST(short_parser_reads_the_written_layout) {
  CHECK(parse_short(short_example) == example_grid());
  std::string lf = short_example;
  std::erase(lf, '\r');
  CHECK(parse_short(lf) == example_grid());
  CHECK(validated(parse_short_text(short_example, "doc"), true).has_value());
}

TEST(short_parser_edge_cases) {
  // Header lines and line 5 may hold anything; exactly seven lines with count 0.
  TextGrid bare = parse_short("\xEF\xBB\xBFwhatever\nx\ny\n1\n2\nanything\n0");
  CHECK(bare.tiers.empty() && bare.tmin == 1.0 && bare.tmax == 2.0);
  // A malformed tier count reads no tiers.
  CHECK(parse_short("h\nh\n\n0\n1\n<exists>\ntwo\n\"bogus\"\n").tiers.empty());
  // Unquoted labels, doubled inner quotes, all-quote labels, extra tiers ignored.
  TextGrid labels = parse_short(
      "\n\n\n0\n3\n<exists>\n1\n\"TextTier\"\nn\n0\n3\n3\n1\nplain\n2\n\"a\"\"b\"\n"
      "x\n\"\"\"\"\n\"IntervalTier\"\n");
  const Tier& points = labels.tiers.at(0);
  CHECK(!points.is_interval && points.name == "n" && points.items.size() == 3);
  CHECK(points.items[0] == (Item{"plain", 1.0, 1.0}));
  CHECK(points.items[1] == (Item{"a\"b", 2.0, 2.0}));
  CHECK(points.items[2] == (Item{"\"", 0.0, 0.0}));
  // A long-layout text forced through the short parser is an empty document.
  TextGrid forced = parse_short(long_example);
  CHECK(forced.tiers.empty() && forced.tmin == 0.0 && forced.tmax == 0.0 && forced.size == 0);
  auto strict = validated(parse_short_text(long_example, "doc"), true);
  CHECK(!strict && strict.error().message == "Time bounds should be non-negative in TextGrid");
  // A huge declared count allocates nothing before its lines run out.
  CHECK(!failure_message([] {
           parse_short("\n\n\n0\n1\n\n1000000000000000000\n");
         }).empty());
  CHECK(!failure_message([] {
           parse_short("\n\n\n0\n1\n\n1\n\"IntervalTier\"\nn\n0\n1\n18446744073709551615\n");
         }).empty());
}

TEST(short_parser_stops_at_the_first_missing_line) {
  const char* const truncated[] = {
      "",                                     // no line 3
      "a\rb\rc\r0\r\r",                       // CR alone ends lines too: no line 6
      "\n\n\n0\n",                            // no line 4
      "\n\n\n0\n1\n<exists>",                 // no line 6
      "\n\n\n0\n1\n\n1\n",                    // no class line
      "\n\n\n0\n1\n\n1\n\"TextTier\"\nn\n0\n1\n",   // no item count
      "\n\n\n0\n1\n\n1\n\"TextTier\"\nn\n0\n1\n1\n0.5\n",  // no mark
      "\n\n\n0\n1\n\n2\n\"TextTier\"\nn\n0\n1\n0\n",       // second tier missing
  };
  for (const char* text : truncated) {
    std::string message = failure_message([&] { parse_short(text); });
    CHECK(!message.empty() && !message.starts_with("Unknown tier class"));
  }
}

TEST(short_parser_reports_unknown_class_with_the_trimmed_line) {
  // A blank line after an item count shifts the following values by one.
  const char* shifted =
      "\n\n\n0\n1\n\n2\n\"IntervalTier\"\n\"w\"\n0\n1\n1\n\n0\n1\n\"lab\"\n\"IntervalTier\"\n";
  CHECK_EQ(failure_message([&] { parse_short(shifted); }), "Unknown tier class: \"lab\"");
  CHECK_EQ(failure_message([] { parse_short("\n\n\n0\n1\n\n1\n \"texttier\"\t\n"); }),
           "Unknown tier class: \"texttier\"");
  // A malformed item count makes the item lines read as the next tier.
  const char* miscounted =
      "\n\n\n0\n1\n\n2\n\"IntervalTier\"\nw\n0\n1\nthree\n0\n1\n\"lab\"\n";
  CHECK_EQ(failure_message([&] { parse_short(miscounted); }), "Unknown tier class: 0");
}

namespace {

// One interval whose label line (after "text = " in the long layout, on its
// own in the short one) is `quoted`, followed by a point tier whose values
// must stay in place.
std::string long_with_label(std::string_view quoted) {
  return "xmin = 0\nxmax = 9\nsize = 2\nitem []:\nitem [1]:\nclass = \"IntervalTier\"\n"
         "name = \"w\"\nintervals: size = 1\nintervals [1]:\nxmin = 1\nxmax = 2\ntext = " +
         std::string(quoted) +
         "\nitem [2]:\nclass = \"TextTier\"\nname = \"p\"\npoints: size = 1\npoints [1]:\n"
         "number = 5\nmark = \"after\"\n";
}

std::string short_with_label(std::string_view quoted) {
  return "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n0\n9\n<exists>\n2\n"
         "\"IntervalTier\"\n\"w\"\n0\n9\n1\n1\n2\n" +
         std::string(quoted) + "\n\"TextTier\"\n\"p\"\n0\n9\n1\n5\n\"after\"\n";
}

}  // namespace

TEST(quoted_texts_read_alike_in_both_layouts) {
  struct Case {
    const char* quoted;  // as it stands in the file
    const char* label;
  };
  const Case cases[] = {
      {R"("say ""hi""")", "say \"hi\""},
      {R"("""")", "\""},
      {R"("""quoted""")", "\"quoted\""},
      {R"("")", ""},
      {R"("a" trailing words)", "a"},
      {R"("  padded  " )", "  padded  "},
      {R"("back\slash\")", "back\\slash\\"},
      {"\"tab\there\"", "tab\there"},
      {"\"two\nlines\"", "two\nlines"},
      {"\"crlf\r\ninside\"", "crlf\ninside"},
      {"\"lone\rcr\"", "lone\ncr"},
      {"\"ends with break\n\"", "ends with break\n"},
      {"\"starts\n\"\"quoted\"\" \"", "starts\n\"quoted\" "},
      {"\"  indented\n    next\"  ignored", "  indented\n    next"},
      // Key and section lines inside a text are part of it: no forged items or tiers.
      {"\"a\"\"\n        intervals [2]:\nxmax = 7\nitem [3]:\nclass = \"\"IntervalTier\"\"\"",
       "a\"\n        intervals [2]:\nxmax = 7\nitem [3]:\nclass = \"IntervalTier\""},
      {"\"é\n☃\"", "é\n☃"},
      {"plain words", "plain words"},
      {"unquoted\"", "unquoted"},
  };
  for (const Case& c : cases) {
    for (bool long_layout : {true, false}) {
      std::string text = long_layout ? long_with_label(c.quoted) : short_with_label(c.quoted);
      TextGrid grid = long_layout ? parse_long(text) : parse_short(text);
      bool ok = grid.tiers.size() == 2 && grid.tiers[0].items.size() == 1 &&
                grid.tiers[0].items[0] == (Item{c.label, 1.0, 2.0}) &&
                grid.tiers[1].items.size() == 1 && grid.tiers[1].items[0] == (Item{"after", 5.0, 5.0});
      if (!ok)
        check::report(__FILE__, __LINE__,
                      std::string(long_layout ? "long" : "short") + " layout, label " + c.quoted);
    }
  }
}

TEST(quoted_names_span_lines_too) {
  TextGrid grid = parse_long("item [1]:\nname = \"first\nsecond\"\"\"\nxmin = 3\n");
  CHECK(grid.tiers.size() == 1 && grid.tiers[0].name == "first\nsecond\"" &&
        grid.tiers[0].tmin == 3.0);
  TextGrid short_grid = parse_short(
      "\n\n\n0\n1\n\n1\n\"TextTier\"\n\"a\r\nb\"\n0\n1\n0\n");
  CHECK(short_grid.tiers.size() == 1 && short_grid.tiers[0].name == "a\nb" &&
        short_grid.tiers[0].tmax == 1.0);
}

// A quote that no later quote closes (the file is damaged) reads that one
// line as before (outer quotes removed), and the lines after it as lines.
TEST(unclosed_quote_reads_its_own_line_only) {
  TextGrid grid = parse_long(
      "item [1]:\nintervals [1]:\ntext = \"open \"\"x\nxmax = 4\nintervals [2]:\ntext = plain\n"
      "xmin = 6\n");
  const Tier& tier = grid.tiers.at(0);
  CHECK(tier.items.size() == 2);
  CHECK(tier.items[0] == (Item{"open \"\"x", 0.0, 4.0}));
  CHECK(tier.items[1] == (Item{"plain", 6.0, 0.0}));
  // The last line of the text, with and without a final break.
  for (const char* end : {"", "\n", "\r\n", "\r", "\"\"", "\"\"\n"}) {
    TextGrid last = parse_long(std::string("item [1]:\nintervals [1]:\ntext = \"cut") + end);
    CHECK_EQ(last.tiers.at(0).items.at(0).label, std::string("cut"));
  }
  TextGrid short_grid =
      parse_short("\n\n\n0\n1\n\n1\n\"TextTier\"\n\"n\"\n0\n1\n2\n0.5\n\"open\n0.7\nb\n");
  CHECK(short_grid.tiers.at(0).items.size() == 2);
  CHECK(short_grid.tiers[0].items[0] == (Item{"open", 0.5, 0.5}));
  CHECK(short_grid.tiers[0].items[1] == (Item{"b", 0.7, 0.7}));
}

// A later quote closes an open text, even one that opens a value of its own.
TEST(an_open_text_runs_to_the_next_single_quote) {
  TextGrid grid = parse_long(
      "item [1]:\nintervals [1]:\ntext = \"a\nintervals [2]:\ntext = \"b\"\nxmin = 2\n");
  CHECK(grid.tiers.at(0).items.size() == 1);
  CHECK(grid.tiers[0].items[0] == (Item{"a\nintervals [2]:\ntext = ", 2.0, 0.0}));
}

TEST(section_lines_without_spaces_and_time_keys) {
  TextGrid grid = parse_long(
      "xmin = 0\nxmax = 3\nsize = 2\nitem[]:\nitem[1]:\nclass = \"IntervalTier\"\n"
      "intervals[1]:\nxmin = 0\nxmax = 3\ntext = \"a\"\nitem  [2]:\nclass = \"TextTier\"\n"
      "points[1]:\ntime = 1.5\nmark = \"t\"\npoints [2]:\nnumber = 2.5\nmark = \"n\"\n"
      "items [3]:\nitem:\n");
  CHECK_EQ(grid.tiers.size(), std::size_t{2});
  CHECK(grid.tiers[0].items.at(0) == (Item{"a", 0.0, 3.0}));
  CHECK(grid.tiers[1].items.at(0) == (Item{"t", 1.5, 1.5}));
  CHECK(grid.tiers[1].items.at(1) == (Item{"n", 2.5, 2.5}));
}

TEST(layout_is_told_by_the_lines_after_the_header) {
  using enum TextLayout;
  struct Case {
    std::string text;
    TextLayout expected;
  };
  const std::string header = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n";
  const Case cases[] = {
      {long_example, long_text},
      {short_example, short_text},
      {header + "xmin = 0\nxmax = 1\ntiers? <exists>\nsize = 0\n", long_text},  // no "item []"
      {header + "xmin = 0\r\nxmax = 1\r\n", long_text},
      {"\xEF\xBB\xBF" + header + "xmin = 0\n", long_text},
      {header + "\n\n   xmin = 0\n", long_text},
      {"xmin = 0\nxmax = 1\n", long_text},
      {header + "item []:\n", long_text},
      {"File type = \"ooTextFile\"\rObject class = \"TextGrid\"\r\rxmin = 0\r", long_text},
      {header + "0\n1\n<exists>\n1\n\"IntervalTier\"\n\"item []\"\n0\n1\n1\n0\n1\n\"item []: x = 1\"\n",
       short_text},
      {"File type = \"ooTextFile short\"\n\"TextGrid\"\n\n0\n1\n<exists>\n0\n", short_text},
      {header + "0\n1\n<absent>\n0\n", short_text},
      {"", short_text},
      {header, short_text},
      {"\n\n\n", short_text},
  };
  for (const Case& c : cases) {
    if (detect_text_layout(c.text) != c.expected)
      check::report(__FILE__, __LINE__, "layout of: " + c.text.substr(0, 80));
  }
}

TEST(free_form_text_reads_values_wherever_they_stand) {
  const std::string expected_text = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n"
                                    "0\n2.3\n<exists>\n2\n\"IntervalTier\"\n\"Mary\"\n0\n2.3\n1\n0\n2.3\n"
                                    "\"say \"\"hi\"\"\"\n\"TextTier\"\n\"bell\"\n0\n2.3\n1\n1.5\n\"ding\"\n";
  const TextGrid expected = parse_short(expected_text);
  const char* const texts[] = {
      "\"ooTextFile\"\n\"TextGrid\"\n0 2.3 ! time domain\n<exists>\n2 tiers\n"
      "\"IntervalTier\" \"Mary\" ! type and name\n0 2.3\n1 interval coming\n"
      "0   2.3 \"say \"\"hi\"\"\" ! interval 1\n\"TextTier\" \"bell\"\n0 2.3\n1 point\n1.5 \"ding\"\n",
      "\"ooTextFile\"\r\"TextGrid\"\r0\t2.3\r<exists> 2 \"IntervalTier\" \"Mary\" 0 2.3 1 0 2.3 "
      "\"say \"\"hi\"\"\" \"TextTier\" \"bell\" 0 2.3 1 1.5 \"ding\"",
  };
  for (const char* text : texts) {
    Result<TextGrid> grid = validated(parse_free_text(text, "doc"), true);
    CHECK(grid.has_value() && *grid == expected);
  }
  // The short and the long layout read alike through it.
  CHECK(parse_free_text(expected_text, "doc") == expected);
  CHECK(parse_free_text(long_example, "doc") == parse_long(long_example));
  // A text over several lines, with CR LF inside read as LF.
  Result<TextGrid> multi = validated(parse_free_text(
      "\"ooTextFile\" \"TextGrid\" 0 1 <exists> 1 \"TextTier\" \"p\" 0 1 1 0.5 \"a\r\nb\"", "doc"), false);
  CHECK(multi.has_value() && multi->tiers.at(0).items.at(0) == (Item{"a\nb", 0.5, 0.5}));
  // No tiers after "<absent>".
  Result<TextGrid> absent = validated(parse_free_text("\"ooTextFile\" \"TextGrid\" 0 1 <absent>", "doc"), true);
  CHECK(absent.has_value() && absent->tiers.empty() && absent->tmax == 1.0);
}

TEST(free_form_text_stops_at_what_does_not_fit) {
  const char* const broken[] = {
      "",
      "\"ooTextFile\" \"TextGrid\" 0",                                    // ends early
      "\"ooTextFile\" \"TextGrid\" 0 \"1\" <exists> 0",                   // text for a number
      "\"ooTextFile\" \"TextGrid\" 0 1 2",                                // number for <exists>
      "\"ooTextFile\" \"TextGrid\" 0 1 <exists> 1 \"TextTier\" \"p\" 0 1 1 0.5 \"open",
      "\"ooTextFile\" \"TextGrid\" 0 1 <exists> 18446744073709551615 \"TextTier\" \"p\" 0 1 0",
      "\"ooTextFile\" \"TextGrid\" 0 1 <exists> 1 \"TextTier\" \"p\" 0 1 1000000000000000 0.5 \"a\"",
  };
  for (const char* text : broken) CHECK(!failure_message([&] { validated(parse_free_text(text, "d"), false); }).empty());
  CHECK_EQ(failure_message([] {
             validated(parse_free_text("\"ooTextFile\" \"TextGrid\" 0 1 <exists> 1 \"PointTier\"", "d"), false);
           }),
           std::string("Unknown tier class: PointTier"));
}

TEST(free_form_layout_is_told_by_its_first_lines) {
  const std::string header = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n";
  const std::pair<std::string, TextLayout> cases[] = {
      {"\"ooTextFile\"\n\"TextGrid\"\n0.25\n1.5\n<exists>\n2\n", TextLayout::free_text},
      {header + "0 2.3\n<exists>\n", TextLayout::free_text},
      {header + "0 ! start\n2.3\n<exists>\n", TextLayout::free_text},
      {header + "0\n2.3\n<exists>\n3 tiers\n", TextLayout::free_text},
      {header + "0\n2.3\n<exists>\n1\n\"IntervalTier\"\n\"a b ! c\"\n", TextLayout::short_text},
      {"\"Praat chronological TextGrid text file\"\n0 1   ! Time domain.\n", TextLayout::short_text},
  };
  for (const auto& [text, layout] : cases) {
    if (detect_text_layout(text) != layout)
      check::report(__FILE__, __LINE__, "layout of: " + text.substr(0, 80));
  }
}
