#include "matching.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <ranges>
#include <string>
#include <utility>

#include "durations.hpp"
#include "event.hpp"
#include "interrupt.hpp"
#include "json/json.hpp"
#include "match/event_copies.hpp"
#include "match/exhaustive_budget.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "memory/packed_events.hpp"
#include "pattern.hpp"
#include "plan/atom_plan.hpp"
#include "reduce.hpp"
#include "text/grammar.hpp"
#include "text/parser.hpp"
#include "tuning.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

// One match with its own copies of the events it names, so it outlives the call's event list.
// Its partition, start and end are those of its first and last events, so they are read from
// the copies rather than stored a second time. Matches come by the million, so the copies are
// packed into one block, not one per event and attribute list; the matcher's sink (EventCopies)
// writes the blocks of a part's matches into slabs they share (PackedEventSlabs). The types
// that `Match.types` lists are those of these events.
struct PyMatch {
  std::vector<std::size_t> indices;
  PackedEvents events;  // one per entry of `indices`
  Bindings captures;
  std::vector<std::uint32_t> elements;  // per entry of `indices`, for patterns of the language

  std::string_view partition() const { return events.partition(0); }
  std::int64_t start() const { return events.ts(0); }
  std::int64_t end() const { return events.ts(indices.size() - 1); }
};

// An index outside the list is an invariant failure: the core only names events it was given.
void require_in_list(const std::size_t* indices, std::size_t count, const EventList& events) {
  for (std::size_t i = 0; i < count; ++i) {
    if (indices[i] >= events.size()) {
      invariant_failure("a result names an event outside the event list");
    }
  }
}

// Copies of the events at `indices`.
PackedEvents packed_copies(const std::size_t* indices, std::size_t count,
                           const EventList& events) {
  require_in_list(indices, count, events);
  return PackedEvents::pack(count, [&](std::size_t i) -> const Event& {
    return events[indices[i]];
  });
}

PyMatch from_core(Match match, const EventList& events) {
  if (match.indices.empty()) invariant_failure("a match names no event");
  PyMatch result;
  result.events = packed_copies(match.indices.data(), match.indices.size(), events);
  result.indices = std::move(match.indices);
  if (result.partition() != match.partition || result.start() != match.start ||
      result.end() != match.end) {
    invariant_failure("a match disagrees with the events it names");
  }
  result.captures = std::move(match.captures);
  result.elements = std::move(match.elements);
  return result;
}

// The Match of flat match `m`, whose events `copies` holds.
PyMatch from_flat(const FlatMatches& flat, const EventCopies& copies, std::size_t m,
                  const EventList& events, const plan::BindingLayout& layout) {
  const std::size_t length = flat.length_of(m);
  if (length == 0) invariant_failure("a match names no event");
  const std::size_t* indices = flat.indices_of(m);
  require_in_list(indices, length, events);
  PyMatch result;
  result.events = copies.at(m);
  result.indices.assign(indices, indices + length);
  if (flat.variable) result.elements.assign(flat.elements_of(m), flat.elements_of(m) + length);
  result.captures = layout.to_bindings(flat.values_of(m));
  return result;
}

// A match's bound values lie in the events' attributes, anywhere in the list, so those of the
// matches a few turns ahead are fetched before they are copied.
void fetch_values_ahead(const FlatMatches& flat, std::size_t m) {
  constexpr std::size_t kAhead = tuning::kCopyAhead;  // matches
  if (m + kAhead >= flat.size()) return;
  const Value* const* values = flat.values_of(m + kAhead);
  for (std::size_t slot = 0; slot < flat.slots; ++slot) prefetch(values[slot], sizeof(Value));
}

// The copies of a part's events, made by the sink that from_flat_parts' caller gave it.
const EventCopies& copies_of(const SinkPart& part) {
  static const EventCopies kNone;
  const EventCopies& copies = part.sink ? static_cast<const EventCopies&>(*part.sink) : kNone;
  if (copies.size() != part.matches.size()) {
    invariant_failure("every match holds copies of its events");
  }
  return copies;
}

// Matching with an EventCopies sink per part, so each run's matches have their events copied
// right after the run is matched, rather than gathered from all over memory afterwards.
std::vector<SinkPart> matches_with_copies(const Plan& compiled, const EventView& events,
                                          std::size_t threads) {
  return compiled.flat_matches(events, threads, [] { return std::make_unique<EventCopies>(); });
}

// The Match objects' contents for flat parts with copies of their events, in order, built on
// `threads` threads. The sinks made the copies, so this pass reads no event.
LargeVector<PyMatch> from_flat_parts(const std::vector<SinkPart>& parts, const Plan& compiled,
                                     const EventList& events, std::size_t threads) {
  const plan::BindingLayout& layout = compiled.layout;
  std::vector<std::size_t> offsets{0};  // per part, the position of its first match
  for (const SinkPart& part : parts) {
    copies_of(part);
    offsets.push_back(offsets.back() + part.matches.size());
  }
  // A million matches' contents take tens of megabytes: a large buffer, whose pages an earlier
  // call may have left mapped.
  LargeVector<PyMatch> found(offsets.back());
  for_slices(found.size(), threads, kResultsPerSlice, [&](std::size_t begin, std::size_t end) {
    std::size_t p = std::upper_bound(offsets.begin(), offsets.end(), begin) - offsets.begin() - 1;
    for (std::size_t n = begin; n < end; ++p) {
      const FlatMatches& part = parts[p].matches;
      const EventCopies& copies = copies_of(parts[p]);
      const std::size_t last = std::min(end, offsets[p + 1]);
      for (; n < last; ++n) {
        const std::size_t m = n - offsets[p];
        fetch_values_ahead(part, m);
        found[n] = from_flat(part, copies, m, events, layout);
      }
    }
  });
  return found;
}

NativeClass<PyMatch>& match_class();

Ref partition_of(const PyMatch& match) { return text_to_py(match.partition()); }
Ref indices_of(const PyMatch& match) { return list_to_py(match.indices, size_to_py); }
Ref start_of(const PyMatch& match) { return int_to_py(match.start()); }
Ref end_of(const PyMatch& match) { return int_to_py(match.end()); }
Ref types_of(const PyMatch& match) {
  return list_to_py(std::views::iota(std::size_t{0}, match.events.size()),
                    [&](std::size_t i) { return text_to_py(match.events.typ(i)); });
}
Ref events_of(const PyMatch& match) {
  return list_to_py(std::views::iota(std::size_t{0}, match.events.size()),
                    [&](std::size_t i) { return event_to_py(match.events.event(i)); });
}
Ref captures_of(const PyMatch& match) { return named_values_to_dict(match.captures); }
Ref elements_of(const PyMatch& match) {
  const Ref list = list_to_py(match.elements, [](std::uint32_t element) {
    return size_to_py(element);
  });
  return Ref::checked(PyList_AsTuple(list.get()));
}

Ref match_repr(const PyMatch& match) {
  const std::string text = "Match(partition=" + quoted(match.partition()) +
                           ", indices=" + index_list_text(match.indices) + ", span=(" +
                           std::to_string(match.start()) + ", " + std::to_string(match.end()) +
                           "))";
  return text_to_py(text);
}

constexpr auto kMatchReduceSignature = signature("Match.__reduce__()");

// A chain pattern's match pickles as it always has; one with elements adds them.
Ref reduce_match(const PyMatch& match, const Arguments<0>&) {
  if (match.elements.empty()) {
    return reduce_to("_rebuild_match", indices_of(match), events_of(match), captures_of(match));
  }
  return reduce_to("_rebuild_match", indices_of(match), events_of(match), captures_of(match),
                   list_to_py(match.elements, [](std::uint32_t e) { return size_to_py(e); }));
}

constexpr auto kRebuildMatchSignature =
    signature("_rebuild_match()", {"indices", "events", "captures", "elements"}, 3);

Ref rebuild_match(const Arguments<4>& args) {
  std::vector<std::size_t> indices = args.convert(0, indices_from_py);
  std::vector<Event> events = args.convert(1, event_copies_from_py);
  Bindings captures = args.convert(2, bindings_from_py);
  std::vector<std::size_t> elements =
      args.optional(3, indices_from_py).value_or(std::vector<std::size_t>{});
  if (indices.empty() || events.size() != indices.size()) {
    raise_value_error("a Match holds one event per index, and at least one");
  }
  if (!elements.empty() && elements.size() != indices.size()) {
    raise_value_error("a Match holds one element per index, or none");
  }
  PyMatch match;
  match.events =
      PackedEvents::pack(events.size(), [&](std::size_t i) -> const Event& { return events[i]; });
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  match.elements.assign(elements.begin(), elements.end());
  return match_class().wrap(std::move(match));
}

PyMethodDef match_methods[] = {
    method_def<match_class, kMatchReduceSignature, reduce_match>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: indices, events and captures."),
    {},
};

PyGetSetDef match_getters[] = {
    getter_def<match_class, partition_of>("partition"),
    getter_def<match_class, indices_of>("indices"),
    getter_def<match_class, start_of>("start"),
    getter_def<match_class, end_of>("end"),
    getter_def<match_class, types_of>("types"),
    getter_def<match_class, events_of>("events"),
    getter_def<match_class, captures_of>(
        "captures", "Captured bindings (registers) as a dict of name to value."),
    getter_def<match_class, elements_of>(
        "elements",
        "The element number of each event, for patterns of the language; () for chains."),
    {},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A single match, carrying its participating events and captured bindings.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PyMatch>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<match_class, match_repr>)},
    {Py_tp_getset, match_getters},
    {Py_tp_methods, match_methods},
    {0, nullptr},
};

NativeClass<PyMatch>& match_class() {
  static NativeClass<PyMatch> cls("builtins.Match", match_slots);
  return cls;
}

// ---------------------------------------------------------------------------------------------
// Functions

constexpr auto kParsePatternSignature = signature("parse_pattern()", {"text"}, 1);

Ref parse_pattern_function(const Arguments<1>& args) {
  const std::string text = args.convert(0, text_from_py);
  return pattern_to_py(unwrap(parse_pattern(text)));
}

constexpr auto kLanguageSignature = signature("pattern()", {"text"}, 1);

Ref language_function(const Arguments<1>& args) {
  const std::string text = args.convert(0, text_from_py);
  return pattern_to_py(unwrap(parse_language(text)));
}

constexpr auto kPatternFromJsonSignature = signature("pattern_from_json()", {"json"}, 1);

Ref pattern_from_json_function(const Arguments<1>& args) {
  const std::string json = args.convert(0, text_from_py);
  return pattern_to_py(unwrap(pattern_from_json(json)));
}

// The parameters that MatchCall reads, for match_events and _time_matching alike.
constexpr const char* kMatchCallParameters[] = {"pattern", "events",  "exhaustive", "use_oracle",
                                                "threads", "ts_unit", "max_matches"};

constexpr auto kMatchEventsSignature = signature("match_events()", kMatchCallParameters, 2, 4);

// The arguments of match_events, read and checked in its order: the events (held), then the
// flags, the order of the events and the pattern.
struct MatchCall {
  explicit MatchCall(const Arguments<7>& args)
      : events(args.convert(1, events_from_py)),
        exhaustive(args.flag(2)),
        use_oracle(args.flag(3)),
        threads(args.threads(4)),
        max_matches(args.optional(6, max_matches_from_py)) {
    const std::optional<std::string> ts_unit = args.optional(5, text_from_py);
    require_event_order(events);
    pattern = windows_in_ticks(valid_pattern_argument(args.get(0)), event_time_axis(ts_unit));
    // Only a request for more widens the pattern's own policy; false leaves it as it is.
    if (exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  }

  // The contents of the Match objects. Reads only the call's pattern copy and the events, which
  // `events` holds, and is shared among the call's threads: runs without the GIL.
  LargeVector<PyMatch> found() const {
    const EventView view = events.view();
    if (!use_oracle) {
      const Plan compiled = compile(pattern, max_matches);
      return from_flat_parts(matches_with_copies(compiled, view, threads), compiled, events,
                             threads);
    }
    std::vector<Match> matches = oracle_matches(pattern, view, threads);
    if (max_matches && matches.size() > *max_matches) {
      throw MatchLimitError(MatchLimitError::Kind::MaxMatches,
                            "more than max_matches=" + std::to_string(*max_matches) +
                                " matches; the limit was passed in partition '" +
                                matches[*max_matches].partition + "'");
    }
    LargeVector<PyMatch> found(matches.size());
    for_slices(matches.size(), threads, kResultsPerSlice, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        found[i] = from_core(std::move(matches[i]), events);
      }
    });
    return found;
  }

  // The seconds that the matcher takes over the events.
  double matching_seconds() const {
    const EventView view = events.view();
    const auto started = std::chrono::steady_clock::now();
    if (use_oracle) {
      const std::vector<Match> matches = oracle_matches(pattern, view, threads);
    } else {
      const Plan compiled = compile(pattern, max_matches);
      const std::vector<FlatMatches> parts = compiled.flat_matches(view, threads);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }

  const EventList events;
  const bool exhaustive;
  const bool use_oracle;
  const std::size_t threads;
  const std::optional<std::size_t> max_matches;
  Pattern pattern;
};

Ref match_events_function(const Arguments<7>& args) {
  const MatchCall call(args);
  LargeVector<PyMatch> found;
  {
    const InterruptibleRelease unlocked;
    found = call.found();
    unlocked.finish();
  }
  return list_to_py(found, [](PyMatch& match) { return match_class().wrap(std::move(match)); });
}

// What match_events runs without its hand-over of the events and its Match objects: the
// seconds that the matchers take over the events, for benchmarks that time the matching alone.
Ref time_matching_function(const Arguments<7>& args) {
  const MatchCall call(args);
  double seconds = 0;
  {
    const InterruptibleRelease unlocked;
    seconds = call.matching_seconds();
    unlocked.finish();
  }
  return Ref::checked(PyFloat_FromDouble(seconds));
}

constexpr auto kTimeMatchingSignature = signature("_time_matching()", kMatchCallParameters, 2, 4);

}  // namespace

PyTypeObject* match_type() { return match_class().type(); }

void require_event_order(const EventList& events) {
  if (!events.in_order()) {
    raise_value_error(
        "events must be grouped by partition and sorted by (timestamp, input order); call "
        "sort_events first");
  }
}

Pattern valid_pattern_argument(PyObject* pattern) {
  Pattern copy = coerce_pattern(pattern);
  unwrap(validate_pattern(copy));
  return copy;
}

PyMethodDef rebuild_match_def = function_def<kRebuildMatchSignature, rebuild_match>(
    "_rebuild_match", "_rebuild_match(indices, events, captures)\n--\n\nUnpickle a Match.");

PyMethodDef parse_pattern_def = function_def<kParsePatternSignature, parse_pattern_function>(
    "parse_pattern",
    "parse_pattern(text)\n--\n\n"
    "Parse the Phase 1 text subset into a [`PyPattern`].");

PyMethodDef pattern_def = function_def<kLanguageSignature, language_function>(
    "pattern",
    "pattern(text)\n--\n\n"
    "Read a pattern of the pattern language: repetition, optional steps, alternatives,\n"
    "steps of any type, minimum gaps, a window over the whole match and anchors.\n"
    "\n"
    "A bad text raises `ValueError` naming the column, with the text and a caret under\n"
    "the culprit.\n"
    "\n"
    ">>> import vashlet\n"
    ">>> p = vashlet.pattern('login[user as $u]{3} -[<=5m]-> (success | locked) within 1h')\n"
    ">>> p.steps\n"
    "2\n"
    ">>> p.to_text()\n"
    "'login[user as $u]{3} -[<=5m]-> (success | locked) within 1h'");

PyMethodDef pattern_from_json_def =
    function_def<kPatternFromJsonSignature, pattern_from_json_function>(
        "pattern_from_json",
        "pattern_from_json(json)\n--\n\n"
        "Build a pattern from the stable JSON AST, validating its structure.");

PyMethodDef match_events_def = function_def<kMatchEventsSignature, match_events_function>(
    "match_events",
    "match_events(pattern, events, exhaustive=False, use_oracle=False, *, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "Run a pattern over already-sorted events.\n"
    "\n"
    "Raises `ValueError` if the events are not grouped by partition and sorted by\n"
    "`(timestamp, input order)`; callers should use the high-level `match`\n"
    "wrapper or [`sort_events`] first.\n"
    "\n"
    "Partitions are matched on `threads` native threads (default: the usable cores;\n"
    "1 runs on the calling thread); the result does not depend on it.\n"
    "\n"
    "`ts_unit` ('s', 'ms', 'us' or 'ns') says what the events' integer timestamps count;\n"
    "a window with a unit (`-[<=10m]->`) needs it. A window without one is raw ticks.\n"
    "\n"
    "With `max_matches`, more matches than that raise `ValueError` naming the limit and the\n"
    "partition where it was passed. Exhaustive matching that would outgrow the memory the\n"
    "process may use raises `MemoryError` naming the partition and its size.");

PyMethodDef time_matching_def = function_def<kTimeMatchingSignature, time_matching_function>(
    "_time_matching",
    "_time_matching(pattern, events, exhaustive=False, use_oracle=False, *, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "The seconds that match_events spends matching, without its hand-over of the events and\n"
    "its Match objects (for benchmarks).");

}  // namespace vashlet::py
