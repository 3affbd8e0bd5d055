// The pattern language's grammar: one function per rule of docs/language.md, each reading its
// tokens or failing with a caret under the token it could not take.
#include "text/grammar.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "model/duration.hpp"
#include "text/literals.hpp"
#include "text/tokens.hpp"

namespace vashlet {
namespace {

using std::string_view;

struct ComparisonSymbol {
  string_view symbol;
  ComparisonOperator op;
};

constexpr ComparisonSymbol kComparisons[] = {
    {"==", ComparisonOperator::Eq},  {"!=", ComparisonOperator::NotEq},
    {">", ComparisonOperator::Gt},   {">=", ComparisonOperator::Gte},
    {"<", ComparisonOperator::Lt},   {"<=", ComparisonOperator::Lte},
};

ComparisonOperator comparison_named(string_view symbol) {
  for (const ComparisonSymbol& known : kComparisons) {
    if (known.symbol == symbol) return known.op;
  }
  invariant_failure("the tokenizer makes only known comparisons");
}

class Reader {
 public:
  Reader(string_view text, std::vector<Token> tokens) : text_(text), tokens_(std::move(tokens)) {}

  Result<Pattern> pattern() {
    Pattern pattern;
    if (at(TokenKind::End)) return fail(peek(), "the pattern is empty");
    if (take(TokenKind::Caret)) pattern.anchored_start = true;
    if (Status status = element(pattern, std::nullopt); !status) return Error{status.error()};
    while (at(TokenKind::Arrow) || at(TokenKind::OpenConstraints)) {
      Result<Transition> transition = this->transition();
      if (!transition) return Error{transition.error()};
      if (Status status = element(pattern, std::move(transition.value())); !status) {
        return Error{status.error()};
      }
    }
    if (take(TokenKind::Dollar)) pattern.anchored_end = true;
    if (at_word("within")) {
      ++next_;
      if (Status status = bound(pattern.within_elapsed, pattern.within_duration, "`within`");
          !status) {
        return Error{status.error()};
      }
    }
    const bool bounded = pattern.within_elapsed || pattern.within_duration;
    if (!bounded && at(TokenKind::Word) && tokens_[next_ - 1].kind == TokenKind::Word) {
      return fail(peek(), "expected `->`, `-[`, `$`, `within` or the end of the pattern",
                  "a name of several words is quoted, as in `" + tokens_[next_ - 1].value + " " +
                      peek().value + "`");
    }
    if (!at(TokenKind::End)) {
      return fail(peek(), bounded
                              ? "expected the end of the pattern after its `within` bound"
                          : pattern.anchored_end
                              ? "expected `within` or the end of the pattern after `$`"
                              : "expected `->`, `-[`, `$`, `within` or the end of the pattern");
    }
    return pattern;
  }

 private:
  const Token& peek() const { return tokens_[next_]; }
  bool at(TokenKind kind) const { return peek().kind == kind; }
  bool at_word(string_view word) const { return at(TokenKind::Word) && peek().value == word; }
  const Token* take(TokenKind kind) { return at(kind) ? &tokens_[next_++] : nullptr; }

  Error fail(const Token& token, string_view message, string_view detail = {}) const {
    return Error{diagnosis(text_, token.begin, token.end, message, detail)};
  }
  Error fail(std::size_t begin, std::size_t end, string_view message,
             string_view detail = {}) const {
    return Error{diagnosis(text_, begin, end, message, detail)};
  }
  // What the token at hand is, for messages: "`]`", "the end of the pattern".
  std::string found() const {
    if (at(TokenKind::End)) return "the end of the pattern";
    return found_token(peek());
  }

  // element := unit [quantifier]
  Status element(Pattern& pattern, std::optional<Transition> transition) {
    Step step;
    step.transition_from_previous = std::move(transition);
    if (const Token* open = take(TokenKind::OpenParen)) {
      Result<Atom> first = atom();
      if (!first) return Error{first.error()};
      step.atom = std::move(first.value());
      while (take(TokenKind::Pipe)) {
        Result<Atom> branch = atom();
        if (!branch) return Error{branch.error()};
        step.alternatives.push_back(std::move(branch.value()));
      }
      if (!take(TokenKind::CloseParen)) {
        return fail(peek(), "expected `|` or `)` to close the alternative opened at column " +
                                std::to_string(column(open->begin)) + ", found " + found());
      }
    } else {
      Result<Atom> single = atom();
      if (!single) return Error{single.error()};
      step.atom = std::move(single.value());
    }
    if (Status status = quantifier(step, pattern.steps.empty()); !status) return status;
    pattern.steps.push_back(std::move(step));
    return Ok{};
  }

  std::size_t column(std::size_t offset) const { return text_column(text_, offset); }

  // quantifier := '{' n '}' | '{' n ',' m '}' | '{' n ',' '}' | '+' | '?'
  Status quantifier(Step& step, bool first) {
    const std::size_t begin = peek().begin;
    if (take(TokenKind::Plus)) {
      step.min_count = 1;
      step.max_count = std::nullopt;
    } else if (take(TokenKind::Question)) {
      step.min_count = 0;
      step.max_count = 1;
    } else if (take(TokenKind::OpenBrace)) {
      Result<std::uint32_t> low = count("`{`");
      if (!low) return Error{low.error()};
      step.min_count = low.value();
      step.max_count = low.value();
      if (take(TokenKind::Comma)) {
        step.max_count = std::nullopt;
        if (at(TokenKind::Word)) {
          Result<std::uint32_t> high = count("`,`");
          if (!high) return Error{high.error()};
          step.max_count = high.value();
        }
      }
      if (!at(TokenKind::CloseBrace)) {
        return fail(peek(), "expected `}` to close the count, found " + found());
      }
      ++next_;
      const std::size_t end = tokens_[next_ - 1].end;
      if (step.max_count && *step.max_count < std::max<std::uint32_t>(step.min_count, 1)) {
        return fail(begin, end,
                    *step.max_count == 0
                        ? "an element is taken at most 0 times"
                        : "the maximum count is below the minimum",
                    *step.max_count == 0 ? "the maximum must be at least 1" : "");
      }
    } else {
      return Ok{};
    }
    if (first && step.min_count == 0) {
      return fail(begin, tokens_[next_ - 1].end,
                  "the first element cannot be optional", "a match starts with an event");
    }
    return Ok{};
  }

  // A count of a quantifier: a whole number that fits 32 bits.
  Result<std::uint32_t> count(string_view after) {
    if (!at(TokenKind::Word)) {
      return fail(peek(), "expected a count after " + std::string(after) + ", found " + found());
    }
    const Token& token = tokens_[next_++];
    std::optional<std::int64_t> number = parse_int64(token.value);
    const bool digits = token.value.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return fail(token, "a count is a whole number such as 3");
    if (!number || *number > std::numeric_limits<std::uint32_t>::max()) {
      return fail(token, "a count must be at most 4294967295");
    }
    return static_cast<std::uint32_t>(*number);
  }

  // atom := type ['[' item (',' item)* ']']
  Result<Atom> atom() {
    Atom atom;
    if (take(TokenKind::Star)) {
      atom.any_type = true;
    } else {
      Result<std::string> type = name("an event type");
      if (!type) return Error{type.error()};
      atom.event_type = std::move(type.value());
    }
    const Token* open = take(TokenKind::OpenBracket);
    if (!open || take(TokenKind::CloseBracket)) return atom;
    while (true) {
      if (Status status = item(atom); !status) return Error{status.error()};
      if (take(TokenKind::CloseBracket)) return atom;
      if (!take(TokenKind::Comma)) {
        return fail(peek(), "expected `,` or `]` to close the item list opened at column " +
                                std::to_string(column(open->begin)) + ", found " + found());
      }
    }
  }

  // identifier | quoted
  Result<std::string> name(string_view what) {
    if (at(TokenKind::String) || at(TokenKind::Backquoted)) return tokens_[next_++].value;
    if (at(TokenKind::Word)) {
      if (!is_identifier(peek().value)) {
        return fail(peek(), "expected " + std::string(what) + ", found " + found(),
                    "quote a name that is not made of letters, digits, `_`, `.` and `:`, as "
                    "in `" + peek().value + "`");
      }
      return tokens_[next_++].value;
    }
    return fail(peek(), "expected " + std::string(what) + ", found " + found());
  }

  // item := attribute op literal | attribute op '$'name | attribute 'as' '$'name
  Status item(Atom& atom) {
    Result<std::string> attribute = name("an attribute name");
    if (!attribute) return Error{attribute.error()};
    if (at_word("as")) {
      ++next_;
      if (!at(TokenKind::Binding)) {
        return fail(peek(), "expected a `$name` to capture into after `as`, found " + found());
      }
      atom = std::move(atom).with_capture(
          Capture::make(tokens_[next_++].value, std::move(attribute.value())));
      return Ok{};
    }
    if (!at(TokenKind::Comparison)) {
      return fail(peek(), "expected a comparison (==, !=, <, <=, >, >=) or `as` after the "
                          "attribute, found " + found());
    }
    const ComparisonOperator op = comparison_named(tokens_[next_++].value);
    if (at(TokenKind::Binding)) {
      atom = std::move(atom).with_reference_predicate(
          ReferencePredicate::make(std::move(attribute.value()), op, tokens_[next_++].value));
      return Ok{};
    }
    Result<Value> value = literal();
    if (!value) return Error{value.error()};
    atom = std::move(atom).with_predicate(
        Predicate::make(std::move(attribute.value()), op, std::move(value.value())));
    return Ok{};
  }

  // literal := string | integer | float | 'true' | 'false' | 'null'
  Result<Value> literal() {
    if (at(TokenKind::String)) return Value::string(tokens_[next_++].value);
    if (at(TokenKind::Backquoted)) {
      return fail(peek(), "a string is written in double quotes; backquotes are for names");
    }
    if (!at(TokenKind::Word)) {
      return fail(peek(), "expected a value or a `$name` after the comparison, found " + found());
    }
    const Token& token = tokens_[next_++];
    const std::string& text = token.value;
    if (text == "true") return Value::boolean(true);
    if (text == "false") return Value::boolean(false);
    if (text == "null") return Value::null();
    if (text.find('.') != std::string::npos) {
      if (std::optional<double> number = parse_float(text)) return Value::floating(*number);
      return fail(token, "invalid float literal `" + text + "`");
    }
    if (std::optional<std::int64_t> number = parse_int64(text)) return Value::integer(*number);
    return fail(token, "invalid literal `" + text + "`",
                "write a string in double quotes, a number, true, false or null");
  }

  // transition := '->' | '-[' constraint (',' constraint)* ']->'
  Result<Transition> transition() {
    Transition transition;
    if (take(TokenKind::Arrow)) return transition;
    const Token& open = tokens_[next_++];  // `-[`
    if (take(TokenKind::CloseBracket)) return close_transition(transition, open);
    bool has_max = false;
    bool has_min = false;
    while (true) {
      if (at(TokenKind::Comparison) && (peek().value == "<=" || peek().value == ">=")) {
        const Token& op = tokens_[next_++];
        const bool max = op.value == "<=";
        if (max ? has_max : has_min) {
          return fail(op, std::string("a transition holds one `") + op.value + "` bound");
        }
        (max ? has_max : has_min) = true;
        Status status = max ? bound(transition.max_elapsed, transition.max_duration, "`<=`")
                            : bound(transition.min_elapsed, transition.min_duration, "`>=`");
        if (!status) return Error{status.error()};
      } else if (at_word("no")) {
        ++next_;
        Result<Atom> absent = atom();
        if (!absent) return Error{absent.error()};
        transition = std::move(transition).with_absence(std::move(absent.value()));
      } else {
        return fail(peek(), "expected `<=`, `>=` or `no` in the transition, found " + found());
      }
      if (take(TokenKind::CloseBracket)) return close_transition(transition, open);
      if (!take(TokenKind::Comma)) {
        return fail(peek(), "expected `,` or `]->` to close the transition opened at column " +
                                std::to_string(column(open.begin)) + ", found " + found());
      }
    }
  }

  Result<Transition> close_transition(Transition& transition, const Token& open) {
    if (!take(TokenKind::Arrow)) {
      return fail(peek(), "expected `->` after the `]` of the transition opened at column " +
                              std::to_string(column(open.begin)) + ", found " + found());
    }
    return std::move(transition);
  }

  // bound := integer (ticks) | duration
  Status bound(std::optional<std::int64_t>& ticks, std::optional<Duration>& duration,
               string_view after) {
    if (!at(TokenKind::Word)) {
      return fail(peek(), "expected ticks or a duration such as 5m after " + std::string(after) +
                              ", found " + found());
    }
    const Token& token = tokens_[next_++];
    if (std::optional<std::int64_t> number = parse_int64(token.value)) {
      ticks = *number;
      return Ok{};
    }
    if (has_unit_suffix(token.value)) {
      if (std::optional<Duration> parsed = parse_duration(token.value)) {
        duration = std::move(*parsed);
        return Ok{};
      }
      return fail(token, "invalid duration `" + token.value + "`",
                  "write whole numbers with units ns, us, ms, s, m, h, d or w, the largest "
                  "first, as in 1h30m");
    }
    return fail(token, "expected ticks (an integer) or a duration such as 5m after " +
                           std::string(after) + ", found " + found_token(token));
  }

  std::string found_token(const Token& token) const {
    std::string out(1, '`');
    out.append(text_.substr(token.begin, token.end - token.begin));
    out += '`';
    return out;
  }

  string_view text_;
  std::vector<Token> tokens_;
  std::size_t next_ = 0;
};

}  // namespace

Result<Pattern> parse_language(std::string_view text) {
  Result<std::vector<Token>> tokens = tokenize(text);
  if (!tokens) return Error{tokens.error()};
  return Reader(text, std::move(tokens.value())).pattern();
}

}  // namespace vashlet
