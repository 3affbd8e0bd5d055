// The Python class `PatternBuilder`: a pattern built step by step, each method returning a new
// builder. The pattern language's parts (counts, branches, a minimum gap, a whole-match window,
// anchors) apply to the latest step or to the whole pattern.
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "any_type.hpp"
#include "durations.hpp"
#include "json/json.hpp"
#include "pattern.hpp"
#include "reduce.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

// The pattern being built. Its steps are never empty: the first has no transition, every later
// one has one. Builders are immutable, so every method copies the pattern and changes the copy.
struct PatternBuilder {
  Pattern pattern;
};

NativeClass<PatternBuilder>& builder_class();

Ref wrap(Pattern pattern) { return builder_class().wrap(PatternBuilder{std::move(pattern)}); }

// A copy of the builder's pattern with `change` applied to its latest step.
template <class Change>
Ref with_latest_step(const PatternBuilder& self, Change&& change) {
  if (self.pattern.steps.empty()) invariant_failure("PatternBuilder always contains at least one step");
  Pattern pattern = self.pattern;
  std::forward<Change>(change)(pattern.steps.back());
  return wrap(std::move(pattern));
}

// A copy with `change` applied to the atom of the latest step's latest branch: after `or_`,
// predicates and captures describe the new branch.
template <class Change>
Ref with_current_atom(const PatternBuilder& self, Change&& change) {
  return with_latest_step(self, [&](Step& step) {
    Atom& atom = step.alternatives.empty() ? step.atom : step.alternatives.back();
    atom = std::forward<Change>(change)(std::move(atom));
  });
}

[[noreturn]] void raise_argument(const char* parameter, const std::string& message) {
  raise_value_error("argument '" + std::string(parameter) + "': " + message);
}

// A bound as `then(within=)` takes it: None for none, ticks as an int, or a duration
// (`datetime.timedelta`, `numpy.timedelta64`); anything else fails as an integer would.
template <std::size_t N>
void read_bound(const Arguments<N>& args, std::size_t i, std::optional<std::int64_t>& ticks,
                std::optional<Duration>& duration) {
  ticks.reset();
  duration.reset();
  if (!args.given(i) || args.get(i) == Py_None) return;
  if (std::optional<Duration> given = args.convert(i, duration_from_py)) {
    duration = std::move(*given);
  } else {
    ticks = args.convert(i, int64_from_py);
  }
}

// ---------------------------------------------------------------------------------------------
// Predicates and captures of the current branch

// The operand is converted after the attribute name, and its TypeError keeps no parameter name.
template <ComparisonOperator Op>
Ref where(const PatternBuilder& self, const Arguments<2>& args) {
  std::string attribute = args.convert(0, text_from_py);
  Value value = py_to_value(args.get(1));
  return with_current_atom(self, [&](Atom atom) {
    return std::move(atom).with_predicate(Predicate::make(std::move(attribute), Op, std::move(value)));
  });
}

// The where_* methods, one per operator in the order of ComparisonOperator.
struct WhereText {
  const char* name;
  const char* display;  // how argument errors name the method
  const char* doc;
};
constexpr WhereText kWhereTexts[] = {
    {"where_eq", "PatternBuilder.where_eq()", "where_eq($self, attribute, value)\n--\n\nAdd `attribute == value` to the current step."},
    {"where_ne", "PatternBuilder.where_ne()", "where_ne($self, attribute, value)\n--\n\nAdd `attribute != value` to the current step."},
    {"where_gt", "PatternBuilder.where_gt()", "where_gt($self, attribute, value)\n--\n\nAdd `attribute > value` to the current step."},
    {"where_gte", "PatternBuilder.where_gte()", "where_gte($self, attribute, value)\n--\n\nAdd `attribute >= value` to the current step."},
    {"where_lt", "PatternBuilder.where_lt()", "where_lt($self, attribute, value)\n--\n\nAdd `attribute < value` to the current step."},
    {"where_lte", "PatternBuilder.where_lte()", "where_lte($self, attribute, value)\n--\n\nAdd `attribute <= value` to the current step."},
};

template <ComparisonOperator Op>
constexpr auto kWhereSignature =
    signature(kWhereTexts[static_cast<int>(Op)].display, {"attribute", "value"}, 2);

constexpr auto kCaptureSignature = signature("PatternBuilder.capture()", {"attribute", "name"}, 2);

Ref capture(const PatternBuilder& self, const Arguments<2>& args) {
  std::string attribute = args.convert(0, text_from_py);
  std::string name = normalize_binding_name(args.convert(1, text_from_py));
  return with_current_atom(self, [&](Atom atom) {
    return std::move(atom).with_capture(Capture::make(std::move(name), std::move(attribute)));
  });
}

constexpr auto kWhereRefEqSignature =
    signature("PatternBuilder.where_ref_eq()", {"attribute", "name"}, 2);

Ref where_ref_eq(const PatternBuilder& self, const Arguments<2>& args) {
  std::string attribute = args.convert(0, text_from_py);
  std::string name = normalize_binding_name(args.convert(1, text_from_py));
  return with_current_atom(self, [&](Atom atom) {
    return std::move(atom).with_reference_predicate(
        ReferencePredicate::make(std::move(attribute), ComparisonOperator::Eq, std::move(name)));
  });
}

// ---------------------------------------------------------------------------------------------
// Steps and branches

constexpr auto kThenSignature = signature("PatternBuilder.then()", {"typ", "within", "no"}, 1);

Ref then(const PatternBuilder& self, const Arguments<3>& args) {
  Atom atom = args.convert(0, atom_from_py);
  Transition transition;
  read_bound(args, 1, transition.max_elapsed, transition.max_duration);
  if (args.given(2) && args.get(2) != Py_None) {
    transition = std::move(transition).with_absence(args.convert(2, atom_from_py));
  }
  Pattern pattern = self.pattern;
  pattern.steps.push_back(Step::of(std::move(atom), std::move(transition)));
  return wrap(std::move(pattern));
}

constexpr auto kOrSignature = signature("PatternBuilder.or_()", {"typ"}, 1);

Ref or_branch(const PatternBuilder& self, const Arguments<1>& args) {
  Atom atom = args.convert(0, atom_from_py);
  return with_latest_step(self, [&](Step& step) { step.alternatives.push_back(std::move(atom)); });
}

// ---------------------------------------------------------------------------------------------
// Counts

constexpr std::int64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

std::uint32_t count_from(const char* parameter, std::int64_t count) {
  if (count < 0) raise_argument(parameter, "must be at least 0, got " + std::to_string(count));
  if (count > kMaxCount) {
    raise_argument(parameter, "must be at most " + std::to_string(kMaxCount) + ", got " + std::to_string(count));
  }
  return static_cast<std::uint32_t>(count);
}

bool is_positive_infinity(PyObject* object) {
  if (!PyFloat_Check(object)) return false;
  const double number = PyFloat_AsDouble(object);
  return std::isinf(number) && number > 0;
}

// Sets the latest step's counts; the first step must be taken at least once.
Ref with_counts(const PatternBuilder& self, std::uint32_t low, std::optional<std::uint32_t> high,
                const char* low_parameter) {
  if (low == 0 && self.pattern.steps.size() == 1) {
    raise_argument(low_parameter, "the first step cannot be optional: a match starts with an event");
  }
  return with_latest_step(self, [&](Step& step) {
    step.min_count = low;
    step.max_count = high;
  });
}

constexpr auto kTimesSignature = signature("PatternBuilder.times()", {"n", "m"}, 1);

Ref times(const PatternBuilder& self, const Arguments<2>& args) {
  const std::uint32_t low = count_from("n", args.convert(0, int64_from_py));
  std::optional<std::uint32_t> high = low;
  if (args.given(1) && args.get(1) != Py_None) {
    if (is_positive_infinity(args.get(1))) {
      high.reset();
    } else {
      high = count_from("m", args.convert(1, int64_from_py));
      if (*high < low) {
        raise_argument("m", "must not be below n (" + std::to_string(low) + "), got " + std::to_string(*high));
      }
      if (*high == 0) raise_argument("m", "must be at least 1, got 0");
    }
  } else if (low == 0) {
    raise_argument("n", "a step taken exactly 0 times matches nothing: say times(0, m) or optional()");
  }
  return with_counts(self, low, high, "n");
}

constexpr auto kOptionalSignature = signature("PatternBuilder.optional()");

Ref optional(const PatternBuilder& self, const Arguments<0>&) {
  if (self.pattern.steps.size() == 1) {
    raise_value_error(
        "PatternBuilder.optional(): the first step cannot be optional: a match starts with an event");
  }
  return with_counts(self, 0, 1, "n");
}

constexpr auto kOneOrMoreSignature = signature("PatternBuilder.one_or_more()");

Ref one_or_more(const PatternBuilder& self, const Arguments<0>&) {
  return with_counts(self, 1, std::nullopt, "n");
}

// ---------------------------------------------------------------------------------------------
// Bounds and anchors

constexpr auto kAtLeastSignature = signature("PatternBuilder.at_least()", {"window"}, 1);

Ref at_least(const PatternBuilder& self, const Arguments<1>& args) {
  if (self.pattern.steps.size() == 1) {
    raise_value_error(
        "PatternBuilder.at_least(): the first step has no step before it to keep a gap from; "
        "call at_least() after then()");
  }
  Transition bounds;
  read_bound(args, 0, bounds.min_elapsed, bounds.min_duration);
  return with_latest_step(self, [&](Step& step) {
    step.transition_from_previous->min_elapsed = bounds.min_elapsed;
    step.transition_from_previous->min_duration = bounds.min_duration;
  });
}

constexpr auto kWithinSignature = signature("PatternBuilder.within()", {"window"}, 1);

Ref within(const PatternBuilder& self, const Arguments<1>& args) {
  Pattern pattern = self.pattern;
  read_bound(args, 0, pattern.within_elapsed, pattern.within_duration);
  return wrap(std::move(pattern));
}

constexpr auto kAnchoredSignature = signature("PatternBuilder.anchored()", {"start", "end"}, 0);

Ref anchored(const PatternBuilder& self, const Arguments<2>& args) {
  Pattern pattern = self.pattern;
  pattern.anchored_start = !args.given(0) || args.convert(0, flag_from_py);
  pattern.anchored_end = args.flag(1);
  return wrap(std::move(pattern));
}

// ---------------------------------------------------------------------------------------------
// Building, repr and pickling

constexpr auto kBuildSignature = signature("PatternBuilder.build()");

Ref build(const PatternBuilder& self, const Arguments<0>&) { return pattern_to_py(self.pattern); }

Ref builder_repr(const PatternBuilder& self) {
  return text_to_py("PatternBuilder(steps=" + std::to_string(self.pattern.steps.size()) + ")");
}

constexpr auto kBuilderReduceSignature = signature("PatternBuilder.__reduce__()");

Ref reduce_builder(const PatternBuilder& self, const Arguments<0>&) {
  return reduce_to("_rebuild_builder", pickled_json(self.pattern, "PatternBuilder"));
}

constexpr auto kRebuildBuilderSignature = signature("_rebuild_builder()", {"json"}, 1);

// A builder's consumption is always the default; the built pattern's is its own.
Ref rebuild_builder(const Arguments<1>& args) {
  const std::string json = args.convert(0, text_from_py);
  Pattern pattern = unwrap(pattern_from_json(json));
  pattern.consumption = MatchConsumption::FirstSuccessorPerStart;
  return wrap(std::move(pattern));
}

template <ComparisonOperator Op>
PyMethodDef where_def() {
  const WhereText& text = kWhereTexts[static_cast<int>(Op)];
  return method_def<builder_class, kWhereSignature<Op>, where<Op>>(text.name, text.doc);
}

PyMethodDef builder_methods[] = {
    where_def<ComparisonOperator::Eq>(),
    where_def<ComparisonOperator::NotEq>(),
    where_def<ComparisonOperator::Gt>(),
    where_def<ComparisonOperator::Gte>(),
    where_def<ComparisonOperator::Lt>(),
    where_def<ComparisonOperator::Lte>(),
    method_def<builder_class, kCaptureSignature, capture>(
        "capture",
        "capture($self, attribute, name)\n--\n\nCapture `attribute` from the current step as `$name`."),
    method_def<builder_class, kWhereRefEqSignature, where_ref_eq>(
        "where_ref_eq",
        "where_ref_eq($self, attribute, name)\n--\n\nAdd `attribute == $name` to the current step."),
    method_def<builder_class, kThenSignature, then>(
        "then",
        "then($self, typ, within=None, no=None)\n--\n\n"
        "Append a step matching `typ`, optionally at most `within` after the previous\n"
        "step and forbidding an intervening event of type `no`.\n"
        "\n"
        "`within` is a `datetime.timedelta` or `numpy.timedelta64` (a duration, converted to\n"
        "the unit of the data's timestamps), or an int (raw ticks of the timestamps)."),
    method_def<builder_class, kOrSignature, or_branch>(
        "or_",
        "or_($self, typ)\n--\n\n"
        "Add a branch of type `typ` (or `vashlet.ANY`) to the latest step: an event that fails\n"
        "the earlier branches may pass this one. Later `where_*`, `capture` and `where_ref_eq`\n"
        "calls describe the new branch.\n"
        "\n"
        ">>> import vashlet\n"
        ">>> p = vashlet.Pattern.event(\"view\").then(\"purchase\").where_gte(\"amount\", 10).or_(\"subscribe\")\n"
        ">>> p.build().types\n"
        "('view', 'purchase', 'subscribe')"),
    method_def<builder_class, kTimesSignature, times>(
        "times",
        "times($self, n, m=None)\n--\n\n"
        "Take the latest step `n` times, or between `n` and `m` times (`m=math.inf`: no\n"
        "maximum). The first step is taken at least once; a capture binds at the first\n"
        "occurrence and later ones must carry the same value.\n"
        "\n"
        ">>> import json, math, vashlet\n"
        ">>> p = vashlet.Pattern.event(\"failed\").capture(\"user\", \"u\").times(3, math.inf).build()\n"
        ">>> {k: json.loads(p.to_json())[\"steps\"][0][k] for k in (\"min_count\", \"max_count\")}\n"
        "{'min_count': 3, 'max_count': None}"),
    method_def<builder_class, kOptionalSignature, optional>(
        "optional", "optional($self)\n--\n\nMake the latest step optional: `times(0, 1)`. Not on the first step."),
    method_def<builder_class, kOneOrMoreSignature, one_or_more>(
        "one_or_more", "one_or_more($self)\n--\n\nTake the latest step once or more: `times(1, math.inf)`."),
    method_def<builder_class, kAtLeastSignature, at_least>(
        "at_least",
        "at_least($self, window)\n--\n\n"
        "Require the latest step's event to come at least `window` after the event before it\n"
        "(as `then`'s `within`: a duration or ticks; None for no minimum). Not on the first step.\n"
        "\n"
        ">>> import datetime, json, vashlet\n"
        ">>> gap = datetime.timedelta(seconds=30)\n"
        ">>> p = vashlet.Pattern.event(\"A\").then(\"B\", within=datetime.timedelta(minutes=10)).at_least(gap)\n"
        ">>> json.loads(p.build().to_json())[\"steps\"][1][\"transition_from_previous\"]\n"
        "{'max_elapsed': '10m', 'absence': [], 'min_elapsed': '30s'}"),
    method_def<builder_class, kWithinSignature, within>(
        "within",
        "within($self, window)\n--\n\n"
        "Bound the whole match: its last event at most `window` after its first (a duration or\n"
        "ticks, as `then`'s `within`; None for no bound).\n"
        "\n"
        ">>> import vashlet\n"
        ">>> vashlet.Pattern.event(\"A\").then(\"B\").within(300).build().to_json().endswith('\"within\":300}')\n"
        "True"),
    method_def<builder_class, kAnchoredSignature, anchored>(
        "anchored",
        "anchored($self, start=True, end=False)\n--\n\n"
        "Anchor a match at its partition's first event (`start`) and/or at its last (`end`)."),
    method_def<builder_class, kBuildSignature, build>(
        "build", "build($self)\n--\n\nFinalise the builder into a [`PyPattern`]."),
    method_def<builder_class, kBuilderReduceSignature, reduce_builder>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: the built pattern's JSON document."),
    {},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A small fluent builder for the stable human-facing construction path.\n"
                       "\n"
                       "The text DSL remains experimental; this builder covers the common\n"
                       "event-type, predicate, capture/reference, window, and absence subset used by\n"
                       "the examples.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PatternBuilder>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<builder_class, builder_repr>)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

NativeClass<PatternBuilder>& builder_class() {
  static NativeClass<PatternBuilder> cls("builtins.PatternBuilder", builder_slots);
  return cls;
}

}  // namespace

PyMethodDef rebuild_builder_def = function_def<kRebuildBuilderSignature, rebuild_builder>(
    "_rebuild_builder", "_rebuild_builder(json)\n--\n\nUnpickle a PatternBuilder.");

PyTypeObject* pattern_builder_type() { return builder_class().type(); }

Ref builder_to_py(Atom first) {
  Pattern pattern;
  pattern.steps.push_back(Step::of(std::move(first)));
  return wrap(std::move(pattern));
}

const Pattern* builder_pattern(PyObject* object) {
  const PatternBuilder* builder = builder_class().find(object);
  return builder ? &builder->pattern : nullptr;
}

}  // namespace vashlet::py
