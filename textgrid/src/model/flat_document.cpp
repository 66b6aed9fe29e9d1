// Flattening a parsed document: texts deduplicated through a small open
// addressing table keyed by the text's bytes.
#include "textgrid/model/flat_document.hpp"

#include <limits>
#include <utility>

#include "textgrid/model/failure.hpp"
#include "textgrid/model/text_hash.hpp"

namespace textgrid {
namespace {

// Numbers each distinct text once, appending it to `texts` when first seen.
// Keys are views into the document being flattened, which outlives the table.
class TextNumbering {
 public:
  explicit TextNumbering(DistinctTexts& texts, std::size_t expected) : texts_(texts) {
    std::size_t slots = 64;
    while (slots < 2 * expected && slots < max_initial_slots) slots *= 2;
    slots_.resize(slots);
  }

  std::uint32_t number(std::string_view text) {
    const std::uint64_t hash = hash_text(text);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.index == empty) return insert(slot, hash, text);
      if (slot.hash == hash && slot.text == text) return slot.index;
    }
  }

 private:
  static constexpr std::uint32_t empty = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::size_t max_initial_slots = std::size_t{1} << 16;
  struct Slot {
    std::uint64_t hash = 0;
    std::string_view text;
    std::uint32_t index = empty;
  };

  std::uint32_t insert(Slot& slot, std::uint64_t hash, std::string_view text) {
    if (texts_.size() >= empty - 1) fail("too many distinct texts in one document");
    slot = Slot{hash, text, static_cast<std::uint32_t>(texts_.size())};
    texts_.append(text);
    std::uint32_t index = slot.index;
    if (2 * texts_.size() > slots_.size()) grow();
    return index;
  }

  void grow() {
    grow_open_table(slots_, [](const Slot& slot) { return slot.index != empty; });
  }

  DistinctTexts& texts_;
  std::vector<Slot> slots_;
};

}  // namespace

std::size_t FlatDocument::footprint() const noexcept {
  return sizeof(FlatDocument) + tiers.size() * sizeof(FlatTier) +
         item_count() * (2 * sizeof(double) + sizeof(std::uint32_t)) + texts.total_bytes() +
         texts.size() * sizeof(std::size_t);
}

FlatDocument to_flat(const TextGrid& grid) {
  std::size_t total = 0;
  for (const Tier& tier : grid.tiers) total += tier.items.size();
  FlatDocument flat;
  flat.tmin = grid.tmin;
  flat.tmax = grid.tmax;
  flat.tiers.reserve(grid.tiers.size());
  flat.tmins.reserve(total);
  flat.tmaxs.reserve(total);
  flat.labels.reserve(total);
  TextNumbering numbering(flat.texts, total / 4 + grid.tiers.size());
  for (const Tier& tier : grid.tiers) {
    flat.tiers.push_back(
        FlatTier{numbering.number(tier.name), tier.is_interval, tier.items.size()});
    for (const Item& item : tier.items) {
      flat.tmins.push_back(item.tmin);
      flat.tmaxs.push_back(item.tmax);
      flat.labels.push_back(numbering.number(item.label));
    }
  }
  return flat;
}

}  // namespace textgrid
