#pragma once
// The properties the fuzz targets check, one function per target. They are
// shared with the C++ tests, which replay the committed corpus and the inputs
// that once failed. Each returns false when a property is broken; a parser's
// internal failure on a malformed text is an expected outcome, not a fault.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_canonical.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/model/textgrid.hpp"

namespace fuzz {

using textgrid::TextGrid;

// The first byte selects options (bit 0: strict, bit 1: short layout, bit 2:
// give global bounds when rebuilding); the rest is the file text.
struct Input {
  std::uint8_t options = 0;
  std::string_view text;

  bool strict() const { return (options & 1) != 0; }
  bool short_layout() const { return (options & 2) != 0; }
  bool give_bounds() const { return (options & 4) != 0; }
};

inline Input split_input(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  return {data[0], {reinterpret_cast<const char*>(data + 1), size - 1}};
}

inline std::optional<TextGrid> parse(std::string_view text, bool short_layout, bool strict) {
  try {
    auto parsed = short_layout ? textgrid::validated(textgrid::parse_short_text(text, "fuzz"), strict)
                               : textgrid::validated(textgrid::parse_long_text(text, "fuzz"), strict);
    if (parsed) return std::move(*parsed);
  } catch (const textgrid::InternalFailure&) {
  }
  return std::nullopt;
}

// Both export shapes must describe the same tiers and items.
inline bool exports_agree(const TextGrid& grid) {
  textgrid::TextGridData data = grid.to_data();
  if (data.tiers.size() != grid.tiers.size()) return false;
  std::size_t items = 0;
  for (std::size_t t = 0; t < data.tiers.size(); ++t) {
    if (data.tiers[t].items.size() != grid.tiers[t].items.size()) return false;
    items += grid.tiers[t].items.size();
  }
  textgrid::Vectors vectors = grid.to_vectors();
  return vectors.tmins.size() == items && vectors.tmaxs.size() == items &&
         vectors.labels.size() == items && vectors.tier_names.size() == items &&
         vectors.is_intervals.size() == items;
}

// What the writers put on disk: the real counts, and a point's time alone.
inline TextGrid as_written(TextGrid grid) {
  grid.size = grid.tiers.size();
  for (auto& tier : grid.tiers) {
    tier.size = tier.items.size();
    if (!tier.is_interval)
      for (auto& item : tier.items) item.tmax = item.tmin;
  }
  return grid;
}

// The imports may refuse a document (an error value, or a NaN start that
// cannot be sorted) but must not fault.
inline void rebuild(const TextGrid& grid, bool give_bounds) {
  std::optional<double> tmin, tmax;
  if (give_bounds) tmin = grid.tmin, tmax = grid.tmax;
  try {
    (void)TextGrid::from_data(grid.to_data().tiers, grid.name, tmin, tmax);
  } catch (const textgrid::InternalFailure&) {
  }
  try {
    (void)TextGrid::from_vectors(grid.to_vectors(), tmin, tmax, grid.name);
  } catch (const textgrid::InternalFailure&) {
  }
}

// NaN counts as equal to NaN: the writers put "NaN" on disk and it reads back.
inline bool reads_back_as(const TextGrid& expected, std::string_view text, bool short_layout) {
  std::optional<TextGrid> reread = parse(text, short_layout, false);
  return reread && describe(*reread) == describe(expected);
}

inline bool check_long(Input input) {
  std::optional<TextGrid> grid = parse(input.text, false, input.strict());
  return !grid || exports_agree(*grid);
}

inline bool check_short(Input input) {
  std::optional<TextGrid> grid = parse(input.text, true, input.strict());
  return !grid || exports_agree(*grid);
}

// Parse, rebuild through both imports, render in both layouts (never fails)
// and read each rendering back unchanged: every label and name (quotes and
// line breaks included, as Praat reads them) and every time (NaN included).
inline bool check_roundtrip(Input input) {
  std::optional<TextGrid> grid = parse(input.text, input.short_layout(), input.strict());
  if (!grid) return true;
  if (!exports_agree(*grid)) return false;
  rebuild(*grid, input.give_bounds());
  (void)grid->assert_valid();
  std::string long_text = grid->to_long_textgrid_string();
  std::string short_text = grid->to_short_textgrid_string();
  TextGrid expected = as_written(*grid);
  return reads_back_as(expected, long_text, false) && reads_back_as(expected, short_text, true);
}

// What one parse gives: the document, or the failure's message.
inline std::string outcome(std::string_view text, bool short_layout, textgrid::Front front) {
  try {
    return describe(short_layout ? textgrid::parse_short_text(text, "fuzz", front)
                                 : textgrid::parse_long_text(text, "fuzz", front));
  } catch (const textgrid::InternalFailure& failure) {
    return std::string("failure;") + failure.what();
  }
}

// Keeps what a parse hands over, with the position of its tier.
struct CollectingSink final : textgrid::ItemSink {
  std::vector<std::pair<std::size_t, textgrid::Item>> items;
  void add(const textgrid::Tier&, std::size_t position,
           std::span<const textgrid::ItemView> run) override {
    for (const textgrid::ItemView& item : run)
      items.push_back({position, textgrid::Item{std::string(item.label), item.tmin, item.tmax}});
  }
};

// What one parse into a sink gives, its items put back in their tiers: the
// tiers must hold none themselves, and the items come tier after tier.
inline std::string outcome_through_sink(std::string_view text, bool short_layout) {
  try {
    CollectingSink sink;
    textgrid::TextGrid grid =
        short_layout
            ? textgrid::parse_short_text(text, "fuzz", textgrid::Front::common_spellings, &sink)
            : textgrid::parse_long_text(text, "fuzz", textgrid::Front::common_spellings, &sink);
    for (const textgrid::Tier& tier : grid.tiers)
      if (!tier.items.empty()) return "a tier kept its items";
    std::size_t last = 0;
    for (auto& [position, item] : sink.items) {
      if (position < last || position >= grid.tiers.size()) return "items out of tier order";
      grid.tiers[position].items.push_back(std::move(item));
      last = position;
    }
    return describe(grid);
  } catch (const textgrid::InternalFailure& failure) {
    return std::string("failure;") + failure.what();
  }
}

// The one-pass readers of the common spellings give the very document (or the
// very failure) that reading every line the general way gives, whether the
// items stay in their tiers or go to a sink as they are read.
inline bool check_common_spellings(Input input) {
  const std::string general =
      outcome(input.text, input.short_layout(), textgrid::Front::general_only);
  return outcome(input.text, input.short_layout(), textgrid::Front::common_spellings) == general &&
         outcome_through_sink(input.text, input.short_layout()) == general;
}

}  // namespace fuzz
