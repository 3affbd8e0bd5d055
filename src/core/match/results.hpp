// What the matchers hand back: Match records, and the flat form that callers writing columns
// read directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "memory/memory.hpp"
#include "model/model.hpp"

namespace vashlet {

struct Match {
  std::string partition;
  std::vector<std::size_t> indices;
  std::int64_t start = 0;
  std::int64_t end = 0;
  Bindings captures;
  // The element of each event, for patterns of the language (uses_elements); empty for chains.
  std::vector<std::uint32_t> elements;
  friend bool operator==(const Match&, const Match&) = default;
};

// The matches of a stretch of runs, laid out flat for callers that write them straight into
// columns: per match, its event indices (one per step), its last event's timestamp and its
// bound values by binding slot. The values point into the events (or at a shared Null), which
// must outlive them. Matches are in the order of `Match` results.
// Matches of the language's patterns (`variable`) have any number of events: `offsets` holds
// where each match's indices begin, `elements` the element of each index, and a value of a name
// that the match left unbound is null (no pointer).
// Whole cache lines each: the parts of adjacent chunks (map_run_chunks) grow on different threads
// at once, each match moving the ends of their arrays.
struct alignas(64) FlatMatches {
  std::size_t steps = 0;
  std::size_t slots = 0;
  bool variable = false;
  LargeVector<std::size_t> indices;  // `steps` per match, or `length_of` where variable
  LargeVector<std::int64_t> ends;
  LargeVector<const Value*> values;  // `slots` per match
  LargeVector<std::size_t> offsets;  // variable: per match, its first position in `indices`
  LargeVector<std::uint32_t> elements;  // variable: one per entry of `indices`

  std::size_t size() const { return ends.size(); }
  std::size_t offset_of(std::size_t match) const {
    return variable ? offsets[match] : match * steps;
  }
  std::size_t length_of(std::size_t match) const {
    if (!variable) return steps;
    return (match + 1 < offsets.size() ? offsets[match + 1] : indices.size()) - offsets[match];
  }
  const std::size_t* indices_of(std::size_t match) const { return &indices[offset_of(match)]; }
  const std::uint32_t* elements_of(std::size_t match) const {
    return &elements[offset_of(match)];
  }
  const Value* const* values_of(std::size_t match) const { return values.data() + match * slots; }
  void clear() {
    indices.clear();
    ends.clear();
    values.clear();
    offsets.clear();
    elements.clear();
  }
};

}  // namespace vashlet
