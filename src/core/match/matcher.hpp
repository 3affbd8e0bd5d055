// Structural validation, compilation and the two matchers (compiled and reference).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "memory/memory.hpp"
#include "model/model.hpp"
#include "memory/packed_events.hpp"

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
  // Where the caller asks for them (flat_matches): per match, the place of copies of its events.
  // Results that must own their events have them copied while the matcher still holds them in
  // the cache, rather than gathered from all over memory afterwards.
  LargeVector<PackedEventSlabs::Place> copies;
  PackedEventSlabs copy_slabs;

  std::size_t size() const { return ends.size(); }
  const std::size_t* indices_of(std::size_t match) const { return &indices[match * steps]; }
  const Value* const* values_of(std::size_t match) const { return values.data() + match * slots; }
  void clear() {
    indices.clear();
    ends.clear();
    values.clear();
    copies.clear();
    copy_slabs.clear();
  }
};

Status validate_pattern(const Pattern& pattern);

struct CompiledStep {
  Atom atom;
  std::optional<std::int64_t> max_elapsed;
  std::vector<Atom> absence;
};

struct CompiledPattern {
  std::vector<CompiledStep> steps;
  MatchConsumption consumption = MatchConsumption::FirstSuccessorPerStart;
  // More matches than this make the matchers throw MatchLimitError (exhaustive_budget.hpp), as
  // does exhaustive matching that would outgrow the memory the process may use.
  std::optional<std::size_t> max_matches;

  // Precondition: `events` are in event order (not checked). The runs are shared among
  // `threads` native threads (1: all on the calling thread); the result is the same for any.
  std::vector<Match> matches(const EventView& events, std::size_t threads = 1) const;
  // The same matches, flat: one part per chunk of runs, the parts in order; `copy_events`: each
  // part also holds copies of its matches' events.
  std::vector<FlatMatches> flat_matches(const EventView& events, std::size_t threads = 1,
                                        bool copy_events = false) const;
  // The binding names, by slot of FlatMatches::values.
  std::vector<std::string> slot_names() const;
};

CompiledPattern compile(const Pattern& pattern);
// The compiled and the reference matcher; `threads` as for CompiledPattern::matches.
std::vector<Match> compiled_matches(const Pattern& pattern, const EventView& events,
                                    std::size_t threads = 1);
std::vector<Match> oracle_matches(const Pattern& pattern, const EventView& events,
                                  std::size_t threads = 1);

// True when `later_ts - earlier_ts` exceeds `max_elapsed`, computed exactly for any int64 inputs.
bool window_exceeded(std::int64_t earlier_ts, std::int64_t later_ts, std::int64_t max_elapsed);

// True when some absence atom of `transition` accepts `event` under `bindings`: the one absence
// test of the matchers and the near-miss analysis.
bool forbidden_by(const Transition& transition, const Event& event, const Bindings& bindings);

bool transition_allows(const EventView& events, std::size_t from, std::size_t to,
                       const Transition& transition, const Bindings& bindings);

bool is_sorted_by_partition_time_index(const EventView& events);
// The pairwise rule that is_sorted_by_partition_time_index applies to every pair of neighbours.
bool in_event_order(const Event& previous, const Event& next);

}  // namespace vashlet
