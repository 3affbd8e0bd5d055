// The Python class `Pattern` (one core pattern): its JSON, what it reads (types, attributes,
// bindings) and pickling. `Pattern.event` starts a builder (builder.cpp).
#include "pattern.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "any_type.hpp"
#include "json/json.hpp"
#include "reduce.hpp"
#include "text/text.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

NativeClass<Pattern>& pattern_class();

// ---------------------------------------------------------------------------------------------
// Pattern

constexpr auto kEventSignature = signature("Pattern.event()", {"typ"}, 1);

Ref start_builder(const Arguments<1>& args) { return builder_to_py(args.convert(0, atom_from_py)); }

constexpr auto kToJsonSignature = signature("Pattern.to_json()", {"pretty"}, 0);

Ref to_json(const Pattern& self, const Arguments<1>& args) {
  return text_to_py(args.flag(0) ? pattern_to_json_pretty(self) : pattern_to_json(self));
}

constexpr auto kWithConsumptionSignature = signature("Pattern._with_consumption()", {"name"}, 1);

// A copy matched with the consumption named as in the JSON document; the Python `mode` keyword
// maps its words to these names.
Ref with_consumption(const Pattern& self, const Arguments<1>& args) {
  const std::string name = args.convert(0, text_from_py);
  for (MatchConsumption consumption :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart,
        MatchConsumption::NonOverlapping}) {
    if (consumption_name(consumption) != name) continue;
    Pattern copy = self;
    copy.consumption = consumption;
    return pattern_to_py(std::move(copy));
  }
  raise_value_error("argument 'name': not a consumption: " + name);
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
// then the step's branches in written order.
template <class Visit>
void visit_atoms(const Pattern& pattern, Visit&& visit) {
  for (const Step& step : pattern.steps) {
    if (step.transition_from_previous) {
      for (const Atom& absence : step.transition_from_previous->absence) visit(absence);
    }
    for (std::size_t k = 0; k < step.branch_count(); ++k) visit(step.branch(k));
  }
}

Ref steps_of(const Pattern& self) { return size_to_py(self.steps.size()); }

Ref types_of(const Pattern& self) {
  std::vector<std::string_view> types;
  for (const Step& step : self.steps) {
    for (std::size_t k = 0; k < step.branch_count(); ++k) {
      if (!step.branch(k).any_type) types.push_back(step.branch(k).event_type);
    }
  }
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
    for (std::size_t k = 0; k < step.branch_count(); ++k) {
      for (const Capture& capture : step.branch(k).captures) names.push_back(capture.name);
    }
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
  Ref type = text_to_py(atom.any_type ? std::string_view("*") : std::string_view(atom.event_type));
  return Ref::checked(PyTuple_Pack(3, type.get(), texts_to_py(references).get(), captures.get()));
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

// Per step: (the parts of each branch, its first atom's included; its minimum count; its maximum
// count or None).
Ref elements_of(const Pattern& self) {
  return tuple_of(list_to_py(self.steps, [](const Step& step) {
    std::vector<const Atom*> branches;
    for (std::size_t k = 0; k < step.branch_count(); ++k) branches.push_back(&step.branch(k));
    Ref parts = tuple_of(list_to_py(branches, [](const Atom* atom) { return atom_parts(*atom); }));
    Ref high = step.max_count ? size_to_py(*step.max_count) : Ref::borrowed(Py_None);
    return Ref::checked(PyTuple_Pack(3, parts.get(), size_to_py(step.min_count).get(), high.get()));
  }));
}

PyGetSetDef pattern_getters[] = {
    getter_def<pattern_class, steps_of>("steps", "The number of steps."),
    getter_def<pattern_class, types_of>(
        "types",
        "The event types the steps name, in step order, a step's branches in written order (a\n"
        "tuple of str: for a chain of single steps, the type of each step). An atom of any type\n"
        "names none."),
    getter_def<pattern_class, attributes_of>(
        "attributes",
        "The attribute names the pattern reads (in predicates, references and captures, of the\n"
        "steps' branches and of their absences), each once, step by step: a step's absences\n"
        "before its branches, and in an atom predicates, then references, then captures."),
    getter_def<pattern_class, bindings_of>(
        "bindings",
        "The binding names the steps capture (in any branch), each once, in written order."),
    getter_def<pattern_class, parts_of>(
        "_parts",
        "Per step: ((event_type, referred bindings, ((name, attribute), ...)), window in ticks\n"
        "or None, (absence parts, ...)). What the Python checks of a pattern read; an atom of\n"
        "any type has the event_type '*'."),
    getter_def<pattern_class, elements_of>(
        "_elements",
        "Per step: ((parts of each branch, ...), minimum count, maximum count or None)."),
    {},
};

constexpr auto kPatternReduceSignature = signature("Pattern.__reduce__()");

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
    method_def<pattern_class, kWithConsumptionSignature, with_consumption>(
        "_with_consumption",
        "_with_consumption($self, name)\n--\n\n"
        "The pattern matched with the consumption `name` (its name in the JSON document)."),
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

}  // namespace

Ref pickled_json(const Pattern& pattern, const char* what) {
  std::string json = pattern_to_json(pattern);
  if (!pattern_from_json(json)) {
    raise_value_error(std::string("cannot pickle this ") + what +
                      ": it holds a NaN or infinite float, which its JSON form cannot keep");
  }
  return text_to_py(json);
}

PyTypeObject* pattern_type() { return pattern_class().type(); }

Ref pattern_to_py(Pattern pattern) { return pattern_class().wrap(std::move(pattern)); }

Pattern coerce_pattern(PyObject* object) {
  if (const Pattern* pattern = pattern_class().find(object)) return *pattern;
  if (const Pattern* built = builder_pattern(object)) return *built;
  raise_type_error("expected a Pattern, a pattern builder, or the result of parse_pattern()");
}

std::string normalize_binding_name(std::string_view name) {
  name = trim(name);
  if (name.starts_with('$')) name.remove_prefix(1);
  return std::string(name);
}

}  // namespace vashlet::py
