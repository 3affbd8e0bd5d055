#include "plan/literal_checks.hpp"

#include "json/json.hpp"

namespace vashlet {

namespace {

using arrow::ColumnKind;

const char* kind_name(ValueKind kind) {
  switch (kind) {
    case ValueKind::String: return "a string";
    case ValueKind::Int:
    case ValueKind::Float: return "a number";
    case ValueKind::Bool: return "a boolean";
    case ValueKind::Null: break;
  }
  return "null";
}

// As the matcher compares: numbers with numbers, strings with strings, booleans with booleans.
// A null literal, or a column of nulls only, says nothing about kinds.
bool can_compare(ValueKind literal, ColumnKind column) {
  if (literal == ValueKind::Null || column == ColumnKind::Null) return true;
  switch (column) {
    case ColumnKind::Int:
    case ColumnKind::UInt:
    case ColumnKind::Float: return literal == ValueKind::Int || literal == ValueKind::Float;
    case ColumnKind::String: return literal == ValueKind::String;
    case ColumnKind::Bool: return literal == ValueKind::Bool;
    case ColumnKind::Null: break;
  }
  return true;
}

std::optional<std::string> atom_mismatch(const Atom& atom, const std::string& where,
                                         const ColumnTypeOf& type_of) {
  for (const Predicate& predicate : atom.predicates) {
    const std::optional<ColumnType> column = type_of(predicate.attribute);
    if (!column || can_compare(predicate.value.kind(), column->kind)) continue;
    return where + ": " + predicate.attribute + " " + std::string(operator_symbol(predicate.op)) +
           " " + value_literal(predicate.value) + " compares " + kind_name(predicate.value.kind()) +
           " with '" + predicate.attribute + "', a " + column->name + " column";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> literal_mismatch(const Pattern& pattern, const ColumnTypeOf& type_of) {
  const auto type_name = [](const Atom& atom) { return atom.any_type ? "*" : atom.event_type; };
  for (std::size_t i = 0; i < pattern.steps.size(); ++i) {
    const Step& step = pattern.steps[i];
    // Every branch of the step: any of them may be the one an event is taken as.
    for (std::size_t k = 0; k < step.branch_count(); ++k) {
      const Atom& branch = step.branch(k);
      const std::string where = "step " + std::to_string(i) + " (" + type_name(branch) + ")";
      if (auto found = atom_mismatch(branch, where, type_of)) return found;
    }
    if (!step.transition_from_previous) continue;
    const std::string where = "step " + std::to_string(i) + " (" + type_name(step.atom) + ")";
    for (const Atom& absent : step.transition_from_previous->absence) {
      if (auto found =
              atom_mismatch(absent, where + ", absence of " + type_name(absent), type_of)) {
        return found;
      }
    }
  }
  return std::nullopt;
}

}  // namespace vashlet
