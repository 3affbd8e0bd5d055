#include "matcher.hpp"

#include <algorithm>
#include <utility>

namespace vashlet {

Status validate_pattern(const Pattern& pattern) {
  if (pattern.steps.empty()) return Error{"pattern must contain at least one step"};
  if (pattern.steps.front().transition_from_previous) {
    return Error{"the first pattern step cannot have a transition"};
  }
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    if (!pattern.steps[i].transition_from_previous) {
      return Error{"every step after the first must have a transition"};
    }
  }
  return Ok{};
}

CompiledPattern compile(const Pattern& pattern) {
  const Status valid = validate_pattern(pattern);
  if (!valid) {
    invariant_failure("compile requires a structurally valid pattern: " + valid.error());
  }
  CompiledPattern compiled;
  compiled.steps.reserve(pattern.steps.size());
  for (const Step& step : pattern.steps) {
    CompiledStep& out = compiled.steps.emplace_back();
    out.atom = step.atom;
    if (step.transition_from_previous) {
      out.max_elapsed = step.transition_from_previous->max_elapsed;
      out.absence = step.transition_from_previous->absence;
    }
  }
  compiled.consumption = pattern.consumption;
  return compiled;
}

std::vector<Match> compiled_matches(const Pattern& pattern, const std::vector<Event>& events) {
  return compile(pattern).matches(events);
}

bool window_exceeded(std::int64_t earlier_ts, std::int64_t later_ts, std::int64_t max_elapsed) {
  // The difference of two int64 values needs 65 bits, so it is compared through its sign and
  // its magnitude, which always fits in uint64 (two's-complement wrap-around gives it exactly).
  if (later_ts >= earlier_ts) {
    const std::uint64_t elapsed =
        static_cast<std::uint64_t>(later_ts) - static_cast<std::uint64_t>(earlier_ts);
    return max_elapsed < 0 || elapsed > static_cast<std::uint64_t>(max_elapsed);
  }
  // A negative elapsed time exceeds only a window that is even more negative.
  if (max_elapsed >= 0) return false;
  const std::uint64_t backwards =
      static_cast<std::uint64_t>(earlier_ts) - static_cast<std::uint64_t>(later_ts);
  const std::uint64_t window_magnitude = 0 - static_cast<std::uint64_t>(max_elapsed);
  return backwards < window_magnitude;
}

namespace {

bool blocked_by_any(const std::vector<Atom>& absence, const Event& event,
                    const Bindings& bindings) {
  for (const Atom& atom : absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

Match make_match(const std::vector<Event>& events, std::vector<std::size_t> indices,
                 Bindings captures) {
  Match match;
  match.partition = events[indices.front()].partition;
  match.start = events[indices.front()].ts;
  match.end = events[indices.back()].ts;
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  return match;
}

// The end of the run that begins at `start`: the first later index whose partition differs.
std::size_t run_end(const std::vector<Event>& events, std::size_t start) {
  std::size_t end = start + 1;
  while (end < events.size() && events[end].partition == events[start].partition) ++end;
  return end;
}

// One partial match of the compiled matcher, waiting for step `next_step`.
struct Thread {
  std::vector<std::size_t> indices;
  std::size_t next_step = 1;
  Bindings bindings;
  std::size_t last_index = 0;
  bool blocked = false;
};

std::vector<std::size_t> extended(const std::vector<std::size_t>& indices, std::size_t index) {
  std::vector<std::size_t> out;
  out.reserve(indices.size() + 1);
  out.assign(indices.begin(), indices.end());
  out.push_back(index);
  return out;
}

void match_run(const CompiledPattern& pattern, const std::vector<Event>& events, std::size_t begin,
               std::size_t end, std::vector<Match>& result) {
  const std::vector<CompiledStep>& steps = pattern.steps;
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  std::vector<Thread> active;
  std::vector<Thread> next;
  std::vector<Match> run_matches;

  for (std::size_t i = begin; i < end; ++i) {
    const Event& event = events[i];
    next.clear();
    next.reserve(active.size() + 1);

    for (Thread& thread : active) {
      const CompiledStep& step = steps[thread.next_step];
      // Timestamps never decrease within a run, so an expired thread can never advance again.
      if (step.max_elapsed &&
          window_exceeded(events[thread.last_index].ts, event.ts, *step.max_elapsed)) {
        continue;
      }
      if (thread.blocked) {
        next.push_back(std::move(thread));
        continue;
      }
      if (std::optional<Bindings> advanced = step.atom.evaluate(event, thread.bindings)) {
        // The parent is dropped under first-successor consumption, so it can hand over its path.
        std::vector<std::size_t> path;
        if (exhaustive) {
          path = extended(thread.indices, i);
        } else {
          path = std::move(thread.indices);
          path.push_back(i);
        }
        if (thread.next_step + 1 == steps.size()) {
          run_matches.push_back(make_match(events, std::move(path), std::move(*advanced)));
        } else {
          next.push_back(
              Thread{std::move(path), thread.next_step + 1, std::move(*advanced), i, false});
        }
        if (!exhaustive) continue;
      }
      if (blocked_by_any(step.absence, event, thread.bindings)) thread.blocked = true;
      next.push_back(std::move(thread));
    }

    if (std::optional<Bindings> started = steps.front().atom.evaluate(event, Bindings{})) {
      if (steps.size() == 1) {
        run_matches.push_back(make_match(events, {i}, std::move(*started)));
      } else {
        next.push_back(Thread{{i}, 1, std::move(*started), i, false});
      }
    }
    std::swap(active, next);
  }

  std::stable_sort(run_matches.begin(), run_matches.end(),
                   [](const Match& a, const Match& b) { return a.indices < b.indices; });
  result.insert(result.end(), std::make_move_iterator(run_matches.begin()),
                std::make_move_iterator(run_matches.end()));
}

}  // namespace

std::vector<Match> CompiledPattern::matches(const std::vector<Event>& events) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  std::vector<Match> result;
  for (std::size_t begin = 0; begin < events.size();) {
    const std::size_t end = run_end(events, begin);
    match_run(*this, events, begin, end, result);
    begin = end;
  }
  return result;
}

bool transition_allows(const std::vector<Event>& events, std::size_t from, std::size_t to,
                       const Transition& transition, const Bindings& bindings) {
  if (from >= to || to >= events.size()) {
    invariant_failure("transition_allows requires from < to < number of events");
  }
  const std::int64_t from_ts = events[from].ts;
  const std::int64_t to_ts = events[to].ts;
  if (to_ts < from_ts) return false;
  if (transition.max_elapsed && window_exceeded(from_ts, to_ts, *transition.max_elapsed)) {
    return false;
  }
  if (to == from + 1 || transition.absence.empty()) return true;
  for (std::size_t j = from + 1; j < to; ++j) {
    if (blocked_by_any(transition.absence, events[j], bindings)) return false;
  }
  return true;
}

bool is_sorted_by_partition_time_index(const std::vector<Event>& events) {
  for (std::size_t i = 1; i < events.size(); ++i) {
    const Event& previous = events[i - 1];
    const Event& current = events[i];
    const int order = compare_bytes(previous.partition, current.partition);
    if (order > 0) return false;
    if (order == 0 && previous.ts > current.ts) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reference matcher: a plain depth-first search over every candidate path. It states what a
// pattern means and is kept free of any optimisation beyond not recursing on the native stack.

namespace {

// One level of the search: the bindings after the last entry of the path at this depth, and the
// next candidate event that this level will try.
struct SearchFrame {
  Bindings bindings;
  std::size_t next_candidate = 0;
};

// Appends, in search order, every match that completes `path` (one entry, for step 0) within the
// run ending before `run_end`. The path is shared by all levels: level k owns path[k].
void extend_path(const std::vector<Event>& events, std::size_t run_end, const Pattern& pattern,
                 std::vector<std::size_t> path, Bindings bindings, bool exhaustive,
                 std::vector<Match>& out) {
  if (path.empty()) invariant_failure("path is non-empty");
  std::vector<SearchFrame> stack;
  stack.push_back(SearchFrame{std::move(bindings), path.back() + 1});

  while (!stack.empty()) {
    const std::size_t step_index = path.size();
    if (step_index == pattern.steps.size()) {
      out.push_back(make_match(events, path, std::move(stack.back().bindings)));
      stack.pop_back();
      path.pop_back();
      continue;
    }
    const Step& step = pattern.steps[step_index];
    if (!step.transition_from_previous) invariant_failure("transition exists after first step");
    const Transition& transition = *step.transition_from_previous;
    const std::size_t last = path.back();

    SearchFrame& frame = stack.back();
    std::optional<Bindings> child;
    std::size_t candidate = frame.next_candidate;
    for (; candidate < run_end; ++candidate) {
      // An expired window or a passed forbidden event does not end the scan.
      if (!transition_allows(events, last, candidate, transition, frame.bindings)) continue;
      child = step.atom.evaluate(events[candidate], frame.bindings);
      if (child) break;
    }
    if (!child) {
      stack.pop_back();
      path.pop_back();
      continue;
    }
    // First-successor search stops at the first passing candidate, whatever its subtree yields.
    frame.next_candidate = exhaustive ? candidate + 1 : run_end;
    path.push_back(candidate);
    stack.push_back(SearchFrame{std::move(*child), candidate + 1});
  }
}

}  // namespace

std::vector<Match> oracle_matches(const Pattern& pattern, const std::vector<Event>& events) {
  if (!validate_pattern(pattern)) {
    invariant_failure("oracle_matches requires a structurally valid pattern");
  }
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  const Atom& first = pattern.steps.front().atom;
  std::vector<Match> result;
  for (std::size_t begin = 0; begin < events.size();) {
    const std::size_t end = run_end(events, begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (std::optional<Bindings> started = first.evaluate(events[i], Bindings{})) {
        extend_path(events, end, pattern, {i}, std::move(*started), exhaustive, result);
      }
    }
    begin = end;
  }
  return result;
}

}  // namespace vashlet
