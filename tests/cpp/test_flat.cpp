// The flat form must hold exactly the nested form's content, with every
// distinct text stored once.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "textgrid/model/flat_document.hpp"

using namespace textgrid;

namespace {

// The nested form rebuilt from the flat one, the obvious way.
TextGridData unflatten(const FlatDocument& flat) {
  TextGridData data{flat.tmin, flat.tmax, {}};
  std::size_t item = 0;
  for (const FlatTier& tier : flat.tiers) {
    TierData nested{std::string(flat.texts[tier.name]), tier.is_interval, {}};
    for (std::size_t i = 0; i < tier.items; ++i, ++item)
      nested.items.push_back(
          Item{std::string(flat.texts[flat.labels[item]]), flat.tmins[item], flat.tmaxs[item]});
    data.tiers.push_back(std::move(nested));
  }
  return data;
}

bool texts_are_distinct(const DistinctTexts& texts) {
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < texts.size(); ++i)
    if (!seen.insert(texts[i]).second) return false;
  return true;
}

TextGrid grid_of(std::vector<Tier> tiers) {
  TextGrid grid;
  grid.tmin = -1.5;
  grid.tmax = 12.0;
  grid.size = tiers.size();
  grid.tiers = std::move(tiers);
  return grid;
}

}  // namespace

TEST(flat_documents_hold_the_nested_content_with_each_text_once) {
  const std::string long_text(3000, 'q');
  struct Case {
    const char* what;
    TextGrid grid;
    std::size_t distinct_texts;
  };
  std::vector<Case> cases;
  cases.push_back({"no tiers", grid_of({}), 0});
  cases.push_back({"a tier without items", grid_of({tier_of("words", true, {})}), 1});
  cases.push_back(
      {"repeated labels, a label equal to a tier name, empty labels",
       grid_of({tier_of("phones", true, {{"a", 0, 1}, {"", 1, 2}, {"a", 2, 3}, {"phones", 3, 4}}),
                tier_of("marks", false, {{"", 1, 1}, {"a", 2, 2}})}),
       4});
  cases.push_back({"texts that are prefixes of each other or differ past eight bytes",
                   grid_of({tier_of("t", true,
                                    {{"ab", 0, 1},
                                     {"a", 1, 2},
                                     {"abcdefgh1", 2, 3},
                                     {"abcdefgh2", 3, 4},
                                     {"abcdefgh", 4, 5}})}),
                   6});
  cases.push_back({"long and non-ASCII texts, two tiers of one name",
                   grid_of({tier_of("é", true, {{long_text, 0, 1}, {"日本", 1, 2}}),
                            tier_of("é", false, {{long_text, 1, 1}, {"日本", 2, 2}})}),
                   3});
  for (const Case& c : cases) {
    FlatDocument flat = to_flat(c.grid);
    CHECK_EQ(unflatten(flat), c.grid.to_data());
    CHECK(texts_are_distinct(flat.texts));
    CHECK_EQ(flat.texts.size(), c.distinct_texts);
    if (flat.texts.size() != c.distinct_texts) std::fprintf(stderr, "case: %s\n", c.what);
  }
}

TEST(flat_documents_of_random_grids_match_their_nested_form) {
  const char* chosen = std::getenv("TAVREL_TEST_SEED");
  const std::uint64_t seed = chosen ? std::strtoull(chosen, nullptr, 10) : std::random_device{}();
  std::fprintf(stderr, "flat documents: TAVREL_TEST_SEED=%llu\n",
               static_cast<unsigned long long>(seed));
  std::mt19937_64 engine(seed);
  for (int round = 0; round < 50; ++round) {
    // Few distinct labels in some grids, almost all distinct in others, so
    // that the numbering table both hits and grows.
    const std::size_t vocabulary = 1 + engine() % (round % 2 ? 5 : 5000);
    std::vector<Tier> tiers;
    std::set<std::string> texts;
    for (std::size_t t = 0, count = engine() % 4; t < count; ++t) {
      std::vector<Item> items;
      for (std::size_t i = 0, n = engine() % 3000; i < n; ++i) {
        std::string label = std::to_string(engine() % vocabulary);
        label.insert(0, 1, 'w');
        texts.insert(label);
        items.push_back(Item{std::move(label), double(i), double(i + 1)});
      }
      std::string name = std::to_string(engine() % 3);
      name.insert(0, "tier");
      texts.insert(name);
      tiers.push_back(tier_of(std::move(name), engine() % 2 == 0, std::move(items)));
    }
    TextGrid grid = grid_of(std::move(tiers));
    FlatDocument flat = to_flat(grid);
    CHECK_EQ(unflatten(flat), grid.to_data());
    CHECK_EQ(flat.texts.size(), texts.size());
    CHECK(texts_are_distinct(flat.texts));
  }
}
