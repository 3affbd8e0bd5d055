#include "fuzz_support.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace vashlet::fuzz {

void fail(std::string_view what) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

bool same_value(const Value& left, const Value& right) {
  if (left.kind() != right.kind()) return false;
  if (left.kind() != ValueKind::Float) return left == right;
  const double a = left.as_float(), b = right.as_float();
  return std::memcmp(&a, &b, sizeof a) == 0;
}

namespace {

bool same_optional(const std::optional<Value>& left, const std::optional<Value>& right) {
  return left.has_value() == right.has_value() && (!left || same_value(*left, *right));
}

bool same_failure(const PredicateFailure& left, const PredicateFailure& right) {
  if (left.failure.index() != right.failure.index()) return false;
  if (const auto* a = std::get_if<PredicateFailure::Predicate>(&left.failure)) {
    const auto& b = std::get<PredicateFailure::Predicate>(right.failure);
    return a->attribute == b.attribute && a->op == b.op && same_value(a->expected, b.expected) &&
           same_optional(a->actual, b.actual);
  }
  if (const auto* a = std::get_if<PredicateFailure::Reference>(&left.failure)) {
    const auto& b = std::get<PredicateFailure::Reference>(right.failure);
    return a->attribute == b.attribute && a->op == b.op && a->binding == b.binding &&
           same_optional(a->bound, b.bound) && same_optional(a->actual, b.actual);
  }
  const auto& a = std::get<PredicateFailure::Capture>(left.failure);
  const auto& b = std::get<PredicateFailure::Capture>(right.failure);
  return a.name == b.name && a.attribute == b.attribute && same_value(a.bound, b.bound) &&
         same_value(a.actual, b.actual);
}

bool same_detail(const NearMissDetail& left, const NearMissDetail& right) {
  if (left.index() != right.index()) return false;
  if (const auto* a = std::get_if<PredicateFailed>(&left)) {
    const auto& b = std::get<PredicateFailed>(right);
    if (a->event_index != b.event_index || a->failures.size() != b.failures.size()) return false;
    for (std::size_t i = 0; i < a->failures.size(); ++i) {
      if (!same_failure(a->failures[i], b.failures[i])) return false;
    }
    return true;
  }
  if (const auto* a = std::get_if<AbsenceBlocked>(&left)) {
    const auto& b = std::get<AbsenceBlocked>(right);
    return a->candidate_index == b.candidate_index && a->blocking_index == b.blocking_index &&
           a->blocking_event_type == b.blocking_event_type &&
           a->candidate_satisfies == b.candidate_satisfies;
  }
  if (const auto* a = std::get_if<WindowExceeded>(&left)) {
    const auto& b = std::get<WindowExceeded>(right);
    return a->candidate_index == b.candidate_index && a->gap == b.gap && a->max_elapsed == b.max_elapsed;
  }
  return true;
}

bool finite_literals(const std::vector<Predicate>& predicates) {
  for (const Predicate& p : predicates) {
    if (p.value.kind() == ValueKind::Float && !std::isfinite(p.value.as_float())) return false;
  }
  return true;
}

}  // namespace

bool same_named_values(const NamedValues& left, const NamedValues& right) {
  if (left.size() != right.size()) return false;
  for (auto a = left.begin(), b = right.begin(); a != left.end(); ++a, ++b) {
    if (a->first != b->first || !same_value(a->second, b->second)) return false;
  }
  return true;
}

bool same_matches(const std::vector<Match>& left, const std::vector<Match>& right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const Match& a = left[i];
    const Match& b = right[i];
    if (a.partition != b.partition || a.indices != b.indices || a.start != b.start || a.end != b.end ||
        !same_named_values(a.captures, b.captures))
      return false;
  }
  return true;
}

bool same_near_misses(const std::vector<NearMiss>& left, const std::vector<NearMiss>& right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const NearMiss& a = left[i];
    const NearMiss& b = right[i];
    if (a.partition != b.partition || a.start_index != b.start_index || a.indices != b.indices ||
        a.reached_steps != b.reached_steps || a.next_event_type != b.next_event_type ||
        !same_detail(a.detail, b.detail) || !same_named_values(a.captures, b.captures))
      return false;
  }
  return true;
}

bool literals_finite(const Pattern& pattern) {
  for (const Step& step : pattern.steps) {
    if (!finite_literals(step.atom.predicates)) return false;
    if (!step.transition_from_previous) continue;
    for (const Atom& atom : step.transition_from_previous->absence) {
      if (!finite_literals(atom.predicates)) return false;
    }
  }
  return true;
}

}  // namespace vashlet::fuzz
