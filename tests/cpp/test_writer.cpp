// Byte-exact checks of the long and short layouts, float formatting and saving.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "examples.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/writing/render.hpp"

using textgrid::Item;
using textgrid::TextGrid;
using textgrid::Tier;

namespace {

TextGrid example_grid() {
  Tier words{.name = "words",
             .items = {{"hello", 0.0, 1.2}, {"say \"hi\"", 1.2, 2.5}},
             .size = 2,
             .tmin = 0.0,
             .tmax = 2.5,
             .is_interval = true};
  Tier events{.name = "events",
              .items = {{"click", 0.5, 0.5}},
              .size = 1,
              .tmin = 0.0,
              .tmax = 2.5,
              .is_interval = false};
  return TextGrid{.name = "example", .tiers = {words, events}, .tmin = 0.0, .tmax = 2.5, .size = 2};
}

// Inner quotes are written doubled, as Praat does.
const std::string example_long = long_example_text(R"("say ""hi""")");
const std::string example_short = short_example_text(R"("say ""hi""")");

const std::string file_header = "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string make_temp_dir() {
  char pattern[] = "/tmp/tavrel-writer-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) textgrid::fail("mkdtemp failed");
  return dir;
}

}  // namespace

TEST(writer_complete_examples_byte_for_byte) {
  const TextGrid grid = example_grid();
  CHECK_EQ(example_long.size(), std::size_t{685});
  CHECK_EQ(example_short.size(), std::size_t{200});
  CHECK_EQ(grid.to_long_textgrid_string(), example_long);
  CHECK_EQ(grid.to_short_textgrid_string(), example_short);
}

// Praat writes (and needs) "<exists>" even for a TextGrid without tiers.
TEST(writer_grid_without_tiers) {
  TextGrid empty{.name = "e", .tiers = {}, .tmin = 0.0, .tmax = 1.0, .size = 3};
  CHECK_EQ(empty.to_long_textgrid_string(),
           file_header +
               "xmin = 0 \r\nxmax = 1 \r\ntiers? <exists> \r\nsize = 0 \r\nitem []: (empty)\r\n");
  CHECK_EQ(empty.to_short_textgrid_string(), file_header + "0\r\n1\r\n<exists>\r\n0\r\n");
}

TEST(writer_tier_without_items_and_stale_size) {
  for (bool interval : {true, false}) {
    Tier tier{.name = "t", .items = {}, .size = 7, .tmin = 0.0, .tmax = 3.0, .is_interval = interval};
    const std::string keyword = interval ? "intervals" : "points";
    const std::string tier_class = interval ? "\"IntervalTier\"" : "\"TextTier\"";
    CHECK_EQ(tier.to_long_textgrid_string(0),
             "    item [1]:\r\n        class = " + tier_class +
                 " \r\n        name = \"t\" \r\n        xmin = 0 \r\n        xmax = 3 \r\n        " +
                 keyword + ": size = 0 \r\n");
    CHECK_EQ(tier.to_short_textgrid_string(), tier_class + "\r\n\"t\"\r\n0\r\n3\r\n0\r\n");
  }
  // A declared count that disagrees with the items is ignored.
  TextGrid grid = example_grid();
  grid.size = 40;
  grid.tiers[0].size = 0;
  grid.tiers[1].size = 9;
  CHECK_EQ(grid.to_long_textgrid_string(), example_long);
  CHECK_EQ(grid.to_short_textgrid_string(), example_short);
}

TEST(writer_tier_positions_and_item_numbers_restart) {
  TextGrid grid{.name = "g", .tiers = {}, .tmin = 0.0, .tmax = 1.0, .size = 0};
  for (int i = 0; i < 11; ++i)
    grid.tiers.push_back(Tier{.name = std::string("t").append(std::to_string(i)),
                              .items = {{"a", 0.0, 0.5}, {"b", 0.5, 1.0}},
                              .size = 2,
                              .tmin = 0.0,
                              .tmax = 1.0,
                              .is_interval = true});
  const std::string text = grid.to_long_textgrid_string();
  CHECK(text.find("\r\n    item [10]:\r\n        class") != std::string::npos);
  CHECK(text.find("\r\n    item [11]:\r\n") != std::string::npos);
  CHECK(text.find("intervals [3]") == std::string::npos);
  CHECK_EQ(grid.tiers[9].to_long_textgrid_string(9).substr(0, 16), std::string("    item [10]:\r\n"));
}

TEST(writer_label_escaping_in_both_layouts) {
  struct Case {
    std::string label;
    std::string written;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"\"", "\"\"\"\""},
      {"a\"b\"\"c", "\"a\"\"b\"\"\"\"c\""},
      {"back\\slash", "\"back\\slash\""},
      {"\\\"", "\"\\\"\"\""},
      {"tab\there\nnewline", "\"tab\there\nnewline\""},
      {"caf\xc3\xa9 \xe2\x80\x9cq\xe2\x80\x9d", "\"caf\xc3\xa9 \xe2\x80\x9cq\xe2\x80\x9d\""},
  };
  for (const Case& c : cases) {
    Tier interval{.name = c.label, .items = {{c.label, 0.0, 1.0}}, .size = 1, .tmin = 0.0,
                  .tmax = 1.0, .is_interval = true};
    Tier point = interval;
    point.is_interval = false;
    const std::string long_interval = interval.to_long_textgrid_string(0);
    CHECK(long_interval.find("        name = " + c.written + " \r\n") != std::string::npos);
    CHECK(long_interval.ends_with("            text = " + c.written + " \r\n"));
    CHECK(point.to_long_textgrid_string(0).ends_with("            mark = " + c.written + " \r\n"));
    CHECK_EQ(interval.to_short_textgrid_string(),
             "\"IntervalTier\"\r\n" + c.written + "\r\n0\r\n1\r\n1\r\n0\r\n1\r\n" + c.written + "\r\n");
    CHECK_EQ(point.to_short_textgrid_string(),
             "\"TextTier\"\r\n" + c.written + "\r\n0\r\n1\r\n1\r\n0\r\n" + c.written + "\r\n");
  }
}

TEST(writer_point_writes_only_its_start) {
  Tier point{.name = "p", .items = {{"x", 0.25, 0.75}}, .size = 1, .tmin = 0.0, .tmax = 1.0,
             .is_interval = false};
  CHECK(point.to_long_textgrid_string(2).ends_with(
      "        points [1]:\r\n            number = 0.25 \r\n            mark = \"x\" \r\n"));
  CHECK(point.to_short_textgrid_string().ends_with("1\r\n0.25\r\n\"x\"\r\n"));
  CHECK(point.to_long_textgrid_string(2).find("0.75") == std::string::npos);
  CHECK(point.to_short_textgrid_string().find("0.75") == std::string::npos);
}

// Each time is written as format_float writes it alone, also where it repeats
// the time before it (as an interval's start repeats the last end) or only
// looks like it: zeros of either sign, NaN, infinities, texts over 32 bytes.
TEST(writer_repeated_times_are_written_as_alone) {
  const std::vector<double> times = {0.0,  0.0,    -0.0, 0.0,   1.5,      1.5,    NAN,    NAN,
                                     INFINITY, INFINITY, -INFINITY, 1e300, 1e300, 1e-300, 1e-300,
                                     0.1,  0.1000000000000001, 2.0, 2.0, 123456.789, 123456.789};
  for (bool interval : {true, false}) {
    Tier tier;
    tier.name = "t";
    tier.is_interval = interval;
    for (std::size_t i = 0; i + 1 < times.size(); ++i)
      tier.items.push_back({"x", times[i], interval ? times[i + 1] : times[i]});
    tier.size = tier.items.size();
    std::string expected = std::to_string(tier.items.size()) + "\r\n";
    for (const Item& item : tier.items) {
      expected += textgrid::format_float(item.tmin) + "\r\n";
      if (interval) expected += textgrid::format_float(item.tmax) + "\r\n";
      expected += "\"x\"\r\n";
    }
    CHECK(tier.to_short_textgrid_string().ends_with(expected));
    std::string long_text = tier.to_long_textgrid_string(2);
    for (const Item& item : tier.items)
      CHECK(long_text.find((interval ? "xmin = " : "number = ") + textgrid::format_float(item.tmin) +
                           " \r\n") != std::string::npos);
  }
}

TEST(writer_invalid_grid_written_as_is) {
  // Reversed and non-finite bounds are rendered, not rejected.
  Tier tier{.name = "w", .items = {{"z", 2.0, 1.0}}, .size = 1, .tmin = NAN, .tmax = -INFINITY,
            .is_interval = true};
  TextGrid grid{.name = "g", .tiers = {tier}, .tmin = 5.0, .tmax = -5.0, .size = 1};
  CHECK_EQ(grid.to_short_textgrid_string(),
           file_header + "5\r\n-5\r\n<exists>\r\n1\r\n\"IntervalTier\"\r\n\"w\"\r\nNaN\r\n-inf\r\n1\r\n"
                         "2\r\n1\r\n\"z\"\r\n");
}

TEST(float_formatting_table) {
  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {-1.0, "-1"},
      {2.5, "2.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e-7, "0.0000001"},
      {-1.5e-5, "-0.000015"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {123456.789, "123456.789"},
      // Each of the nine decimals of the short form, and zeros between them.
      {0.000000001, "0.000000001"},
      {0.123456789, "0.123456789"},
      {0.900000009, "0.900000009"},
      {42.00001, "42.00001"},
      {999999.5, "999999.5"},
      {9007199254740993.0, "9007199254740992"},
      {DBL_MAX, "17976931348623157" + std::string(292, '0')},
      {-DBL_MAX, "-17976931348623157" + std::string(292, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {DBL_MIN, "0." + std::string(307, '0') + "22250738585072014"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
  };
  for (const Case& c : cases) {
    CHECK_EQ(textgrid::format_float(c.value), c.text);
    std::string appended = "x=";
    textgrid::append_float(appended, c.value);
    CHECK_EQ(appended, "x=" + c.text);
  }
}

TEST(float_formatting_round_trips_random_doubles) {
  // TAVREL_TEST_SEED replays a reported run.
  const char* chosen = std::getenv("TAVREL_TEST_SEED");
  const auto seed = chosen ? std::strtoull(chosen, nullptr, 10)
                           : static_cast<std::uint64_t>(
                                 std::chrono::steady_clock::now().time_since_epoch().count());
  std::fprintf(stderr, "float round-trip seed: %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> ordinary(-1e6, 1e6);
  for (int i = 0; i < 200000; ++i) {
    const double value = i % 2 ? std::bit_cast<double>(random()) : ordinary(random);
    if (!std::isfinite(value)) continue;
    const std::string text = textgrid::format_float(value);
    double back = 0.0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), back);
    const bool exact = result.ec == std::errc() && result.ptr == text.data() + text.size() &&
                       std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value);
    const bool positional = text.find_first_of("eE+") == std::string::npos &&
                            (text.find('.') == std::string::npos || text.back() != '0');
    if (!exact || !positional) {
      CHECK_EQ(text, std::string("a round-trip positional form"));
      return;
    }
  }
}

TEST(writer_large_tier_on_pool_matches_plain_rendering) {
  constexpr std::size_t count = 40000;
  CHECK(count >= textgrid::parallel_threshold() && count >= textgrid::items_worth_the_pool);
  for (bool interval : {true, false}) {
    Tier tier{.name = "big", .items = {}, .size = 0, .tmin = 0.0, .tmax = count / 10.0,
              .is_interval = interval};
    for (std::size_t i = 0; i < count; ++i)
      tier.items.push_back({std::string("w").append(std::to_string(i % 97)).append(i % 13 ? "" : "\""),
                            i / 10.0,
                            (i + 1) / 10.0});
    // Reference built item by item with plain concatenation.
    std::string expected_long, expected_short;
    for (std::size_t i = 0; i < count; ++i) {
      const Item& item = tier.items[i];
      std::string quoted = "\"" + item.label + "\"";
      if (item.label.ends_with('"')) quoted = "\"" + item.label + "\"\"";
      const std::string start = textgrid::format_float(item.tmin);
      const std::string end = textgrid::format_float(item.tmax);
      const std::string k = std::to_string(i + 1);
      if (interval) {
        expected_long += "        intervals [" + k + "]:\r\n            xmin = " + start +
                         " \r\n            xmax = " + end + " \r\n            text = " + quoted +
                         " \r\n";
        expected_short += start + "\r\n" + end + "\r\n" + quoted + "\r\n";
      } else {
        expected_long += "        points [" + k + "]:\r\n            number = " + start +
                         " \r\n            mark = " + quoted + " \r\n";
        expected_short += start + "\r\n" + quoted + "\r\n";
      }
    }
    const std::string tier_class = interval ? "IntervalTier" : "TextTier";
    const std::string keyword = interval ? "intervals" : "points";
    CHECK_EQ(tier.to_long_textgrid_string(0),
             "    item [1]:\r\n        class = \"" + tier_class +
                 "\" \r\n        name = \"big\" \r\n        xmin = 0 \r\n        xmax = 4000 \r\n" +
                 "        " + keyword + ": size = 40000 \r\n" + expected_long);
    CHECK_EQ(tier.to_short_textgrid_string(),
             "\"" + tier_class + "\"\r\n\"big\"\r\n0\r\n4000\r\n40000\r\n" + expected_short);
  }
}

TEST(save_textgrid_writes_either_layout_and_truncates) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/out.TextGrid";
  {
    std::ofstream longer(path, std::ios::binary);
    longer << std::string(5000, 'x');
  }
  const TextGrid grid = example_grid();
  grid.save_textgrid(path, true);
  CHECK_EQ(read_file(path), example_long);
  grid.save_textgrid(path, false);
  CHECK_EQ(read_file(path), example_short);
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

TEST(save_textgrid_failures_are_internal_failures) {
  const std::string dir = make_temp_dir();
  const TextGrid grid = example_grid();
  const std::string missing = dir + "/missing/out.TextGrid";
  std::string message;
  try {
    grid.save_textgrid(missing, true);
  } catch (const textgrid::InternalFailure& failure) {
    message = failure.message();
  }
  CHECK_EQ(message, "Failed to write TextGrid file " + missing +
                        ": not found, No such file or directory (os error 2)");
  struct stat info;
  CHECK(stat((dir + "/missing").c_str(), &info) != 0);

  // A directory cannot be opened for writing.
  CHECK_THROWS(grid.save_textgrid(dir, false));

  const std::string with_nul = dir + std::string("/a\0b", 4);
  message.clear();
  try {
    grid.save_textgrid(with_nul, false);
  } catch (const textgrid::InternalFailure& failure) {
    message = failure.message();
  }
  CHECK(message.starts_with("Failed to write TextGrid file " + dir + "/a\\0b: "));
  CHECK(stat((dir + "/a").c_str(), &info) != 0);
  rmdir(dir.c_str());
}
