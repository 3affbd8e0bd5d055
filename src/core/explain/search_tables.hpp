// The tables the deepest-path search keys its states by: bindings interned by exact content, and
// an open-addressing map from index triples to an index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <type_traits>
#include <utility>

#include "model/model.hpp"
#include "model/slot_table.hpp"

namespace vashlet::explain {

// No index: an empty slot, a missing child.
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

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
    const std::size_t used = slots_.size();
    for (std::size_t id = 0; id < used; ++id) items_[id].clear();
    // Kept only while the entries used a fair part of them, so that a large table does not tax
    // every later, smaller use.
    if (storage_too_sparse(items_.size(), used + 1)) items_ = std::deque<Bindings>();
    slots_.clear();
  }

 private:
  struct Slot {
    std::size_t hashed = 0;
    std::size_t id = kNone;
    bool empty() const { return id == kNone; }
    std::size_t hash() const { return hashed; }
  };

  template <class B>
  std::size_t add(B&& bindings) {
    const std::size_t hash = hash_bindings(bindings);
    const auto same = [&](const Slot& slot) {
      return slot.hashed == hash && identical(items_[slot.id], bindings);
    };
    // Stores the new bindings under the next id, in a cleared map's place where one is kept.
    const auto store = [&] {
      const std::size_t id = slots_.size();
      if (id == items_.size()) {
        items_.push_back(std::forward<B>(bindings));
      } else if constexpr (std::is_rvalue_reference_v<B&&>) {
        std::swap(items_[id], bindings);
      } else {
        items_[id] = bindings;
      }
      return Slot{hash, id};
    };
    return slots_.insert(hash, same, store).id;
  }

  // [0, slots_.size()) interned; the rest cleared, kept for their storage.
  std::deque<Bindings> items_;
  SlotTable<Slot, 64> slots_;  // by hash, their ids
};

// Open-addressing map from a triple of indices to an index. The search creates millions of
// small keys on long inputs; node-based maps spend most of their time allocating and chasing them.
class IndexTripleMap {
 public:
  using Key = std::array<std::size_t, 3>;

  // The value stored under `key`, after storing `value` there if the key was absent.
  std::size_t emplace(const Key& key, std::size_t value) {
    return slots_.insert(hash(key), SameKey{key}, [&] { return Slot{key, value}; }).value;
  }

  std::size_t size() const { return slots_.size(); }
  // Keeps the slots for the next search unless they are far more than this one filled.
  void clear() { slots_.clear(); }

  // The value stored under `key`, or kNone.
  std::size_t find(const Key& key) const {
    const Slot* slot = slots_.find(hash(key), SameKey{key});
    return slot ? slot->value : kNone;
  }

 private:
  struct Slot {
    Key key{};
    std::size_t value = kNone;
    bool empty() const { return value == kNone; }
    std::size_t hash() const { return IndexTripleMap::hash(key); }
  };

  static std::size_t hash(const Key& key) { return mix(mix(key[0], key[1]), key[2]); }
  struct SameKey {
    const Key& key;
    bool operator()(const Slot& slot) const { return slot.key == key; }
  };

  SlotTable<Slot, 64> slots_;
};

}  // namespace vashlet::explain
