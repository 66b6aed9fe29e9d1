// The parsers' shortcuts: the usual "key = value" spacing split without
// trimming, and item storage reserved from declared counts within what the
// text can back.
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/text_parsers.hpp"

using namespace textgrid;

namespace {

TextGrid parse_long(std::string_view text) {
  return parse_long_text(text, "doc");
}

}  // namespace

TEST(parse_kv_equals_trimming_both_sides_for_every_spacing) {
  // The quick "key = value" path must give exactly what trimming gives,
  // whatever white space (ASCII or not) stands next to the "=" or the ends.
  const std::vector<std::string> spaces = {"", " ", "  ", "\t", "\xC2\xA0", "\xE3\x80\x80"};
  const std::vector<std::string> words = {"xmin", "x", "\xC3\xA9", "\"a = b\"", "1.5"};
  for (const std::string& key : words)
    for (const std::string& value : words)
      for (const std::string& outer : spaces)
        for (const std::string& before : spaces)
          for (const std::string& after : spaces) {
            const std::string line = outer + key + before + "=" + after + value + outer;
            auto kv = parse_kv(line);
            const std::size_t equals = line.find('=');
            CHECK(kv.has_value());
            if (!kv) continue;
            CHECK_EQ(std::string(kv->first), std::string(trim(line.substr(0, equals))));
            CHECK_EQ(std::string(kv->second), std::string(trim(line.substr(equals + 1))));
          }
}

TEST(declared_item_counts_reserve_no_more_than_the_text_can_hold) {
  // Thousands of tiers that each claim a billion items, and hold one.
  std::string text =
      "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\nxmin = 0\nxmax = 1\n"
      "tiers? <exists>\nsize = 3000\nitem []:\n";
  for (int t = 1; t <= 3000; ++t)
    text += "item [" + std::to_string(t) +
            "]:\nclass = \"IntervalTier\"\nname = \"t\"\nxmin = 0\nxmax = 1\n"
            "intervals: size = 1000000000\nintervals [1]:\nxmin = 0\nxmax = 1\ntext = \"a\"\n";
  TextGrid grid = parse_long(text);
  CHECK_EQ(grid.tiers.size(), std::size_t{3000});
  std::size_t reserved = 0;
  for (const Tier& tier : grid.tiers) reserved += tier.items.capacity();
  CHECK(reserved * sizeof(Item) <= 4 * text.size());
}
