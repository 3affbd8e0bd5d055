// What the near-miss search reads about a pattern, computed once per call: which steps share an
// event type, which binding names each step and the later ones read, and the equality reference
// predicates a step's candidates can be looked up by.
#pragma once

#include <algorithm>
#include <cstddef>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/model.hpp"

namespace vashlet::explain {

inline const Transition& transition_of(const Step& step) {
  if (!step.transition_from_previous) invariant_failure("transition exists after first step");
  return *step.transition_from_previous;
}

// Steps share a candidate list when they name the same event type.
struct StepTypes {
  std::vector<std::size_t> type_of_step;
  std::vector<std::string_view> names;  // by id; views into the pattern
  std::unordered_map<std::string_view, std::size_t> ids;

  explicit StepTypes(const Pattern& pattern);

  // The id of `type`, or names.size() when no step names it. A pattern names few types, and
  // most event types differ from each in length, so comparing a few costs less than hashing.
  std::size_t id_of(std::string_view type) const {
    if (names.size() > kCompared) {
      const auto it = ids.find(type);
      return it == ids.end() ? names.size() : it->second;
    }
    std::size_t id = 0;
    while (id < names.size() && !same_bytes(names[id], type)) ++id;
    return id;
  }
  // As id_of, under the name that TypeIdsOf asks for.
  std::size_t find(std::string_view type) const { return id_of(type); }

 private:
  static constexpr std::size_t kCompared = 8;
};

// The binding names that each step and the steps after it read. A step reads the bindings of its
// reference predicates, the names it captures that an earlier step may have bound (a re-capture
// must capture an equal value), and through the absence atoms of its transition the same two.
class StepReads {
 public:
  explicit StepReads(const Pattern& pattern);

  // Whether step k captures a name that a later step reads: if not, its children all share the
  // narrowed bindings of their parent.
  bool keeps_capture(std::size_t k) const { return keeps_capture_[k]; }

  // Whether the bindings after step k (those that step k reads, extended by its captures) hold
  // a name that no later step reads.
  bool drops(std::size_t k) const { return drops_[k]; }
  // Whether some name that step k or a later step reads is read by no step after k.
  bool narrows(std::size_t k) const { return narrows_[k]; }
  // Whether one of the steps before step k drops a name: if not, the narrowed bindings of a path
  // of k events are its full bindings.
  bool drops_before(std::size_t k) const { return first_drop_ < k; }

  // The bindings after step k (see `drops`) without the names that no later step reads.
  Bindings narrowed_after(Bindings bindings, std::size_t k) const {
    if (!drops_[k]) return bindings;
    Bindings kept;
    for (const Bindings::Entry& entry : bindings) {
      if (reads(k + 1, entry.first)) kept.set(entry.first, entry.second);
    }
    return kept;
  }

 private:
  static void add_reads(const Atom& atom, const std::set<std::string_view>& captured_before,
                        std::set<std::string_view>& reads) {
    for (const ReferencePredicate& reference : atom.reference_predicates) {
      reads.insert(reference.binding);
    }
    for (const Capture& capture : atom.captures) {
      if (captured_before.count(capture.name)) reads.insert(capture.name);
    }
  }

  bool reads(std::size_t k, std::string_view name) const {
    return std::binary_search(read_from_[k].begin(), read_from_[k].end(), name);
  }

  std::vector<std::vector<std::string_view>> read_from_;  // names into the pattern, sorted
  std::vector<bool> keeps_capture_;
  std::vector<bool> drops_;
  std::vector<bool> narrows_;
  std::size_t first_drop_;
};

// The equality reference predicates of each step, each with the (event type, attribute) pair
// whose values it looks up; steps that share the pair share one index.
struct EqualityLookups {
  struct Lookup {
    std::string_view binding;
    std::size_t key;  // index into `keys`
  };
  struct Key {
    std::size_t step;  // a step of the key's event type
    std::string_view attribute;
  };
  std::vector<std::vector<Lookup>> of_step;
  std::vector<Key> keys;

  EqualityLookups(const Pattern& pattern, const StepTypes& types);
};

// What a search of one run reads about the pattern, computed once per call.
struct PatternFacts {
  StepTypes types;
  StepReads reads;
  EqualityLookups lookups;

  explicit PatternFacts(const Pattern& pattern)
      : types(pattern), reads(pattern), lookups(pattern, types) {}
};

inline bool passes_literal_predicates(const Atom& atom, const Event& event) {
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
  }
  return true;
}

// The reference predicates whose binding is bound; those whose binding is not yet known pass.
inline bool passes_known_references(const Atom& atom, const Event& event,
                                    const Bindings& bindings) {
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* bound = bindings.find(reference.binding);
    if (!bound) continue;
    const Value* actual = event.attrs.find(reference.attribute);
    if (!actual || !matches(reference.op, *actual, *bound)) return false;
  }
  return true;
}

inline bool is_plain(const Transition& transition) {
  return !transition.max_elapsed && transition.absence.empty();
}

}  // namespace vashlet::explain
