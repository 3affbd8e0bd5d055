// Reading the pattern document: the typed part of decoding (which key or element holds which
// field, enumerations, payload types, missing and duplicate fields) and the entry point.
//
// The JSON library does the syntax (tokens, escapes, surrogate pairs, number grammar and number
// conversion) and hands us events. Positions come from the document itself: the library reads it
// through an iterator that records how far it has read, and every event ends at a known token
// boundary.
#include "json/decoder.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "json/float_text.hpp"
#include "json/json.hpp"
#include "match/matcher.hpp"
#include "model/duration.hpp"
#include "text/text.hpp"

namespace vashlet {
namespace json_reader {

// The `<U>` part of "invalid type: <U>, expected <E>".
std::string unexpected_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::Null: return "null";
    case TokenKind::Boolean: return token.boolean ? "boolean `true`" : "boolean `false`";
    case TokenKind::Unsigned: return "integer `" + std::to_string(token.unsigned_number) + "`";
    case TokenKind::Signed: return "integer `" + std::to_string(token.signed_number) + "`";
    case TokenKind::Float: return "floating point `" + format_float(token.float_number) + "`";
    case TokenKind::String: return "string " + display_quoted(*token.text);
    case TokenKind::ArrayStart: return "sequence";
    case TokenKind::ObjectStart: return "map";
  }
  return {};
}

Shape Decoder::pending_shape() const {
  if (containers_.empty()) return done_ ? Shape::Extra : Shape::Pattern;
  const Container& top = containers_.back();
  switch (top.kind) {
    case ContainerKind::RecordObject:
      return top.known_key ? record_info(top.shape).fields[top.field].shape : Shape::Skip;
    case ContainerKind::RecordArray: {
      const RecordInfo& info = record_info(top.shape);
      return top.field < info.array_length ? info.fields[top.field].shape : Shape::Extra;
    }
    case ContainerKind::List: return element_shape(top.shape);
    case ContainerKind::VariantObject: return payload_shape(top.shape, top.variant);
    default: return Shape::Skip;
  }
}

Target Decoder::pending_target() {
  if (containers_.empty()) return &pattern_;
  Container& top = containers_.back();
  switch (top.kind) {
    case ContainerKind::RecordObject:
    case ContainerKind::RecordArray: return record_info(top.shape).fields[top.field].locate(top.target);
    case ContainerKind::List: return append_element(top.target);
    default: return top.target;
  }
}

bool Decoder::value(Token token) {
  const Shape shape = pending_shape();
  if (shape == Shape::Extra) return fail("trailing characters", doc_.at(token.start));
  // An enumeration is read from its first byte: only a string or an object can hold one.
  if (is_enumeration(shape) && token.kind != TokenKind::String && token.kind != TokenKind::ObjectStart) {
    return fail("expected value", doc_.at(token.start));
  }
  // The library splits "01" into two numbers; a leading zero makes the number invalid.
  if (token.is_number() && !doc_.at_end(token.end) && is_digit(doc_[token.end])) {
    return fail("invalid number", doc_.at(token.end));
  }
  cursor_ = token.end;

  if (shape == Shape::Skip) {
    if (token.kind == TokenKind::ArrayStart) return push(ContainerKind::SkipArray, shape, {}, token);
    if (token.kind == TokenKind::ObjectStart) return push(ContainerKind::SkipObject, shape, {}, token);
    value_done();
    return true;
  }
  if (shape == Shape::OptionalTransition) {
    auto& transition = target_as<std::optional<Transition>>(pending_target());
    if (token.kind == TokenKind::Null) {
      transition.reset();
      value_done();
      return true;
    }
    if (!token.is_container()) return fail_type(token, shape);
    const ContainerKind kind =
        token.kind == TokenKind::ObjectStart ? ContainerKind::RecordObject : ContainerKind::RecordArray;
    return push(kind, Shape::Transition, &transition.emplace(), token);
  }
  if (is_record(shape)) {
    if (!token.is_container()) return fail_type(token, shape);
    const ContainerKind kind =
        token.kind == TokenKind::ObjectStart ? ContainerKind::RecordObject : ContainerKind::RecordArray;
    return push(kind, shape, pending_target(), token);
  }
  if (is_list(shape)) {
    if (token.kind != TokenKind::ArrayStart) return fail_type(token, shape);
    return push(ContainerKind::List, shape, pending_target(), token);
  }
  if (is_enumeration(shape)) {
    Target target = pending_target();
    if (token.kind == TokenKind::ObjectStart) return push(ContainerKind::VariantObject, shape, target, token);
    const auto variant = find_variant(shape, *token.text);
    if (!variant) {
      return fail(
          "unknown variant `" + *token.text + "`, expected " + std::string(variant_alternatives(shape)),
          doc_.after(token.end));
    }
    if (payload_shape(shape, *variant) != Shape::Unit) {
      return fail("invalid type: unit variant, expected newtype variant", doc_.after(record_stop(token.end)));
    }
    set_unit_variant(shape, *variant, target);
    value_done();
    return true;
  }
  return leaf(shape, token);
}

// Scalars: strings, integers, floats, booleans and the null payload of a unit variant.
bool Decoder::leaf(Shape shape, const Token& token) {
  const Target target = pending_target();
  switch (shape) {
    case Shape::String:
    case Shape::ValueString:
      if (token.kind != TokenKind::String) return fail_type(token, shape);
      if (shape == Shape::String) {
        target_as<std::string>(target) = std::move(*token.text);
      } else {
        target_as<Value>(target) = Value::string(std::move(*token.text));
      }
      break;
    case Shape::Window:
    case Shape::ValueInt: {
      std::int64_t number = 0;
      if (shape == Shape::Window && (token.kind == TokenKind::Null || token.kind == TokenKind::String)) {
        const BoundRef& bound = bound_of(target);
        bound.ticks->reset();
        bound.duration->reset();
        if (token.kind == TokenKind::Null) break;
        *bound.duration = parse_duration(*token.text);
        if (!*bound.duration) {
          return fail("invalid value: " + unexpected_text(token) +
                          R"(, expected i64 or a duration such as "10m" or "1h30m")",
                      doc_.after(token.end));
        }
        break;
      }
      if (token.kind == TokenKind::Signed) {
        number = token.signed_number;
      } else if (token.kind == TokenKind::Unsigned) {
        if (token.unsigned_number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return fail("invalid value: integer `" + std::to_string(token.unsigned_number) + "`, expected i64",
                      doc_.after(token.end));
        }
        number = static_cast<std::int64_t>(token.unsigned_number);
      } else {
        return fail_type(token, shape);
      }
      if (shape == Shape::Window) {
        bound_of(target).duration->reset();
        *bound_of(target).ticks = number;
      } else {
        target_as<Value>(target) = Value::integer(number);
      }
      break;
    }
    case Shape::Count:
    case Shape::OptionalCount: {
      if (shape == Shape::OptionalCount && token.kind == TokenKind::Null) {
        target_as<std::optional<std::uint32_t>>(target).reset();  // no maximum
        break;
      }
      if (token.kind == TokenKind::Signed ||
          (token.kind == TokenKind::Unsigned && token.unsigned_number > std::numeric_limits<std::uint32_t>::max())) {
        return fail("invalid value: " + unexpected_text(token) + ", expected u32", doc_.after(token.end));
      }
      if (token.kind != TokenKind::Unsigned) return fail_type(token, shape);
      const auto count = static_cast<std::uint32_t>(token.unsigned_number);
      if (shape == Shape::Count) {
        target_as<std::uint32_t>(target) = count;
      } else {
        target_as<std::optional<std::uint32_t>>(target) = count;
      }
      break;
    }
    case Shape::Flag:
      if (token.kind != TokenKind::Boolean) return fail_type(token, shape);
      target_as<bool>(target) = token.boolean;
      break;
    case Shape::ValueFloat: {
      double number = 0;
      if (token.kind == TokenKind::Float) {
        number = token.float_number;
      } else if (token.kind == TokenKind::Unsigned) {
        number = static_cast<double>(token.unsigned_number);  // nearest, ties to even
      } else if (token.kind == TokenKind::Signed) {
        number = static_cast<double>(token.signed_number);
      } else {
        return fail_type(token, shape);
      }
      target_as<Value>(target) = Value::floating(number);
      break;
    }
    case Shape::ValueBool:
      if (token.kind != TokenKind::Boolean) return fail_type(token, shape);
      target_as<Value>(target) = Value::boolean(token.boolean);
      break;
    default: {  // Unit
      if (token.kind != TokenKind::Null) return fail_type(token, shape);
      const Container& variant = containers_.back();
      set_unit_variant(variant.shape, variant.variant, variant.target);
      break;
    }
  }
  value_done();
  return true;
}

bool Decoder::push(ContainerKind kind, Shape shape, Target target, const Token& token) {
  if (containers_.size() >= kMaxDepth) return fail("recursion limit exceeded", doc_.at(token.start));
  containers_.push_back(Container{kind, shape, std::move(target)});
  last_ = Last::Open;
  return true;
}

// A value is complete: the enclosing array or object moves on.
void Decoder::value_done() {
  last_ = Last::Value;
  if (containers_.empty()) {
    done_ = true;
    return;
  }
  Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordArray) ++top.field;
  if (top.kind == ContainerKind::VariantObject) {
    top.stage = VariantStage::Close;
    top.payload_end = cursor_;
  }
}

// Where a message about the innermost record is placed: after the whitespace that follows `p`,
// and after that record's closing bracket, or in array form its `,` and the whitespace after it.
std::size_t Decoder::record_stop(std::size_t p) const {
  const auto record = std::find_if(containers_.rbegin(), containers_.rend(), [](const Container& f) {
    return f.kind == ContainerKind::RecordObject || f.kind == ContainerKind::RecordArray;
  });
  p = doc_.skip_space(p);
  if (record == containers_.rend() || doc_.at_end(p)) return p;
  if (record->kind == ContainerKind::RecordObject) return doc_[p] == '}' ? p + 1 : p;
  if (doc_[p] == ']') return p + 1;
  if (doc_[p] == ',') return doc_.skip_space(p + 1);
  return p;
}

bool Decoder::key(std::string& name) {
  cursor_ = read_so_far();
  last_ = Last::Key;
  Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordObject) {
    const RecordInfo& info = record_info(top.shape);
    top.known_key = false;
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
      if (info.fields[i].key != name) continue;
      if (top.given & (1u << i))
        return fail("duplicate field `" + name + "`", doc_.after(record_stop(cursor_)));
      top.given = static_cast<std::uint8_t>(top.given | (1u << i));
      top.field = i;
      top.known_key = true;
    }
    return true;
  }
  if (top.kind == ContainerKind::VariantObject) {
    if (top.stage == VariantStage::Close)
      return fail("expected value", doc_.after(doc_.skip_space(top.payload_end)));
    const auto variant = find_variant(top.shape, name);
    if (!variant) {
      return fail("unknown variant `" + name + "`, expected " + std::string(variant_alternatives(top.shape)),
                  doc_.after(cursor_));
    }
    top.variant = *variant;
    top.stage = VariantStage::Payload;
  }
  return true;
}

bool Decoder::end_object() {
  cursor_ = read_so_far();
  const Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordObject) {
    const RecordInfo& info = record_info(top.shape);
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
      if (info.fields[i].required && !(top.given & (1u << i))) {
        return fail("missing field `" + std::string(info.fields[i].key) + "`", doc_.after(cursor_));
      }
    }
    if (top.shape == Shape::Atom) {
      const Atom& atom = target_as<Atom>(top.target);
      if (atom.any_type && !atom.event_type.empty()) {
        return fail("an atom of any type has an empty `event_type`, not " + display_quoted(atom.event_type),
                    doc_.after(cursor_));
      }
    }
  } else if (top.kind == ContainerKind::VariantObject && top.stage != VariantStage::Close) {
    return fail("expected value", doc_.at(cursor_ - 1));  // `{}` names no variant
  }
  containers_.pop_back();
  value_done();
  return true;
}

bool Decoder::end_array() {
  cursor_ = read_so_far();
  const Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordArray) {
    const RecordInfo& info = record_info(top.shape);
    if (top.field < info.array_length) {
      return fail(
          "invalid length " + std::to_string(top.field) + ", expected " + info.expected_length(),
          doc_.after(cursor_));
    }
  }
  containers_.pop_back();
  value_done();
  return true;
}

Result<Pattern> Decoder::finish(bool parsed) {
  if (failure_) return Error{*failure_};
  if (!parsed || !done_) return Error{"expected value" + doc_.after(doc_.size())};  // not reached
  // The library takes a NUL byte for the end of the text; nothing but whitespace may follow.
  const std::size_t rest = doc_.skip_space(cursor_);
  if (!doc_.at_end(rest)) return Error{"trailing characters" + doc_.at(rest)};
  const Status valid = validate_pattern(pattern_);
  if (!valid) return Error{valid.error()};
  return std::move(pattern_);
}

}  // namespace json_reader

Result<Pattern> pattern_from_json(std::string_view text) {
  using json_reader::Decoder;
  using json_reader::TrackingIterator;
  const json_reader::Document doc(text);
  // The library would skip a byte-order mark; a document may not start with one.
  if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xEF)
    return Error{"expected value" + doc.at(0)};
  const char* read_up_to = text.data();
  Decoder decoder(doc, &read_up_to);
  const bool parsed = nlohmann::json::sax_parse(
      TrackingIterator(text.data(), &read_up_to), TrackingIterator(text.data() + text.size(), &read_up_to),
      &decoder, nlohmann::json::input_format_t::json, /*strict=*/true,
      /*ignore_comments=*/false);
  return decoder.finish(parsed);
}

}  // namespace vashlet
