#pragma once
// Shared by the fuzz targets: the first input byte selects options, the rest is
// the file text; every document a parser accepts must export without faults.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "textgrid/textgrid.hpp"

namespace fuzz {

struct Input {
  std::uint8_t options;
  std::string_view text;
};

inline Input split_input(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {0, {}};
  return {data[0], {reinterpret_cast<const char*>(data + 1), size - 1}};
}

inline std::size_t item_count(const textgrid::TextGrid& grid) {
  std::size_t count = 0;
  for (const auto& tier : grid.tiers) count += tier.items.size();
  return count;
}

// Both export shapes must describe the same tiers and items.
inline void check_exports(const textgrid::TextGrid& grid) {
  textgrid::TextGridData data = grid.to_data();
  if (data.tiers.size() != grid.tiers.size()) __builtin_trap();
  for (std::size_t t = 0; t < data.tiers.size(); ++t)
    if (data.tiers[t].items.size() != grid.tiers[t].items.size()) __builtin_trap();

  textgrid::Vectors vectors = grid.to_vectors();
  std::size_t n = item_count(grid);
  if (vectors.tmins.size() != n || vectors.tmaxs.size() != n || vectors.labels.size() != n ||
      vectors.tier_names.size() != n || vectors.is_intervals.size() != n)
    __builtin_trap();
}

}  // namespace fuzz
