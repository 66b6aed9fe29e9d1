// Conversions between the annotation model and the two exchange shapes (the
// nested data form and the vector form), and the assembly of a TextGrid from
// tiers built out of them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {
namespace {

inline constexpr const char* default_textgrid_name = "ConvertedTextGrid";

// Up to this many items a plain insertion sort beats the general stable sort.
inline constexpr std::size_t insertion_sort_limit = 20;

// One bound fold (start_fold or end_fold from its seed) over a member of each element.
template <class Element>
double fold_bound(const std::vector<Element>& elements, double Element::*member, double seed,
                  double (*fold)(double, double) noexcept) noexcept {
  double bound = seed;
  for (const Element& element : elements) bound = fold(bound, element.*member);
  return bound;
}

double items_start(const std::vector<Item>& items) noexcept {
  return fold_bound(items, &Item::tmin, start_fold_seed, start_fold);
}

double items_end(const std::vector<Item>& items) noexcept {
  return fold_bound(items, &Item::tmax, end_fold_seed, end_fold);
}

double tiers_start(const std::vector<Tier>& tiers) noexcept {
  return fold_bound(tiers, &Tier::tmin, start_fold_seed, start_fold);
}

double tiers_end(const std::vector<Tier>& tiers) noexcept {
  return fold_bound(tiers, &Tier::tmax, end_fold_seed, end_fold);
}

// A given global bound overrides the tier's own extent, independently per side.
Tier make_tier(std::string name, bool is_interval, std::vector<Item> items,
               std::optional<double> tmin, std::optional<double> tmax) {
  Tier tier;
  tier.tmin = tmin ? *tmin : items_start(items);
  tier.tmax = tmax ? *tmax : items_end(items);
  tier.size = items.size();
  tier.name = std::move(name);
  tier.items = std::move(items);
  tier.is_interval = is_interval;
  return tier;
}

// A tier without items has no extent of its own: it takes the TextGrid's
// bounds, the given ones or else those of the tiers with items.
void span_empty_tiers(std::vector<Tier>& tiers, std::optional<double> tmin,
                      std::optional<double> tmax) {
  double start = start_fold_seed, end = end_fold_seed;
  bool any_items = false;
  for (const Tier& tier : tiers) {
    if (tier.items.empty()) continue;
    any_items = true;
    start = start_fold(start, tier.tmin);
    end = end_fold(end, tier.tmax);
  }
  for (Tier& tier : tiers) {
    if (!tier.items.empty()) continue;
    tier.tmin = tmin ? *tmin : any_items ? start : 0.0;
    tier.tmax = tmax ? *tmax : any_items ? end : 0.0;
  }
}

// Point tiers whose points share one time take the TextGrid's bounds, when
// those make a valid range; any other fault stays for validation to report.
void span_degenerate_point_tiers(TextGrid& textgrid) {
  if (!assert_valid_time_bounds("TextGrid", textgrid.tmin, textgrid.tmax)) return;
  for (Tier& tier : textgrid.tiers) {
    if (tier.is_interval || assert_valid_time_bounds("tier", tier.tmin, tier.tmax)) continue;
    tier.tmin = textgrid.tmin;
    tier.tmax = textgrid.tmax;
  }
}

// Bounds taken from the items pass a NaN by (the folds skip it) or turn
// infinite with an infinity: when such bounds fail validation, the fault is an
// item's time, and that item is named rather than the bounds it spoiled.
Status item_behind_bounds(const TextGrid& textgrid) {
  if (time_bounds_fault(textgrid.tmin, textgrid.tmax) != BoundsFault::none) {
    for (const Tier& tier : textgrid.tiers)
      if (Status finite = assert_finite_item_times(tier); !finite) return finite;
    return {};
  }
  for (const Tier& tier : textgrid.tiers) {
    if (time_bounds_fault(tier.tmin, tier.tmax) != BoundsFault::none)
      return assert_finite_item_times(tier);
    if (!tier.assert_valid()) return {};  // the tier's own fault, already told as it is
  }
  return {};
}

std::vector<Item> export_items(const std::vector<Item>& items) {
  return ordered_item_map(items.size(), [&items](std::size_t i) { return items[i]; });
}

// The vector form's tier, gathered from entries that may be interleaved with
// other tiers' entries. Its name stays in the input column until the end so
// that the grouping map can key on views into that column.
struct TierGroup {
  std::size_t first_entry;
  bool is_interval;
  std::vector<Item> items;
};

bool has_nan_start(const std::vector<Item>& items) {
  return std::any_of(items.begin(), items.end(),
                     [](const Item& item) { return std::isnan(item.tmin); });
}

void insertion_sort_by_start(std::vector<Item>::iterator first, std::vector<Item>::iterator last) {
  for (auto i = first + (first != last); i < last; ++i) {
    Item moving = std::move(*i);
    auto j = i;
    for (; j > first && (j - 1)->tmin > moving.tmin; --j) *j = std::move(*(j - 1));
    *j = std::move(moving);
  }
}

void sort_range_by_start(std::vector<Item>::iterator first, std::vector<Item>::iterator last) {
  // Entries usually arrive in time order already; checking costs one pass
  // and saves moving every item through the sort.
  auto by_start = [](const Item& a, const Item& b) { return a.tmin < b.tmin; };
  if (std::is_sorted(first, last, by_start)) return;
  if (last - first <= static_cast<std::ptrdiff_t>(insertion_sort_limit)) {
    insertion_sort_by_start(first, last);
    return;
  }
  std::stable_sort(first, last, by_start);
}

// Stable, so entries with equal start times keep their arrival order. A NaN
// start has no place in that order: such items go last, in arrival order,
// where validation refuses the first of them like any other bad time.
void sort_by_start(std::vector<Item>& items) {
  if (items.size() < 2) return;
  auto ordered_end = items.end();
  if (has_nan_start(items))
    ordered_end = std::stable_partition(items.begin(), items.end(),
                                        [](const Item& item) { return !std::isnan(item.tmin); });
  sort_range_by_start(items.begin(), ordered_end);
}

std::vector<TierGroup> group_entries(Vectors& vectors) {
  std::vector<TierGroup> groups;
  std::unordered_map<std::string_view, std::size_t> group_of_name;
  const std::size_t n = vectors.tmins.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto [slot, added] = group_of_name.try_emplace(vectors.tier_names[i], groups.size());
    if (added) groups.push_back(TierGroup{i, vectors.is_intervals[i], {}});
    groups[slot->second].items.push_back(
        Item{std::move(vectors.labels[i]), vectors.tmins[i], vectors.tmaxs[i]});
  }
  return groups;
}

// Two names at one index would put one tier's items into the other.
Error shared_index(std::uint64_t index, std::string_view first, std::string_view second) {
  return invalid_input("tier index " + std::to_string(index) + " is given to two tiers, \"" +
                       std::string(first) + "\" and \"" + std::string(second) + "\"");
}

// Tiers by position: one group per distinct index, in index order, so that
// tiers sharing a name stay apart and keep their place.
Result<std::vector<TierGroup>> group_entries_by_index(Vectors& vectors) {
  std::vector<TierGroup> groups;
  std::vector<std::uint64_t> group_indices;
  std::unordered_map<std::uint64_t, std::size_t> group_of_index;
  const std::size_t n = vectors.tmins.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto [slot, added] = group_of_index.try_emplace(vectors.tier_indices[i], groups.size());
    if (added) {
      groups.push_back(TierGroup{i, vectors.is_intervals[i], {}});
      group_indices.push_back(vectors.tier_indices[i]);
    } else if (const std::string& first = vectors.tier_names[groups[slot->second].first_entry];
               first != vectors.tier_names[i]) {
      return std::unexpected(shared_index(vectors.tier_indices[i], first, vectors.tier_names[i]));
    }
    groups[slot->second].items.push_back(
        Item{std::move(vectors.labels[i]), vectors.tmins[i], vectors.tmaxs[i]});
  }
  if (std::is_sorted(group_indices.begin(), group_indices.end())) return groups;
  std::vector<std::size_t> order(groups.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return group_indices[a] < group_indices[b]; });
  std::vector<TierGroup> sorted;
  sorted.reserve(groups.size());
  for (std::size_t k : order) sorted.push_back(std::move(groups[k]));
  return sorted;
}

bool same_lengths(const Vectors& vectors) {
  const std::size_t n = vectors.tmins.size();
  return vectors.tmaxs.size() == n && vectors.labels.size() == n &&
         vectors.tier_names.size() == n && vectors.is_intervals.size() == n &&
         (vectors.tier_indices.empty() || vectors.tier_indices.size() == n);
}

}  // namespace

Result<TextGrid> make_textgrid(std::vector<Tier> tiers, std::optional<std::string> name,
                               std::optional<double> tmin, std::optional<double> tmax,
                               PointTierSpan span) {
  TextGrid textgrid;
  textgrid.name = name ? std::move(*name) : std::string(default_textgrid_name);
  textgrid.tmin = tmin ? *tmin : tiers.empty() ? 0.0 : tiers_start(tiers);
  textgrid.tmax = tmax ? *tmax : tiers.empty() ? 0.0 : tiers_end(tiers);
  textgrid.size = tiers.size();
  textgrid.tiers = std::move(tiers);
  if (span == PointTierSpan::textgrid_when_degenerate) span_degenerate_point_tiers(textgrid);
  if (Status valid = textgrid.assert_valid(); !valid) {
    const bool derived = !tmin || !tmax;
    if (Status item = derived ? item_behind_bounds(textgrid) : Status{}; !item)
      return std::unexpected(std::move(item.error()));
    return std::unexpected(std::move(valid.error()));
  }
  return textgrid;
}

TextGridData TextGrid::to_data() const {
  TextGridData data{tmin, tmax, {}};
  data.tiers.reserve(tiers.size());
  for (const Tier& tier : tiers)
    data.tiers.push_back(TierData{tier.name, tier.is_interval, export_items(tier.items)});
  return data;
}

Result<TextGrid> TextGrid::from_data(std::vector<TierData> data, std::optional<std::string> name,
                                     std::optional<double> tmin, std::optional<double> tmax) {
  std::vector<Tier> tiers;
  tiers.reserve(data.size());
  for (TierData& tier : data)
    tiers.push_back(
        make_tier(std::move(tier.name), tier.is_interval, std::move(tier.items), tmin, tmax));
  data.clear();
  span_empty_tiers(tiers, tmin, tmax);
  return make_textgrid(std::move(tiers), std::move(name), tmin, tmax);
}

Vectors TextGrid::to_vectors() const {
  std::size_t total = 0;
  for (const Tier& tier : tiers) total += tier.items.size();
  Vectors vectors;
  vectors.tmins.reserve(total);
  vectors.tmaxs.reserve(total);
  vectors.labels.reserve(total);
  vectors.tier_names.reserve(total);
  vectors.is_intervals.reserve(total);
  for (const Tier& tier : tiers) {
    for (const Item& item : tier.items) {
      vectors.tmins.push_back(item.tmin);
      vectors.tmaxs.push_back(item.tmax);
      vectors.labels.push_back(item.label);
      vectors.tier_names.push_back(tier.name);
    }
    vectors.is_intervals.append_fill(tier.is_interval, tier.items.size());
  }
  return vectors;
}

Result<TextGrid> TextGrid::from_vectors(Vectors vectors, std::optional<double> tmin,
                                        std::optional<double> tmax, std::optional<std::string> name,
                                        PointTierSpan span) {
  if (!same_lengths(vectors))
    return std::unexpected(invalid_input("Input vectors must have the same length"));
  Result<std::vector<TierGroup>> grouped = vectors.tier_indices.empty()
                                               ? group_entries(vectors)
                                               : group_entries_by_index(vectors);
  if (!grouped) return std::unexpected(std::move(grouped.error()));
  std::vector<TierGroup>& groups = *grouped;
  std::vector<Tier> tiers;
  tiers.reserve(groups.size());
  for (TierGroup& group : groups) {
    std::string& tier_name = vectors.tier_names[group.first_entry];
    sort_by_start(group.items);
    tiers.push_back(
        make_tier(std::move(tier_name), group.is_interval, std::move(group.items), tmin, tmax));
  }
  return make_textgrid(std::move(tiers), std::move(name), tmin, tmax, span);
}

}  // namespace textgrid
