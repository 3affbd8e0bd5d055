// Chains over each key's events of a long correlated run, in first-successor mode. Where every
// later step's only test of the bindings is `attr == $name` on the name that groups the run, and
// no transition forbids anything, the events of one key whose values are all one value pass
// those tests for any start of the key: a start's match is then the chain of, step by step, the
// next event of the key that the step's atom admits without its `==` test, within the window.
// One backward pass per key notes those next events; most atoms test nothing but the type,
// which the grouping noted with the timestamp and the key's value, so the events themselves are
// read again only to test other predicates or capture other attributes. Where all keys of a run
// are one value each, one backward pass over the whole run does the same for every key at once,
// and the run is never grouped. Keys whose values are not all one value go to the step matcher
// instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "match/keyed_runs.hpp"
#include "match/next_events.hpp"
#include "match/results.hpp"
#include "match/scratch_block.hpp"
#include "model/model.hpp"
#include "plan/atom_plan.hpp"

namespace vashlet {

class Plan;

class KeyedChains {
 public:
  // The chains for `plan`, or nothing where its runs cannot be followed key by key.
  static std::optional<KeyedChains> of(const Plan& plan);
  KeyedChains(KeyedChains&&) = default;  // the atoms stay where they are
  KeyedChains(const KeyedChains&) = delete;  // the atom plans view the atoms' names

  // Appends the matches of group g of `runs` (an exact one, grouped from `events`) to `out`, in
  // order of their first events.
  void match_group(const KeyedRuns& runs, std::size_t g, const EventView& events,
                   FlatMatches& out);
  // Appends the matches of the run last numbered by `runs` (all of whose groups are exact) to
  // `out`, in order of their first events, without grouping it: one backward pass over the run
  // notes each event's next events among those of its key, and the starts are then followed in
  // run order.
  void match_run(const KeyedRuns& runs, const EventView& events, FlatMatches& out);

 private:
  static constexpr std::uint32_t kNoNext = kNoNextEvent;

  explicit KeyedChains(const Plan& plan);
  bool admits(std::size_t k, const KeyedRuns& runs, const EventView& events,
              std::size_t position);
  // Whether step k admits the event at `offset` in the run last numbered, of type id `type`.
  bool admits_at(std::size_t k, const KeyedRuns& runs, const EventView& events,
                 std::size_t offset, std::uint8_t type) {
    return type == types_[k] && (by_type_[k] || atoms_[k].admits(events[runs.event_at(offset)]));
  }
  // Appends the match along path_ (offsets as `offset_of` maps them, its first event of group
  // g) to `out`.
  template <class Offsets>
  void append_match(const KeyedRuns& runs, std::size_t g, const EventView& events,
                    FlatMatches& out, std::int64_t end, const Offsets& event_of);

  std::size_t slots_;                  // of the bindings
  std::vector<Atom> stripped_;         // per step, its atom without the `==` tests of the key
  std::vector<plan::AtomPlan> atoms_;  // per step, of those atoms
  std::vector<std::size_t> types_;     // per step, its type id in the grouping's table
  std::vector<char> by_type_;          // per step: its atom tests nothing but the type
  std::vector<char> captures_key_;     // per step: its atom captures only the key attribute
  std::vector<std::optional<std::int64_t>> windows_;  // per step: the limit from the previous one
  // Scratch of one group: per event and later step, the next event that the step admits; the
  // group's starts; what the steps admit nearest after the event being looked at.
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> starts_;
  std::vector<std::uint32_t> last_;
  std::vector<std::uint32_t> path_;
  // Scratch of a whole run (see match_run): per key and later step, the nearest event that the
  // step admits; per event, its next events for the steps after the second; the matches found.
  struct Nearest {
    std::uint32_t offset;
    std::int64_t ts;
  };
  ScratchBlock key_nearest_;
  ScratchBlock run_next_;
  ScratchBlock found_paths_;
  ScratchBlock found_ends_;
};

}  // namespace vashlet
