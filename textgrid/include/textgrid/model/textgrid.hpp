#pragma once
// The annotation model (TextGrid, Tier, Item), its validation, and the two
// exchange shapes with the Python layer: the nested data form and the vector form.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/buffer.hpp"
#include "textgrid/model/error.hpp"

namespace textgrid {

// Difference of two times below which they count as equal.
inline constexpr double time_bound_tolerance = 1e-6;

// One interval, or one point (which holds its time in both tmin and tmax).
struct Item {
  std::string label;
  double tmin = 0.0;
  double tmax = 0.0;

  friend bool operator==(const Item&, const Item&) = default;
};

// Nested data form: (tmin, tmax, tiers), tiers of (name, is_interval, items),
// items of (tmin, tmax, label), held as the model's own items so that a tier's
// items become the TextGrid's without a copy.
struct TierData {
  std::string name;
  bool is_interval = true;
  std::vector<Item> items;

  friend bool operator==(const TierData&, const TierData&) = default;
};

struct TextGridData {
  double tmin = 0.0;
  double tmax = 0.0;
  std::vector<TierData> tiers;

  friend bool operator==(const TextGridData&, const TextGridData&) = default;
};

// Vector form: one entry per item, tier by tier, in five parallel columns.
// The numeric columns are releasable so that NumPy can adopt them uncopied.
struct Vectors {
  Buffer<double> tmins;
  Buffer<double> tmaxs;
  std::vector<std::string> labels;
  std::vector<std::string> tier_names;
  Buffer<bool> is_intervals;
  // Empty, or each entry's tier position: tiers are then told apart by it
  // rather than by name, and come in its order.
  Buffer<std::uint64_t> tier_indices;

  friend bool operator==(const Vectors&, const Vectors&) = default;
};

// How a point tier is bounded whose own points give no valid range (they all
// share one time): by that range all the same (and refused), or by the
// TextGrid's bounds when those are valid.
enum class PointTierSpan { own, textgrid_when_degenerate };

struct Tier {
  std::string name;
  std::vector<Item> items;
  std::uint64_t size = 0;  // declared item count
  double tmin = 0.0;
  double tmax = 0.0;
  bool is_interval = true;  // false: a point tier ("TextTier")

  Status assert_valid() const;
  // `index` is the tier's 0-based position; it is written as index + 1.
  std::string to_long_textgrid_string(std::uint64_t index) const;
  std::string to_short_textgrid_string() const;

  friend bool operator==(const Tier&, const Tier&) = default;
};

struct TextGrid {
  std::string name;
  std::vector<Tier> tiers;
  double tmin = 0.0;
  double tmax = 0.0;
  std::uint64_t size = 0;  // declared tier count

  Status assert_valid() const;

  TextGridData to_data() const;
  Vectors to_vectors() const;

  std::string to_long_textgrid_string() const;
  std::string to_short_textgrid_string() const;
  // Renders fully in memory, then saves it with save_file (never a partial
  // file). A failure to open or write is an internal failure.
  void save_textgrid(std::string_view path, bool long_format) const;

  static Result<TextGrid> from_data(std::vector<TierData> data, std::optional<std::string> name,
                                    std::optional<double> tmin, std::optional<double> tmax);
  static Result<TextGrid> from_vectors(Vectors vectors, std::optional<double> tmin,
                                       std::optional<double> tmax, std::optional<std::string> name,
                                       PointTierSpan span = PointTierSpan::own);

  friend bool operator==(const TextGrid&, const TextGrid&) = default;
};

Status assert_valid_time_bounds(std::string_view context, double tmin, double tmax);
// The first item of `tier` whose time is NaN or infinite, refused as its
// tier's validation refuses it; none when every time is finite.
Status assert_finite_item_times(const Tier& tier);

// What is wrong with a pair of bounds, in the order the checks run. NaN and
// the infinities are refused first: every comparison after would let a NaN
// through, and no file can hold an infinite time. Inline: the validation's
// loop over every item calls it.
enum class BoundsFault { none, not_finite, negative, unordered };
inline BoundsFault time_bounds_fault(double tmin, double tmax) noexcept {
  if (!std::isfinite(tmin) || !std::isfinite(tmax)) return BoundsFault::not_finite;
  if (tmin < 0.0 || tmax <= 0.0) return BoundsFault::negative;
  if (tmax - tmin <= time_bound_tolerance) return BoundsFault::unordered;
  return BoundsFault::none;
}

// True when `item` ends after `next` starts (beyond the tolerance).
inline bool overlaps_next(const Item& item, const Item& next) noexcept {
  return item.tmax - next.tmin > time_bound_tolerance;
}

// The single place where a TextGrid is put together from built tiers: fills in
// the name and any missing global bound, sets the tier count and validates.
Result<TextGrid> make_textgrid(std::vector<Tier> tiers, std::optional<std::string> name,
                               std::optional<double> tmin, std::optional<double> tmax,
                               PointTierSpan span = PointTierSpan::own);

// Bound folds: the smallest / largest non-NaN value, seeded with the largest
// finite double / its negation.
double start_fold(double accumulator, double value) noexcept;
double end_fold(double accumulator, double value) noexcept;
inline constexpr double start_fold_seed = 1.7976931348623157e308;
inline constexpr double end_fold_seed = -1.7976931348623157e308;

}  // namespace textgrid
