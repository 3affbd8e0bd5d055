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
  friend bool operator==(const Match&, const Match&) = default;
};

// The matches of a stretch of runs, laid out flat for callers that write them straight into
// columns: per match, its event indices (one per step), its last event's timestamp and its
// bound values by binding slot. The values point into the events (or at a shared Null), which
// must outlive them. Matches are in the order of `Match` results.
struct FlatMatches {
  std::size_t steps = 0;
  std::size_t slots = 0;
  LargeVector<std::size_t> indices;  // `steps` per match
  LargeVector<std::int64_t> ends;
  LargeVector<const Value*> values;  // `slots` per match

  std::size_t size() const { return ends.size(); }
  const std::size_t* indices_of(std::size_t match) const { return &indices[match * steps]; }
  const Value* const* values_of(std::size_t match) const { return values.data() + match * slots; }
  void clear() {
    indices.clear();
    ends.clear();
    values.clear();
  }
};

}  // namespace vashlet
