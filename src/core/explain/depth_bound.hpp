// An upper bound on how deep a path can still go, for cutting the deepest-path search short.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "explain/pattern_facts.hpp"
#include "explain/run_candidates.hpp"
#include "explain/search_tables.hpp"
#include "model/model.hpp"

namespace vashlet::explain {

// Upper bound on how many steps, from step k on, can follow event p under bindings B: steps taken
// greedily at the earliest event of the right type that passes the step's literal predicates and
// its reference predicates whose binding B holds (bound values never change along a path). Greedy
// is optimal for this relaxed problem, so it bounds every real extension, and it never grows as p
// moves later. B is a state's narrowed bindings: they hold every name that a reference predicate
// of a later step reads, so equal ids mean equal relaxed problems.

class DepthBound {
 public:
  DepthBound(const EventView& events, const Pattern& pattern, const RunCandidates& run,
             RunValues& values, const BindingsTable& bindings)
      : events_(events), pattern_(pattern), run_(run), values_(values), bindings_(bindings) {}

  std::size_t steps_after(std::size_t k, std::size_t p, std::size_t bindings) {
    const std::size_t n = pattern_.steps.size();
    chain_.clear();
    std::size_t tail = 0;
    while (k < n) {
      if (const std::size_t known = memo_.find({k, p, bindings}); known != kNone) {
        tail = known;
        break;
      }
      const std::size_t next = earliest(k, p, bindings_.get(bindings));
      if (next == kNone) {
        memo_.emplace({k, p, bindings}, 0);
        break;
      }
      chain_.emplace_back(k, p);
      ++k;
      p = next;
    }
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
      memo_.emplace({it->first, it->second, bindings}, ++tail);
    }
    return tail;
  }

  std::size_t cached() const { return memo_.size(); }
  void forget() { memo_.clear(); }

 private:
  std::size_t earliest(std::size_t k, std::size_t p, const Bindings& bindings) {
    const std::vector<std::size_t>* by_value = values_.candidates(k, bindings);
    const std::vector<std::size_t>& list = by_value ? *by_value : run_.of_step(k);
    const Atom& atom = pattern_.steps[k].atom;
    for (std::size_t pos = RunCandidates::first_after(list, p); pos < list.size(); ++pos) {
      const Event& event = events_[list[pos]];
      if (passes_literal_predicates(atom, event) && passes_known_references(atom, event, bindings)) {
        return list[pos];
      }
    }
    return kNone;
  }

  const EventView& events_;
  const Pattern& pattern_;
  const RunCandidates& run_;
  RunValues& values_;
  const BindingsTable& bindings_;
  IndexTripleMap memo_;
  std::vector<std::pair<std::size_t, std::size_t>> chain_;
};

}  // namespace vashlet::explain
