// The pattern text language. There is no tokenizer: a text is cut by trims and splits on fixed
// delimiters, and the order of those cuts decides what the text means. Everything below works
// on views of the input, so a long pattern is parsed in one pass with no copies beyond the
// strings stored in the model.
#include "text/parser.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "model/duration.hpp"
#include "text/literals.hpp"
#include "text/text.hpp"

namespace vashlet {
namespace {

using std::string_view;

Error fail(string_view message) { return Error{std::string(message)}; }

Error fail_quoting(string_view message, string_view text) {
  std::string out;
  out.reserve(message.size() + text.size() + 3);
  out.append(message).append(" `").append(text).append("`");
  return Error{std::move(out)};
}

// Calls `handle` on every comma-separated piece, trimmed, skipping empty ones; stops at the
// first failure and returns it.
template <class Handle>
Status for_each_piece(string_view list, Handle&& handle) {
  while (true) {
    std::size_t comma = list.find(',');
    string_view piece = trim(list.substr(0, comma));
    if (!piece.empty()) {
      Status status = handle(piece);
      if (!status.ok()) return status;
    }
    if (comma == string_view::npos) return Ok{};
    list.remove_prefix(comma + 1);
  }
}

// ---------------------------------------------------------------------------------------------
// Literals

Result<Value> parse_literal(string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return Value::string(std::string(text.substr(1, text.size() - 2)));
  }
  if (text == "true") return Value::boolean(true);
  if (text == "false") return Value::boolean(false);
  if (text == "null") return Value::null();
  if (text.find('.') != string_view::npos) {
    std::optional<double> number = parse_float(text);
    if (!number) return fail_quoting("invalid float literal", text);
    return Value::floating(*number);
  }
  std::optional<std::int64_t> number = parse_int64(text);
  if (!number) return fail_quoting("invalid literal", text);
  return Value::integer(*number);
}

// ---------------------------------------------------------------------------------------------
// Atom items

struct OperatorText {
  string_view symbol;
  ComparisonOperator op;
};

// Search order, not precedence by position: the first symbol of this list found anywhere wins.
constexpr OperatorText kOperatorSearchOrder[] = {
    {"==", ComparisonOperator::Eq},  {"!=", ComparisonOperator::NotEq},
    {">=", ComparisonOperator::Gte}, {"<=", ComparisonOperator::Lte},
    {">", ComparisonOperator::Gt},   {"<", ComparisonOperator::Lt},
};

Status add_capture(Atom& atom, string_view attribute, string_view binding) {
  binding = trim(binding);
  if (binding.empty() || binding.front() != '$') return fail("capture binding must start with `$`");
  if (binding.size() == 1) return fail("capture binding name is empty");
  atom = std::move(atom).with_capture(
      Capture::make(std::string(binding.substr(1)), std::string(trim(attribute))));
  return Ok{};
}

Status add_item(Atom& atom, string_view item) {
  // ` as ` anywhere makes a capture, before any operator is looked for.
  if (std::size_t as = item.find(" as "); as != string_view::npos) {
    return add_capture(atom, item.substr(0, as), item.substr(as + 4));
  }

  const OperatorText* found = nullptr;
  std::size_t at = string_view::npos;
  for (const OperatorText& candidate : kOperatorSearchOrder) {
    at = item.find(candidate.symbol);
    if (at != string_view::npos) {
      found = &candidate;
      break;
    }
  }
  if (found == nullptr) return fail_quoting("unsupported atom predicate", item);

  string_view attribute = trim(item.substr(0, at));
  string_view operand = trim(item.substr(at + found->symbol.size()));
  if (attribute.empty() || operand.empty()) return fail("comparison must have an attribute and value");

  if (operand.front() == '$') {
    atom = std::move(atom).with_reference_predicate(ReferencePredicate::make(
        std::string(attribute), found->op, std::string(trim(operand.substr(1)))));
    return Ok{};
  }
  Result<Value> value = parse_literal(operand);
  if (!value.ok()) return Error{value.error()};
  atom = std::move(atom).with_predicate(
      Predicate::make(std::string(attribute), found->op, std::move(value.value())));
  return Ok{};
}

// ---------------------------------------------------------------------------------------------
// Transitions

// The text between `-[` and `]->`.
Result<Transition> parse_constraints(string_view list) {
  Transition transition;
  Status status = for_each_piece(list, [&](string_view piece) -> Status {
    if (piece.starts_with("<=")) {
      string_view number = trim(piece.substr(2));
      // A plain integer is ticks of the timestamps; a number ending in a unit is a duration.
      // Whichever comes last in the list is the window.
      if (std::optional<std::int64_t> window = parse_int64(number)) {
        transition.max_elapsed = *window;
        transition.max_duration.reset();
        return Ok{};
      }
      if (!has_unit_suffix(number)) return fail_quoting("invalid timestamp literal", number);
      std::optional<Duration> duration = parse_duration(number);
      if (!duration) {
        return fail("invalid duration `" + std::string(number) +
                    "`: write whole numbers with units ns, us, ms, s, m, h, d or w, the largest "
                    "first, as in 1h30m");
      }
      transition.max_duration = std::move(*duration);
      transition.max_elapsed.reset();
      return Ok{};
    }
    if (piece.size() > 2 && piece.starts_with("no ")) {
      Result<Atom> atom = parse_atom(piece.substr(3));
      if (!atom.ok()) return Error{atom.error()};
      transition = std::move(transition).with_absence(std::move(atom.value()));
      return Ok{};
    }
    return fail_quoting("unsupported transition constraint", piece);
  });
  if (!status.ok()) return Error{status.error()};
  return transition;
}

}  // namespace

std::string_view take_until_transition(std::string_view text) {
  // Brackets are counted blindly (string literals included), so a stray `]` hides what follows.
  std::int64_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '[') {
      ++depth;
    } else if (text[i] == ']') {
      --depth;
    } else if (depth == 0 && text[i] == '-' && i + 1 < text.size() &&
               (text[i + 1] == '>' || text[i + 1] == '[')) {
      return trim_end(text.substr(0, i));
    }
  }
  return trim_end(text);
}

Result<Atom> parse_atom(std::string_view text) {
  text = trim(text);
  if (text.empty()) return fail("atom is empty");

  const std::size_t open = text.find('[');
  if (open == string_view::npos) return Atom(std::string(text));

  const std::size_t close = text.rfind(']');
  if (close == string_view::npos) return fail("atom predicate list is missing closing `]`");
  if (close != text.size() - 1) return fail("unexpected text after atom predicate list");

  string_view event_type = trim(text.substr(0, open));
  if (event_type.empty()) return fail("atom event type is empty");

  Atom atom(std::string{event_type});
  Status status = for_each_piece(text.substr(open + 1, close - open - 1),
                                 [&](string_view item) { return add_item(atom, item); });
  if (!status.ok()) return Error{status.error()};
  return atom;
}

Result<Pattern> parse_pattern(std::string_view text) {
  text = trim(text);
  if (text.empty()) return fail("pattern is empty");

  Pattern pattern;
  string_view atom_text = take_until_transition(text);
  Result<Atom> first = parse_atom(atom_text);
  if (!first.ok()) return Error{first.error()};
  pattern.steps.push_back(Step::of(std::move(first.value())));

  string_view rest = trim_start(text.substr(atom_text.size()));
  while (!rest.empty()) {
    rest = trim_start(rest);
    Transition transition;
    if (rest.starts_with("->")) {
      rest.remove_prefix(2);
    } else if (rest.starts_with("-[")) {
      rest.remove_prefix(2);
      const std::size_t close = rest.find("]->");
      if (close == string_view::npos) return fail("transition constraint is missing closing `]->`");
      Result<Transition> constrained = parse_constraints(rest.substr(0, close));
      if (!constrained.ok()) return Error{constrained.error()};
      transition = std::move(constrained.value());
      rest.remove_prefix(close + 3);
    } else {
      return fail("expected transition `->` or `-[...] ->`");
    }

    rest = trim_start(rest);
    atom_text = take_until_transition(rest);
    if (trim(atom_text).empty()) return fail("transition is missing a following atom");
    Result<Atom> atom = parse_atom(atom_text);
    if (!atom.ok()) return Error{atom.error()};
    pattern.steps.push_back(Step::of(std::move(atom.value()), std::move(transition)));
    rest = trim_start(rest.substr(atom_text.size()));
  }
  pattern.consumption = MatchConsumption::FirstSuccessorPerStart;
  return pattern;
}

}  // namespace vashlet
