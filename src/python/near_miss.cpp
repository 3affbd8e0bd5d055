#include "near_miss.hpp"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "event.hpp"
#include "explain.hpp"
#include "matching.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

// A read-only snapshot of one core near miss, with its own copies of the events of its path.
struct PyNearMiss {
  std::string partition;
  std::vector<std::size_t> indices;
  std::string next_event_type;
  std::vector<Event> events;
  NearMissDetail detail;
  std::size_t start_index = 0;
  std::size_t reached_steps = 0;
  Bindings captures;

  // `events` is the event list of the call that produced `near_miss`.
  static PyNearMiss from_core(NearMiss near_miss, const EventList& events) {
    PyNearMiss result;
    result.events = events.copies_at(near_miss.indices);
    result.partition = std::move(near_miss.partition);
    result.indices = std::move(near_miss.indices);
    result.next_event_type = std::move(near_miss.next_event_type);
    result.detail = std::move(near_miss.detail);
    result.start_index = near_miss.start_index;
    result.reached_steps = near_miss.reached_steps;
    result.captures = std::move(near_miss.captures);
    return result;
  }
};

NativeClass<PyNearMiss>& near_miss_class();

// ---------------------------------------------------------------------------------------------
// The detail dict

void set_item(PyObject* dict, const char* key, Ref value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError{};
}

Ref optional_value_to_py(const std::optional<Value>& value) {
  return value ? value_to_py(*value) : Ref::borrowed(Py_None);
}

Ref operator_to_py(ComparisonOperator op) { return text_to_py(operator_symbol(op)); }

// Keys in a fixed order, "type" first.
Ref failure_to_py(const PredicateFailure& failure) {
  Ref dict = Ref::checked(PyDict_New());
  PyObject* d = dict.get();
  std::visit(
      [d](const auto& clause) {
        using Clause = std::decay_t<decltype(clause)>;
        if constexpr (std::is_same_v<Clause, PredicateFailure::Predicate>) {
          set_item(d, "type", text_to_py("predicate"));
          set_item(d, "attribute", text_to_py(clause.attribute));
          set_item(d, "operator", operator_to_py(clause.op));
          set_item(d, "expected", value_to_py(clause.expected));
          set_item(d, "actual", optional_value_to_py(clause.actual));
        } else if constexpr (std::is_same_v<Clause, PredicateFailure::Reference>) {
          set_item(d, "type", text_to_py("reference"));
          set_item(d, "attribute", text_to_py(clause.attribute));
          set_item(d, "operator", operator_to_py(clause.op));
          set_item(d, "binding", text_to_py(clause.binding));
          set_item(d, "bound", optional_value_to_py(clause.bound));
          set_item(d, "actual", optional_value_to_py(clause.actual));
        } else {
          set_item(d, "type", text_to_py("capture"));
          set_item(d, "name", text_to_py(clause.name));
          set_item(d, "attribute", text_to_py(clause.attribute));
          set_item(d, "bound", value_to_py(clause.bound));
          set_item(d, "actual", value_to_py(clause.actual));
        }
      },
      failure.failure);
  return dict;
}

// Keys in a fixed order, "kind" first.
Ref detail_to_py(const NearMissDetail& detail) {
  Ref dict = Ref::checked(PyDict_New());
  PyObject* d = dict.get();
  set_item(d, "kind", text_to_py(near_miss_reason(detail)));
  std::visit(
      [d](const auto& specifics) {
        using Specifics = std::decay_t<decltype(specifics)>;
        if constexpr (std::is_same_v<Specifics, PredicateFailed>) {
          set_item(d, "event_index", size_to_py(specifics.event_index));
          set_item(d, "failures", list_to_py(specifics.failures, failure_to_py));
        } else if constexpr (std::is_same_v<Specifics, AbsenceBlocked>) {
          set_item(d, "candidate_index", size_to_py(specifics.candidate_index));
          set_item(d, "blocking_index", size_to_py(specifics.blocking_index));
          set_item(d, "blocking_event_type", text_to_py(specifics.blocking_event_type));
          set_item(d, "candidate_satisfies",
                   Ref::borrowed(specifics.candidate_satisfies ? Py_True : Py_False));
        } else if constexpr (std::is_same_v<Specifics, WindowExceeded>) {
          set_item(d, "candidate_index", size_to_py(specifics.candidate_index));
          set_item(d, "gap", int_to_py(specifics.gap));
          set_item(d, "max_elapsed", int_to_py(specifics.max_elapsed));
        }
        // NoSuccessor has nothing beyond its kind.
      },
      detail);
  return dict;
}

// ---------------------------------------------------------------------------------------------
// Getters and repr

Ref partition_of(const PyNearMiss& self) { return text_to_py(self.partition); }
Ref start_index_of(const PyNearMiss& self) { return size_to_py(self.start_index); }
Ref indices_of(const PyNearMiss& self) { return list_to_py(self.indices, size_to_py); }
Ref reached_steps_of(const PyNearMiss& self) { return size_to_py(self.reached_steps); }
Ref next_event_type_of(const PyNearMiss& self) { return text_to_py(self.next_event_type); }
Ref reason_of(const PyNearMiss& self) { return text_to_py(near_miss_reason(self.detail)); }
Ref detail_of(const PyNearMiss& self) { return detail_to_py(self.detail); }
Ref captures_of(const PyNearMiss& self) { return named_values_to_dict(self.captures); }

Ref events_of(const PyNearMiss& self) {
  return list_to_py(self.events, [](const Event& event) { return event_to_py(event); });
}

Ref near_miss_repr(const PyNearMiss& self) {
  const std::string text = "NearMiss(partition=" + quoted(self.partition) +
                           ", indices=" + index_list_text(self.indices) +
                           ", next=" + quoted(self.next_event_type) +
                           ", reason=" + quoted(near_miss_reason(self.detail)) + ")";
  return text_to_py(text);
}

PyGetSetDef near_miss_getters[] = {
    getter_def<near_miss_class, partition_of>("partition"),
    getter_def<near_miss_class, start_index_of>("start_index"),
    getter_def<near_miss_class, indices_of>("indices"),
    getter_def<near_miss_class, reached_steps_of>("reached_steps"),
    getter_def<near_miss_class, next_event_type_of>("next_event_type"),
    getter_def<near_miss_class, reason_of>(
        "reason", "One of: predicate_failed, absence_blocked, window_exceeded, no_successor."),
    getter_def<near_miss_class, detail_of>(
        "detail",
        "Reason-specific specifics as a dict (keyed by \"kind\"); includes failed\n"
        "clauses, blocking events, or window counterfactuals."),
    getter_def<near_miss_class, events_of>("events"),
    getter_def<near_miss_class, captures_of>("captures"),
    {},
};

PyType_Slot near_miss_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A start that did not match, with its deepest partial path and the reason.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PyNearMiss>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<near_miss_class, near_miss_repr>)},
    {Py_tp_getset, near_miss_getters},
    {0, nullptr},
};

NativeClass<PyNearMiss>& near_miss_class() {
  static NativeClass<PyNearMiss> cls("builtins.NearMiss", near_miss_slots);
  return cls;
}

// ---------------------------------------------------------------------------------------------
// near_miss_events

constexpr auto kNearMissEventsSignature =
    signature("near_miss_events()", {"pattern", "events", "threads"}, 2, 2);

// The order check comes before the pattern is looked at, so unsorted events are reported even
// when the pattern argument is not a pattern at all.
Ref near_miss_events(const Arguments<3>& args) {
  const EventList events = args.convert(1, events_from_py);
  const std::size_t threads = args.threads(2);
  require_event_order(events);
  const EventView view = events.view();
  const Pattern pattern = valid_pattern_argument(args.get(0));
  std::vector<PyNearMiss> found;
  {
    // The analysis reads only the call's pattern copy and the events, which `events` holds; so
    // does the copying of each near miss's events, which is shared among the threads too.
    const GilReleased unlocked;
    std::vector<NearMiss> misses = near_misses(view, pattern, threads);
    found.resize(misses.size());
    for_slices(misses.size(), threads, kResultsPerSlice, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        found[i] = PyNearMiss::from_core(std::move(misses[i]), events);
      }
    });
  }
  return list_to_py(found,
                    [](PyNearMiss& miss) { return near_miss_class().wrap(std::move(miss)); });
}

}  // namespace

PyTypeObject* near_miss_type() { return near_miss_class().type(); }

PyMethodDef near_miss_events_def = function_def<kNearMissEventsSignature, near_miss_events>(
    "near_miss_events",
    "near_miss_events(pattern, events, *, threads=None)\n--\n\n"
    "Explain near-misses: starts that did not match, with their deepest partial\n"
    "path and the reason. Requires already-sorted events (see [`match_events`]).\n"
    "Partitions are analysed on `threads` native threads, as in `match_events`.");

}  // namespace vashlet::py
