// Earliest containing span: a forward walk for parents in time order, and a
// sweep with a tree of minimum positions for any other order.
#include "textgrid/tables/nest_match.hpp"

#include <algorithm>
#include <cmath>

namespace textgrid {
namespace {

bool runs_forward(const std::vector<Span>& parents) {
  for (std::size_t i = 0; i < parents.size(); ++i) {
    if (std::isnan(parents[i].tmin) || std::isnan(parents[i].tmax)) return false;
    if (i > 0 && (parents[i].tmin < parents[i - 1].tmin || parents[i].tmax < parents[i - 1].tmax))
      return false;
  }
  return true;
}

// Parents in time order: those starting at or before a query's start form a
// prefix, those ending at or after its end a suffix; the earliest parent of
// both is where the suffix starts. Both ends move forward only while the
// queries do, else they are found by bisection.
void match_forward(const std::vector<Span>& parents, const std::vector<Span>& queries,
                   std::vector<std::size_t>& found) {
  const std::size_t n = parents.size();
  std::size_t started = 0, ending = 0;  // prefix end; suffix start
  double last_start = -INFINITY, last_end = -INFINITY;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const Span query = queries[q];
    found[q] = no_parent;
    if (std::isnan(query.tmin) || std::isnan(query.tmax)) continue;
    if (query.tmin >= last_start) {
      while (started < n && parents[started].tmin <= query.tmin) ++started;
    } else {
      started = static_cast<std::size_t>(
          std::upper_bound(parents.begin(), parents.end(), query.tmin,
                           [](double t, const Span& p) { return t < p.tmin; }) -
          parents.begin());
    }
    if (query.tmax >= last_end) {
      while (ending < n && parents[ending].tmax < query.tmax) ++ending;
    } else {
      ending = static_cast<std::size_t>(
          std::lower_bound(parents.begin(), parents.end(), query.tmax,
                           [](const Span& p, double t) { return p.tmax < t; }) -
          parents.begin());
    }
    last_start = query.tmin;
    last_end = query.tmax;
    if (ending < started) found[q] = ending;
  }
}

// Minimum over prefixes of positions, with point updates.
class MinimumTree {
 public:
  explicit MinimumTree(std::size_t size) : nodes_(size + 1, no_parent) {}
  void lower(std::size_t at, std::size_t value) {
    for (++at; at < nodes_.size(); at += at & (~at + 1)) nodes_[at] = std::min(nodes_[at], value);
  }
  // The minimum over positions [0, end).
  std::size_t minimum(std::size_t end) const {
    std::size_t best = no_parent;
    for (; end > 0; end -= end & (~end + 1)) best = std::min(best, nodes_[end]);
    return best;
  }

 private:
  std::vector<std::size_t> nodes_;
};

// Any order: queries by start, parents added as their start is reached, kept
// in a tree keyed by end (latest first), asked for the smallest position
// among those ending at or after the query's end.
void match_sweep(const std::vector<Span>& parents, const std::vector<Span>& queries,
                 std::vector<std::size_t>& found) {
  std::vector<std::size_t> by_start;
  for (std::size_t i = 0; i < parents.size(); ++i)
    if (!std::isnan(parents[i].tmin) && !std::isnan(parents[i].tmax)) by_start.push_back(i);
  std::vector<double> ends_descending;
  for (std::size_t i : by_start) ends_descending.push_back(parents[i].tmax);
  std::sort(ends_descending.begin(), ends_descending.end(), std::greater<>());
  std::stable_sort(by_start.begin(), by_start.end(),
                   [&](std::size_t a, std::size_t b) { return parents[a].tmin < parents[b].tmin; });
  // A NaN has no parent, and kept among the sorted starts it would break their
  // order (`<` is no ordering with NaN), joining later queries wrongly.
  std::vector<std::size_t> order;
  for (std::size_t q = 0; q < queries.size(); ++q)
    if (!std::isnan(queries[q].tmin) && !std::isnan(queries[q].tmax)) order.push_back(q);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return queries[a].tmin < queries[b].tmin; });
  // Rank of an end: how many ends are later than it.
  auto rank = [&](double end) {
    return static_cast<std::size_t>(std::upper_bound(ends_descending.begin(), ends_descending.end(),
                                                     end, std::greater<>()) -
                                    ends_descending.begin());
  };
  MinimumTree tree(ends_descending.size());
  std::size_t added = 0;
  for (std::size_t q : order) {
    const Span query = queries[q];
    for (; added < by_start.size() && parents[by_start[added]].tmin <= query.tmin; ++added) {
      const std::size_t i = by_start[added];
      tree.lower(rank(parents[i].tmax) - 1, i);
    }
    found[q] = tree.minimum(rank(query.tmax));
  }
}

}  // namespace

void earliest_containing(const std::vector<Span>& parents, const std::vector<Span>& queries,
                         std::vector<std::size_t>& found) {
  found.assign(queries.size(), no_parent);
  if (parents.empty()) return;
  if (runs_forward(parents))
    match_forward(parents, queries, found);
  else
    match_sweep(parents, queries, found);
}

}  // namespace textgrid
