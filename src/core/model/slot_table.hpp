// An open-addressing table of slots: the probing, the growth and a clear that keeps the slots for
// the next use unless they are far more than the last one needed. Its users give the slot type,
// the hashes and the equality, and keep whatever their entries own beside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "tuning.hpp"

namespace vashlet {

// Whether storage of `held` items, cleared after a use that needed `needed` of them, is too
// large to keep for the next use (tuning::kSparseStorage).
inline bool storage_too_sparse(std::size_t held, std::size_t needed) {
  return held > tuning::kSparseStorage * needed;
}

// Linear probing over a power-of-two array of slots, never more than 1 / kSlotsPerEntry full, so
// that a probe always ends at an empty slot. A value-initialized Slot is the empty slot; a Slot
// tells `empty()` and its `hash()`, by which the table places it again as it grows. Entries are
// never removed one by one: a clear empties the table at once.
template <class Slot, std::size_t kFirstSlots>
class SlotTable {
  static_assert(kFirstSlots > 0 && (kFirstSlots & (kFirstSlots - 1)) == 0,
                "probing masks with a power of two");

 public:
  std::size_t size() const { return used_; }
  bool empty() const { return used_ == 0; }
  // Slots held, in use or not: what a clear keeps or lets go.
  std::size_t capacity() const { return slots_.size(); }

  // The entry of hash `hash` that same(slot) accepts, or null.
  template <class Same>
  const Slot* find(std::size_t hash, const Same& same) const {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[position(slots_, hash, same)];
    return slot.empty() ? nullptr : &slot;
  }

  // The entry of hash `hash` that same(slot) accepts; where there is none, make() (a Slot of
  // hash `hash`) is stored and returned. A make() that throws leaves the table as it was.
  template <class Same, class Make>
  Slot& insert(std::size_t hash, const Same& same, const Make& make) {
    if (tuning::kSlotsPerEntry * (used_ + 1) > slots_.size()) grow();
    Slot& slot = slots_[position(slots_, hash, same)];
    if (slot.empty()) {
      slot = make();
      ++used_;
    }
    return slot;
  }

  // Empties the table. The slots are kept for the next use unless they are far more than this
  // one needed: clearing them passes over every slot.
  void clear() {
    if (slots_.size() > kFirstSlots && storage_too_sparse(slots_.size(), used_)) {
      slots_ = std::vector<Slot>();
    } else {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    used_ = 0;
  }

 private:
  // The slot that same() accepts, or the empty slot where it belongs.
  template <class Same>
  static std::size_t position(const std::vector<Slot>& slots, std::size_t hash, const Same& same) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash & mask;
    while (!slots[i].empty() && !same(slots[i])) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? kFirstSlots : 2 * slots_.size());
    const std::size_t mask = bigger.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.empty()) continue;
      std::size_t i = slot.hash() & mask;
      while (!bigger[i].empty()) i = (i + 1) & mask;
      bigger[i] = slot;
    }
    slots_ = std::move(bigger);
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;  // slots in use
};

}  // namespace vashlet
