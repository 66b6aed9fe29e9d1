#pragma once
// Where the long and short parsers may put a document's items instead of its
// tiers: readers that keep no document (the corpus table) take each item as
// read, its label still a view of the text, and copy it once, to its column.
#include <cstddef>
#include <span>
#include <string_view>

#include "textgrid/model/textgrid.hpp"

namespace textgrid {

struct ItemView {
  double tmin = 0.0;
  double tmax = 0.0;
  std::string_view label;  // valid during the call that hands it over
};

// Takes the items of one document in order, in runs of one tier: `tier` is
// the tier at `position` in the document, its name and class already read.
class ItemSink {
 public:
  virtual void add(const Tier& tier, std::size_t position, std::span<const ItemView> items) = 0;

 protected:
  ~ItemSink() = default;
};

}  // namespace textgrid
