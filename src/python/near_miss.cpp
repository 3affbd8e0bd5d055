#include "near_miss.hpp"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "durations.hpp"
#include "event.hpp"
#include "explain/explain.hpp"
#include "explain/language_misses.hpp"
#include "interrupt.hpp"
#include "matching.hpp"
#include "reduce.hpp"
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
  std::size_t element = 0;
  std::vector<std::size_t> elements;  // empty for a chain pattern

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
    result.element = near_miss.element;
    result.elements.assign(near_miss.elements.begin(), near_miss.elements.end());
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
        } else if constexpr (std::is_same_v<Specifics, TooFew>) {
          set_item(d, "count", size_to_py(specifics.count));
          set_item(d, "needed", size_to_py(specifics.needed));
        }
        // NoSuccessor has nothing beyond its kind.
      },
      detail);
  return dict;
}

// ---------------------------------------------------------------------------------------------
// The detail dict read back, for unpickling: the inverse of the functions above. A None
// `actual` or `bound` reads as absent, which the dict shows the same way.

PyObject* required_item(PyObject* dict, const char* key) {
  PyObject* item = PyDict_GetItemString(dict, key);  // borrowed
  if (!item) raise_value_error(std::string("a near-miss detail lacks '") + key + "'");
  return item;
}

std::string text_item(PyObject* dict, const char* key) { return text_from_py(required_item(dict, key)); }

std::size_t index_item(PyObject* dict, const char* key) {
  const std::int64_t index = int64_from_py(required_item(dict, key));
  if (index < 0) raise_value_error("an event index cannot be negative");
  return static_cast<std::size_t>(index);
}

std::optional<Value> optional_value_item(PyObject* dict, const char* key) {
  PyObject* item = required_item(dict, key);
  if (item == Py_None) return std::nullopt;
  return py_to_value(item);
}

ComparisonOperator operator_item(PyObject* dict) {
  const std::string symbol = text_item(dict, "operator");
  for (const ComparisonOperator op :
       {ComparisonOperator::Eq, ComparisonOperator::NotEq, ComparisonOperator::Gt,
        ComparisonOperator::Gte, ComparisonOperator::Lt, ComparisonOperator::Lte}) {
    if (operator_symbol(op) == symbol) return op;
  }
  raise_value_error("unknown comparison operator '" + symbol + "' in a near-miss detail");
}

// Reads a private copy, which no conversion can change under the borrowed items.
PredicateFailure failure_from_py(PyObject* object) {
  const Ref copy = Ref::checked(PyDict_Copy(dict_from_py(object)));
  PyObject* d = copy.get();
  const std::string type = text_item(d, "type");
  if (type == "predicate") {
    return {PredicateFailure::Predicate{text_item(d, "attribute"), operator_item(d),
                                        py_to_value(required_item(d, "expected")),
                                        optional_value_item(d, "actual")}};
  }
  if (type == "reference") {
    return {PredicateFailure::Reference{text_item(d, "attribute"), operator_item(d),
                                        text_item(d, "binding"), optional_value_item(d, "bound"),
                                        optional_value_item(d, "actual")}};
  }
  if (type == "capture") {
    return {PredicateFailure::Capture{text_item(d, "name"), text_item(d, "attribute"),
                                      py_to_value(required_item(d, "bound")),
                                      py_to_value(required_item(d, "actual"))}};
  }
  raise_value_error("unknown failure type '" + type + "' in a near-miss detail");
}

NearMissDetail detail_from_py(PyObject* object) {
  const Ref copy = Ref::checked(PyDict_Copy(dict_from_py(object)));
  PyObject* d = copy.get();
  const std::string kind = text_item(d, "kind");
  if (kind == "predicate_failed") {
    PredicateFailed detail{index_item(d, "event_index"), {}};
    const Ref failures = Ref::checked(PySequence_List(required_item(d, "failures")));
    for (Py_ssize_t i = 0; i < PyList_Size(failures.get()); ++i) {
      detail.failures.push_back(failure_from_py(PyList_GetItem(failures.get(), i)));
    }
    return detail;
  }
  if (kind == "absence_blocked") {
    return AbsenceBlocked{index_item(d, "candidate_index"), index_item(d, "blocking_index"),
                          text_item(d, "blocking_event_type"),
                          flag_from_py(required_item(d, "candidate_satisfies"))};
  }
  if (kind == "window_exceeded") {
    return WindowExceeded{index_item(d, "candidate_index"),
                          int64_from_py(required_item(d, "gap")),
                          int64_from_py(required_item(d, "max_elapsed"))};
  }
  if (kind == "no_successor") return NoSuccessor{};
  if (kind == "too_few") return TooFew{index_item(d, "count"), index_item(d, "needed")};
  raise_value_error("unknown near-miss kind '" + kind + "'");
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
Ref element_of(const PyNearMiss& self) { return size_to_py(self.element); }
Ref elements_of(const PyNearMiss& self) {
  const Ref list = list_to_py(self.elements, size_to_py);
  return Ref::checked(PyList_AsTuple(list.get()));
}

Ref events_of(const PyNearMiss& self) {
  return list_to_py(self.events, [](const Event& event) { return event_to_py(event); });
}

Ref near_miss_repr(const PyNearMiss& self) {
  const std::string text = "NearMiss(partition=" + quoted(self.partition) +
                           ", indices=" + index_list_text(self.indices) +
                           ", next=" + quoted(self.next_event_type) +
                           ", reason=" + quoted(near_miss_reason(self.detail)) +
                           (self.elements.empty() ? "" : ", element=" + std::to_string(self.element)) +
                           ")";
  return text_to_py(text);
}

// A list, as the other fields are pickled, whatever the getter returns.
Ref indices_of_elements(const PyNearMiss& self) { return list_to_py(self.elements, size_to_py); }

constexpr auto kNearMissReduceSignature = signature("NearMiss.__reduce__()");

Ref reduce_near_miss(const PyNearMiss& self, const Arguments<0>&) {
  return reduce_to("_rebuild_near_miss", partition_of(self), start_index_of(self),
                   indices_of(self), reached_steps_of(self), next_event_type_of(self),
                   events_of(self), detail_of(self), captures_of(self), element_of(self),
                   indices_of_elements(self));
}

constexpr auto kRebuildNearMissSignature =
    signature("_rebuild_near_miss()",
              {"partition", "start_index", "indices", "reached_steps", "next_event_type",
               "events", "detail", "captures", "element", "elements"},
              8);

std::size_t count_from_py(PyObject* object) {
  const std::int64_t count = int64_from_py(object);
  if (count < 0) raise_value_error("a near miss cannot count below zero");
  return static_cast<std::size_t>(count);
}

Ref rebuild_near_miss(const Arguments<10>& args) {
  PyNearMiss result;
  result.partition = args.convert(0, text_from_py);
  result.start_index = args.convert(1, count_from_py);
  result.indices = args.convert(2, indices_from_py);
  result.reached_steps = args.convert(3, count_from_py);
  result.next_event_type = args.convert(4, text_from_py);
  result.events = args.convert(5, event_copies_from_py);
  result.detail = args.convert(6, detail_from_py);
  result.captures = args.convert(7, bindings_from_py);
  // Pickles of a chain pattern's near misses from before elements existed lack the last two.
  result.element = args.optional(8, count_from_py).value_or(result.reached_steps);
  result.elements = args.optional(9, indices_from_py).value_or(std::vector<std::size_t>{});
  if (!result.elements.empty() && result.elements.size() != result.indices.size()) {
    raise_value_error("a NearMiss holds one element number per index");
  }
  if (result.events.size() != result.indices.size()) {
    raise_value_error("a NearMiss holds one event per index");
  }
  return near_miss_class().wrap(std::move(result));
}

PyMethodDef near_miss_methods[] = {
    method_def<near_miss_class, kNearMissReduceSignature, reduce_near_miss>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: every field, events included."),
    {},
};

PyGetSetDef near_miss_getters[] = {
    getter_def<near_miss_class, partition_of>("partition"),
    getter_def<near_miss_class, start_index_of>("start_index"),
    getter_def<near_miss_class, indices_of>("indices"),
    getter_def<near_miss_class, reached_steps_of>("reached_steps"),
    getter_def<near_miss_class, next_event_type_of>("next_event_type"),
    getter_def<near_miss_class, reason_of>(
        "reason",
        "One of: predicate_failed, absence_blocked, window_exceeded, no_successor, too_few."),
    getter_def<near_miss_class, detail_of>(
        "detail",
        "Reason-specific specifics as a dict (keyed by \"kind\"); includes failed\n"
        "clauses, blocking events, or window counterfactuals."),
    getter_def<near_miss_class, events_of>("events"),
    getter_def<near_miss_class, captures_of>("captures"),
    getter_def<near_miss_class, element_of>(
        "element", "The element (step) it stopped at; equals reached_steps for a chain pattern."),
    getter_def<near_miss_class, elements_of>(
        "elements",
        "The element number of each matched event, for a pattern of the language; empty for a\n"
        "chain pattern."),
    {},
};

PyType_Slot near_miss_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A start that did not match, with its deepest partial path and the reason.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PyNearMiss>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<near_miss_class, near_miss_repr>)},
    {Py_tp_getset, near_miss_getters},
    {Py_tp_methods, near_miss_methods},
    {0, nullptr},
};

NativeClass<PyNearMiss>& near_miss_class() {
  static NativeClass<PyNearMiss> cls("builtins.NearMiss", near_miss_slots);
  return cls;
}

// ---------------------------------------------------------------------------------------------
// near_miss_events

constexpr auto kNearMissEventsSignature =
    signature("near_miss_events()", {"pattern", "events", "threads", "ts_unit"}, 2, 2);

// The order check comes before the pattern is looked at, so unsorted events are reported even
// when the pattern argument is not a pattern at all.
Ref near_miss_events(const Arguments<4>& args) {
  const EventList events = args.convert(1, events_from_py);
  const std::size_t threads = args.threads(2);
  const std::optional<std::string> ts_unit = args.optional(3, text_from_py);
  require_event_order(events);
  const EventView view = events.view();
  const Pattern pattern =
      windows_in_ticks(valid_pattern_argument(args.get(0)), event_time_axis(ts_unit));
  std::vector<PyNearMiss> found;
  {
    // The analysis reads only the call's pattern copy and the events, which `events` holds; so
    // does the copying of each near miss's events, which is shared among the threads too.
    const InterruptibleRelease unlocked;
    std::vector<NearMiss> misses = near_misses(view, pattern, threads);
    found.resize(misses.size());
    for_slices(misses.size(), threads, kResultsPerSlice, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        found[i] = PyNearMiss::from_core(std::move(misses[i]), events);
      }
    });
    unlocked.finish();
  }
  return list_to_py(found,
                    [](PyNearMiss& miss) { return near_miss_class().wrap(std::move(miss)); });
}

// ---------------------------------------------------------------------------------------------
// _element_labels

constexpr auto kElementLabelsSignature = signature("_element_labels()", {"pattern"}, 1);

Ref element_labels(const Arguments<1>& args) {
  const Pattern pattern = valid_pattern_argument(args.get(0));
  if (!uses_elements(pattern)) return Ref::borrowed(Py_None);
  return list_to_py(pattern.steps, [](const Step& step) { return text_to_py(element_label(step)); });
}

}  // namespace

PyMethodDef element_labels_def = function_def<kElementLabelsSignature, element_labels>(
    "_element_labels",
    "_element_labels(pattern)\n--\n\nThe funnel's label of each element of a pattern of the\n"
    "language (\"failed{3}\", \"(purchase | subscribe)\"); None for a chain pattern.");

PyTypeObject* near_miss_type() { return near_miss_class().type(); }

PyMethodDef rebuild_near_miss_def = function_def<kRebuildNearMissSignature, rebuild_near_miss>(
    "_rebuild_near_miss",
    "_rebuild_near_miss(partition, start_index, indices, reached_steps, next_event_type, events,\n"
    "                   detail, captures, element=None, elements=None)\n--\n\nUnpickle a NearMiss.");

PyMethodDef near_miss_events_def = function_def<kNearMissEventsSignature, near_miss_events>(
    "near_miss_events",
    "near_miss_events(pattern, events, *, threads=None, ts_unit=None)\n--\n\n"
    "Explain near-misses: starts that did not match, with their deepest partial\n"
    "path and the reason. Requires already-sorted events (see [`match_events`]).\n"
    "Partitions are analysed on `threads` native threads, and `ts_unit` says what the\n"
    "timestamps count, as in `match_events`.");

}  // namespace vashlet::py
