#pragma once
// A canonical text of the model and its exchange shapes, so that results can be
// compared with NaN equal to NaN (operator== would call two NaN times unequal).
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "textgrid/model/textgrid.hpp"

namespace fuzz {

inline void describe_time(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN;";
    return;
  }
  out += std::to_string(std::bit_cast<std::uint64_t>(value));
  out += ';';
}

inline void describe_text(std::string& out, const std::string& text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
  out += ';';
}

inline std::string describe(const textgrid::TextGrid& grid) {
  std::string out = "grid;";
  describe_text(out, grid.name);
  describe_time(out, grid.tmin);
  describe_time(out, grid.tmax);
  out += std::to_string(grid.size) + ";";
  for (const auto& tier : grid.tiers) {
    out += tier.is_interval ? "I;" : "P;";
    describe_text(out, tier.name);
    describe_time(out, tier.tmin);
    describe_time(out, tier.tmax);
    out += std::to_string(tier.size) + ";";
    for (const auto& item : tier.items) {
      describe_time(out, item.tmin);
      describe_time(out, item.tmax);
      describe_text(out, item.label);
    }
  }
  return out;
}

inline std::string describe(const textgrid::TextGridData& data) {
  std::string out = "data;";
  describe_time(out, data.tmin);
  describe_time(out, data.tmax);
  for (const auto& tier : data.tiers) {
    out += tier.is_interval ? "I;" : "P;";
    describe_text(out, tier.name);
    for (const auto& item : tier.items) {
      describe_time(out, item.tmin);
      describe_time(out, item.tmax);
      describe_text(out, item.label);
    }
  }
  return out;
}

inline std::string describe(const textgrid::Vectors& vectors) {
  std::string out = "vectors;";
  for (std::size_t i = 0; i < vectors.tmins.size(); ++i) describe_time(out, vectors.tmins[i]);
  for (std::size_t i = 0; i < vectors.tmaxs.size(); ++i) describe_time(out, vectors.tmaxs[i]);
  for (const auto& label : vectors.labels) describe_text(out, label);
  for (const auto& name : vectors.tier_names) describe_text(out, name);
  for (std::size_t i = 0; i < vectors.is_intervals.size(); ++i)
    out += vectors.is_intervals[i] ? '1' : '0';
  return out;
}

}  // namespace fuzz
