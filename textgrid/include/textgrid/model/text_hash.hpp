#pragma once
// A fast hash of a text's bytes, and the growth of the open-addressing tables
// (linear probing, a power-of-two size) that share equal texts by it.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace textgrid {

inline std::uint64_t hash_text(std::string_view text) noexcept {
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ text.size();
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 32;
  }
  std::uint64_t tail = 0;
  if (at < text.size()) std::memcpy(&tail, text.data() + at, text.size() - at);
  hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  return hash ^ (hash >> 29);
}

// Doubles `slots`, putting every slot that `occupied` accepts where probing
// from its `hash` member finds it again.
template <class Slot, class Occupied>
void grow_open_table(std::vector<Slot>& slots, Occupied occupied) {
  std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(2 * slots.size()));
  const std::size_t mask = slots.size() - 1;
  for (const Slot& slot : old) {
    if (!occupied(slot)) continue;
    std::size_t at = slot.hash & mask;
    while (occupied(slots[at])) at = (at + 1) & mask;
    slots[at] = slot;
  }
}

}  // namespace textgrid
