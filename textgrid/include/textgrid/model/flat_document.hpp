#pragma once
// The flat form of a read document: what the Python layer builds its results
// from. Times sit in two columns, and every label and tier name is an index
// into the document's distinct texts, so that the thread building Python
// objects makes one str per distinct text and hashes nothing per item; the
// deduplication is done here, on whichever thread parsed the file. It is also
// a handful of allocations, which is cheap to hand from one thread to another.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/buffer.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {

// Texts stored once each, numbered in order of first appearance.
class DistinctTexts {
 public:
  std::size_t size() const noexcept { return ends_.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  void append(std::string_view text) {
    bytes_.append(text);
    ends_.push_back(bytes_.size());
  }
  std::size_t total_bytes() const noexcept { return bytes_.size(); }

 private:
  std::string bytes_;
  Buffer<std::size_t> ends_;
};

struct FlatTier {
  std::uint32_t name = 0;  // index into the document's texts
  bool is_interval = true;
  std::size_t items = 0;  // its items are the next `items` entries of the columns
};

struct FlatDocument {
  double tmin = 0.0;
  double tmax = 0.0;
  std::vector<FlatTier> tiers;
  Buffer<double> tmins;
  Buffer<double> tmaxs;
  Buffer<std::uint32_t> labels;  // index into `texts`, one per item
  DistinctTexts texts;

  std::size_t item_count() const noexcept { return labels.size(); }
  // Roughly the memory it holds, for bounding how much is parsed ahead.
  std::size_t footprint() const noexcept;
};

FlatDocument to_flat(const TextGrid& grid);

// The document a batch entry holds for a file whose reading returned an error.
inline FlatDocument empty_flat_document() { return FlatDocument{}; }

}  // namespace textgrid
