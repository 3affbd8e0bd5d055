// The near misses of a chain pattern held flat: one entry per near miss in each column, and the
// paths, failed clauses and captures in shared arrays, so that recording one allocates nothing
// of its own. The near-miss table is written from these; NearMiss records are made from them
// only where one is asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explain/explain.hpp"
#include "memory/memory.hpp"
#include "model/model.hpp"

namespace vashlet::explain {

// NearMissDetail's alternatives, by index.
enum class Reason : std::uint8_t {
  PredicateFailed = 0,
  AbsenceBlocked = 1,
  WindowExceeded = 2,
  NoSuccessor = 3,
};

// Why a step was not taken, without the failed clauses: those are read from `atom` when they are
// recorded. `event` is the failing event (predicate_failed) or the blocked or late candidate.
struct Verdict {
  Reason reason = Reason::NoSuccessor;
  std::size_t event = 0;
  std::size_t blocking = 0;
  bool satisfies = false;  // absence_blocked, window_exceeded: the candidate satisfies the step
  std::int64_t gap = 0;
  std::int64_t max_elapsed = 0;
  const Atom* atom = nullptr;  // predicate_failed: the branch that judged the event
};

// One failed clause: the clause `clause` of `atom`'s predicates, reference predicates or
// captures (by `kind`), the event's value (none: it has none; copied while the event is at hand,
// since the table is written long after) and the bound value's name, by its position among the
// binding names (kNoName: none).
struct FailedClause {
  enum class Kind : std::uint8_t { Predicate, Reference, Capture };
  static constexpr std::uint32_t kNoName = 0xffffffffu;
  const Atom* atom;
  Kind kind;
  std::uint32_t clause;
  std::uint32_t bound_name;
  std::optional<Value> actual;
};

// A Verdict as a row keeps it: its failed clauses are kept apart, so it needs no atom, and its
// fields are packed (the rows of a large input are many).
struct RowVerdict {
  std::size_t event = 0;
  std::size_t blocking = 0;
  std::int64_t gap = 0;
  std::int64_t max_elapsed = 0;
  Reason reason = Reason::NoSuccessor;
  bool satisfies = false;
};

// Whole cache lines each: the parts of adjacent chunks grow on different threads at once.
class alignas(64) NearMissRows {
 public:
  // `names`: the pattern's binding names, byte-wise sorted (result_columns::binding_names).
  explicit NearMissRows(const std::vector<std::string>* names = nullptr) : names_(names) {}

  std::size_t size() const { return starts_.size(); }
  void use_names(const std::vector<std::string>& names) { names_ = &names; }
  std::size_t name_count() const { return names_->size(); }

  // Makes room for `rows` more near misses of about `steps` events each, so that recording
  // them does not copy what is already held as the arrays grow.
  void reserve_more(std::size_t rows, std::size_t steps);

  // Records the near miss from path[0] along `path` (of `reached` events), stopped at step
  // `reached` for `verdict`, with the path's `bindings`. Pointers into `events` are kept.
  void add(const EventView& events, const std::size_t* path, std::size_t reached,
           const Verdict& verdict, const Bindings& bindings);

  std::size_t start(std::size_t row) const { return starts_[row]; }
  std::size_t reached(std::size_t row) const { return path_ends_[row + 1] - path_ends_[row]; }
  const std::size_t* path(std::size_t row) const { return paths_.data() + path_ends_[row]; }
  const RowVerdict& verdict(std::size_t row) const { return verdicts_[row]; }
  const FailedClause* failures(std::size_t row) const {
    return failures_.data() + failure_ends_[row];
  }
  std::size_t failure_count(std::size_t row) const {
    return failure_ends_[row + 1] - failure_ends_[row];
  }
  // The value bound to names[name] on this near miss's path, or nullptr.
  const Value* capture(std::size_t row, std::size_t name) const {
    const std::optional<Value>& cell = captures_[row * names_->size() + name];
    return cell ? &*cell : nullptr;
  }

  // Closes the run that begins at events[begin], which had `starts` starts: its near misses are
  // the rows added since the previous run closed.
  void end_run(std::size_t begin, std::size_t starts) {
    run_begins_.push_back(begin);
    run_starts_.push_back(starts);
    run_row_ends_.push_back(size());
  }
  std::size_t runs() const { return run_begins_.size(); }
  std::size_t run_begin(std::size_t run) const { return run_begins_[run]; }
  std::size_t run_starts(std::size_t run) const { return run_starts_[run]; }
  // The rows of run `run`: [first, end).
  std::size_t run_first_row(std::size_t run) const { return run ? run_row_ends_[run - 1] : 0; }
  std::size_t run_row_end(std::size_t run) const { return run_row_ends_[run]; }

  // Removes the last row, which must belong to the run not yet closed. Its captures stay noted
  // in dropped_kinds.
  void drop_last();

  // Notes the kinds of the captures of a near miss that is not kept, with the path's `bindings`.
  void note_captures(const Bindings& bindings);
  // The kinds of value captured under names[name] by the near misses dropped or noted (not
  // those of the rows kept): bit k for ValueKind k.
  std::uint8_t dropped_kinds(std::size_t name) const {
    return name < dropped_kinds_.size() ? dropped_kinds_[name] : 0;
  }

  // The NearMiss record of row `row`.
  NearMiss record(const EventView& events, const Pattern& pattern, std::size_t row) const;

 private:
  void add_failures(const Atom& atom, const Event& event, const Bindings& bindings);
  void note_kind(std::size_t name, const Value& value);
  std::uint32_t name_position(const std::string& name) const;

  // The arrays grow with the input: their memory comes from allocate_large, which hands the
  // next call the pages this one faulted in.
  const std::vector<std::string>* names_;
  LargeVector<std::size_t> starts_;
  LargeVector<std::size_t> path_ends_{0};
  LargeVector<std::size_t> paths_;
  LargeVector<RowVerdict> verdicts_;
  LargeVector<std::size_t> failure_ends_{0};
  LargeVector<FailedClause> failures_;
  LargeVector<std::optional<Value>> captures_;  // names_->size() per row
  std::vector<std::uint8_t> dropped_kinds_;      // per name
  std::vector<std::size_t> run_begins_, run_starts_, run_row_ends_;
};

// The names the steps capture, byte-wise sorted: the order of a near miss's captures.
std::vector<std::string> capture_names(const Pattern& pattern);

// Where each part's rows begin in the table of every row of `parts` (each part's after those of
// the parts before it), and after them the number of all rows: parts.size() + 1 positions.
std::vector<std::size_t> first_rows_of_parts(const std::vector<NearMissRows>& parts);

// The near misses of a chain pattern of two steps or more, one part per chunk of runs, in
// run order (as near_misses() would return them). `names` (capture_names) must
// outlive the parts. With `deepest_only`, a run keeps only the first of its deepest near misses,
// and none at all once a start has a complete path (then the run's other starts are not
// searched and its count of starts stops there).
std::vector<NearMissRows> near_miss_rows(const EventView& events, const Pattern& pattern,
                                         const std::vector<std::string>& names,
                                         std::size_t threads, bool deepest_only = false);

}  // namespace vashlet::explain
