// The funnel's tables: the near misses with the number of starts (of each partition, for a
// funnel per partition), and for a chain pattern the near misses that stand for the partitions,
// or the near misses counted by group with a few rows of each.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "arrow/near_miss_columns.hpp"
#include "arrow/table_results.hpp"
#include "explain/miss_groups.hpp"
#include "explain/near_miss_rows.hpp"
#include "match/element_walk.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "tuning.hpp"

namespace vashlet {

namespace {

// The events that satisfy the first step: their type is the step's and, with no bindings yet,
// its atom accepts them (as near_misses judges a start). Where `by_partition` is given, it
// receives the count of each partition, by partition number.
std::uint64_t count_starts(const Pattern& pattern, const SortedEvents& sorted, std::size_t threads,
                           std::vector<std::uint64_t>* by_partition) {
  const EventView events = sorted.view();
  const Atom& first = pattern.steps.front().atom;
  const Bindings empty;
  // A language pattern's start passes any branch of its first element, and with `^` is its
  // run's first event (as is_start judges it).
  const bool language = uses_elements(pattern);
  const auto language_start = [&](std::size_t i, const Event& event) {
    if (pattern.anchored_start && i > 0 && sorted.partition(i - 1) == sorted.partition(i)) {
      return false;
    }
    return passing_branch(pattern.steps.front(), event, empty).has_value();
  };
  const std::size_t partitions = by_partition ? sorted.partition_values().size() : 0;
  const std::size_t slots = std::max<std::size_t>(threads, 1);
  std::vector<std::uint64_t> counts(slots, 0);
  std::vector<std::vector<std::uint64_t>> partition_counts(slots);
  std::atomic<std::size_t> next_slot{0};
  for_slices(events.size(), threads, tuning::kStartsCountedPerSlice,
             [&](std::size_t begin, std::size_t end) {
    const std::size_t slot = next_slot.fetch_add(1);
    std::vector<std::uint64_t>& mine = partition_counts[slot];
    mine.assign(partitions, 0);
    std::uint64_t found = 0;
    visit_events(events, begin, end, [&](std::size_t i, const Event& event) {
      if (language ? language_start(i, event)
                   : same_bytes(event.typ, first.event_type) && first.accepts(event, empty)) {
        ++found;
        if (by_partition) {
          const std::uint32_t number = sorted.partition(i);
          if (number >= partitions) invariant_failure("an event names an unknown partition");
          ++mine[number];
        }
      }
      return true;
    });
    counts[slot] = found;
  });
  if (by_partition) {
    by_partition->assign(partitions, 0);
    for (const std::vector<std::uint64_t>& slice : partition_counts) {
      for (std::size_t number = 0; number < slice.size(); ++number) {
        (*by_partition)[number] += slice[number];
      }
    }
  }
  std::uint64_t total = 0;
  for (const std::uint64_t count : counts) total += count;
  return total;
}

// The funnel of a chain pattern from the near-miss search alone, which meets every start.
// With `deepest`, only the near miss that stands for each partition without a complete path is
// kept (the first of its deepest), and `starts` counts the partitions with a start.
FunnelTable chain_funnel(const Pattern& pattern, const SortedEvents& events, const TableRun& run,
                         bool by_partition, bool deepest) {
  const std::vector<std::string> names = explain::capture_names(pattern);
  const std::vector<explain::NearMissRows> parts =
      explain::near_miss_rows(events.view(), pattern, names, run.threads, deepest);
  FunnelTable funnel;
  if (by_partition) {
    funnel.starts_by_partition.assign(events.partition_values().size(), 0);
    funnel.standing.emplace();
  }
  std::vector<RowAt> chosen;
  const std::vector<std::size_t> firsts = explain::first_rows_of_parts(parts);
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const explain::NearMissRows& part = parts[p];
    for (std::size_t r = 0; r < part.runs(); ++r) {
      const std::size_t starts = part.run_starts(r);
      if (by_partition) {
        const std::uint32_t number = events.partition(part.run_begin(r));
        if (number >= funnel.starts_by_partition.size()) {
          invariant_failure("an event names an unknown partition");
        }
        funnel.starts_by_partition[number] += starts;
        // A run is its partition's events: when every start of it is a near miss, the first
        // of the deepest stands for it.
        const std::size_t begin = part.run_first_row(r), end = part.run_row_end(r);
        if (end > begin && end - begin >= starts) {
          std::size_t best = begin;
          for (std::size_t row = begin + 1; row < end; ++row) {
            if (part.reached(row) > part.reached(best)) best = row;
          }
          funnel.standing->push_back(firsts[p] + best);
        }
      }
      if (!deepest) {
        funnel.starts += starts;
        continue;
      }
      if (starts) ++funnel.starts;
      // The pass kept the run's chosen near miss only, and none when some start completed.
      const std::size_t first = part.run_first_row(r);
      if (first != part.run_row_end(r)) chosen.push_back({p, first});
    }
  }
  funnel.near_misses =
      near_miss_rows_table(pattern, events, names, parts, deepest ? &chosen : nullptr, run.threads);
  return funnel;
}

FunnelTable funnel_with(const Pattern& pattern, const SortedEvents& events, const TableRun& run,
                        bool by_partition) {
  if (!validate_pattern(pattern)) {
    invariant_failure("funnel_table requires a structurally valid pattern");
  }
  if (!uses_elements(pattern) && pattern.steps.size() >= 2) {
    return chain_funnel(pattern, events, run, by_partition, false);
  }
  FunnelTable funnel;
  funnel.starts = count_starts(pattern, events, run.threads,
                               by_partition ? &funnel.starts_by_partition : nullptr);
  funnel.near_misses = near_miss_table(pattern, events, run);
  return funnel;
}

}  // namespace

FunnelTable funnel_table(const Pattern& pattern, const SortedEvents& events, const TableRun& run) {
  return funnel_with(pattern, events, run, false);
}

FunnelTable partition_funnel_table(const Pattern& pattern, const SortedEvents& events,
                                   const TableRun& run) {
  return funnel_with(pattern, events, run, true);
}

CountedFunnel counted_funnel_table(const Pattern& pattern, const SortedEvents& events,
                                   const TableRun& run, std::size_t examples, bool every_row) {
  if (!validate_pattern(pattern) || uses_elements(pattern) || pattern.steps.size() < 2) {
    invariant_failure("counted_funnel_table takes chain patterns of two steps or more");
  }
  const std::vector<std::string> names = explain::capture_names(pattern);
  const std::vector<explain::NearMissRows> parts =
      explain::near_miss_rows(events.view(), pattern, names, run.threads);
  CountedFunnel funnel;
  for (const explain::NearMissRows& part : parts) {
    for (std::size_t r = 0; r < part.runs(); ++r) funnel.starts += part.run_starts(r);
  }
  const std::vector<explain::MissGroup> groups =
      explain::group_near_misses(events.view(), parts, examples, run.threads);
  // The rows written, in row order: every row, each part's after those of the parts before
  // it; or only the groups' examples. Each group names its own by their place there.
  const std::vector<std::size_t> firsts = explain::first_rows_of_parts(parts);
  const auto before = [](const RowAt& a, const RowAt& b) {
    return a.part != b.part ? a.part < b.part : a.row < b.row;
  };
  std::vector<RowAt> rows;
  if (!every_row) {
    for (const explain::MissGroup& group : groups) {
      rows.insert(rows.end(), group.examples.begin(), group.examples.end());
    }
    std::sort(rows.begin(), rows.end(), before);
  }
  const auto place = [&](const RowAt& at) {
    if (every_row) return firsts[at.part] + at.row;
    return static_cast<std::size_t>(std::lower_bound(rows.begin(), rows.end(), at, before) -
                                    rows.begin());
  };
  for (const explain::MissGroup& group : groups) {
    CountedFunnel::Group& counted = funnel.groups.emplace_back();
    counted.count = group.count;
    for (const RowAt& at : group.examples) counted.examples.push_back(place(at));
  }
  funnel.examples = near_miss_rows_table(pattern, events, names, parts,
                                         every_row ? nullptr : &rows, run.threads);
  return funnel;
}

FunnelTable deepest_per_partition_table(const Pattern& pattern, const SortedEvents& events,
                                        const TableRun& run) {
  if (!validate_pattern(pattern) || uses_elements(pattern) || pattern.steps.size() < 2) {
    invariant_failure("deepest_per_partition_table takes chain patterns of two steps or more");
  }
  return chain_funnel(pattern, events, run, false, true);
}

}  // namespace vashlet
