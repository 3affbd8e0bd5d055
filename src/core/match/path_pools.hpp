// The storage of partial matches during a run: their index paths as parent-linked nodes and
// their bindings in reference-counted slots, both reused from run to run.
#pragma once

#include <cstddef>
#include <vector>

#include "plan/binding_layout.hpp"

namespace vashlet {

using plan::SlotValues;

// Partial index lists as parent-linked nodes: a successor shares its parent's prefix and a
// match's indices are written out only when it completes. The first index is the partial
// match's own, so one at the second step needs no node. Reference counts return nodes to a
// free list, so a long run reuses them instead of growing.
class PathArena {
 public:
  static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

  void reset() {
    nodes_.clear();
    free_.clear();
  }

  std::size_t extend(std::size_t parent, std::size_t event_index) {
    if (parent != kNoParent) ++nodes_[parent].refs;
    const Node node{event_index, parent, 1};
    if (free_.empty()) {
      nodes_.push_back(node);
      return nodes_.size() - 1;
    }
    const std::size_t id = free_.back();
    free_.pop_back();
    nodes_[id] = node;
    return id;
  }

  void release(std::size_t id) {
    while (id != kNoParent && --nodes_[id].refs == 0) {
      free_.push_back(id);
      id = nodes_[id].parent;
    }
  }

  // Fills `out[0 .. count)` with the last `count` indices of the path that ends at `id`.
  void write(std::size_t id, std::size_t* out, std::size_t count) const {
    for (std::size_t position = count; position-- > 0; id = nodes_[id].parent) {
      out[position] = nodes_[id].event_index;
    }
  }

 private:
  struct Node {
    std::size_t event_index;
    std::size_t parent;
    std::size_t refs;
  };
  std::vector<Node> nodes_;
  std::vector<std::size_t> free_;
};

// Bindings (values by slot, see BindingLayout) held by reference-counted slots: a successor whose
// step captures no new name shares its parent's slot, and a freed slot keeps its storage for the
// next partial match that needs one.
class BindingsPool {
 public:
  static constexpr std::size_t kEmpty = 0;  // the empty bindings of a start, never freed

  void reset() {
    free_.clear();
    used_ = 1;
  }

  const SlotValues& at(std::size_t id) const { return slots_[id]; }

  std::size_t share(std::size_t id) {
    if (id != kEmpty) ++refs_[id];
    return id;
  }

  // A new slot holding the values of `parent` followed by `added`.
  std::size_t extended(std::size_t parent, const SlotValues& added) {
    const std::size_t id = allocate();  // may move the slots, so `parent` is looked up after
    SlotValues& slot = slots_[id];
    slot = slots_[parent];
    slot.insert(slot.end(), added.begin(), added.end());
    return id;
  }

  void release(std::size_t id) {
    if (id != kEmpty && --refs_[id] == 0) free_.push_back(id);
  }

 private:
  std::size_t allocate() {
    std::size_t id;
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else if (used_ < slots_.size()) {
      id = used_++;
    } else {
      slots_.emplace_back();
      refs_.push_back(0);
      id = used_++;
    }
    refs_[id] = 1;
    return id;
  }

  std::vector<SlotValues> slots_ = std::vector<SlotValues>(1);
  std::vector<std::size_t> refs_ = std::vector<std::size_t>(1, 0);
  std::vector<std::size_t> free_;
  std::size_t used_ = 1;  // slots below this were handed out in this run; the rest are spare
};

}  // namespace vashlet
