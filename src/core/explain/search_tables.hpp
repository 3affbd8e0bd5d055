// The tables the deepest-path search keys its states by: bindings interned by exact content, and
// an open-addressing map from index triples to an index.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/model.hpp"

namespace vashlet::explain {

// No index: an empty slot, a missing child.
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// A cleared table keeps its storage unless it is more than this many times what was used.
constexpr std::size_t kSparse = 8;

// Hash combining with a full avalanche step: keys are small, dense integers (step, event index)
// that a plain xor-shift combination maps onto few buckets.
inline std::size_t mix(std::size_t seed, std::size_t value) {
  std::uint64_t x = (static_cast<std::uint64_t>(seed) * 0x9e3779b97f4a7c15ULL) ^ value;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}

// Bindings interned by exact content, so a search state can be keyed by a small id. Floats are
// compared by bit pattern: a NaN payload or the sign of a zero ends up in the reported captures,
// so two maps are only interchangeable when they are identical.
bool identical(const Bindings& left, const Bindings& right);
std::size_t hash_bindings(const Bindings& bindings);

// Interned maps keep their address while more are added: the search holds references to them.
// A cleared table keeps its maps' storage and its slots for the next run's, so that interning
// allocates only while a run needs more than any before it.
class BindingsTable {
 public:
  // Copies or moves `bindings` in only when they are new.
  std::size_t intern(const Bindings& bindings) { return add(bindings); }
  std::size_t intern(Bindings&& bindings) { return add(std::move(bindings)); }
  const Bindings& get(std::size_t id) const { return items_[id]; }
  void clear() {
    for (std::size_t id = 0; id < used_; ++id) items_[id].clear();
    // Kept only while the entries used a fair part of them, so that a large table does not tax
    // every later, smaller use.
    if (items_.size() > kSparse * (used_ + 1)) items_ = std::deque<Bindings>();
    if (slots_.size() > kFirstSlots && slots_.size() > kSparse * used_) {
      slots_ = std::vector<Slot>();
    } else {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    used_ = 0;
  }

 private:
  static constexpr std::size_t kFirstSlots = 64;

  struct Slot {
    std::size_t hash = 0;
    std::size_t id = kNone;
  };

  template <class B>
  std::size_t add(B&& bindings) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const std::size_t hash = hash_bindings(bindings);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    for (; slots_[i].id != kNone; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && identical(items_[slots_[i].id], bindings)) return slots_[i].id;
    }
    if (used_ == items_.size()) {
      items_.push_back(std::forward<B>(bindings));
    } else if constexpr (std::is_rvalue_reference_v<B&&>) {
      std::swap(items_[used_], bindings);
    } else {
      items_[used_] = bindings;
    }
    slots_[i] = Slot{hash, used_};
    return used_++;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? kFirstSlots : 2 * slots_.size());
    const std::size_t mask = bigger.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.id == kNone) continue;
      std::size_t i = slot.hash & mask;
      while (bigger[i].id != kNone) i = (i + 1) & mask;
      bigger[i] = slot;
    }
    slots_ = std::move(bigger);
  }

  std::deque<Bindings> items_;  // [0, used_) interned; the rest cleared, kept for their storage
  std::size_t used_ = 0;
  std::vector<Slot> slots_;  // open addressing by hash; never more than half full
};

// Open-addressing map from a triple of indices to an index. The search creates millions of
// small keys on long inputs; node-based maps spend most of their time allocating and chasing them.
class IndexTripleMap {
 public:
  using Key = std::array<std::size_t, 3>;

  // The value stored under `key`, after storing `value` there if the key was absent.
  std::size_t emplace(const Key& key, std::size_t value) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    Slot& slot = slots_[position(slots_, key)];
    if (slot.value == kNone) {
      slot = Slot{key, value};
      ++size_;
    }
    return slot.value;
  }

  std::size_t size() const { return size_; }
  // Keeps the capacity, a cleared table being about to be filled again, as long as the entries
  // filled a fair part of it: clearing costs a pass over every slot, which a large table left
  // by one search would otherwise charge to each later, smaller one.
  void clear() {
    if (slots_.size() > kFirstSlots && slots_.size() > kSparse * size_) {
      slots_ = std::vector<Slot>();
    } else {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    size_ = 0;
  }

  // The value stored under `key`, or kNone.
  std::size_t find(const Key& key) const {
    return slots_.empty() ? kNone : slots_[position(slots_, key)].value;
  }

 private:
  static constexpr std::size_t kFirstSlots = 64;

  struct Slot {
    Key key{};
    std::size_t value = kNone;
  };

  // The slot holding `key`, or the empty slot where it belongs (the table is never full).
  static std::size_t position(const std::vector<Slot>& slots, const Key& key) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = mix(mix(key[0], key[1]), key[2]) & mask;
    while (slots[i].value != kNone && slots[i].key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? kFirstSlots : 2 * slots_.size());
    for (const Slot& slot : slots_) {
      if (slot.value != kNone) bigger[position(bigger, slot.key)] = slot;
    }
    slots_ = std::move(bigger);
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace vashlet::explain
