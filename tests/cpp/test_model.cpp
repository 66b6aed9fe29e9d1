// Validation rules of the annotation model and the bound folds.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check.hpp"
#include "textgrid/model/textgrid.hpp"

using namespace textgrid;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// The message of a failed check, or nothing when the check passed.
std::optional<std::string> failure_of(const Status& status) {
  if (status) return std::nullopt;
  CHECK(status.error().kind == ErrorKind::InvalidData);
  return status.error().message;
}

TextGrid textgrid_of(std::vector<Tier> tiers, double tmin = 0.0, double tmax = 10.0) {
  TextGrid textgrid;
  textgrid.name = std::string(1, 'g');
  textgrid.size = tiers.size();
  textgrid.tiers = std::move(tiers);
  textgrid.tmin = tmin;
  textgrid.tmax = tmax;
  return textgrid;
}

}  // namespace

TEST(time_bounds_check_messages_and_boundaries) {
  struct Case {
    double tmin, tmax;
    std::optional<std::string> expected;
  };
  const std::string negative = "Time bounds should be non-negative in TextGrid";
  const std::string unordered = "tmin should be less than tmax in TextGrid";
  const std::string not_finite = "Time bounds should be finite in TextGrid";
  const Case cases[] = {
      {0.0, 0.0, negative},  // an end of exactly 0 is a sign error, not an ordering one
      {-1.0, 5.0, negative},
      {1.0, -0.0, negative},
      {-infinity, 1.0, not_finite},
      {5.0, -1.0, negative},
      {0.0, 0.000001, unordered},  // exactly the tolerance is too close
      {5.0, 5.0, unordered},
      {2.0, 1.0, unordered},
      {0.0, 0.0000011, std::nullopt},
      {-0.0, 1.0, std::nullopt},
      {not_a_number, 1.0, not_finite},
      {0.0, not_a_number, not_finite},
      {not_a_number, not_a_number, not_finite},
      {-1.0, not_a_number, not_finite},  // finiteness is judged before the sign
      {0.0, infinity, not_finite},
      {infinity, infinity, not_finite},
      {-infinity, -1.0, not_finite},
      {1e308, 1.7976931348623157e308, std::nullopt},  // the largest finite times pass
  };
  for (const Case& c : cases)
    CHECK_EQ(failure_of(assert_valid_time_bounds("TextGrid", c.tmin, c.tmax)), c.expected);
}

TEST(time_bounds_check_appends_context_verbatim) {
  CHECK_EQ(
      failure_of(assert_valid_time_bounds("tier  spaced \"name\" ", -1.0, 1.0)),
      std::optional<std::string>("Time bounds should be non-negative in tier  spaced \"name\" "));
}

TEST(tier_validation_cases) {
  struct Case {
    const char* what;
    Tier tier;
    std::optional<std::string> expected;
  };
  auto sized = [](Tier tier, std::uint64_t size) {
    tier.size = size;
    return tier;
  };
  const Case cases[] = {
      {"size mismatch beats invalid bounds",
       sized(tier_of("words", true, {{"a", 0, 1}, {"b", 1, 2}}, 0, 0), 3),
       "Tier size does not match number of items"},
      {"size mismatch beats invalid items", sized(tier_of("words", true, {{"a", -1, 1}}), 0),
       "Tier size does not match number of items"},
      {"tier bounds", tier_of("words", true, {}, 0, 0),
       "Time bounds should be non-negative in tier words"},
      {"tier bounds too close", tier_of("words", true, {}, 1, 1.0000005),
       "tmin should be less than tmax in tier words"},
      {"tier bounds beat items", tier_of("words", true, {{"a", -1, 1}}, 3, 2),
       "tmin should be less than tmax in tier words"},
      {"empty tier", tier_of("words", true, {}), std::nullopt},
      {"adjacent intervals", tier_of("words", true, {{"a", 0, 1}, {"b", 1, 2}}), std::nullopt},
      {"gap between intervals", tier_of("words", true, {{"a", 0, 1}, {"b", 3, 4}}), std::nullopt},
      {"overlap within tolerance", tier_of("words", true, {{"a", 0, 1.0000005}, {"b", 1, 2}}),
       std::nullopt},
      {"overlap beyond tolerance", tier_of("words", true, {{"a", 0, 1.000002}, {"b", 1, 2}}),
       "Items 0 and 1 overlap in tier words"},
      {"later overlap", tier_of("words", true, {{"a", 0, 1}, {"b", 1, 3}, {"c", 2, 4}}),
       "Items 1 and 2 overlap in tier words"},
      {"negative interval start", tier_of("words", true, {{"a", -1, 1}}),
       "Time bounds should be non-negative in item 0 in tier words"},
      {"interval ending at 0", tier_of("words", true, {{"a", 0, 0}}),
       "Time bounds should be non-negative in item 0 in tier words"},
      {"reversed interval", tier_of("words", true, {{"a", 0, 1}, {"b", 3, 2}}),
       "tmin should be less than tmax in item 1 in tier words"},
      {"item check before overlap", tier_of("words", true, {{"a", 2, 1}, {"b", 0, 3}}),
       "tmin should be less than tmax in item 0 in tier words"},
      {"overlap before next item check", tier_of("words", true, {{"a", 0, 2}, {"b", 1, 0.5}}),
       "Items 0 and 1 overlap in tier words"},
      {"NaN end is refused",
       tier_of("words", true, {{"a", 0, not_a_number}, {"b", -1, 2}}),
       "Time bounds should be finite in item 0 in tier words: tmax is not a number"},
      {"NaN start is refused",
       tier_of("words", true, {{"a", 0, 1}, {"b", not_a_number, not_a_number}}),
       "Time bounds should be finite in item 1 in tier words: tmin is not a number"},
      {"infinite end is refused", tier_of("words", true, {{"a", 0, infinity}}),
       "Time bounds should be finite in item 0 in tier words"},
      {"NaN tier bound", tier_of("words", true, {{"a", 0, 1}}, 0, not_a_number),
       "Time bounds should be finite in tier words"},
      {"NaN point", tier_of("marks", false, {{"p", 1, 1}, {"q", not_a_number, not_a_number}}),
       "Item 1 should have a finite time in PointTier marks: tmin is not a number"},
      {"point with a NaN end", tier_of("marks", false, {{"p", 1, not_a_number}}),
       "Item 0 should have a finite time in PointTier marks: tmax is not a number"},
      {"infinite point", tier_of("marks", false, {{"p", -infinity, -infinity}}),
       "Item 0 should have a finite time in PointTier marks"},
      {"items outside tier bounds", tier_of("words", true, {{"a", 50, 60}}, 0, 1), std::nullopt},
      {"negative and zero points", tier_of("marks", false, {{"p", -1, -1}, {"q", 0, 0}}),
       std::nullopt},
      {"point within tolerance", tier_of("marks", false, {{"p", 1, 1.0000005}}), std::nullopt},
      {"point not a point", tier_of("marks", false, {{"p", 1, 1.1}}),
       "Item 0 should have tmin == tmax in PointTier marks"},
      {"later point not a point", tier_of("marks", false, {{"p", 1, 1}, {"q", 2, 2.5}}),
       "Item 1 should have tmin == tmax in PointTier marks"},
      {"points out of order", tier_of("marks", false, {{"p", 2, 2}, {"q", 1, 1}}),
       "Items 0 and 1 overlap in tier marks"},
      {"equal points", tier_of("marks", false, {{"p", 2, 2}, {"q", 2, 2}}), std::nullopt},
      {"name inserted as stored", tier_of("  mot été ", false, {{"p", 1, 3}}),
       "Item 0 should have tmin == tmax in PointTier   mot été "},
  };
  for (const Case& c : cases) {
    auto got = failure_of(c.tier.assert_valid());
    if (got != c.expected) std::fprintf(stderr, "  case: %s\n", c.what);
    CHECK_EQ(got, c.expected);
  }
}

TEST(textgrid_validation_order) {
  struct Case {
    const char* what;
    TextGrid textgrid;
    std::optional<std::string> expected;
  };
  auto declared = [](TextGrid textgrid, std::uint64_t size) {
    textgrid.size = size;
    return textgrid;
  };
  const Tier bad_first = tier_of("first", true, {{"a", 2, 1}});
  const Tier bad_second = tier_of("second", false, {{"p", 1, 2}});
  const Tier good = tier_of("good", true, {{"a", 0, 1}});
  const Case cases[] = {
      {"size before bounds", declared(textgrid_of({good}, 0, 0), 2),
       "TextGrid size does not match number of tiers"},
      {"zero bounds", textgrid_of({}, 0, 0), "Time bounds should be non-negative in TextGrid"},
      {"bounds within tolerance", textgrid_of({}, 0, 0.000001),
       "tmin should be less than tmax in TextGrid"},
      {"bounds before tiers", textgrid_of({bad_first}, 3, 1),
       "tmin should be less than tmax in TextGrid"},
      {"first failing tier wins", textgrid_of({good, bad_second, bad_first}),
       "Item 0 should have tmin == tmax in PointTier second"},
      {"no tiers", textgrid_of({}, 0, 0.0000011), std::nullopt},
      {"NaN bounds", textgrid_of({good}, not_a_number, not_a_number),
       "Time bounds should be finite in TextGrid"},
      {"negative zero start", textgrid_of({good}, -0.0, 1), std::nullopt},
      {"tier outside global bounds", textgrid_of({tier_of("t", true, {}, 20, 30)}, 0, 1),
       std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = failure_of(c.textgrid.assert_valid());
    if (got != c.expected) std::fprintf(stderr, "  case: %s\n", c.what);
    CHECK_EQ(got, c.expected);
  }
}

TEST(bound_folds_skip_nan_and_keep_seeds) {
  struct Case {
    std::vector<double> values;
    double start, end;
  };
  const double max = std::numeric_limits<double>::max();
  CHECK_EQ(start_fold_seed, max);
  CHECK_EQ(end_fold_seed, -max);
  const Case cases[] = {
      {{}, max, -max},
      {{not_a_number, not_a_number}, max, -max},
      {{infinity}, max, infinity},
      {{-infinity}, -infinity, -max},
      {{3, not_a_number, 1, 2}, 1, 3},
      {{not_a_number, 2, not_a_number, 5, 3}, 2, 5},
      {{-0.0, 4}, -0.0, 4},
  };
  for (const Case& c : cases) {
    double start = start_fold_seed;
    double end = end_fold_seed;
    for (double v : c.values) {
      start = start_fold(start, v);
      end = end_fold(end, v);
    }
    CHECK_EQ(start, c.start);
    CHECK_EQ(end, c.end);
  }
}
