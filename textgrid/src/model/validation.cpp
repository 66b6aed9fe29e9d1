// Validation of the annotation model and the bound folds.
//
// The checks run over every item of every tier, so the hot path only compares
// numbers; the context text naming the offending item is built only once a
// check has failed.
#include "textgrid/model/textgrid.hpp"

#include <cmath>
#include <cstddef>
#include <string>

namespace textgrid {
namespace {

const char* time_bounds_message(BoundsFault fault) noexcept {
  switch (fault) {
    case BoundsFault::not_finite: return "Time bounds should be finite in ";
    case BoundsFault::negative: return "Time bounds should be non-negative in ";
    default: return "tmin should be less than tmax in ";
  }
}

// An item time that is not a number says so: a NaN otherwise reads as a
// time that is negative, unordered or merely not finite.
std::string nan_detail(double tmin, double tmax) {
  if (std::isnan(tmin)) return ": tmin is not a number";
  if (std::isnan(tmax)) return ": tmax is not a number";
  return {};
}

Error time_bounds_error(BoundsFault fault, std::string_view context,
                        std::string_view detail = {}) {
  std::string message = time_bounds_message(fault);
  message += context;
  message += detail;
  return invalid_data(std::move(message));
}

std::string item_context(std::size_t index, std::string_view tier_name) {
  std::string context = "item " + std::to_string(index) + " in tier ";
  context += tier_name;
  return context;
}

Error overlap_error(std::size_t index, std::string_view tier_name) {
  std::string message =
      "Items " + std::to_string(index) + " and " + std::to_string(index + 1) + " overlap in tier ";
  message += tier_name;
  return invalid_data(std::move(message));
}

Error point_error(std::size_t index, std::string_view requirement, std::string_view tier_name,
                  std::string_view detail = {}) {
  std::string message = "Item " + std::to_string(index) + " should have ";
  message += requirement;
  message += " in PointTier ";
  message += tier_name;
  message += detail;
  return invalid_data(std::move(message));
}

Error non_finite_point_error(std::size_t index, const Item& item, std::string_view tier_name) {
  return point_error(index, "a finite time", tier_name, nan_detail(item.tmin, item.tmax));
}

Error item_bounds_error(BoundsFault fault, std::size_t index, const Item& item,
                        std::string_view tier_name) {
  return time_bounds_error(fault, item_context(index, tier_name),
                           fault == BoundsFault::not_finite ? nan_detail(item.tmin, item.tmax)
                                                            : std::string());
}

// Each item's own check comes before the overlap test with its successor, so
// the first error in reading order is the one reported.
Status validate_interval_items(const std::vector<Item>& items, std::string_view tier_name) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    BoundsFault fault = time_bounds_fault(items[i].tmin, items[i].tmax);
    if (fault != BoundsFault::none)
      return std::unexpected(item_bounds_error(fault, i, items[i], tier_name));
    if (i + 1 < items.size() && overlaps_next(items[i], items[i + 1]))
      return std::unexpected(overlap_error(i, tier_name));
  }
  return {};
}

// Points are not checked for sign: a point at time 0 or below is accepted.
Status validate_point_items(const std::vector<Item>& items, std::string_view tier_name) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!std::isfinite(items[i].tmin) || !std::isfinite(items[i].tmax))
      return std::unexpected(non_finite_point_error(i, items[i], tier_name));
    if (std::abs(items[i].tmin - items[i].tmax) > time_bound_tolerance)
      return std::unexpected(point_error(i, "tmin == tmax", tier_name));
    if (i + 1 < items.size() && overlaps_next(items[i], items[i + 1]))
      return std::unexpected(overlap_error(i, tier_name));
  }
  return {};
}

}  // namespace

Status assert_valid_time_bounds(std::string_view context, double tmin, double tmax) {
  BoundsFault fault = time_bounds_fault(tmin, tmax);
  if (fault != BoundsFault::none) return std::unexpected(time_bounds_error(fault, context));
  return {};
}

Status assert_finite_item_times(const Tier& tier) {
  for (std::size_t i = 0; i < tier.items.size(); ++i) {
    const Item& item = tier.items[i];
    if (std::isfinite(item.tmin) && std::isfinite(item.tmax)) continue;
    if (!tier.is_interval) return std::unexpected(non_finite_point_error(i, item, tier.name));
    return std::unexpected(item_bounds_error(BoundsFault::not_finite, i, item, tier.name));
  }
  return {};
}

Status Tier::assert_valid() const {
  if (size != items.size())
    return std::unexpected(invalid_data("Tier size does not match number of items"));
  BoundsFault fault = time_bounds_fault(tmin, tmax);
  if (fault != BoundsFault::none) return std::unexpected(time_bounds_error(fault, "tier " + name));
  return is_interval ? validate_interval_items(items, name) : validate_point_items(items, name);
}

Status TextGrid::assert_valid() const {
  if (size != tiers.size())
    return std::unexpected(invalid_data("TextGrid size does not match number of tiers"));
  if (Status bounds = assert_valid_time_bounds("TextGrid", tmin, tmax); !bounds) return bounds;
  for (const Tier& tier : tiers)
    if (Status valid = tier.assert_valid(); !valid) return valid;
  return {};
}

// NaN never wins, and neither does an equal value, so the seed survives a
// list of NaNs or of infinities pointing the wrong way.
double start_fold(double accumulator, double value) noexcept {
  return value < accumulator ? value : accumulator;
}

double end_fold(double accumulator, double value) noexcept {
  return value > accumulator ? value : accumulator;
}

}  // namespace textgrid
