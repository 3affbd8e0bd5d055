// The near misses of a chain pattern counted as a funnel tells them apart: by the step they
// stopped before, their reason, and what the reason's detail is written from (the failed
// clauses, the blocking event's type, whether a late candidate fits the step), each group with
// its first rows. A funnel over a large input needs these counts and a few rows to show, not a
// table of every near miss.
#pragma once

#include <cstddef>
#include <vector>

#include "explain/near_miss_rows.hpp"
#include "model/model.hpp"

namespace vashlet::explain {

// A row of one of the parts that near_miss_rows gives.
struct RowAt {
  std::size_t part;
  std::size_t row;
};

struct MissGroup {
  std::size_t count = 0;
  std::vector<RowAt> examples;  // its first rows, in row order, as many as were asked for
};

// The groups of every row of `parts` (near_miss_rows' over `events`), in the order of their
// first rows, with up to `examples` rows each. The rows of a group share their step, reason and
// detail text; two groups may still write the same text (two clauses that read alike), which
// the caller merges by text. Counted on up to `threads` threads.
std::vector<MissGroup> group_near_misses(const EventView& events,
                                         const std::vector<NearMissRows>& parts,
                                         std::size_t examples, std::size_t threads);

}  // namespace vashlet::explain
