#pragma once
// Where the values of a text file stand, for reports that name the line of a
// fault. Only a second, locating reading of a file that failed records them:
// the short and free-form readers are templates over a recorder, the one used
// for plain reading doing nothing; the long layout has a scan of its own, so
// that its reader's loop stays exactly as it was. Plain reading pays nothing.
#include <cstddef>
#include <string_view>
#include <vector>

#include "textgrid/model/textgrid.hpp"

namespace textgrid {

// 1-based lines; 0 where the file has no such value.
struct TierLines {
  std::size_t header = 0;  // "item [t]:" in the long layout, the class in the others
  std::size_t number = 0;  // the tier's number as the file gives it, else its position
  std::size_t tmin = 0, tmax = 0, size = 0;
  std::vector<std::size_t> items;    // where each item starts
  std::vector<std::size_t> numbers;  // each item's number as the file gives it
};

struct SourceMap {
  std::size_t tmin = 0, tmax = 0, size = 0;
  std::vector<TierLines> tiers;
  std::size_t stopped = 0;  // where reading stopped with an internal failure
};

enum class Field { tmin, tmax, size };

// The recorder of plain reading.
struct NoRecord {
  static constexpr bool active = false;
  void tier(std::size_t, std::size_t = 0) noexcept {}
  void item(std::size_t, std::size_t = 0) noexcept {}
  void grid_field(Field, std::size_t) noexcept {}
  void tier_field(Field, std::size_t) noexcept {}
};

// The recorder of locating reading. A number of 0 means "not given".
struct MapRecord {
  static constexpr bool active = true;
  SourceMap& map;

  void tier(std::size_t line, std::size_t number = 0) {
    TierLines& lines = map.tiers.emplace_back();
    lines.header = line;
    lines.number = number != 0 ? number : map.tiers.size();
  }
  void item(std::size_t line, std::size_t number = 0) {
    if (map.tiers.empty()) return;
    TierLines& lines = map.tiers.back();
    lines.items.push_back(line);
    lines.numbers.push_back(number != 0 ? number : lines.items.size());
  }
  void grid_field(Field field, std::size_t line) noexcept { slot(map.tmin, map.tmax, map.size, field) = line; }
  void tier_field(Field field, std::size_t line) noexcept {
    if (map.tiers.empty()) return;
    TierLines& lines = map.tiers.back();
    slot(lines.tmin, lines.tmax, lines.size, field) = line;
  }

 private:
  static std::size_t& slot(std::size_t& tmin, std::size_t& tmax, std::size_t& size,
                           Field field) noexcept {
    return field == Field::tmin ? tmin : field == Field::tmax ? tmax : size;
  }
};

// Lenient readings that fill `map`; an internal failure leaves `map.stopped`
// set to the line being read and is raised again.
TextGrid locate_long_text(std::string_view text, SourceMap& map);
TextGrid locate_short_text(std::string_view text, SourceMap& map);
TextGrid locate_free_text(std::string_view text, SourceMap& map);

// The 1-based line that byte `offset` of `text` stands on.
std::size_t line_at(std::string_view text, std::size_t offset) noexcept;

}  // namespace textgrid
