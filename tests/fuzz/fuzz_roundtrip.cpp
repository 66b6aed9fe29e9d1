// Parse arbitrary bytes (option bit 0: strict, bit 1: short layout), rebuild the
// document through both import paths, then render it in both layouts and read
// each rendering back: for documents the writers can represent faithfully (no
// quote or line feed in a name or label, no NaN time) the re-read must equal
// the document as first read.
#include <cmath>
#include <optional>
#include <string>

#include "fuzz_common.hpp"
#include "textgrid/failure.hpp"
#include "textgrid/parser.hpp"

namespace {

using textgrid::TextGrid;

bool representable_text(const std::string& text) {
  return text.find('"') == std::string::npos && text.find('\n') == std::string::npos;
}

bool representable(const TextGrid& grid) {
  if (std::isnan(grid.tmin) || std::isnan(grid.tmax)) return false;
  for (const auto& tier : grid.tiers) {
    if (!representable_text(tier.name) || std::isnan(tier.tmin) || std::isnan(tier.tmax))
      return false;
    for (const auto& item : tier.items) {
      if (!representable_text(item.label) || std::isnan(item.tmin)) return false;
      if (tier.is_interval && std::isnan(item.tmax)) return false;
    }
  }
  return true;
}

// What the writers actually put on disk: the real counts, and a point's time alone.
TextGrid as_written(TextGrid grid) {
  grid.size = grid.tiers.size();
  for (auto& tier : grid.tiers) {
    tier.size = tier.items.size();
    if (!tier.is_interval)
      for (auto& item : tier.items) item.tmax = item.tmin;
  }
  return grid;
}

// The imports may refuse a document (error value, or a NaN start to sort),
// but must not fault.
void rebuild(const TextGrid& grid, bool give_bounds) {
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

void check_reread(const TextGrid& expected, const textgrid::Result<TextGrid>& reread) {
  if (!reread || !(*reread == expected)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto [options, text] = fuzz::split_input(data, size);
  bool strict = (options & 1) != 0;
  bool short_layout = (options & 2) != 0;
  std::optional<TextGrid> grid;
  try {
    auto parsed = short_layout ? textgrid::parse_short_text(text, "fuzz", strict)
                               : textgrid::parse_long_text(text, "fuzz", strict);
    if (!parsed) return 0;
    grid = std::move(*parsed);
  } catch (const textgrid::InternalFailure&) {
    return 0;
  }
  fuzz::check_exports(*grid);
  rebuild(*grid, (options & 4) != 0);
  (void)grid->assert_valid();

  // Rendering never fails, whatever the document holds.
  std::string long_text = grid->to_long_textgrid_string();
  std::string short_text = grid->to_short_textgrid_string();
  if (!representable(*grid)) return 0;

  TextGrid expected = as_written(*grid);
  check_reread(expected, textgrid::parse_long_text(long_text, "fuzz", false));
  check_reread(expected, textgrid::parse_short_text(short_text, "fuzz", false));
  return 0;
}
