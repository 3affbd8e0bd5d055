// Writing the pattern document, compact or indented, and values as literals of the pattern text.
// Keys come in the model's field order, so a document reads back byte for byte the same.
#include <cmath>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/float_text.hpp"
#include "json/json.hpp"
#include "model/duration.hpp"
#include "text/utf8.hpp"

namespace vashlet {
namespace {

constexpr const char* kWriterFailure = "the pattern AST always serialises to JSON";

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          // Model strings are UTF-8; anything else cannot be written as a JSON document.
          const std::size_t length = utf8_length(text, i);
          if (length == 0) invariant_failure(kWriterFailure);
          out.append(text, i, length);
          i += length;
          continue;
        }
    }
    ++i;
  }
  out += '"';
}

// Emits tokens with separators and, in pretty mode, two-space indentation.
class DocumentWriter {
 public:
  explicit DocumentWriter(bool pretty) : pretty_(pretty) {}

  std::string take() { return std::move(out_); }

  void open(char bracket) {
    out_ += bracket;
    has_elements_.push_back(false);
  }
  void close(char bracket) {
    const bool had_elements = has_elements_.back();
    has_elements_.pop_back();
    if (pretty_ && had_elements) newline();
    out_ += bracket;
  }
  void key(std::string_view name) {
    element();
    append_json_string(out_, name);
    out_ += pretty_ ? ": " : ":";
  }
  // Starts an array element.
  void item() { element(); }

  void string(std::string_view text) { append_json_string(out_, text); }
  void raw(std::string_view text) { out_ += text; }
  void integer(std::int64_t number) {
    char buffer[24];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), number);
    out_.append(buffer, result.ptr);
  }
  void floating(double number) { out_ += std::isfinite(number) ? format_float(number) : "null"; }

 private:
  void element() {
    if (has_elements_.back()) out_ += ',';
    has_elements_.back() = true;
    if (pretty_) newline();
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * has_elements_.size(), ' ');
  }

  bool pretty_;
  std::string out_;
  std::vector<bool> has_elements_;  // one entry per open bracket
};

template <class T, class WriteOne>
void write_list(DocumentWriter& w, const std::vector<T>& items, WriteOne write_one) {
  w.open('[');
  for (const T& item : items) {
    w.item();
    write_one(w, item);
  }
  w.close(']');
}

void write_value(DocumentWriter& w, const Value& value) {
  if (value.kind() == ValueKind::Null) {
    w.string("Null");
    return;
  }
  w.open('{');
  switch (value.kind()) {
    case ValueKind::String:
      w.key("String");
      w.string(value.as_string());
      break;
    case ValueKind::Int:
      w.key("Int");
      w.integer(value.as_int());
      break;
    case ValueKind::Float:
      w.key("Float");
      w.floating(value.as_float());
      break;
    case ValueKind::Bool:
      w.key("Bool");
      w.raw(value.as_bool() ? "true" : "false");
      break;
    case ValueKind::Null: break;
  }
  w.close('}');
}

void write_atom(DocumentWriter& w, const Atom& atom) {
  w.open('{');
  w.key("event_type");
  w.string(atom.event_type);
  w.key("predicates");
  write_list(w, atom.predicates, [](DocumentWriter& w, const Predicate& p) {
    w.open('{');
    w.key("attribute");
    w.string(p.attribute);
    w.key("operator");
    w.string(operator_name(p.op));
    w.key("value");
    write_value(w, p.value);
    w.close('}');
  });
  w.key("reference_predicates");
  write_list(w, atom.reference_predicates, [](DocumentWriter& w, const ReferencePredicate& r) {
    w.open('{');
    w.key("attribute");
    w.string(r.attribute);
    w.key("operator");
    w.string(operator_name(r.op));
    w.key("binding");
    w.string(r.binding);
    w.close('}');
  });
  w.key("captures");
  write_list(w, atom.captures, [](DocumentWriter& w, const Capture& c) {
    w.open('{');
    w.key("name");
    w.string(c.name);
    w.key("attribute");
    w.string(c.attribute);
    w.close('}');
  });
  if (atom.any_type) {
    w.key("any_type");
    w.raw("true");
  }
  w.close('}');
}

// A bound as ticks or a duration string, or null.
void write_bound(DocumentWriter& w, const std::optional<std::int64_t>& ticks,
                 const std::optional<Duration>& duration) {
  if (duration) {
    w.string(duration_text(*duration));
  } else if (ticks) {
    w.integer(*ticks);
  } else {
    w.raw("null");
  }
}

void write_transition(DocumentWriter& w, const std::optional<Transition>& transition) {
  if (!transition) {
    w.raw("null");
    return;
  }
  w.open('{');
  w.key("max_elapsed");
  write_bound(w, transition->max_elapsed, transition->max_duration);
  w.key("absence");
  write_list(w, transition->absence, write_atom);
  // The pattern language's fields are written only when set, so older documents stay as they were.
  if (transition->min_elapsed || transition->min_duration) {
    w.key("min_elapsed");
    write_bound(w, transition->min_elapsed, transition->min_duration);
  }
  w.close('}');
}

std::string write_pattern(const Pattern& pattern, bool pretty) {
  DocumentWriter w(pretty);
  w.open('{');
  w.key("steps");
  write_list(w, pattern.steps, [](DocumentWriter& w, const Step& step) {
    w.open('{');
    w.key("atom");
    write_atom(w, step.atom);
    w.key("transition_from_previous");
    write_transition(w, step.transition_from_previous);
    if (!step.alternatives.empty()) {
      w.key("alternatives");
      write_list(w, step.alternatives, write_atom);
    }
    if (step.min_count != 1 || step.max_count != std::optional<std::uint32_t>(1)) {
      w.key("min_count");
      w.integer(step.min_count);
      w.key("max_count");
      if (step.max_count) {
        w.integer(*step.max_count);
      } else {
        w.raw("null");
      }
    }
    w.close('}');
  });
  w.key("consumption");
  w.string(consumption_name(pattern.consumption));
  if (pattern.within_elapsed || pattern.within_duration) {
    w.key("within");
    write_bound(w, pattern.within_elapsed, pattern.within_duration);
  }
  if (pattern.anchored_start) {
    w.key("anchored_start");
    w.raw("true");
  }
  if (pattern.anchored_end) {
    w.key("anchored_end");
    w.raw("true");
  }
  w.close('}');
  return w.take();
}

}  // namespace

std::string pattern_to_json(const Pattern& pattern) { return write_pattern(pattern, false); }

std::string pattern_to_json_pretty(const Pattern& pattern) { return write_pattern(pattern, true); }

std::string value_literal(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: {
      std::string out;
      append_json_string(out, value.as_string());
      return out;
    }
    case ValueKind::Int: return std::to_string(value.as_int());
    case ValueKind::Float: {
      const double number = value.as_float();
      if (std::isnan(number)) return "nan";
      if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
      return format_float(number);
    }
    case ValueKind::Bool: return value.as_bool() ? "true" : "false";
    case ValueKind::Null: break;
  }
  return "null";
}

}  // namespace vashlet
