#pragma once
// Finding, for each of many time spans, the earliest of a list of spans that
// contains it: the matching behind joining a child tier to its parent tier.
#include <cstddef>
#include <limits>
#include <vector>

namespace textgrid {

struct Span {
  double tmin;
  double tmax;
};

inline constexpr std::size_t no_parent = std::numeric_limits<std::size_t>::max();

// found[q] = the smallest i with parents[i].tmin <= queries[q].tmin and
// queries[q].tmax <= parents[i].tmax, or no_parent (a NaN never matches).
// Linear when the parents run forward in time (both bounds never decreasing,
// as the items of a valid tier do) and the queries too; otherwise
// O(n log n).
void earliest_containing(const std::vector<Span>& parents, const std::vector<Span>& queries,
                         std::vector<std::size_t>& found);

}  // namespace textgrid
