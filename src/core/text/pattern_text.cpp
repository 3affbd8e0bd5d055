// Writing a pattern in the pattern language: names bare where they are identifiers and quoted
// otherwise, strings escaped, floats in digits that read back to the same double, durations as
// they were written and ticks as integers.
#include "text/pattern_text.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include "json/float_text.hpp"
#include "model/duration.hpp"
#include "text/tokens.hpp"

namespace vashlet {
namespace {

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_name(std::string& out, std::string_view name) {
  if (is_identifier(name)) {
    out += name;
  } else {
    append_quoted(out, name);
  }
}

// A float the language reads back as the same double: always with a point, and an infinity as
// a number beyond the range (which reads as one).
Status append_float(std::string& out, double value) {
  if (std::isnan(value)) return Error{"a NaN float cannot be written in the pattern language"};
  if (std::isinf(value)) {
    out += value < 0 ? "-1.0e999" : "1.0e999";
    return Ok{};
  }
  std::string digits = format_float(value);
  if (digits.find('.') == std::string::npos) {
    const std::size_t e = digits.find('e');
    digits.insert(e, ".0");
  }
  out += digits;
  return Ok{};
}

Status append_value(std::string& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: append_quoted(out, value.as_string()); return Ok{};
    case ValueKind::Int: out += std::to_string(value.as_int()); return Ok{};
    case ValueKind::Float: return append_float(out, value.as_float());
    case ValueKind::Bool: out += value.as_bool() ? "true" : "false"; return Ok{};
    case ValueKind::Null: out += "null"; return Ok{};
  }
  invariant_failure("a value of no kind");
}

void append_binding(std::string& out, std::string_view name) {
  out += '$';
  append_name(out, name);
}

Status append_atom(std::string& out, const Atom& atom) {
  if (atom.any_type) {
    out += '*';
  } else {
    append_name(out, atom.event_type);
  }
  const std::size_t items =
      atom.predicates.size() + atom.reference_predicates.size() + atom.captures.size();
  if (items == 0) return Ok{};
  out += '[';
  bool first = true;
  const auto separate = [&] {
    if (!first) out += ", ";
    first = false;
  };
  for (const Predicate& predicate : atom.predicates) {
    separate();
    append_name(out, predicate.attribute);
    out.append(" ").append(operator_symbol(predicate.op)).append(" ");
    if (Status status = append_value(out, predicate.value); !status) return status;
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    separate();
    append_name(out, reference.attribute);
    out.append(" ").append(operator_symbol(reference.op)).append(" ");
    append_binding(out, reference.binding);
  }
  for (const Capture& capture : atom.captures) {
    separate();
    append_name(out, capture.attribute);
    out += " as ";
    append_binding(out, capture.name);
  }
  out += ']';
  return Ok{};
}

Status append_bound(std::string& out, std::string_view symbol,
                    const std::optional<std::int64_t>& ticks,
                    const std::optional<Duration>& duration) {
  if (ticks && duration) {
    return Error{"a bound given both in ticks and as a duration cannot be written"};
  }
  if (!ticks && !duration) return Ok{};
  if (!out.ends_with('[')) out += ", ";
  out += symbol;
  out += ticks ? std::to_string(*ticks) : duration_text(*duration);
  return Ok{};
}

Status append_transition(std::string& out, const Transition& transition) {
  const bool plain = !transition.max_elapsed && !transition.max_duration &&
                     !transition.min_elapsed && !transition.min_duration &&
                     transition.absence.empty();
  if (plain) {
    out += " -> ";
    return Ok{};
  }
  out += " -[";
  Status status = append_bound(out, "<=", transition.max_elapsed, transition.max_duration);
  if (status) status = append_bound(out, ">=", transition.min_elapsed, transition.min_duration);
  if (!status) return status;
  for (const Atom& absent : transition.absence) {
    if (!out.ends_with('[')) out += ", ";
    out += "no ";
    if (Status written = append_atom(out, absent); !written) return written;
  }
  out += "]-> ";
  return Ok{};
}

void append_quantifier(std::string& out, const Step& step) {
  const std::uint32_t low = step.min_count;
  const std::optional<std::uint32_t>& high = step.max_count;
  if (low == 1 && high == 1u) return;
  if (low == 1 && !high) {
    out += '+';
  } else if (low == 0 && high == 1u) {
    out += '?';
  } else if (high && *high == low) {
    out.append("{").append(std::to_string(low)).append("}");
  } else {
    out.append("{").append(std::to_string(low)).append(",");
    if (high) out.append(std::to_string(*high));
    out += '}';
  }
}

Status append_step(std::string& out, const Step& step) {
  if (!step.alternatives.empty()) out += '(';
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    if (k > 0) out += " | ";
    if (Status status = append_atom(out, step.branch(k)); !status) return status;
  }
  if (!step.alternatives.empty()) out += ')';
  append_quantifier(out, step);
  return Ok{};
}

}  // namespace

Result<std::string> pattern_to_text(const Pattern& pattern) {
  if (pattern.consumption != MatchConsumption::FirstSuccessorPerStart) {
    return Error{"a pattern whose consumption is " +
                 std::string(consumption_name(pattern.consumption)) +
                 " cannot be written in the pattern language, whose patterns take the first "
                 "successor per start (choose the mode when matching instead)"};
  }
  if (pattern.steps.empty()) return Error{"a pattern without steps cannot be written"};
  std::string out;
  if (pattern.anchored_start) out += '^';
  for (std::size_t i = 0; i < pattern.steps.size(); ++i) {
    const Step& step = pattern.steps[i];
    if ((i == 0) == step.transition_from_previous.has_value()) {
      return Error{i == 0 ? "the first step has a transition, which the text cannot say"
                          : "step " + std::to_string(i) + " has no transition from the previous one"};
    }
    if (i > 0) {
      if (Status status = append_transition(out, *step.transition_from_previous); !status) {
        return Error{status.error()};
      }
    }
    if (Status status = append_step(out, step); !status) return Error{status.error()};
  }
  if (pattern.anchored_end) out += " $";
  if (pattern.within_elapsed || pattern.within_duration) {
    out += " within ";
    std::string bound;
    if (Status status = append_bound(bound, "", pattern.within_elapsed, pattern.within_duration);
        !status) {
      return Error{status.error()};
    }
    out += bound.starts_with(", ") ? bound.substr(2) : bound;
  }
  return out;
}

}  // namespace vashlet
