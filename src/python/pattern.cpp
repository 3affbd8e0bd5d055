#include "pattern.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "durations.hpp"
#include "json/json.hpp"
#include "reduce.hpp"
#include "text/pattern_text.hpp"
#include "text/text.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

// The steps of a builder chain. Never empty: the first step has no transition, every later one
// has one. Builders are immutable, so every method copies the steps and extends the copy.
struct PatternBuilder {
  std::vector<Step> steps;
};

NativeClass<Pattern>& pattern_class();
NativeClass<PatternBuilder>& builder_class();

Ref builder_to_py(std::vector<Step> steps) {
  return builder_class().wrap(PatternBuilder{std::move(steps)});
}

Pattern built_pattern(const PatternBuilder& builder) {
  Pattern pattern;
  pattern.steps = builder.steps;
  return pattern;
}

// A copy of the builder's steps with `change` applied to the atom of the last step.
template <class Change>
Ref with_current_atom(const PatternBuilder& self, Change&& change) {
  if (self.steps.empty()) invariant_failure("PatternBuilder always contains at least one step");
  std::vector<Step> steps = self.steps;
  Atom& atom = steps.back().atom;
  atom = std::forward<Change>(change)(std::move(atom));
  return builder_to_py(std::move(steps));
}

// ---------------------------------------------------------------------------------------------
// Pattern

constexpr auto kEventSignature = signature("Pattern.event()", {"typ"}, 1);

Ref start_builder(const Arguments<1>& args) {
  std::vector<Step> steps;
  steps.push_back(Step::of(Atom(args.convert(0, text_from_py))));
  return builder_to_py(std::move(steps));
}

constexpr auto kToJsonSignature = signature("Pattern.to_json()", {"pretty"}, 0);

Ref to_json(const Pattern& self, const Arguments<1>& args) {
  return text_to_py(args.flag(0) ? pattern_to_json_pretty(self) : pattern_to_json(self));
}

constexpr auto kToTextSignature = signature("Pattern.to_text()");

Ref to_text(const Pattern& self, const Arguments<0>&) {
  return text_to_py(unwrap(pattern_to_text(self)));
}

Ref pattern_repr(const Pattern& self) {
  return text_to_py("Pattern(steps=" + std::to_string(self.steps.size()) + ")");
}

// ---------------------------------------------------------------------------------------------
// What a pattern reads, from the model itself

Ref tuple_of(Ref list) { return Ref::checked(PyList_AsTuple(list.get())); }

Ref texts_to_py(const std::vector<std::string_view>& texts) {
  return tuple_of(list_to_py(texts, [](std::string_view text) { return text_to_py(text); }));
}

// `names` without repeats, each where it first stands.
Ref distinct_to_py(const std::vector<std::string_view>& names) {
  std::vector<std::string_view> seen;
  for (std::string_view name : names) {
    if (std::find(seen.begin(), seen.end(), name) == seen.end()) seen.push_back(name);
  }
  return texts_to_py(seen);
}

// Calls visit(atom) for the atoms in the order of the pattern's text: each step's absences,
// then the step's own atom.
template <class Visit>
void visit_atoms(const Pattern& pattern, Visit&& visit) {
  for (const Step& step : pattern.steps) {
    if (step.transition_from_previous) {
      for (const Atom& absence : step.transition_from_previous->absence) visit(absence);
    }
    visit(step.atom);
  }
}

Ref steps_of(const Pattern& self) { return size_to_py(self.steps.size()); }

Ref types_of(const Pattern& self) {
  std::vector<std::string_view> types;
  for (const Step& step : self.steps) types.push_back(step.atom.event_type);
  return texts_to_py(types);
}

Ref attributes_of(const Pattern& self) {
  std::vector<std::string_view> names;
  visit_atoms(self, [&](const Atom& atom) {
    for (const Predicate& clause : atom.predicates) names.push_back(clause.attribute);
    for (const ReferencePredicate& clause : atom.reference_predicates) {
      names.push_back(clause.attribute);
    }
    for (const Capture& capture : atom.captures) names.push_back(capture.attribute);
  });
  return distinct_to_py(names);
}

Ref bindings_of(const Pattern& self) {
  std::vector<std::string_view> names;
  for (const Step& step : self.steps) {
    for (const Capture& capture : step.atom.captures) names.push_back(capture.name);
  }
  return distinct_to_py(names);
}

// (event_type, bindings referred to, ((name, attribute) of each capture, ...)).
Ref atom_parts(const Atom& atom) {
  std::vector<std::string_view> references;
  for (const ReferencePredicate& clause : atom.reference_predicates) {
    references.push_back(clause.binding);
  }
  Ref captures = tuple_of(list_to_py(atom.captures, [](const Capture& capture) {
    return Ref::checked(PyTuple_Pack(2, text_to_py(capture.name).get(),
                                     text_to_py(capture.attribute).get()));
  }));
  return Ref::checked(PyTuple_Pack(3, text_to_py(atom.event_type).get(),
                                   texts_to_py(references).get(), captures.get()));
}

// Per step: (its atom's parts, its window in ticks or None, the parts of its absences).
Ref parts_of(const Pattern& self) {
  return tuple_of(list_to_py(self.steps, [](const Step& step) {
    const auto& transition = step.transition_from_previous;
    Ref window = transition && transition->max_elapsed ? int_to_py(*transition->max_elapsed)
                                                       : Ref::borrowed(Py_None);
    Ref absences = tuple_of(list_to_py(transition ? transition->absence : std::vector<Atom>{},
                                       [](const Atom& atom) { return atom_parts(atom); }));
    return Ref::checked(
        PyTuple_Pack(3, atom_parts(step.atom).get(), window.get(), absences.get()));
  }));
}

PyGetSetDef pattern_getters[] = {
    getter_def<pattern_class, steps_of>("steps", "The number of steps."),
    getter_def<pattern_class, types_of>(
        "types", "The event type of each step, in step order (a tuple of str)."),
    getter_def<pattern_class, attributes_of>(
        "attributes",
        "The attribute names the pattern reads (in predicates, references and captures, of the\n"
        "steps and of their absences), each once, step by step: a step's absences before its\n"
        "own atom, and in an atom predicates, then references, then captures."),
    getter_def<pattern_class, bindings_of>(
        "bindings", "The binding names the steps capture, each once, in the order captured."),
    getter_def<pattern_class, parts_of>(
        "_parts",
        "Per step: ((event_type, referred bindings, ((name, attribute), ...)), window in ticks\n"
        "or None, (absence parts, ...)). What the Python checks of a pattern read."),
    {},
};

constexpr auto kPatternReduceSignature = signature("Pattern.__reduce__()");

// The JSON document of a pattern being pickled. The document writes a NaN or infinite float as
// null, which the reader refuses, so such a pattern is refused here rather than at unpickling.
Ref pickled_json(const Pattern& pattern, const char* what) {
  std::string json = pattern_to_json(pattern);
  if (!pattern_from_json(json)) {
    raise_value_error(std::string("cannot pickle this ") + what +
                      ": it holds a NaN or infinite float, which its JSON form cannot keep");
  }
  return text_to_py(json);
}

// Pickled as its stable JSON document, so a pickle reads back in any later version.
Ref reduce_pattern(const Pattern& self, const Arguments<0>&) {
  return reduce_to("pattern_from_json", pickled_json(self, "Pattern"));
}

PyMethodDef pattern_methods[] = {
    function_def<kEventSignature, start_builder>(
        "event",
        "event(typ)\n--\n\n"
        "Start a builder for a pattern whose first step matches `typ`.",
        METH_STATIC),
    method_def<pattern_class, kToJsonSignature, to_json>(
        "to_json",
        "to_json($self, pretty=False)\n--\n\n"
        "Serialise the pattern to the stable JSON AST."),
    method_def<pattern_class, kToTextSignature, to_text>(
        "to_text",
        "to_text($self)\n--\n\n"
        "Write the pattern in the pattern language; `vashlet.pattern` reads it back equal.\n"
        "\n"
        "Raises `ValueError` for what the language cannot say: a consumption other than the\n"
        "default first match per start (a mode of the call), or a NaN float.\n"
        "\n"
        ">>> import vashlet\n"
        ">>> vashlet.parse_pattern('page view -> cart').to_text()\n"
        "'\"page view\" -> cart'"),
    method_def<pattern_class, kPatternReduceSignature, reduce_pattern>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: the stable JSON document."),
    {},
};

PyType_Slot pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>("A compiled or parsed pattern, ready to match.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<Pattern>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<pattern_class, pattern_repr>)},
    {Py_tp_getset, pattern_getters},
    {Py_tp_methods, pattern_methods},
    {0, nullptr},
};

NativeClass<Pattern>& pattern_class() {
  static NativeClass<Pattern> cls("builtins.Pattern", pattern_slots);
  return cls;
}

// ---------------------------------------------------------------------------------------------
// PatternBuilder

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

constexpr auto kThenSignature = signature("PatternBuilder.then()", {"typ", "within", "no"}, 1);

Ref then(const PatternBuilder& self, const Arguments<3>& args) {
  std::string typ = args.convert(0, text_from_py);
  Transition transition;
  // Ticks as an integer, or a duration as a timedelta; anything else fails as an integer would.
  if (args.given(1) && args.get(1) != Py_None) {
    if (std::optional<Duration> duration = args.convert(1, duration_from_py)) {
      transition.max_duration = std::move(*duration);
    } else {
      transition.max_elapsed = args.convert(1, int64_from_py);
    }
  }
  if (auto forbidden = args.optional(2, text_from_py)) {
    transition = std::move(transition).with_absence(Atom(std::move(*forbidden)));
  }
  if (self.steps.empty()) invariant_failure("PatternBuilder always contains at least one step");
  std::vector<Step> steps = self.steps;
  steps.push_back(Step::of(Atom(std::move(typ)), std::move(transition)));
  return builder_to_py(std::move(steps));
}

constexpr auto kBuildSignature = signature("PatternBuilder.build()");

Ref build(const PatternBuilder& self, const Arguments<0>&) {
  return pattern_to_py(built_pattern(self));
}

Ref builder_repr(const PatternBuilder& self) {
  return text_to_py("PatternBuilder(steps=" + std::to_string(self.steps.size()) + ")");
}

constexpr auto kBuilderReduceSignature = signature("PatternBuilder.__reduce__()");

Ref reduce_builder(const PatternBuilder& self, const Arguments<0>&) {
  return reduce_to("_rebuild_builder", pickled_json(built_pattern(self), "PatternBuilder"));
}

constexpr auto kRebuildBuilderSignature = signature("_rebuild_builder()", {"json"}, 1);

// A builder holds a pattern's steps; the document's consumption is the built pattern's own.
Ref rebuild_builder(const Arguments<1>& args) {
  const std::string json = args.convert(0, text_from_py);
  return builder_to_py(unwrap(pattern_from_json(json)).steps);
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

PyTypeObject* pattern_type() { return pattern_class().type(); }

PyTypeObject* pattern_builder_type() { return builder_class().type(); }

Ref pattern_to_py(Pattern pattern) { return pattern_class().wrap(std::move(pattern)); }

Pattern coerce_pattern(PyObject* object) {
  if (const Pattern* pattern = pattern_class().find(object)) return *pattern;
  if (const PatternBuilder* builder = builder_class().find(object)) return built_pattern(*builder);
  raise_type_error("expected a Pattern, a pattern builder, or the result of parse_pattern()");
}

std::string normalize_binding_name(std::string_view name) {
  name = trim(name);
  if (name.starts_with('$')) name.remove_prefix(1);
  return std::string(name);
}

}  // namespace vashlet::py
