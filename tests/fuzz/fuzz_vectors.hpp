#pragma once
// Properties of building a TextGrid from the vector form: every entry lands
// exactly once, in the tier of its name (tiers in order of first appearance,
// each with its first entry's kind), in ascending start order that keeps equal
// starts in arrival order; whatever is accepted holds only finite times; a bad
// value (NaN included) is an ordinary error, never an internal failure.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"

namespace fuzz {

// Times drawn from a small table of awkward values or a grid of quarter steps.
inline double time_of(std::uint8_t code) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  static constexpr double special[] = {nan,  inf,   -inf, -0.0, 1e-7, 1.7976931348623157e308,
                                       -1.0, 5e-324};
  if (code < 8) return special[code];
  return (code - 8) / 4.0;
}

struct VectorCase {
  textgrid::Vectors vectors;
  std::optional<double> tmin, tmax;
};

// Option bits 0-1 give the global bounds; then three bytes per entry: tier
// (low two bits name it, bit 2 its kind), start code, end code.
inline VectorCase vectors_from(Input input) {
  VectorCase built;
  if (input.options & 1) built.tmin = time_of(input.options >> 4);
  if (input.options & 2) built.tmax = time_of(static_cast<std::uint8_t>(input.options >> 4) + 40);
  for (std::size_t at = 0; at + 3 <= input.text.size(); at += 3) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(input.text[at + k]); };
    built.vectors.tier_names.push_back("tier" + std::to_string(byte(0) & 3));
    built.vectors.is_intervals.push_back((byte(0) & 4) == 0);
    built.vectors.tmins.push_back(time_of(byte(1)));
    built.vectors.tmaxs.push_back(time_of(byte(2)));
    built.vectors.labels.push_back(std::to_string(at / 3));  // the entry's number
  }
  return built;
}

inline bool holds_only_finite_times(const TextGrid& grid) {
  if (!std::isfinite(grid.tmin) || !std::isfinite(grid.tmax)) return false;
  for (const auto& tier : grid.tiers) {
    if (!std::isfinite(tier.tmin) || !std::isfinite(tier.tmax)) return false;
    for (const auto& item : tier.items)
      if (!std::isfinite(item.tmin) || !std::isfinite(item.tmax)) return false;
  }
  return true;
}

inline bool grouped_and_ordered(const TextGrid& grid, const textgrid::Vectors& entries) {
  std::vector<std::string> first_seen;
  std::vector<bool> kinds;
  for (std::size_t i = 0; i < entries.tier_names.size(); ++i) {
    if (std::find(first_seen.begin(), first_seen.end(), entries.tier_names[i]) != first_seen.end())
      continue;
    first_seen.push_back(entries.tier_names[i]);
    kinds.push_back(entries.is_intervals[i]);
  }
  if (grid.tiers.size() != first_seen.size()) return false;
  std::vector<int> placed(entries.labels.size(), 0);
  for (std::size_t t = 0; t < grid.tiers.size(); ++t) {
    const auto& tier = grid.tiers[t];
    if (tier.name != first_seen[t] || tier.is_interval != kinds[t] ||
        tier.size != tier.items.size())
      return false;
    for (std::size_t k = 0; k < tier.items.size(); ++k) {
      std::size_t entry = std::stoul(tier.items[k].label);
      if (entry >= placed.size() || placed[entry]++ != 0 || entries.tier_names[entry] != tier.name)
        return false;
      if (tier.items[k].tmin != entries.tmins[entry] || tier.items[k].tmax != entries.tmaxs[entry])
        return false;
      if (k == 0) continue;
      const auto& before = tier.items[k - 1];
      bool stable = before.tmin < tier.items[k].tmin ||
                    (before.tmin == tier.items[k].tmin && std::stoul(before.label) < entry);
      if (!stable) return false;
    }
  }
  return std::all_of(placed.begin(), placed.end(), [](int count) { return count == 1; });
}

inline bool check_vectors(Input input) {
  VectorCase built = vectors_from(input);
  textgrid::Vectors entries = built.vectors;
  textgrid::Result<TextGrid> grid;
  try {
    grid = TextGrid::from_vectors(std::move(built.vectors), built.tmin, built.tmax, "fuzz");
  } catch (const textgrid::InternalFailure&) {
    return false;
  }
  if (!grid) return !grid.error().message.empty();
  return holds_only_finite_times(*grid) && grouped_and_ordered(*grid, entries) &&
         (!built.tmin || grid->tmin == *built.tmin) && (!built.tmax || grid->tmax == *built.tmax);
}

}  // namespace fuzz
