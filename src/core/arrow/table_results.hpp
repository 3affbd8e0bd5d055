// Matching and near-miss analysis over sorted events, with their results as Arrow tables that
// name input rows: one row per match or near miss.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "arrow/arrow_out.hpp"
#include "arrow/table_events.hpp"
#include "explain/explain.hpp"
#include "match/results.hpp"
#include "model/model.hpp"
#include "plan/plan.hpp"

namespace vashlet {

struct TableRun {
  bool exhaustive = false;  // widens the pattern's own consumption, as match_events does
  std::size_t threads = 1;
  std::optional<std::size_t> max_matches;  // more matches than this raise (see MatchLimits)
};

// Columns: match, partition, start, end, rows, captures.
arrow::Table match_table(const Pattern& pattern, const SortedEvents& events, const TableRun& run);
// The same columns for matches already found by `compiled` (the plan of `pattern`) over
// `events`, numbered from `first_number`.
arrow::Table match_table_of(const Pattern& pattern, const Plan& compiled, const SortedEvents& events,
                            std::vector<FlatMatches> parts, std::size_t threads,
                            std::uint64_t first_number = 0);

// Columns: start_row, partition, reached_steps, rows, next_event_type, reason, event_row,
// candidate_row, blocking_row, blocking_event_type, candidate_satisfies, gap, max_elapsed,
// failures, captures. gap and max_elapsed are durations in the unit of a temporal ts column.
arrow::Table near_miss_table(const Pattern& pattern, const SortedEvents& events,
                             const TableRun& run);
// The same columns for near misses already found over `events`.
arrow::Table near_miss_table_of(const Pattern& pattern, const SortedEvents& events,
                                const std::vector<NearMiss>& misses);

// The near misses (as near_miss_table) and the number of starts: the events that satisfy the
// first step. Every start that is not a near miss has a complete path, so a funnel needs no
// enumeration of the paths.
struct FunnelTable {
  arrow::Table near_misses;
  std::uint64_t starts = 0;
  std::vector<std::uint64_t> starts_by_partition;  // by partition number; partition funnels only
  // A partition funnel of a chain pattern: the positions in `near_misses`, ascending, of the
  // near miss that stands for each partition without a complete path (the first of its deepest).
  std::optional<std::vector<std::size_t>> standing;
};
FunnelTable funnel_table(const Pattern& pattern, const SortedEvents& events, const TableRun& run);
// As funnel_table, with the starts of each partition counted in the same pass.
FunnelTable partition_funnel_table(const Pattern& pattern, const SortedEvents& events,
                                   const TableRun& run);
// For a chain pattern of two steps or more, the funnel per start without a table of every near
// miss: the near misses counted by step, reason and what their detail is written from
// (explain::group_near_misses), and a table of the first `examples` rows of each group. With
// `every_row`, the table holds every near miss, as funnel_table's does, and the groups name
// their rows by their place in it.
struct CountedFunnel {
  struct Group {
    std::uint64_t count = 0;
    std::vector<std::size_t> examples;  // positions in `examples`, ascending
  };
  arrow::Table examples;  // the groups' first rows (or every near miss), in row order
  std::uint64_t starts = 0;
  std::vector<Group> groups;  // in the order of their first rows
};
CountedFunnel counted_funnel_table(const Pattern& pattern, const SortedEvents& events,
                                   const TableRun& run, std::size_t examples,
                                   bool every_row = false);
// For a chain pattern of two steps or more: of each partition with a start and no complete
// path, the first of its deepest near misses; `starts` counts the partitions with a start.
FunnelTable deepest_per_partition_table(const Pattern& pattern, const SortedEvents& events,
                                        const TableRun& run);

// Column: events (one row, the number of events read), for timing the reading alone.
arrow::Table events_read_table(const Pattern& pattern, const SortedEvents& events,
                               const TableRun& run);

}  // namespace vashlet
