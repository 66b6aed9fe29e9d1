// Assembly of TextGrids and the conversions to and from the nested data form
// and the vector form.
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/model/textgrid.hpp"

using namespace textgrid;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::optional<double> none = std::nullopt;

std::string error_of(const Result<TextGrid>& result) {
  if (result) return "<no error>";
  return result.error().message;
}

struct Entry {
  double tmin, tmax;
  std::string label, tier_name;
  bool is_interval;
};

Vectors vectors_of(const std::vector<Entry>& entries) {
  Vectors vectors;
  for (const Entry& e : entries) {
    vectors.tmins.push_back(e.tmin);
    vectors.tmaxs.push_back(e.tmax);
    vectors.labels.push_back(e.label);
    vectors.tier_names.push_back(e.tier_name);
    vectors.is_intervals.push_back(e.is_interval);
  }
  return vectors;
}

std::vector<std::string> labels_of(const Tier& tier) {
  std::vector<std::string> labels;
  for (const Item& item : tier.items) labels.push_back(item.label);
  return labels;
}

std::vector<std::string> names_of(const TextGrid& textgrid) {
  std::vector<std::string> names;
  for (const Tier& tier : textgrid.tiers) names.push_back(tier.name);
  return names;
}

// Adjacent intervals with distinct labels, to tell any reordering apart.
std::vector<Item> numbered_items(std::size_t count) {
  std::vector<Item> items;
  items.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    items.push_back(Item{"item" + std::to_string(i), double(i), double(i + 1)});
  return items;
}

}  // namespace

TEST(make_textgrid_bounds_and_name) {
  auto no_tiers = make_textgrid({}, std::nullopt, none, none);
  CHECK_EQ(error_of(no_tiers), std::string("Time bounds should be non-negative in TextGrid"));

  auto empty = make_textgrid({}, std::nullopt, 0.0, 10.0);
  CHECK_EQ(error_of(empty), std::string("<no error>"));
  CHECK_EQ(empty->name, std::string("ConvertedTextGrid"));
  CHECK_EQ(empty->size, 0u);
  CHECK_EQ(empty->tmax, 10.0);

  // Without tiers a missing bound is 0, not a fold seed.
  auto end_only = make_textgrid({}, std::nullopt, none, 10.0);
  CHECK_EQ(error_of(end_only), std::string("<no error>"));
  if (end_only) CHECK_EQ(end_only->tmin, 0.0);

  std::vector<Tier> tiers = {tier_of("a", true, {}, 1.0, 3.0), tier_of("b", true, {}, 0.5, 2.0)};
  auto computed = make_textgrid(tiers, "mine", none, none);
  CHECK_EQ(error_of(computed), std::string("<no error>"));
  CHECK_EQ(computed->name, std::string("mine"));
  CHECK_EQ(computed->size, 2u);
  CHECK_EQ(computed->tmin, 0.5);
  CHECK_EQ(computed->tmax, 3.0);

  // Given bounds are stored as they are, even when tiers reach beyond them.
  auto given = make_textgrid(tiers, std::nullopt, 2.0, 2.5);
  CHECK_EQ(error_of(given), std::string("<no error>"));
  CHECK_EQ(given->tmin, 2.0);
  CHECK_EQ(given->tmax, 2.5);

  tiers.push_back(tier_of("bad", true, {{"x", 4, 3}}, 0.0, 5.0));
  CHECK_EQ(error_of(make_textgrid(tiers, std::nullopt, none, none)),
           std::string("tmin should be less than tmax in item 0 in tier bad"));
}

TEST(from_data_bounds_per_tier) {
  auto data = [] {
    return std::vector<TierData>{
        {"a", true, {{"x", 1.0, 2.0}, {"y", 2.0, 4.0}}},
        {"b", false, {{"p", 0.5, 0.5}, {"q", 3.0, 3.0}}},
    };
  };
  struct Case {
    std::optional<double> tmin, tmax;
    double a_tmin, a_tmax, b_tmin, b_tmax, global_tmin, global_tmax;
  };
  const Case cases[] = {
      {none, none, 1.0, 4.0, 0.5, 3.0, 0.5, 4.0},
      {0.0, 10.0, 0.0, 10.0, 0.0, 10.0, 0.0, 10.0},
      {none, 10.0, 1.0, 10.0, 0.5, 10.0, 0.5, 10.0},
      {0.25, none, 0.25, 4.0, 0.25, 3.0, 0.25, 4.0},
  };
  for (const Case& c : cases) {
    auto result = TextGrid::from_data(data(), std::nullopt, c.tmin, c.tmax);
    CHECK_EQ(error_of(result), std::string("<no error>"));
    if (!result) continue;
    CHECK_EQ(result->tiers[0].tmin, c.a_tmin);
    CHECK_EQ(result->tiers[0].tmax, c.a_tmax);
    CHECK_EQ(result->tiers[1].tmin, c.b_tmin);
    CHECK_EQ(result->tiers[1].tmax, c.b_tmax);
    CHECK_EQ(result->tmin, c.global_tmin);
    CHECK_EQ(result->tmax, c.global_tmax);
  }
}

TEST(from_data_keeps_empty_tiers_with_the_grid_bounds) {
  std::vector<TierData> data = {
      {"empty1", true, {}},
      {"same", true, {{"a", 0.5, 1.0}}},
      {"empty2", false, {}},
      {"same", false, {{"p", 2.0, 2.0}, {"q", 3.0, 3.0}}},
  };
  struct Case {
    std::optional<double> tmin, tmax;
    double grid_tmin, grid_tmax;
  };
  const Case cases[] = {{0.0, 5.0, 0.0, 5.0}, {none, none, 0.5, 3.0}, {0.25, none, 0.25, 3.0}};
  for (const Case& c : cases) {
    auto result = TextGrid::from_data(data, std::nullopt, c.tmin, c.tmax);
    CHECK_EQ(error_of(result), std::string("<no error>"));
    if (!result) continue;
    CHECK_EQ(result->name, std::string("ConvertedTextGrid"));
    CHECK_EQ(result->size, 4u);
    CHECK_EQ(names_of(*result), (std::vector<std::string>{"empty1", "same", "empty2", "same"}));
    CHECK(result->tiers[0].is_interval && !result->tiers[2].is_interval);
    CHECK_EQ(result->tiers[3].items[0], (Item{"p", 2.0, 2.0}));
    CHECK_EQ(result->tmin, c.grid_tmin);
    CHECK_EQ(result->tmax, c.grid_tmax);
    for (std::size_t empty : {0u, 2u}) {
      CHECK(result->tiers[empty].items.empty() && result->tiers[empty].size == 0);
      CHECK_EQ(result->tiers[empty].tmin, c.grid_tmin);
      CHECK_EQ(result->tiers[empty].tmax, c.grid_tmax);
    }
  }

  auto only_empty = TextGrid::from_data({{"e", true, {}}}, "n", none, none);
  CHECK_EQ(error_of(only_empty), std::string("Time bounds should be non-negative in TextGrid"));
  auto template_only = TextGrid::from_data({{"e", true, {}}, {"f", false, {}}}, "n", 0.0, 3.0);
  CHECK_EQ(error_of(template_only), std::string("<no error>"));
  CHECK(template_only->tiers.size() == 2 && template_only->tiers[1].tmax == 3.0);
}

TEST(from_data_failures) {
  struct Case {
    const char* what;
    std::vector<TierData> data;
    std::string expected;
  };
  const Case cases[] = {
      {"items are not reordered",
       {{"words", true, {{"b", 1.0, 2.0}, {"a", 0.0, 1.0}}}},
       "Items 0 and 1 overlap in tier words"},
      {"NaN starts are skipped by the tier bound but refused in the item",
       {{"words", true, {{"a", not_a_number, 1.0}, {"b", 1.0, 2.0}}},
        {"late", true, {{"c", 0.0, 1.0}}}},
       "Time bounds should be finite in item 0 in tier words: tmin is not a number"},
      {"a tier whose starts are all NaN: the item is named, not the tier's bounds",
       {{"ok", true, {{"a", 0.0, 1.0}}}, {"unstarted", true, {{"b", not_a_number, 5.0}}}},
       "Time bounds should be finite in item 0 in tier unstarted: tmin is not a number"},
      {"a NaN end that leaves the grid's end at the seed",
       {{"words", true, {{"a", 0.5, not_a_number}}}},
       "Time bounds should be finite in item 0 in tier words: tmax is not a number"},
      {"an infinite end makes the grid's end infinite",
       {{"ok", true, {{"a", 0.0, 1.0}}}, {"words", true, {{"b", 1.0, infinity}}}},
       "Time bounds should be finite in item 0 in tier words"},
      {"a NaN point",
       {{"ok", true, {{"a", 0.0, 1.0}}}, {"marks", false, {{"p", not_a_number, not_a_number}}}},
       "Item 0 should have a finite time in PointTier marks: tmin is not a number"},
      {"an earlier tier's own fault comes first",
       {{"words", true, {{"b", 1.0, 2.0}, {"a", 0.0, 1.0}}}, {"late", true, {{"c", not_a_number, 4.0}}}},
       "Items 0 and 1 overlap in tier words"},
      {"point tier mismatch",
       {{"marks", false, {{"p", 1.0, 1.5}}}},
       "Item 0 should have tmin == tmax in PointTier marks"},
  };
  for (const Case& c : cases) {
    auto got = error_of(TextGrid::from_data(c.data, "TextGrid", none, none));
    if (got != c.expected) std::fprintf(stderr, "  case: %s\n", c.what);
    CHECK_EQ(got, c.expected);
  }
}

TEST(to_data_exports_as_stored) {
  TextGrid textgrid;
  textgrid.tmin = -3.0;
  textgrid.tmax = 0.0;
  textgrid.size = 7;  // invalid on purpose: export does not validate
  CHECK_EQ(textgrid.to_data(), (TextGridData{-3.0, 0.0, {}}));
  textgrid.tiers = {tier_of("w", true, {{"b", 5, 1}, {"a", 0, 9}}, 0, 0),
                    tier_of("p", false, {}, 0, 1)};
  TextGridData expected{-3.0, 0.0, {{"w", true, {{"b", 5, 1}, {"a", 0, 9}}}, {"p", false, {}}}};
  CHECK_EQ(textgrid.to_data(), expected);
}

// Around the thresholds and far above them, the pool must give exactly what a
// plain loop gives.
TEST(nested_conversions_match_sequential_reference) {
  const std::size_t threshold = parallel_threshold();
  for (std::size_t count : {threshold - 1, threshold, threshold + 1, items_worth_the_pool - 1,
                            items_worth_the_pool, std::size_t{100000}}) {
    std::vector<Item> items = numbered_items(count);
    TextGrid textgrid;
    textgrid.tiers = {tier_of("small", false, {{"p", 0.5, 0.5}, {"q", 1, 1}}, 0, 1),
                      tier_of("big", true, items, 0, double(count))};
    textgrid.size = 2;

    TextGridData reference{
        0.0, 0.0, {{"small", false, {{"p", 0.5, 0.5}, {"q", 1, 1}}}, {"big", true, {}}}};
    for (const Item& item : items)
      reference.tiers[1].items.push_back(Item{item.label, item.tmin, item.tmax});
    TextGridData data = textgrid.to_data();
    CHECK(data == reference);

    auto rebuilt = TextGrid::from_data(std::move(data.tiers), std::nullopt, none, none);
    CHECK_EQ(error_of(rebuilt), std::string("<no error>"));
    if (!rebuilt) continue;
    CHECK(rebuilt->tiers[1].items == items);
    CHECK_EQ(rebuilt->tiers[1].size, std::uint64_t(count));
    CHECK_EQ(rebuilt->tmax, double(count));
  }
}

TEST(to_vectors_flattens_tier_by_tier) {
  TextGrid textgrid;
  textgrid.tiers = {tier_of("w", true, {{"a", 0, 1}, {"b", 1, 2}}, 0, 2),
                    tier_of("none", true, {}, 0, 1), tier_of("p", false, {{"x", 3, 3}}, 0, 3)};
  textgrid.size = 3;
  Vectors expected =
      vectors_of({{0, 1, "a", "w", true}, {1, 2, "b", "w", true}, {3, 3, "x", "p", false}});
  CHECK(textgrid.to_vectors() == expected);

  TextGrid only_empty;
  only_empty.tiers = {tier_of("none", true, {}, 0, 1)};
  CHECK(only_empty.to_vectors() == Vectors{});

  TextGrid big;
  big.tiers = {tier_of("big", true, numbered_items(100000), 0, 1)};
  Vectors flat = big.to_vectors();
  CHECK_EQ(flat.tmins.size(), std::size_t{100000});
  bool all_match = true;
  for (std::size_t i = 0; i < flat.tmins.size(); ++i)
    all_match = all_match && flat.tmins[i] == double(i) && flat.tmaxs[i] == double(i + 1) &&
                flat.labels[i] == "item" + std::to_string(i) && flat.tier_names[i] == "big" &&
                flat.is_intervals[i];
  CHECK(all_match);
}

TEST(from_vectors_length_check) {
  Vectors base =
      vectors_of({{0, 1, "a", "t", true}, {1, 2, "b", "t", true}, {2, 3, "c", "t", true}});
  std::vector<Vectors> broken(4, base);
  broken[0].tmaxs = {0.0, 1.0};
  broken[1].labels.pop_back();
  broken[2].tier_names.push_back("extra");
  broken[3].is_intervals = {true};
  for (Vectors& vectors : broken) {
    auto result = TextGrid::from_vectors(std::move(vectors), 0.0, 5.0, std::nullopt);
    CHECK(!result.has_value());
    if (result) continue;
    CHECK(result.error().kind == ErrorKind::InvalidInput);
    CHECK_EQ(result.error().message, std::string("Input vectors must have the same length"));
  }
}

TEST(from_vectors_empty) {
  CHECK_EQ(error_of(TextGrid::from_vectors({}, none, none, std::nullopt)),
           std::string("Time bounds should be non-negative in TextGrid"));
  auto given = TextGrid::from_vectors({}, 0.0, 1.0, "TextGrid");
  CHECK_EQ(error_of(given), std::string("<no error>"));
  CHECK_EQ(given->size, 0u);
  CHECK_EQ(given->name, std::string("TextGrid"));
}

TEST(from_vectors_grouping) {
  auto result = TextGrid::from_vectors(
      vectors_of({{0, 1, "b0", "b", true},
                  {5, 5, "a0", "a", false},
                  {1, 2, "b1", "b", false},  // later flags of a tier are not looked at
                  {6, 6, "a1", "a", true},
                  {0, 1, "A", "A", true},
                  {0, 1, "sp", "a ", true},
                  {0, 1, "nfc", "\xc3\xa9", true},
                  {0, 1, "nfd", "e\xcc\x81", true}}),
      none, none, std::nullopt);
  CHECK_EQ(error_of(result), std::string("<no error>"));
  if (!result) return;
  CHECK_EQ(names_of(*result),
           (std::vector<std::string>{"b", "a", "A", "a ", "\xc3\xa9", "e\xcc\x81"}));
  const Tier& b = result->tiers[0];
  CHECK(b.is_interval);
  CHECK_EQ(labels_of(b), (std::vector<std::string>{"b0", "b1"}));
  CHECK_EQ(b.size, 2u);
  CHECK_EQ(b.tmin, 0.0);
  CHECK_EQ(b.tmax, 2.0);
  CHECK(!result->tiers[1].is_interval);
  CHECK_EQ(result->tiers[1].tmin, 5.0);
  CHECK_EQ(result->tiers[1].tmax, 6.0);
  CHECK_EQ(result->tmin, 0.0);
  CHECK_EQ(result->tmax, 6.0);
}

TEST(from_vectors_given_bounds_reach_every_tier) {
  auto result = TextGrid::from_vectors(
      vectors_of({{1, 2, "x", "t", true}, {3, 3, "p", "u", false}}), 0.0, 9.0, std::nullopt);
  CHECK_EQ(error_of(result), std::string("<no error>"));
  if (!result) return;
  for (const Tier& tier : result->tiers) {
    CHECK_EQ(tier.tmin, 0.0);
    CHECK_EQ(tier.tmax, 9.0);
  }
}

TEST(from_vectors_stable_sort_by_start) {
  auto small = TextGrid::from_vectors(
      vectors_of({{2, 2, "x", "t", false}, {1, 1, "y", "t", false}, {1, 1, "z", "t", false}}), none,
      none, std::nullopt);
  CHECK_EQ(error_of(small), std::string("<no error>"));
  if (small) CHECK_EQ(labels_of(small->tiers[0]), (std::vector<std::string>{"y", "z", "x"}));

  // Both sort paths: ties must keep arrival order (labels are arrival indices).
  for (std::size_t count : {3, 20, 21, 500}) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < count; ++i) {
      double at = double((i * 7) % 10 + 1);
      entries.push_back({at, at, std::to_string(i), "t", false});
    }
    auto result = TextGrid::from_vectors(vectors_of(entries), none, none, std::nullopt);
    CHECK_EQ(error_of(result), std::string("<no error>"));
    if (!result) continue;
    const std::vector<Item>& items = result->tiers[0].items;
    CHECK_EQ(items.size(), count);
    bool ordered = true;
    for (std::size_t i = 1; i < items.size(); ++i) {
      const Item& prev = items[i - 1];
      const Item& next = items[i];
      ordered =
          ordered && (prev.tmin < next.tmin ||
                      (prev.tmin == next.tmin && std::stoul(prev.label) < std::stoul(next.label)));
    }
    CHECK(ordered);
  }
}

// A NaN start cannot be ordered: such entries go after the ordered ones, in
// arrival order, where validation refuses the first of them as an ordinary error.
TEST(from_vectors_nan_start) {
  for (std::size_t count : {2, 30}) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < count; ++i)
      entries.push_back({double(count - i), double(count - i) + 0.5, "x", "t", true});
    entries[count / 2].tmin = not_a_number;
    auto built = TextGrid::from_vectors(vectors_of(entries), none, none, std::nullopt);
    CHECK_EQ(error_of(built), "Time bounds should be finite in item " + std::to_string(count - 1) +
                                  " in tier t: tmin is not a number");
  }
  auto point = TextGrid::from_vectors(
      vectors_of({{2, 2, "a", "p", false}, {not_a_number, 1, "b", "p", false}, {1, 1, "c", "p", false}}),
      none, none, std::nullopt);
  CHECK_EQ(error_of(point), std::string("Item 2 should have a finite time in PointTier p: tmin is not a number"));
  // An earlier tier's fault is still reported first.
  auto earlier = TextGrid::from_vectors(
      vectors_of({{-1, 1, "a", "first", true}, {not_a_number, 2, "b", "second", true},
                  {0, 1, "c", "second", true}}),
      0.0, 10.0, std::nullopt);
  CHECK_EQ(error_of(earlier), std::string("Time bounds should be non-negative in item 0 in tier first"));
  auto single = TextGrid::from_vectors(
      vectors_of({{0, 1, "a", "ok", true}, {not_a_number, 2, "b", "alone", true}}), none, none,
      std::nullopt);
  CHECK_EQ(error_of(single), std::string("Time bounds should be finite in item 0 in tier alone: tmin is not a number"));
}

TEST(vectors_round_trip_merges_same_named_tiers) {
  TextGrid textgrid;
  textgrid.tiers = {tier_of("w", true, {{"c", 4, 5}, {"d", 5, 6}}, 0, 6),
                    tier_of("other", false, {{"p", 1, 1}, {"q", 2, 2}}, 0, 6),
                    tier_of("w", false, {{"a", 0, 1}, {"b", 2, 3}}, 0, 6)};
  textgrid.size = 3;
  auto result = TextGrid::from_vectors(textgrid.to_vectors(), none, none, "back");
  CHECK_EQ(error_of(result), std::string("<no error>"));
  if (!result) return;
  CHECK_EQ(result->name, std::string("back"));
  CHECK_EQ(names_of(*result), (std::vector<std::string>{"w", "other"}));
  CHECK(result->tiers[0].is_interval);
  CHECK_EQ(labels_of(result->tiers[0]), (std::vector<std::string>{"a", "b", "c", "d"}));
  CHECK_EQ(result->tiers[0].tmin, 0.0);
  CHECK_EQ(result->tiers[0].tmax, 6.0);
}

TEST(from_vectors_reports_tiers_in_first_appearance_order) {
  auto result = TextGrid::from_vectors(vectors_of({{3, 2, "x", "late", true},
                                                   {0, 1, "ok", "fine", true},
                                                   {5, 4, "y", "early", true},
                                                   {0, 9, "z", "late", true}}),
                                       0.0, 10.0, std::nullopt);
  CHECK_EQ(error_of(result), std::string("Items 0 and 1 overlap in tier late"));
}

// Tiers by index: one name per index, else the file is refused naming both.
TEST(from_vectors_by_index_refuses_two_names_at_one_index) {
  struct Case {
    std::vector<std::uint64_t> indices;
    std::string expected;
  };
  const Case cases[] = {
      {{0, 1, 0}, "<no error>"},
      {{1, 1, 0}, "tier index 1 is given to two tiers, \"a\" and \"b\""},
      {{0, 5, 5}, "tier index 5 is given to two tiers, \"b\" and \"a\""},
  };
  for (const Case& c : cases) {
    Vectors vectors =
        vectors_of({{0, 1, "x", "a", true}, {0, 1, "y", "b", true}, {1, 2, "z", "a", true}});
    for (std::uint64_t index : c.indices) vectors.tier_indices.push_back(index);
    auto built = TextGrid::from_vectors(std::move(vectors), 0.0, 2.0, std::nullopt);
    CHECK_EQ(error_of(built), c.expected);
  }
}
