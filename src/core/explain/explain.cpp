// The near-miss analysis over runs: for each start of each run that did not match, its deepest
// path (deepest_path.hpp) and why the next step was not taken (classify.hpp), runs shared among
// threads.
#include "explain/explain.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "explain/atom_check.hpp"
#include "explain/classify.hpp"
#include "explain/deepest_path.hpp"
#include "explain/language_misses.hpp"
#include "explain/near_miss_rows.hpp"
#include "explain/pattern_facts.hpp"
#include "explain/run_candidates.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "model/duration.hpp"

namespace vashlet {

std::string_view near_miss_reason(const NearMissDetail& detail) {
  switch (detail.index()) {
    case 0: return "predicate_failed";
    case 1: return "absence_blocked";
    case 2: return "window_exceeded";
    case 3: return "no_successor";
    case 4: return "too_few";
  }
  invariant_failure("unknown near-miss detail");
}

namespace explain {

namespace {

// The first step's test of the starts and their bindings: each start rebinds the same names,
// those the first step captures, so after the first start their values are replaced where they
// lie.
class StartBindings {
 public:
  explicit StartBindings(const Atom& first) : first_(first) {
    const std::vector<Capture>& captures = first.captures;
    for (std::size_t k = 0; k < captures.size(); ++k) {
      // A later capture of a name takes an equal value (the atom's test checks it): the first
      // one binds it.
      bool seen = false;
      for (std::size_t j = 0; j < k; ++j) seen = seen || captures[j].name == captures[k].name;
      if (!seen) binders_.push_back(k);
    }
  }

  // The bindings of a start (one of the first step's candidates) as Atom::evaluate gives them
  // from none; false when the event fails the first step (the bindings are then unchanged).
  bool bind(const Event& event) {
    if (!first_.accepts_candidate(event, none_)) return false;
    const std::vector<Capture>& captures = first_.atom().captures;
    if (positions_.empty() && !binders_.empty()) {  // the first start: the names go in
      for (const std::size_t k : binders_) {
        bindings_.set(captures[k].name, first_.captured(event, k));
      }
      for (const std::size_t k : binders_) {
        const auto at = std::find_if(bindings_.begin(), bindings_.end(), [&](const auto& entry) {
          return entry.first == captures[k].name;
        });
        positions_.push_back(static_cast<std::size_t>(at - bindings_.begin()));
      }
      return true;
    }
    for (std::size_t b = 0; b < binders_.size(); ++b) {
      bindings_.replace_value(positions_[b], first_.captured(event, binders_[b]));
    }
    return true;
  }

  const Bindings& bindings() const { return bindings_; }

 private:
  AtomCheck first_;
  std::vector<std::size_t> binders_;    // the captures that bind a name first
  std::vector<std::size_t> positions_;  // of their names in bindings_, once it holds them
  Bindings bindings_;
  const Bindings none_;  // what a start's test is bound to
};

// A worker's storage, reused from run to run: the starts' test and bindings, the second step's
// test.
struct RunScratch {
  RunScratch(const Pattern& pattern, const PatternFacts& facts)
      : run(facts.types), starts(pattern.steps[0].atom), second(pattern.steps[1].atom) {}
  RunCandidates run;
  StartBindings starts;
  AtomCheck second;
  PathResult deepest;
  // Made the first time a start takes a second step (it refers to `run`, so only once the
  // scratch is in place), then kept: most of its tables would otherwise be built anew per run.
  std::optional<DeepestPathSearch> search;
};

// Adds the near misses of the run events[begin, end) to `out`, in ascending start order.
// With `deepest_only`, as near_miss_rows keeps them (a template argument: the loop of every
// near miss stays free of its tests).
template <bool deepest_only>
void near_misses_of_run(const EventView& events, const Pattern& pattern, const PatternFacts& facts,
                        std::size_t begin, std::size_t end, RunScratch& scratch,
                        NearMissRows& out) {
  const std::size_t n = pattern.steps.size();
  RunCandidates& run = scratch.run;
  run.assign(events, begin, end);
  const Bindings& bindings = scratch.starts.bindings();
  // Most starts of a long run take no second step: one pass over the second step's candidates
  // tells that and why, and the search is set up only for the others.
  std::optional<DeepestPathSearch>& search = scratch.search;
  bool search_ready = false;
  Checkpoint checkpoint;  // where a long run may stop for a cancelled call
  std::size_t starts = 0;
  // Deepest only: the depth of the run's one kept row (0: none yet).
  std::size_t kept = 0;
  bool matched = false;  // deepest only: some start has a complete path
  const bool names_empty = out.name_count() == 0;
  // Most starts are near misses, most of them one event deep. Where the reader numbered the
  // event types this is redundant: the part's prepare made room for one row per start of its
  // whole chunk already. It is kept for the other sources, whose chunks are not counted ahead.
  if (!deepest_only) out.reserve_more(run.of_step(0).size(), 1);
  // The second step's first candidate after the start: the starts ascend, so it only moves on.
  const std::vector<std::size_t>& seconds = run.of_step(1);
  std::size_t next_second = 0;
  for (std::size_t start : run.of_step(0)) {
    if (!scratch.starts.bind(events[start])) continue;
    ++starts;
    while (next_second < seconds.size() && seconds[next_second] <= start) ++next_second;
    if (std::optional<Verdict> stuck = judge_if_stuck(events, pattern.steps[1], scratch.second,
                                                      seconds, next_second, start, bindings,
                                                      checkpoint)) {
      if (deepest_only && (matched || kept >= 1)) {
        out.note_captures(bindings);
        continue;
      }
      out.add(events, &start, 1, *stuck, bindings);
      kept = 1;
      continue;
    }
    if (!search_ready) {
      if (search) {
        search->next_run();
      } else {
        search.emplace(events, pattern, facts, run);
      }
      search_ready = true;
    }
    search->deepest_path(start, bindings, scratch.deepest);
    const PathResult& deepest = scratch.deepest;
    const std::size_t reached = deepest.path.size();
    if (reached == n) {
      if (!deepest_only || matched) continue;
      // The run has a complete path: it keeps no near miss, and no other start can change that.
      // The kinds its other starts capture still count, unless nothing is captured.
      if (kept) out.drop_last();
      if (names_empty) break;
      matched = true;
      continue;
    }
    if (deepest_only && (matched || reached <= kept)) {
      out.note_captures(deepest.bindings);
      continue;
    }
    if (deepest_only && kept) out.drop_last();
    const Verdict verdict = judge(events, end, pattern.steps[reached], run.of_step(reached),
                                  deepest.path.back(), deepest.bindings);
    out.add(events, deepest.path.data(), reached, verdict, deepest.bindings);
    kept = reached;
  }
  out.end_run(begin, starts);
}

}  // namespace

std::vector<NearMissRows> near_miss_rows(const EventView& events, const Pattern& pattern,
                                         const std::vector<std::string>& names,
                                         std::size_t threads, bool deepest_only) {
  if (!validate_pattern(pattern)) {
    invariant_failure("near_misses requires a structurally valid pattern");
  }
  if (!windows_resolved(pattern)) invariant_failure("near_misses requires windows in ticks");
  if (uses_elements(pattern)) invariant_failure("near_miss_rows takes chain patterns only");
  if (pattern.steps.size() < 2) return {};  // every start of a one-step pattern matches
  const PatternFacts facts(pattern);
  return map_run_chunks<NearMissRows>(
      events, threads,
      [&] {
        return [&, scratch = RunScratch(pattern, facts)](const Run& run, NearMissRows& out) mutable {
          if (deepest_only) {
            near_misses_of_run<true>(events, pattern, facts, run.begin, run.end, scratch, out);
          } else {
            near_misses_of_run<false>(events, pattern, facts, run.begin, run.end, scratch, out);
          }
        };
      },
      [&](std::size_t begin, std::size_t end, NearMissRows& out) {
        out.use_names(names);
        // A part holds at most one near miss per event of the first step's type in its chunk,
        // most of them one event deep: room for them all at once spares the copies of its growth.
        if (deepest_only) return;
        const std::optional<std::size_t> most =
            events_of_step(events, facts.types, 0, begin, end);
        if (most) out.reserve_more(*most, 1);
      });
}

}  // namespace explain

std::vector<NearMiss> near_misses(const EventView& events, const Pattern& pattern,
                                  std::size_t threads) {
  if (uses_elements(pattern)) {
    if (!validate_pattern(pattern)) {
      invariant_failure("near_misses requires a structurally valid pattern");
    }
    if (!windows_resolved(pattern)) invariant_failure("near_misses requires windows in ticks");
    return language_near_misses(events, pattern, threads);
  }
  const std::vector<std::string> names = explain::capture_names(pattern);
  std::vector<NearMiss> out;
  for (const explain::NearMissRows& part : explain::near_miss_rows(events, pattern, names, threads)) {
    for (std::size_t row = 0; row < part.size(); ++row) {
      out.push_back(part.record(events, pattern, row));
    }
  }
  return out;
}

}  // namespace vashlet
