// Near-miss analysis: for every start that did not match, its deepest partial path and why the
// next step was not taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/model.hpp"

namespace vashlet {

struct PredicateFailure {
  struct Predicate {
    std::string attribute;
    ComparisonOperator op;
    Value expected;
    std::optional<Value> actual;
  };
  struct Reference {
    std::string attribute;
    ComparisonOperator op;
    std::string binding;
    std::optional<Value> bound;
    std::optional<Value> actual;
  };
  struct Capture {
    std::string name;
    std::string attribute;
    Value bound;
    Value actual;
  };
  std::variant<Predicate, Reference, Capture> failure;
};

struct PredicateFailed {
  std::size_t event_index = 0;
  std::vector<PredicateFailure> failures;
};
struct AbsenceBlocked {
  std::size_t candidate_index = 0;
  std::size_t blocking_index = 0;
  std::string blocking_event_type;
  bool candidate_satisfies = false;
};
struct WindowExceeded {
  std::size_t candidate_index = 0;
  std::int64_t gap = 0;
  std::int64_t max_elapsed = 0;
};
struct NoSuccessor {};
// A repeated element of a language pattern that did not reach its minimum count.
struct TooFew {
  std::size_t count = 0;
  std::size_t needed = 0;
};

using NearMissDetail =
    std::variant<PredicateFailed, AbsenceBlocked, WindowExceeded, NoSuccessor, TooFew>;

// "predicate_failed", "absence_blocked", "window_exceeded", "no_successor" or "too_few".
std::string_view near_miss_reason(const NearMissDetail& detail);

struct NearMiss {
  std::string partition;
  std::size_t start_index = 0;
  std::vector<std::size_t> indices;
  std::size_t reached_steps = 0;  // matched events (= steps taken, for a chain)
  std::string next_event_type;    // for a language pattern, the element's label
  std::size_t element = 0;        // the element it stopped at (= reached_steps, for a chain)
  std::vector<std::uint32_t> elements;  // each matched event's element; empty for a chain
  NearMissDetail detail;
  Bindings captures;
};

// Patterns of the language (uses_elements) are explained by their `first` walk from each start:
// language_misses.hpp. Precondition: `events` are in event order (not checked). The runs are shared among `threads`
// native threads (1: all on the calling thread); the result is the same for any.
std::vector<NearMiss> near_misses(const EventView& events, const Pattern& pattern,
                                  std::size_t threads = 1);

}  // namespace vashlet
