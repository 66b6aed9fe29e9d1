#pragma once
// Small builders for model values in the C++ tests.
#include <string>
#include <utility>
#include <vector>

#include "textgrid/model/failure.hpp"
#include "textgrid/model/textgrid.hpp"

// A tier whose declared size matches its items.
inline textgrid::Tier tier_of(std::string name, bool is_interval, std::vector<textgrid::Item> items,
                              double tmin = 0.0, double tmax = 10.0) {
  textgrid::Tier tier;
  tier.name = std::move(name);
  tier.size = items.size();
  tier.items = std::move(items);
  tier.tmin = tmin;
  tier.tmax = tmax;
  tier.is_interval = is_interval;
  return tier;
}

// The message of the internal failure that `body` raises, or "" if none.
template <class F>
std::string failure_message(F&& body) {
  try {
    body();
  } catch (const textgrid::InternalFailure& failure) {
    return failure.message();
  }
  return "";
}

// The document a parser read; an error value ends the test case as an
// internal failure naming it.
inline textgrid::TextGrid parsed_or_fail(textgrid::Result<textgrid::TextGrid> grid) {
  if (!grid) textgrid::fail("unexpected error: " + grid.error().message);
  return std::move(*grid);
}
